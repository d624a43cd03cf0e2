// A body's life: its C++ frame placed in its object, resumption with values
// or exceptions (passed on to the sub-iterator it awaits, as the
// interpreter's `await` does), throw, close, the end, and what the
// collector and introspection see.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <set>

#include "runtime/async.hpp"
#include "runtime/body.hpp"
// after Python.h
#include <frameobject.h>
#include <structmember.h>
#include "runtime/call.hpp"
#include "runtime/names.hpp"

namespace kp {

static Name s_close{"close"}, s_throw{"throw"}, s_value{"value"};

// ---- the register of live Refs and body frames (debug builds) ---------------------------

#ifdef KELPIE_REF_REGISTER
namespace {
// Never destroyed: Refs of static objects end after any destructor could run.
std::set<const void*>& live_refs() {
    static auto* refs = new std::set<const void*>;
    return *refs;
}
std::map<const char*, size_t>& body_frames() {
    static auto* frames = new std::map<const char*, size_t>;
    return *frames;
}
}  // namespace

namespace debug {
void ref_made(const void* r) noexcept { live_refs().insert(r); }
void ref_gone(const void* r) noexcept { live_refs().erase(r); }
}  // namespace debug

void check_suspension(const Frame& f, const void* body) noexcept {
    const char* at = static_cast<const char*>(body);
    auto frame = body_frames().upper_bound(at);
    if (frame == body_frames().begin()) return;
    --frame;
    const char *begin = frame->first, *end = begin + frame->second;
    if (at >= end) return;
    for (auto r = live_refs().lower_bound(begin); r != live_refs().end() && *r < end; ++r) {
        const Ref* ref = static_cast<const Ref*>(*r);
        if (!ref->get() || f.holds_local(ref)) continue;
        std::fprintf(stderr,
                     "kelpie: %s is suspended holding a %s at offset %td of its frame outside a Local: "
                     "the garbage collector cannot see it\n",
                     f.fn->def->name, Py_TYPE(ref->get())->tp_name, static_cast<const char*>(*r) - begin);
        std::abort();
    }
}
#endif

// ---- promise -----------------------------------------------------------------

// Where the next body frame goes (the interpreter lock guards it): the room
// its object offers, or, while a body is measured, memory of its own.
namespace {
struct Room {
    char* at = nullptr;
    size_t size = 0;
    size_t measured = 0;
    void* measuring = nullptr;
} next_room;
}  // namespace

void* Task::promise_type::operator new(size_t n) noexcept {
    void* p;
    if (next_room.at) {
        if (n > next_room.size) {
            std::fprintf(stderr, "kelpie: a body frame of %zu bytes for a room of %zu\n", n, next_room.size);
            std::abort();
        }
        p = next_room.at;
        next_room.at = nullptr;
    } else {
        next_room.measured = n;
        p = PyMem_Malloc(n);
    }
#ifdef KELPIE_REF_REGISTER
    if (p) body_frames()[static_cast<const char*>(p)] = n;
#endif
    return p;
}

// Frames in their object go with the object.
void Task::promise_type::operator delete(void* p, size_t) noexcept {
#ifdef KELPIE_REF_REGISTER
    body_frames().erase(static_cast<const char*>(p));
#endif
    if (p == next_room.measuring) PyMem_Free(p);
}

void Task::promise_type::return_value(Ref result) noexcept { Frame::current->result = std::move(result); }

void Task::promise_type::unhandled_exception() noexcept {
    // Bodies do not throw; only a failed allocation inside the standard
    // library could get here.
    Frame::current->result.reset();
    if (!PyErr_Occurred()) PyErr_NoMemory();
}

YieldAwaiter Task::promise_type::yield_value(Local& item) noexcept {
    Frame& f = *Frame::current;
    f.value = std::move(item);
    f.yielded = true;
    f.into_word = f.word_of(&item);
    f.finishing = Frame::Finish::plain;
    return {};
}

// ---- the frame ---------------------------------------------------------------------

size_t Frame::measure(Task (*make)(Frame&)) {
    Frame probe;
    next_room = {};
    Task::Handle h = make(probe).release();
    if (!h) return 0;
    next_room.measuring = h.address();
    h.destroy();  // never started: none of the body runs
    next_room.measuring = nullptr;
    if (next_room.measured > 8 * local_words) [[unlikely]] {
        PyErr_Format(PyExc_SystemError, "a body's frame (%zu bytes) is larger than its Locals can reach",
                     next_room.measured);
        return 0;
    }
    return next_room.measured;
}

bool Frame::start(Function* function, PyObject* const* bound, Task (*make)(Frame&), size_t size) {
    fn.hold(function);
    nargs = static_cast<unsigned char>(function->def->nparams);
    room_words = static_cast<unsigned char>((body_room(nargs) - offsetof(BodyObject, frame)) / 8);
    for (int i = 0; i < nargs; i++) new (&args()[i]) Ref(borrow(bound[i]));
    next_room = {room(), size, 0, nullptr};
    Task::Handle h = make(*this).release();
    if (!h) {
        state = State::finished;
        return false;
    }
    assert(h.address() == room());
    has_body = true;
    return true;
}

void Frame::destroy_body() noexcept {
    if (!has_body) return;
    Frame* outer = current;
    current = this;
    body().destroy();  // releases the body's locals
    current = outer;
    has_body = false;
    locals = 0;
}

void Frame::local_out_of_reach() const noexcept {
    std::fprintf(stderr, "kelpie: %s keeps a Local beyond the first %zu words of its frame\n", fn->def->name,
                 local_words);
    std::abort();
}

// StopIteration or StopAsyncIteration leaving a body would be taken for its
// end by whoever drives it: they become RuntimeError, as in the interpreter.
static void guard_stop_exceptions(bool async_gen) {
    const bool stop = PyErr_ExceptionMatches(PyExc_StopIteration);
    const bool astop = async_gen && PyErr_ExceptionMatches(PyExc_StopAsyncIteration);
    if (!stop && !astop) return;
    Exc cause = Exc::fetch();
    const char* what = async_gen ? "async generator" : "coroutine";
    PyErr_Format(PyExc_RuntimeError, "%s raised %s", what, stop ? "StopIteration" : "StopAsyncIteration");
    Exc now = Exc::fetch();
    PyException_SetCause(now.value(), Py_NewRef(cause.value()));
    PyException_SetContext(now.value(), Py_NewRef(cause.value()));
    now.restore();
}

Step Frame::resume(PyObject* arg, bool exc, bool closing, PyObject** out) {
    *out = nullptr;
    if (state == State::created && arg && arg != Py_None) {
        PyErr_SetString(PyExc_TypeError, is_coroutine() ? "can't send non-None value to a just-started coroutine"
                                                        : "can't send non-None value to a just-started async generator");
        return Step::error;
    }
    if (state == State::running) {
        PyErr_SetString(PyExc_ValueError,
                        is_coroutine() ? "coroutine already executing" : "async generator already executing");
        return Step::error;
    }
    if (state == State::finished) {
        if (is_coroutine() && !closing) {
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        } else if (arg && !exc) {
            *out = Py_NewRef(Py_None);
            return Step::done;
        }
        return Step::error;  // a thrown exception stays pending
    }

    const bool fresh = state == State::created;
    state = State::running;
    if (exc && fresh) {
        // Raised where the body would start: it never runs.
        destroy_body();
        return finish(out);
    }
    OwnExcEntry entry(handled.get());

    bool resume_body = true;
    if (exc) {
        delegate.reset();  // unwinding from the await drops what it awaited
        value.reset();     // the body sees the pending exception
    } else if (delegate) {
        PyObject* r = nullptr;
        PySendResult st = PyIter_Send(delegate.get(), arg, &r);
        value = steal(r);
        if (st == PYGEN_NEXT) resume_body = false;
        else delegate.reset();
    } else {
        value = borrow(arg);
    }

    Step step;
    if (resume_body) {
        Frame* outer = current;
        current = this;
        if (!fresh) {  // the await or co_yield the body is suspended at is over
            yielded = false;
            deliver();
        }
        body().resume();
        current = outer;
    }
    if (resume_body && body().done()) {
        destroy_body();
        step = finish(out);
    } else {
        state = State::suspended;
        *out = value.release();
        step = yielded ? Step::yield : Step::next;
    }
    return step;
}

// The body has ended: its result, or its exception with our traceback entry.
Step Frame::finish(PyObject** out) {
    state = State::finished;
    delegate.reset();
    value.reset();
    if (result) {
        *out = result.release();
        return Step::done;
    }
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "body failed without an exception");
    guard_stop_exceptions(fn->def->kind == FunctionKind::async_generator);
    add_traceback();
    return Step::error;
}

