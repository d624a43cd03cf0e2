// Asynchronous-generator objects and the awaitables their __anext__, asend,
// athrow and aclose return, with the interpreter's asynchronous-generator
// hooks (firstiter on the first advance, finalizer when dropped unfinished).
#include "runtime/async.hpp"
#include "runtime/call.hpp"

#include <cstddef>

namespace kp {

struct AsyncGen {
    PyObject_HEAD
    Frame frame;
    PyObject* weakrefs;
    PyObject* finalizer;
    bool hooks_inited;
    bool running_async;  // an asend/athrow/aclose awaitable is in progress
};

enum class Mode : unsigned char { asend, athrow, aclose };

struct AgenStep {
    PyObject_HEAD
    AsyncGen* gen;
    PyObject* value;  // the value to send, or the exception to throw
    Mode mode;
    enum class State : unsigned char { init, iter, closed } state;
};

static AsyncGen* as_gen(PyObject* o) { return reinterpret_cast<AsyncGen*>(o); }
static AgenStep* as_step(PyObject* o) { return reinterpret_cast<AgenStep*>(o); }

static PyTypeObject* step_type();

// The pending exception thrown into the generator's body.
static PySendResult gen_throw_pending(PyObject* self, PyObject** result) {
    Frame& f = as_gen(self)->frame;
    *result = nullptr;
    if (f.state == Frame::State::running) {
        PyErr_SetString(PyExc_ValueError, "async generator already executing");
        return PYGEN_ERROR;
    }
    if (f.state != Frame::State::suspended) {
        f.discard();
        return PYGEN_ERROR;
    }
    switch (f.advance(nullptr, result)) {
    case Step::next:
    case Step::yield:
        return PYGEN_NEXT;
    case Step::done:
        return PYGEN_RETURN;
    default:
        return PYGEN_ERROR;
    }
}

// sys.get_asyncgen_hooks(), read once, on the first advance.
static bool init_hooks(AsyncGen* g) {
    if (g->hooks_inited) return true;
    g->hooks_inited = true;
    PyObject* get_hooks = PySys_GetObject("get_asyncgen_hooks");  // borrowed
    if (!get_hooks) return true;
    Ref hooks = call(get_hooks);
    Ref firstiter = hooks ? steal(PySequence_GetItem(hooks.get(), 0)) : Ref{};
    Ref finalizer = firstiter ? steal(PySequence_GetItem(hooks.get(), 1)) : Ref{};
    if (!finalizer) return false;
    if (finalizer.get() != Py_None) g->finalizer = finalizer.release();
    return firstiter.get() == Py_None || call(firstiter.get(), reinterpret_cast<PyObject*>(g));
}

// One step object is made and dropped per item a generator gives: a few
// freed ones are kept for reuse, as the interpreter does for its own
// asend objects.
namespace {
constexpr int steps_kept = 16;
AgenStep* free_steps[steps_kept];
int free_step_count = 0;
}  // namespace

static Ref make_step(PyObject* self, Mode mode, PyObject* value) {
    if (!init_hooks(as_gen(self))) return {};
    AgenStep* s;
    if (free_step_count > 0) {
        s = free_steps[--free_step_count];
        _Py_NewReference(reinterpret_cast<PyObject*>(s));
    } else {
        s = PyObject_GC_New(AgenStep, step_type());
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

static const char* step_name(Mode mode) {
    return mode == Mode::asend ? "anext" : mode == Mode::athrow ? "athrow" : "aclose";
}

// What one advance of the generator means for the awaitable in `mode`.
static PySendResult step_outcome(AgenStep* s, Step step, PyObject** result) {
    if (step == Step::next) return PYGEN_NEXT;  // the body awaits: pass the loop's value out
    s->gen->running_async = false;
    s->state = AgenStep::State::closed;
    const bool closing = s->mode == Mode::aclose;
    switch (step) {
    case Step::yield:
        if (!closing) return PYGEN_RETURN;  // the item produced
        Py_CLEAR(*result);
        PyErr_SetString(PyExc_RuntimeError, "async generator ignored GeneratorExit");
        return PYGEN_ERROR;
    case Step::done:
        Py_CLEAR(*result);
        if (closing) {
            *result = Py_NewRef(Py_None);
            return PYGEN_RETURN;
        }
        PyErr_SetNone(PyExc_StopAsyncIteration);
        return PYGEN_ERROR;
    default:
        if (closing &&
            (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopAsyncIteration))) {
            PyErr_Clear();
            *result = Py_NewRef(Py_None);
            return PYGEN_RETURN;
        }
        return PYGEN_ERROR;
    }
}

static bool step_reusable(AgenStep* s) {
    if (s->state != AgenStep::State::closed) return true;
    PyErr_SetString(PyExc_RuntimeError, s->mode == Mode::asend ? "cannot reuse already awaited __anext__()/asend()"
                                                                : "cannot reuse already awaited aclose()/athrow()");
    return false;
}

// Sends `arg` into the generator, or throws the pending exception when
// `arg` is null.
static PySendResult step_advance(AgenStep* s, PyObject* arg, PyObject** result) {
    Frame& f = s->gen->frame;
    if (arg) {
        if (f.state == Frame::State::created && arg != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started async generator");
            return step_outcome(s, Step::error, result);
        }
        return step_outcome(s, f.advance(arg, result), result);
    }
    PySendResult st = gen_throw_pending(reinterpret_cast<PyObject*>(s->gen), result);
    Step step = st == PYGEN_NEXT ? (f.yielded ? Step::yield : Step::next)
                                 : st == PYGEN_RETURN ? Step::done : Step::error;
    return step_outcome(s, step, result);
}

static PySendResult step_send(PyObject* self, PyObject* arg, PyObject** result) {
    AgenStep* s = as_step(self);
    *result = nullptr;
    if (!step_reusable(s)) return PYGEN_ERROR;
    if (s->state == AgenStep::State::iter) return step_advance(s, arg ? arg : Py_None, result);

    AsyncGen* g = s->gen;
    if (g->running_async) {
        s->state = AgenStep::State::closed;
        PyErr_Format(PyExc_RuntimeError, "%s(): asynchronous generator is already running", step_name(s->mode));
        return PYGEN_ERROR;
    }
    if (g->frame.state == Frame::State::finished) {
        s->state = AgenStep::State::closed;
        if (s->mode == Mode::aclose) {
            *result = Py_NewRef(Py_None);
            return PYGEN_RETURN;
        }
        PyErr_SetNone(PyExc_StopAsyncIteration);
        return PYGEN_ERROR;
    }
    s->state = AgenStep::State::iter;
    g->running_async = true;
    switch (s->mode) {
    case Mode::asend:
        return step_advance(s, arg == nullptr || arg == Py_None ? s->value : arg, result);
    case Mode::athrow:
        Exc::from(borrow(s->value)).restore();
        return step_advance(s, nullptr, result);
    default:
        PyErr_SetNone(PyExc_GeneratorExit);
        return step_advance(s, nullptr, result);
    }
}

static PyObject* step_send_method(PyObject* self, PyObject* arg) {
    PyObject* result;
    PySendResult st = step_send(self, arg, &result);
    if (st == PYGEN_RETURN) {
        raise_stop_iteration(result);
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}

static PyObject* step_iternext(PyObject* self) { return step_send_method(self, Py_None); }

static PyObject* step_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    AgenStep* s = as_step(self);
    if (!step_reusable(s)) return nullptr;
    if (!set_thrown(args, nargs, "throw")) return nullptr;
    if (s->state == AgenStep::State::init) {
        s->state = AgenStep::State::iter;
        s->gen->running_async = true;
    }
    PyObject* result = nullptr;
    PySendResult st = step_advance(s, nullptr, &result);
    if (st == PYGEN_RETURN) {
        raise_stop_iteration(result);
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}

static PyObject* step_close(PyObject* self, PyObject*) {
    AgenStep* s = as_step(self);
    if (s->state == AgenStep::State::iter) s->gen->running_async = false;
    s->state = AgenStep::State::closed;
    Py_RETURN_NONE;
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
    if (s->state == AgenStep::State::iter) s->gen->running_async = false;
    Py_CLEAR(s->gen);
    Py_CLEAR(s->value);
    if (reuse_freed && free_step_count < steps_kept) {
        free_steps[free_step_count++] = s;
        return;
    }
    PyObject_GC_Del(self);
}

static PyMethodDef step_methods[] = {
    {"send", step_send_method, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(step_throw)), METH_FASTCALL, nullptr},
    {"close", step_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyAsyncMethods step_as_async = {step_await, nullptr, nullptr, step_send};

static PyTypeObject* step_type() {
    static PyTypeObject type = [] {
        PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
        t.tp_name = "kelpie.async_generator_step";
        t.tp_basicsize = sizeof(AgenStep);
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC
#ifdef Py_TPFLAGS_HAVE_AM_SEND
                     | Py_TPFLAGS_HAVE_AM_SEND
#endif
            ;
        t.tp_as_async = &step_as_async;
        t.tp_dealloc = step_dealloc;
        t.tp_traverse = step_traverse;
        t.tp_iternext = step_iternext;
        t.tp_methods = step_methods;
        return t;
    }();
    return &type;
}

// ---- the generator type -------------------------------------------------------------------

static void gen_finalize(PyObject* self) {
    AsyncGen* g = as_gen(self);
    Frame& f = g->frame;
    if (f.state == Frame::State::finished) return;
    Exc saved = Exc::fetch();
    if (g->finalizer) {
        if (!call(g->finalizer, self)) PyErr_WriteUnraisable(self);
    } else if (f.state == Frame::State::created) {
        f.discard();
    } else if (f.state == Frame::State::suspended) {
        if (!close_frame(self, gen_throw_pending, "async generator ignored GeneratorExit"))
            PyErr_WriteUnraisable(self);
    }
    saved.restore();
}

static int gen_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_gen(self)->finalizer);
    return as_gen(self)->frame.traverse(visit, arg);
}

static int gen_clear(PyObject* self) {
    as_gen(self)->frame.clear();
    Py_CLEAR(as_gen(self)->finalizer);
    return 0;
}

static void gen_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected by the finalizer hook
    PyObject_GC_UnTrack(self);
    AsyncGen* g = as_gen(self);
    if (g->weakrefs) PyObject_ClearWeakRefs(self);
    g->frame.clear();
    Py_CLEAR(g->finalizer);
    Py_CLEAR(g->frame.fn);
    g->frame.~Frame();
    PyObject_GC_Del(self);
}

static PyObject* gen_repr(PyObject* self) {
    return PyUnicode_FromFormat("<async_generator object %U at %p>", as_gen(self)->frame.fn->qualname, self);
}

static PyObject* gen_get_name(PyObject* self, void*) { return Py_NewRef(as_gen(self)->frame.fn->name); }
static PyObject* gen_get_qualname(PyObject* self, void*) { return Py_NewRef(as_gen(self)->frame.fn->qualname); }
static PyObject* gen_get_running(PyObject* self, void*) {
    return PyBool_FromLong(as_gen(self)->frame.state == Frame::State::running);
}

static PyGetSetDef gen_getset[] = {
    {"__name__", gen_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", gen_get_qualname, nullptr, nullptr, nullptr},
    {"ag_running", gen_get_running, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyMethodDef gen_methods[] = {
    {"asend", gen_asend, METH_O, nullptr},
    {"athrow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gen_athrow)), METH_FASTCALL, nullptr},
    {"aclose", gen_aclose, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyAsyncMethods gen_as_async = {nullptr, gen_aiter, gen_anext, nullptr};

static PyTypeObject* gen_type() {
    static PyTypeObject type = [] {
        PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
        t.tp_name = "kelpie.async_generator";
        t.tp_basicsize = sizeof(AsyncGen);
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
        t.tp_as_async = &gen_as_async;
        t.tp_dealloc = gen_dealloc;
        t.tp_finalize = gen_finalize;
        t.tp_traverse = gen_traverse;
        t.tp_clear = gen_clear;
        t.tp_repr = gen_repr;
        t.tp_methods = gen_methods;
        t.tp_getset = gen_getset;
        t.tp_weaklistoffset = offsetof(AsyncGen, weakrefs);
        return t;
    }();
    return &type;
}

Ref make_async_generator(Function& fn, PyObject* const* args, Task (*body)(Frame&)) {
    static bool ready = false;
    if (!ready) {
        if (PyType_Ready(gen_type()) < 0 || PyType_Ready(step_type()) < 0) return {};
        ready = true;
    }
    AsyncGen* g = PyObject_GC_New(AsyncGen, gen_type());
    if (!g) return {};
    new (&g->frame) Frame();
    g->weakrefs = nullptr;
    g->finalizer = nullptr;
    g->hooks_inited = false;
    g->running_async = false;
    Ref self = steal(reinterpret_cast<PyObject*>(g));
    if (!g->frame.start(&fn, args, body)) return {};
    PyObject_GC_Track(self.get());
    return self;
}

}  // namespace kp
