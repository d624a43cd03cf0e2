// Asynchronous-generator objects and the awaitables their __anext__, asend,
// athrow and aclose return, with the interpreter's asynchronous-generator
// hooks (firstiter on the first advance, finalizer when dropped unfinished).
#include "runtime/body.hpp"
#include "runtime/call.hpp"

namespace kp {

// The generator's own state lives in its Frame (hooks_inited,
// running_async, closed).
using AsyncGen = BodyObject;

enum class Mode : unsigned char { asend, athrow, aclose };

struct AgenStep {
    PyObject_HEAD
    AsyncGen* gen;
    PyObject* value;  // the value to send, or the exception to throw
    Mode mode;
    enum class State : unsigned char { init, iter, closed } state;
};

static AsyncGen* as_gen(PyObject* o) { return as_body(o); }
static AgenStep* as_step(PyObject* o) { return reinterpret_cast<AgenStep*>(o); }

static PyTypeObject* step_type(Mode mode);
static PyObject* get_hooks = nullptr;

// sys.get_asyncgen_hooks(), read once, on the first advance.  The function
// is looked up once per interpreter (ready_async_generator_types), as the interpreter reads the hooks from the
// thread without asking the sys module (looking it up builds its name anew).
static bool init_hooks(AsyncGen* g) {
    if (g->frame.hooks_inited) return true;
    g->frame.hooks_inited = true;
    if (!get_hooks) return true;
    Ref hooks = call(get_hooks);
    Ref firstiter = hooks ? steal(PySequence_GetItem(hooks.get(), 0)) : Ref{};
    Ref finalizer = firstiter ? steal(PySequence_GetItem(hooks.get(), 1)) : Ref{};
    if (!finalizer) return false;
    if (finalizer.get() != Py_None) g->origin_or_finalizer = finalizer.release();
    return firstiter.get() == Py_None || call(firstiter.get(), reinterpret_cast<PyObject*>(g));
}

// One step object is made and dropped per item a generator gives: a few
// freed ones are kept for reuse, as the interpreter does for its own
// asend objects.  Bringing one back to life takes the private
// _Py_NewReference (3.10 to 3.15); without it nothing is kept.
namespace {
#if PY_VERSION_HEX < 0x03100000
constexpr int steps_kept = reuse_freed ? 16 : 0;
inline void revive(PyObject* o) { _Py_NewReference(o); }
#else
constexpr int steps_kept = 0;
inline void revive(PyObject*) {}
#endif
AgenStep* free_steps[steps_kept + 1];
int free_step_count = 0;
}  // namespace

static Ref make_step(PyObject* self, Mode mode, PyObject* value) {
    if (!init_hooks(as_gen(self))) return {};
    AgenStep* s;
    if (free_step_count > 0) {
        s = free_steps[--free_step_count];
        Py_SET_TYPE(s, step_type(mode));
        revive(reinterpret_cast<PyObject*>(s));
    } else {
        s = PyObject_GC_New(AgenStep, step_type(mode));
        if (!s) return {};
    }
    s->gen = reinterpret_cast<AsyncGen*>(Py_NewRef(self));
    s->value = Py_XNewRef(value);
    s->mode = mode;
    s->state = AgenStep::State::init;
    PyObject_GC_Track(s);
    return steal(reinterpret_cast<PyObject*>(s));
}

// ---- the generator's methods ---------------------------------------------------------------

static PyObject* gen_aiter(PyObject* self) { return Py_NewRef(self); }
static PyObject* gen_anext(PyObject* self) { return make_step(self, Mode::asend, Py_None).release(); }
static PyObject* gen_asend(PyObject* self, PyObject* value) { return make_step(self, Mode::asend, value).release(); }

static PyObject* gen_athrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!set_thrown(args, nargs, "athrow")) return nullptr;
    Exc error = Exc::fetch();
    return make_step(self, Mode::athrow, error.value()).release();
}

static PyObject* gen_aclose(PyObject* self, PyObject*) { return make_step(self, Mode::aclose, nullptr).release(); }

// ---- the awaitables --------------------------------------------------------------------------
//
// A step object goes from init to iter when it first advances the body, and
// to closed when its advance ends (an item, the end, an error).  The
// generator's running_async flag says a step is in iter: no other step may
// start meanwhile.  The details (which failure closes a step, what close()
// does) follow the interpreter's own asend and athrow objects, which changed
// in 3.13.

#if PY_VERSION_HEX >= 0x030D0000
constexpr bool guarded_throw = true;  // throw() and close() start a step like send() does
#else
constexpr bool guarded_throw = false;
#endif