// Closes the awaited sub-iterator the way `await` does when GeneratorExit
// arrives: its close(), if it has one.  False with its error pending.
static bool close_iter(PyObject* it) {
    bool missing;
    Ref close = getattr_optional(it, s_close, &missing);
    if (!close) {
        if (!missing) PyErr_WriteUnraisable(it);
        return true;
    }
    return bool(call(close.get()));
}

Step Frame::throw_in(bool close_on_genexit, PyObject** out) {
    *out = nullptr;
    if (!awaiting()) return resume(Py_None, true, false, out);
    Ref it = delegate;
    Exc thrown = Exc::fetch();
    if (close_on_genexit && thrown.matches(PyExc_GeneratorExit)) {
        state = State::running;
        const bool closed = close_iter(it.get());
        state = State::suspended;
        if (closed) thrown.restore();  // else close()'s error goes in instead
        return resume(Py_None, true, false, out);
    }
    bool missing;
    Ref thrower = getattr_optional(it.get(), s_throw, &missing);
    if (!thrower) {
        if (!missing) return Step::error;
        thrown.restore();
        return resume(Py_None, true, false, out);
    }
    state = State::running;
    Ref r = call(thrower.get(), thrown.value());
    state = State::suspended;
    if (r) {
        *out = r.release();  // the sub-iterator goes on: its value passes out
        return Step::next;
    }
    delegate.reset();
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return resume(Py_None, true, false, out);
    // It returned: the body goes on with its value.
    Exc stop = Exc::fetch();
    Ref v = getattr(stop.value(), s_value);
    if (!v) return resume(Py_None, true, false, out);
    return resume(v.get(), false, false, out);
}

