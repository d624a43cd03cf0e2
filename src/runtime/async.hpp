// C++20 coroutines that await Python awaitables and appear to Python as
// native coroutines or asynchronous generators.
//
// A body is written as
//
//     kp::Task body(kp::Frame& co) {
//         kp::Local session(co);
//         co_await kp::await_object(some_awaitable, session);  // into `session`
//         if (!session) co_return {};                           // exception pending
//         co_yield item;                                        // asynchronous generators
//         co_return result;
//     }
//
// and follows the error convention of the runtime: an empty Ref means a
// Python exception is pending.  When the body is resumed with an exception
// (throw(), cancellation, aclose()), the co_await or co_yield it is suspended
// at delivers an empty Ref with that exception pending.
//
// Python references that live across a suspension are kept in Locals, which
// the owning object's tp_traverse visits; the awaited sub-iterator is kept
// by the Frame itself.  The body's C++ frame is part of the coroutine or
// generator object, so a call in flight is one allocation.
#pragma once
#include <cassert>
#include <coroutine>
#include <cstdint>

#include "runtime/function.hpp"

namespace kp {

// Asynchronous-generator steps are made and dropped once per item, so
// freed ones are kept for reuse; sanitizer builds free them at once, so
// that a use after free is still caught.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool reuse_freed = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool reuse_freed = false;
#else
inline constexpr bool reuse_freed = true;
#endif
#else
inline constexpr bool reuse_freed = true;
#endif

struct Frame;
struct YieldAwaiter;
class Local;

class Task {
public:
    struct promise_type;
    using Handle = std::coroutine_handle<promise_type>;

    struct promise_type {
        promise_type() = default;  // not an aggregate: g++ would copy the arguments into it

        Task get_return_object() noexcept { return Task{Handle::from_promise(*this)}; }
        static Task get_return_object_on_allocation_failure() noexcept {
            PyErr_NoMemory();
            return Task{};
        }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(Ref result) noexcept;
        void unhandled_exception() noexcept;

        // co_yield item: the item passes out, and `item` receives what the
        // next advance sends in (empty: athrow() or aclose() is pending).
        YieldAwaiter yield_value(Local& item) noexcept;

        // The C++ frame of a body goes into the room its coroutine or
        // generator object offers (see Frame::start): one allocation per
        // call.  Only Frame::measure allocates one of its own.
        static void* operator new(size_t n) noexcept;
        static void operator delete(void* p, size_t n) noexcept;
    };

    Task() noexcept = default;
    explicit Task(Handle h) noexcept : h_(h) {}
    Task(Task&& o) noexcept : h_(o.h_) { o.h_ = {}; }
    Task(const Task&) = delete;
    ~Task() {
        if (h_) h_.destroy();
    }
    Handle release() noexcept {
        Handle h = h_;
        h_ = {};
        return h;
    }

private:
    Handle h_;
};

// A Python reference held by a body across suspensions, visible to the
// garbage collector: the frame marks the word of its C++ frame that the
// Local occupies, and tp_traverse visits the marked words.  A Local is one
// pointer wide; it ends inside the body that made it (Frame::current).
class Local : public Ref {
public:
    explicit Local(Frame& f) noexcept;
    ~Local();
    Local(const Local&) = delete;
    Local& operator=(Ref r) noexcept {
        Ref::operator=(std::move(r));
        return *this;
    }
};

// What one advance of a body ended with.
enum class Step { next, yield, done, error };

// The state of one running body, embedded in the coroutine or asynchronous
// generator object that owns it.
//
// Every way into the body goes through resume(), which alone checks the
// body's state (not started, suspended, running, finished), so no path can
// run a body twice at once or resume a finished one.  The interpreter's own
// generators work the same way; throw_in() and close() are its throw and
// close on top of resume().
struct Frame {
    enum class State : unsigned char { created, suspended, running, finished };

    // Locals can sit in the first 64 words of a body's C++ frame, and
    // bodies' frames are no larger.
    static constexpr size_t local_words = 64;