static const char* step_name(Mode mode) {
    return mode == Mode::asend ? "anext" : mode == Mode::athrow ? "athrow" : "aclose";
}

static PySendResult already_running(AgenStep* s) {
    s->state = AgenStep::State::closed;
    PyErr_Format(PyExc_RuntimeError, "%s(): asynchronous generator is already running", step_name(s->mode));
    return PYGEN_ERROR;
}

static PySendResult reused(AgenStep* s) {
    PyErr_SetString(PyExc_RuntimeError, s->mode == Mode::asend ? "cannot reuse already awaited __anext__()/asend()"
                                                                : "cannot reuse already awaited aclose()/athrow()");
    return PYGEN_ERROR;
}

// What one advance of the body means to a step: a value the body awaits
// passes out (next), an item ends the step with that item (return), the
// body's end becomes StopAsyncIteration.  The generator is no longer
// running for a step once the advance gave an item or failed.
static PySendResult unwrap(AsyncGen* g, Step step, PyObject** result) {
    switch (step) {
    case Step::next:
        return PYGEN_NEXT;
    case Step::yield:
        g->frame.running_async = false;
        return PYGEN_RETURN;
    case Step::done:
        Py_CLEAR(*result);
        PyErr_SetNone(PyExc_StopAsyncIteration);
        break;
    default:
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_StopAsyncIteration);
        break;
    }
    if (PyErr_ExceptionMatches(PyExc_StopAsyncIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit))
        g->frame.closed = true;
    g->frame.running_async = false;
    return PYGEN_ERROR;
}

// The body's end, as a failed advance: StopAsyncIteration.
static Step ended(Step step, PyObject** result) {
    if (step != Step::done) return step;
    Py_CLEAR(*result);
    PyErr_SetNone(PyExc_StopAsyncIteration);
    return Step::error;
}

// ---- __anext__() and asend(value)

static PySendResult asend_send(AgenStep* s, PyObject* arg, PyObject** result) {
    AsyncGen* g = s->gen;
    if (s->state == AgenStep::State::closed) return reused(s);
    if (s->state == AgenStep::State::init) {
        if (g->frame.running_async) {
            if (guarded_throw) return already_running(s);
            PyErr_SetString(PyExc_RuntimeError, "anext(): asynchronous generator is already running");
            return PYGEN_ERROR;  // the step stays unused
        }
        if (!arg || arg == Py_None) arg = s->value;
        s->state = AgenStep::State::iter;
    }
    if (!arg) arg = Py_None;
    g->frame.running_async = true;
    PySendResult st = unwrap(g, g->frame.resume(arg, false, false, result), result);
    if (st != PYGEN_NEXT) s->state = AgenStep::State::closed;
    return st;
}

// throw() on a step: refused when the step is used up and, where a throw
// starts a step as send() does (3.13 on), when another step is running.
static bool throw_allowed(AgenStep* s, PySendResult* refused) {
    if (s->state == AgenStep::State::closed) {
        *refused = reused(s);
        return false;
    }
    if (guarded_throw && s->state == AgenStep::State::init) {
        if (s->gen->frame.running_async) {
            *refused = already_running(s);
            return false;
        }
        s->state = AgenStep::State::iter;
        s->gen->frame.running_async = true;
    }
    return true;
}

// The exception throw() was given (`args`), or the pending one, into the
// body: the awaited sub-iterator sees it first.
static Step thrown_in(AgenStep* s, PyObject* const* args, Py_ssize_t nargs, PyObject** result) {
    if (args && !set_thrown(args, nargs, "throw")) return Step::error;
    return s->gen->frame.throw_in(true, result);
}

// The pending exception (or, with `args`, the one throw() was given)
// thrown in through a step.
static PySendResult asend_throw(AgenStep* s, PyObject* const* args, Py_ssize_t nargs, PyObject** result) {
    AsyncGen* g = s->gen;
    PySendResult refused;
    if (!throw_allowed(s, &refused)) return refused;
    PySendResult st = unwrap(g, thrown_in(s, args, nargs, result), result);
    if (st != PYGEN_NEXT) {
        if (guarded_throw) g->frame.running_async = false;
        s->state = AgenStep::State::closed;
    }
    return st;
}

// ---- athrow(exc) and aclose()