Ref Frame::close(const char* ignored) {
    if (state == State::created) {
        discard();
        return none();
    }
    bool closed = true;
    if (PyObject* it = awaiting()) {
        Ref keep = borrow(it);
        state = State::running;
        closed = close_iter(it);
        state = State::suspended;
    }
    if (closed) PyErr_SetNone(PyExc_GeneratorExit);
    PyObject* r;
    switch (resume(Py_None, true, true, &r)) {
    case Step::next:
    case Step::yield:
        Py_DECREF(r);
        PyErr_SetString(PyExc_RuntimeError, ignored);
        return {};
    case Step::done:
#if PY_VERSION_HEX >= 0x030D0000
        return steal(r);  // close() gives what the body returned
#else
        Py_DECREF(r);
        return none();
#endif
    default:
        if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
            PyErr_Clear();
            return none();
        }
        return {};
    }
}

void Frame::discard() noexcept {
    destroy_body();
    state = State::finished;
    delegate.reset();
    value.reset();
    exit_previous_handled.reset();
}

int Frame::traverse(visitproc visit, void* arg) {
    Py_VISIT(fn.object());
    for (int i = 0; i < nargs; i++) Py_VISIT(args()[i].get());
    Py_VISIT(delegate.get());
    Py_VISIT(value.get());
    Py_VISIT(result.get());
    Py_VISIT(handled.get());
    Py_VISIT(frame_object.get());
    Py_VISIT(exit_previous_handled.get());
    if (!has_body) return 0;
    const char* base = room();
    for (std::uint64_t m = locals; m; m &= m - 1)
        Py_VISIT(reinterpret_cast<const Ref*>(base + 8 * __builtin_ctzll(m))->get());
    return 0;
}

void Frame::clear() noexcept {
    if (state != State::running) discard();
    for (int i = 0; i < nargs; i++) args()[i].reset();
    result.reset();
    handled.reset();
    frame_object.reset();
}