    Owned<Function> fn;
    State state = State::created;
    bool yielded = false;          // suspended at a co_yield rather than an await
    bool ready = false;            // the await just started finished at once
    bool has_body = false;         // the body's C++ frame is there (body())
    // asynchronous generators' own state
    bool hooks_inited = false;   // firstiter called, finalizer read
    bool running_async = false;  // a step object is in progress: set and cleared by steps only
    bool closed = false;         // aclose() began, or the body ended by StopAsyncIteration/GeneratorExit
    unsigned char nargs = 0;     // the bound arguments follow the Frame (args())
    // Where the await in progress delivers its outcome, and what finishes it
    // first: nothing, or the AsyncWith or AsyncFor that started it; both
    // live in the body's C++ frame, named by their word in it.
    enum class Finish : unsigned char { plain, entered, exited, next };
    Finish finishing = Finish::plain;
    unsigned char into_word = 0;
    unsigned char helper_word = 0;
    unsigned char room_words = 0;  // where the body's C++ frame is, in words from the Frame
    Ref delegate;          // the sub-iterator being awaited ("yield from")
    Ref value;             // value passed in or out at a suspension
    Ref result;            // the body's return value; before that, the result of an
                           // `async with` block while its __aexit__ is awaited
    Ref handled;           // exception being handled inside the body
    Ref frame_object;      // what cr_frame/ag_frame show, made on first use
    // The `async with` whose __aexit__ is being awaited (one at a time) with
    // an exception (then `handled`): the exception handled before it.
    Ref exit_previous_handled;
    std::uint64_t locals = 0;  // bit i: word i of the body's C++ frame holds a Local

    // The body running now, or being destroyed: where Locals end.
    static inline Frame* current = nullptr;

    // Binds the body to the call; its C++ frame goes into room(), of
    // `room_size` bytes.
    bool start(Function* fn, PyObject* const* args, Task (*body)(Frame&), size_t room_size);
    Frame() noexcept = default;
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;
    // The body ends first (its Locals let go), then the arguments and the members.
    ~Frame() {
        destroy_body();
        for (int i = 0; i < nargs; i++) args()[i].~Ref();
    }

    // The bound arguments, placed right after the Frame by its owner.
    Ref* args() noexcept { return reinterpret_cast<Ref*>(this + 1); }
    const Ref* args() const noexcept { return reinterpret_cast<const Ref*>(this + 1); }
    PyObject* arg(int i) const noexcept { return args()[i].get(); }
    // Where in the body's C++ frame `p` is, in words (frames are far
    // smaller than 256 words).
    unsigned char word_of(const void* p) const noexcept {
        const size_t word = size_t(static_cast<const char*>(p) - room()) / 8;
        assert(word < 256);
        return static_cast<unsigned char>(word);
    }
    void* at_word(unsigned char word) const noexcept { return room() + 8 * size_t(word); }
    // The body's C++ frame: in the room after the arguments.
    char* room() const noexcept {
        return const_cast<char*>(reinterpret_cast<const char*>(this)) + 8 * size_t(room_words);
    }
    Task::Handle body() const noexcept { return Task::Handle::from_address(room()); }
    // The size of the C++ frame of `body`, from one made and dropped
    // unstarted; 0 with an exception pending.
    static size_t measure(Task (*body)(Frame&));
    Ref global(PyObject* name) const { return fn->global(name); }
    bool is_coroutine() const noexcept { return fn->def->kind == FunctionKind::coroutine; }
    // Suspended inside an await: the object awaited (borrowed), else null.
    PyObject* awaiting() const noexcept { return state == State::suspended ? delegate.get() : nullptr; }

    // The one way into the body.  Sends `arg`, or with `exc` raises the
    // pending exception where the body is suspended.  `closing`: close() is
    // asking, so a finished coroutine does not complain.  `*out` receives a
    // new reference for next/yield/done.
    Step resume(PyObject* arg, bool exc, bool closing, PyObject** out);
    // throw(): the pending exception goes to the awaited sub-iterator first
    // (GeneratorExit closes it instead when `close_on_genexit`), as `await`
    // delegates it.
    Step throw_in(bool close_on_genexit, PyObject** out);
    // close(): GeneratorExit at the suspension point.  None (or what the
    // body returned, where the interpreter gives that) or empty on error;
    // `ignored` is the message when the body goes on after GeneratorExit.
    Ref close(const char* ignored);

    // Starts awaiting `awaitable` from inside the body, its outcome for
    // `into`: `ready` when it finished at once (the outcome, a result or an
    // empty Ref with the error pending, then delivered), else it yielded
    // (the value to pass out is in `value`).
    void start_await(Ref awaitable, Ref& into, Finish finishing = Finish::plain, void* helper = nullptr);
    // The await (or the co_yield) is over: its outcome (in `value`) into
    // where it goes, through the helper that finishes it, if any.
    void deliver() noexcept {
        if (finishing == Finish::plain) *static_cast<Ref*>(at_word(into_word)) = std::move(value);
        else deliver_finished();
    }
    void deliver_finished() noexcept;
    // Ends the body without running it further (never started, or cleared).
    void discard() noexcept;