// aclose() is over: the body ended by GeneratorExit or StopAsyncIteration
// counts as done (None).
static PySendResult check_error(AgenStep* s) {
    s->gen->frame.running_async = false;
    s->state = AgenStep::State::closed;
    if (s->mode == Mode::aclose &&
        (PyErr_ExceptionMatches(PyExc_StopAsyncIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit))) {
        PyErr_Clear();
        return PYGEN_RETURN;
    }
    return PYGEN_ERROR;
}

// aclose() while the body gives another item.
static PySendResult yield_close(AgenStep* s, PyObject** result) {
    Py_CLEAR(*result);
    s->gen->frame.running_async = false;
    s->state = AgenStep::State::closed;
    PyErr_SetString(PyExc_RuntimeError, "async generator ignored GeneratorExit");
    return PYGEN_ERROR;
}

static PySendResult athrow_send(AgenStep* s, PyObject* arg, PyObject** result) {
    AsyncGen* g = s->gen;
    if (s->state == AgenStep::State::closed) return reused(s);
    if (g->frame.state == Frame::State::finished) {
        s->state = AgenStep::State::closed;
        *result = Py_NewRef(Py_None);
        return PYGEN_RETURN;
    }
    if (s->state == AgenStep::State::init) {
        if (g->frame.running_async) return already_running(s);
        if (g->frame.closed) {
            s->state = AgenStep::State::closed;
            PyErr_SetNone(PyExc_StopAsyncIteration);
            return PYGEN_ERROR;
        }
        if (arg != Py_None) {
            PyErr_SetString(PyExc_RuntimeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        s->state = AgenStep::State::iter;
        g->frame.running_async = true;
        if (s->mode == Mode::aclose) {
            g->frame.closed = true;
            PyErr_SetNone(PyExc_GeneratorExit);
            Step step = ended(g->frame.throw_in(false, result), result);
            if (step == Step::yield) return yield_close(s, result);
            if (step == Step::next) return PYGEN_NEXT;
            return check_error(s);
        }
        Exc::from(borrow(s->value)).restore();
        PySendResult st = unwrap(g, g->frame.throw_in(false, result), result);
        if (st == PYGEN_NEXT) return st;
        if (st == PYGEN_RETURN) {
            s->state = AgenStep::State::closed;
            return st;
        }
        return check_error(s);
    }
    Step step = g->frame.resume(arg, false, false, result);
    if (s->mode == Mode::athrow) return unwrap(g, step, result);
    step = ended(step, result);
    if (step == Step::yield) return yield_close(s, result);
    if (step == Step::next) return PYGEN_NEXT;
    return check_error(s);
}

static PySendResult athrow_throw(AgenStep* s, PyObject* const* args, Py_ssize_t nargs, PyObject** result) {
    AsyncGen* g = s->gen;
    PySendResult refused;
    if (!throw_allowed(s, &refused)) return refused;
    Step step = thrown_in(s, args, nargs, result);
    if (s->mode == Mode::athrow) {
        PySendResult st = unwrap(g, step, result);
        if (guarded_throw && st != PYGEN_NEXT) s->state = AgenStep::State::closed;
        return st;
    }
    step = ended(step, result);
    if (step == Step::yield) return yield_close(s, result);
    if (step == Step::next) return PYGEN_NEXT;
    if (guarded_throw) {
        g->frame.running_async = false;
        s->state = AgenStep::State::closed;
    }
    if (PyErr_ExceptionMatches(PyExc_StopAsyncIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        return PYGEN_RETURN;
    }
    return PYGEN_ERROR;
}

// ---- the step protocol

static PySendResult step_send(PyObject* self, PyObject* arg, PyObject** result) {
    AgenStep* s = as_step(self);
    *result = nullptr;
    PySendResult st = s->mode == Mode::asend ? asend_send(s, arg, result) : athrow_send(s, arg ? arg : Py_None, result);
    if (st == PYGEN_RETURN && !*result) *result = Py_NewRef(Py_None);
    return st;
}

static PyObject* step_iternext(PyObject* self) {
    AgenStep* s = as_step(self);
    PyObject* result;
    PySendResult st = step_send(self, s->mode == Mode::asend ? nullptr : Py_None, &result);
    return send_result(st, result);
}

static PySendResult step_throw_args(AgenStep* s, PyObject* const* args, Py_ssize_t nargs, PyObject** result) {
    *result = nullptr;
    PySendResult st = s->mode == Mode::asend ? asend_throw(s, args, nargs, result) : athrow_throw(s, args, nargs, result);
    if (st == PYGEN_RETURN && !*result) *result = Py_NewRef(Py_None);
    return st;
}

static PyObject* step_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    PyObject* result;
    PySendResult st = step_throw_args(as_step(self), args, nargs, &result);
    return send_result(st, result);
}

static PyObject* step_close(PyObject* self, PyObject*) {
    AgenStep* s = as_step(self);
    if (!guarded_throw) {
        s->state = AgenStep::State::closed;
        Py_RETURN_NONE;
    }
    // GeneratorExit thrown in through the step, as for a coroutine.
    if (s->state == AgenStep::State::closed) Py_RETURN_NONE;
    PyObject* exit = PyExc_GeneratorExit;
    PyObject* result;
    PySendResult st = step_throw_args(s, &exit, 1, &result);
    if (st == PYGEN_NEXT) {
        Py_DECREF(result);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (st == PYGEN_RETURN) {
        Py_DECREF(result);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_StopAsyncIteration) ||
        PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

static PyObject* step_await(PyObject* self) { return Py_NewRef(self); }

static int step_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<PyObject*>(as_step(self)->gen));
    Py_VISIT(as_step(self)->value);
    return 0;
}

static void step_dealloc(PyObject* self) {
    AgenStep* s = as_step(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(s->gen);
    Py_CLEAR(s->value);
    if (free_step_count < steps_kept) {
        free_steps[free_step_count++] = s;
        return;
    }
    PyObject_GC_Del(self);
}


static PyAsyncMethods step_as_async = {step_await, nullptr, nullptr, step_send};

// Two names, as the interpreter's: what __anext__() and asend() give, and
// what athrow() and aclose() give.  One implementation serves both.
static PyTypeObject make_step_type(const char* name) {
    return gc_type({.name = name, .size = sizeof(AgenStep), .dealloc = step_dealloc, .traverse = step_traverse,
                    .as_async = &step_as_async, .methods = generator_methods<step_send, step_throw, step_close>, .iternext = step_iternext});
}

static PyTypeObject asend_type_object, athrow_type_object;
static PyTypeObject* step_type(Mode mode) { return mode == Mode::asend ? &asend_type_object : &athrow_type_object; }

// ---- the generator type -------------------------------------------------------------------

static void gen_finalize(PyObject* self) {
    AsyncGen* g = as_gen(self);
    Frame& f = g->frame;
    if (f.state == Frame::State::finished) return;
    Exc saved = Exc::fetch();
    // The loop's hook only for a generator that aclose() has not begun to
    // close (it would only fail with "already running"); such a one is
    // closed here, synchronously, as the interpreter does.
    if (g->origin_or_finalizer && !f.closed) {
        if (!call(g->origin_or_finalizer, self)) PyErr_WriteUnraisable(self);
    } else if (!f.close("async generator ignored GeneratorExit")) {
        PyErr_WriteUnraisable(self);
    }
    saved.restore();
}

// ag_running: a step is in progress (the body may be suspended inside it).
static PyObject* gen_get_running(PyObject* self, void*) { return PyBool_FromLong(as_gen(self)->frame.running_async); }

static BodyGetSet gen_getset = body_getset({"ag_running", "ag_frame", "ag_await", "ag_code",
                                            PY_VERSION_HEX >= 0x030C0000 ? "ag_suspended" : nullptr, "ag_state",
                                            "AGEN"},
                                           gen_get_running);

static PyMethodDef gen_methods[] = {
    {"asend", gen_asend, METH_O, nullptr},
    {"athrow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gen_athrow)), METH_FASTCALL, nullptr},
    {"aclose", gen_aclose, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyAsyncMethods gen_as_async = {nullptr, gen_aiter, gen_anext, nullptr};

static PyTypeObject gen_type_object;

bool ready_async_generator_types() noexcept {
    // Steps kept for reuse were an ended interpreter's memory.
    free_step_count = 0;
    gen_type_object = body_type("kelpie.async_generator", &gen_as_async, gen_methods, gen_getset.data(), gen_finalize);
    asend_type_object = make_step_type("kelpie.async_generator_asend");
    athrow_type_object = make_step_type("kelpie.async_generator_athrow");
    get_hooks = Py_XNewRef(PySys_GetObject("get_asyncgen_hooks"));
    return PyType_Ready(&gen_type_object) == 0 && PyType_Ready(&asend_type_object) == 0 &&
           PyType_Ready(&athrow_type_object) == 0;
}

Ref make_async_generator(Function& fn, PyObject* const* args, Task (*body)(Frame&)) {
    return start_body(&gen_type_object, fn, args, body);
}

}  // namespace kp