#if PY_VERSION_HEX >= 0x030B0000  // 3.11
// How the frame type gives one of its attributes (a getter or a member),
// found once: the type's tables are static C data of the interpreter, the
// same for every interpreter in the process.
namespace {
struct FrameField {
    PyGetSetDef* getter = nullptr;
    PyMemberDef* member = nullptr;
    explicit FrameField(const char* name) {
        for (PyGetSetDef* d = PyFrame_Type.tp_getset; d && d->name; d++)
            if (std::strcmp(d->name, name) == 0 && d->get) getter = d;
        for (PyMemberDef* m = PyFrame_Type.tp_members; !getter && m && m->name; m++)
            if (std::strcmp(m->name, name) == 0) member = m;
    }
    bool found() const { return getter || member; }
    Ref of(PyObject* frame) const {
        return steal(getter ? getter->get(frame, getter->closure) : PyMember_GetOne(reinterpret_cast<const char*>(frame), member));
    }
};
}  // namespace

// 1 when a frame object of ours is as PyFrame_New made it: tracing and its
// locals untouched; 0 if not (or the type lacks one of them); -1 on error.
static int as_made(PyObject* frame) {
    static const FrameField trace{"f_trace"}, lines{"f_trace_lines"}, opcodes{"f_trace_opcodes"}, locals{"f_locals"};
    if (!trace.found() || !lines.found() || !opcodes.found() || !locals.found()) return 0;
    Ref t = trace.of(frame), l = t ? lines.of(frame) : Ref{}, o = l ? opcodes.of(frame) : Ref{};
    Ref names = o ? locals.of(frame) : Ref{};
    if (!names) return -1;
    Py_ssize_t n = PyObject_Length(names.get());
    if (n < 0) return -1;
    return t.get() == Py_None && l.get() == Py_True && o.get() == Py_False && n == 0;
}
#endif

// A frame object for an entry of fn's in a traceback, or for one of its
// bodies (a new reference; null with an exception).
Ref frame_for(Function& fn) {
#if PY_VERSION_HEX >= 0x030B0000  // 3.11
    // A frame object costs a throwaway function object to make.  One that
    // only its function still holds, and that nobody changed while it was
    // out, is as good as new: the next caller takes it.  (Before 3.11 a new
    // frame links to its caller, so each needs its own.)
    if (PyObject* spare = fn.spare_frame; spare && Py_REFCNT(spare) == 1) {
        switch (as_made(spare)) {
        case 1:
            return borrow(spare);
        case -1:
            return {};
        }
    }
#endif
    PyObject* code = code_of(fn);
    if (!code) return {};
    Ref frame = steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), fn.globals, nullptr)));
#if PY_VERSION_HEX >= 0x030B0000  // 3.11
    if (frame) Py_XSETREF(fn.spare_frame, Py_NewRef(frame.get()));
#endif
    return frame;
}

// The body's frame object (its cr_frame/ag_frame and its traceback
// entries), made on first use.  Null with an exception on failure.
PyObject* Frame::frame() {
    if (!frame_object) frame_object = frame_for(*fn);
    return frame_object.get();
}

// Once per exception: where an error first surfaces in the body (handed to
// an exit, handled, or leaving), as a Python frame adds its entry; it is
// there already when the exception's traceback begins with the body's frame.
void Frame::add_traceback() {
    Exc error = Exc::fetch();
    Ref tb = error.traceback();
    if (frame_object && PyTraceBack_Check(tb.get()) &&
        reinterpret_cast<PyObject*>(reinterpret_cast<PyTracebackObject*>(tb.get())->tb_frame) == frame_object.get()) {
        error.restore();
        return;
    }
    PyObject* f = frame();
    if (!f) PyErr_Clear();  // the entry is lost, never the exception
    error.restore();
    if (f) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(f));
}

PyObject* Frame::get_frame() {
    if (state == State::finished) {
        frame_object.reset();
        Py_RETURN_NONE;
    }
    if (!frame()) return nullptr;
#if PY_VERSION_HEX < 0x030B0000
    // inspect tells a body that has not started by this (3.10's frames are open)
    reinterpret_cast<PyFrameObject*>(frame_object.get())->f_lasti = state == State::created ? -1 : 0;
#endif
    return Py_NewRef(frame_object.get());
}

// ---- handled exceptions inside a body -----------------------------------------------------

// Both run inside an advance, so the current entry is the body's own.
Ref push_handled(Frame& f, PyObject* exc) noexcept {
    Ref previous = std::move(f.handled);
    f.handled = borrow(exc);
    set_handled(exc);
    return previous;
}

void pop_handled(Frame& f, Ref previous) noexcept {
    f.handled = std::move(previous);
    set_handled(f.handled.get());
}

}  // namespace kp