    [[gnu::always_inline]] void hold_local(const Local* l) noexcept {
        const size_t word = size_t(reinterpret_cast<const char*>(l) - room()) / 8;
#ifndef NDEBUG
        // Only a Local made outside a body's frame can be out of reach:
        // measure() refuses a body whose frame is larger than the words
        // Locals can sit in.  Debug builds, which run the whole suite, check.
        if (word >= local_words) local_out_of_reach();
#endif
        locals |= std::uint64_t(1) << word;
    }
    [[gnu::always_inline]] void drop_local(const Local* l) noexcept {
        locals &= ~(std::uint64_t(1) << (size_t(reinterpret_cast<const char*>(l) - room()) / 8));
    }
    bool holds_local(const void* p) const noexcept {
        const size_t word = size_t(static_cast<const char*>(p) - room()) / 8;
        return word < local_words && (locals >> word & 1);
    }
    [[noreturn, gnu::cold]] void local_out_of_reach() const noexcept;

    int traverse(visitproc visit, void* arg);
    void clear() noexcept;
    // The body's traceback entry on the pending exception, unless it has it.
    void add_traceback();
    PyObject* frame();

    // What introspection sees (cr_/ag_ frame, await, code, running,
    // suspended), as for a body written with async def.
    PyObject* get_frame();
    PyObject* get_await() const noexcept { return Py_NewRef(awaiting() ? awaiting() : Py_None); }
    PyObject* get_code() { return Py_XNewRef(code_of(*fn)); }
    PyObject* get_running() const noexcept { return PyBool_FromLong(state == State::running); }
    PyObject* get_suspended() const noexcept { return PyBool_FromLong(state == State::suspended); }
    // cr_state/ag_state (3.15): "CORO_RUNNING", "AGEN_SUSPENDED", ... by the body's state
    PyObject* get_state(const char* prefix) const noexcept {
        static const char* const names[] = {"CREATED", "SUSPENDED", "RUNNING", "CLOSED"};
        return PyUnicode_FromFormat("%s_%s", prefix, names[static_cast<int>(state)]);
    }

private:
    Step finish(PyObject** out);
    void destroy_body() noexcept;
};

// Inlined always: a body makes and drops a dozen Locals per call.
[[gnu::always_inline]] inline Local::Local(Frame& f) noexcept { f.hold_local(this); }
[[gnu::always_inline]] inline Local::~Local() { Frame::current->drop_local(this); }

// Debug builds check at every suspension that the body's frame holds no
// reference outside its Locals: anything else would be hidden from the
// garbage collector while the body is suspended.  A violation is reported
// and aborts the process, so the test suite cannot pass with one.
#ifdef KELPIE_REF_REGISTER
void check_suspension(const Frame& f, const void* body) noexcept;
#else
inline void check_suspension(const Frame&, const void*) noexcept {}
#endif

// Every await of a body delivers its outcome into a Local the body names
// when the await starts (an empty Ref: the exception is pending), and its
// co_await is a statement of its own:
//
//     co_await kp::await_method(response.get(), s_json, result);
//
// The awaiter is empty.  The body it runs in is Frame::current, whose Frame
// knows where the outcome goes and which statement helper finishes it: g++
// keeps every awaiter and every temporary of a statement that awaits in the
// body's frame for the whole call, so nothing passes through them.
//
// The outcome is already in place when the body goes on: start_await
// delivers it when the await finished at once, and Frame::resume before it
// resumes a suspended body.  So the body's own code for an await is just the
// test of `ready`, and the delivery is one routine shared by every await.
struct Awaiting {
    bool await_ready() const noexcept { return Frame::current->ready; }
    void await_suspend(std::coroutine_handle<> h) const noexcept { check_suspension(*Frame::current, h.address()); }
    void await_resume() const noexcept {}
};

// co_await kp::await_method(obj, name, into): obj.name() called and awaited.
Awaiting await_method(PyObject* self, PyObject* name, Local& into) noexcept;
// co_await kp::await_object(awaitable, into): `awaitable` (empty: the error
// is pending) awaited.
Awaiting await_object(Ref awaitable, Local& into) noexcept;

struct YieldAwaiter {
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h) const noexcept { check_suspension(*Frame::current, h.address()); }
    void await_resume() const noexcept {}  // Frame::resume delivered what was sent
};

// Makes `exc` the exception being handled inside the body (sys.exc_info())
// until pop_handled, also across suspensions.  Returns the previous one.
Ref push_handled(Frame& f, PyObject* exc) noexcept;
void pop_handled(Frame& f, Ref previous) noexcept;

// async with manager as value:
//
//     AsyncWith ctx(co);
//     Local value(co);
//     value = manager;
//     co_await ctx.enter(value);           // the manager in, __aenter__()'s value out
//     if (value) result = ...;             // the block
//     co_await ctx.exit(result);           // the block's outcome in, the statement's out
//
// exit() hands a pending exception to __aexit__ as (type, value, traceback)
// with the exception being handled; a true answer suppresses it (the block
// then gives None).  exit() after a failed enter() passes the error on.
//
// The helper's methods run inside the body (Frame::current), and what it
// needs only while __aexit__ is awaited is kept by the Frame: the body's
// frame holds two pointers per statement.
class AsyncWith {
public:
    explicit AsyncWith(Frame& f) noexcept : exit_(f), manager_(f) {}
    AsyncWith(const AsyncWith&) = delete;

    Awaiting enter(Local& manager) noexcept;
    Awaiting exit(Local& result) noexcept;

private:
    friend struct Frame;
    Ref entered(Ref value) noexcept;
    Ref exited(Ref exit_result) noexcept;
    Ref begin_exit(Frame& f, Ref result) noexcept;

    // Between a successful enter and its exit, exit_ holds __aexit__.
    Local exit_;
    Local manager_;  // __aexit__'s first argument, when exit_ is unbound
};

// async for item in iterable:
//
//     AsyncFor items(co);
//     if (!items.begin(iterable)) ...error...
//     for (;;) {
//         co_await items.next(item);
//         if (!item) break;
//         ...
//     }
//     if (!items.exhausted()) ...error pending...
class AsyncFor {
public:
    explicit AsyncFor(Frame& f) noexcept : it_(f), anext_(f) {}
    AsyncFor(const AsyncFor&) = delete;
    bool begin(PyObject* iterable) noexcept;

    Awaiting next(Local& item) noexcept;
    bool exhausted() const noexcept { return exhausted_; }

private:
    friend struct Frame;
    Ref stepped(Ref item) noexcept;

    Local it_;
    Local anext_;  // the iterator's __anext__
    bool anext_unbound_ = false;
    bool exhausted_ = false;
};

// Shared by the coroutine and asynchronous-generator types.
void raise_stop_iteration(PyObject* value);
// What send() gives for an am_send outcome: the value passed out, or
// StopIteration carrying the return value (null).
PyObject* send_result(PySendResult st, PyObject* result);
// send() as a method, on top of an am_send function.
template <PySendResult (*Send)(PyObject*, PyObject*, PyObject**)>
PyObject* send_method(PyObject* self, PyObject* arg) {
    PyObject* result;
    PySendResult st = Send(self, arg, &result);
    return send_result(st, result);
}
// send(), throw() and close() of the iterators that drive a body (what
// __await__ gives, an asynchronous generator's step awaitables), as the
// interpreter's generator-like objects have them.
template <PySendResult (*Send)(PyObject*, PyObject*, PyObject**),
          PyObject* (*Throw)(PyObject*, PyObject* const*, Py_ssize_t), PyObject* (*Close)(PyObject*, PyObject*)>
inline PyMethodDef generator_methods[] = {
    {"send", send_method<Send>, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Throw)), METH_FASTCALL, nullptr},
    {"close", Close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
bool set_thrown(PyObject* const* args, Py_ssize_t nargs, const char* name);

// The kelpie coroutine `o` (for awaiting one from a body without a wrapper),
// or null.
Frame* coroutine_frame(PyObject* o) noexcept;

// The objects that bodies become.  `body` runs when the object is first
// advanced; args are the bound arguments of the call.
Ref make_coroutine(Function& fn, PyObject* const* args, Task (*body)(Frame&));
// The types of the objects above, made ready for the interpreter that
// imports the module; false with an exception pending.
bool ready_coroutine_types() noexcept;
bool ready_async_generator_types() noexcept;
inline bool ready_body_types() noexcept { return ready_coroutine_types() && ready_async_generator_types(); }
Ref make_async_generator(Function& fn, PyObject* const* args, Task (*body)(Frame&));

}  // namespace kp
