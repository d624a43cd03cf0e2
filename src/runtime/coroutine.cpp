// Coroutine objects: what a coroutine function's call returns, driven by
// `await`, asyncio's tasks or by hand through send/throw/close.
#include "runtime/async.hpp"
#include "runtime/call.hpp"
#include "runtime/names.hpp"

#include <cstddef>

namespace kp {

struct Coroutine {
    PyObject_HEAD
    Frame frame;
    PyObject* weakrefs;
};

static Coroutine* as_coro(PyObject* o) { return reinterpret_cast<Coroutine*>(o); }

// Raises StopIteration carrying `value` (wrapped, so that a tuple or an
// exception instance arrives as the value itself).
void raise_stop_iteration(PyObject* value) {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    if (!PyTuple_Check(value) && !PyExceptionInstance_Check(value)) {
        PyErr_SetObject(PyExc_StopIteration, value);  // made into an instance only if someone looks
        return;
    }
    Ref stop = call(PyExc_StopIteration, value);
    if (stop) PyErr_SetObject(PyExc_StopIteration, stop.get());
}

// Builds the exception of throw(type[, value[, traceback]]) and makes it
// the pending one, with the interpreter's checks.  False if the arguments
// are refused (that error pending instead).
bool set_thrown(PyObject* const* args, Py_ssize_t nargs, const char* name) {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "%s expected at least 1 argument, got %zd", name, nargs);
        return false;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "%s expected at most 3 arguments, got %zd", name, nargs);
        return false;
    }
#if PY_VERSION_HEX >= 0x030C0000
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0)
        return false;
#endif
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    if (tb == Py_None) {
        tb = nullptr;
    } else if (!PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return false;
    }
    if (PyExceptionClass_Check(typ)) {
        PyObject *t = Py_NewRef(typ), *v = Py_NewRef(val), *b = Py_XNewRef(tb);
        PyErr_NormalizeException(&t, &v, &b);
        if (b && v) PyException_SetTraceback(v, b);
        PyErr_Restore(t, v, b);
        return true;
    }
    if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return false;
        }
        PyObject* t = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(typ)));
        PyObject* b = tb ? Py_NewRef(tb) : PyException_GetTraceback(typ);
        PyErr_Restore(t, Py_NewRef(typ), b);
        return true;
    }
    PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(typ)->tp_name);
    return false;
}

// ---- the protocol ------------------------------------------------------------------------

static PySendResult coro_send(PyObject* self, PyObject* arg, PyObject** result) {
    Frame& f = as_coro(self)->frame;
    *result = nullptr;
    switch (f.state) {
    case Frame::State::finished:
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    case Frame::State::running:
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return PYGEN_ERROR;
    case Frame::State::created:
        if (arg && arg != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        break;
    default:
        break;
    }
    switch (f.advance(arg, result)) {
    case Step::next:
        return PYGEN_NEXT;
    case Step::done:
        return PYGEN_RETURN;
    case Step::yield:
        Py_CLEAR(*result);
        PyErr_SetString(PyExc_SystemError, "a coroutine body yielded a value");
        return PYGEN_ERROR;
    default:
        return PYGEN_ERROR;
    }
}

// The pending exception thrown into the coroutine.
static PySendResult coro_throw_pending(PyObject* self, PyObject** result) {
    Frame& f = as_coro(self)->frame;
    *result = nullptr;
    if (f.state == Frame::State::running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return PYGEN_ERROR;
    }
    if (f.state != Frame::State::suspended) {
        f.discard();  // raised where the body would start: it never runs
        return PYGEN_ERROR;
    }
    return coro_send(self, nullptr, result);
}

static PyObject* send_result(PySendResult st, PyObject* result) {
    if (st == PYGEN_RETURN) {
        raise_stop_iteration(result);
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}

static PyObject* coro_send_method(PyObject* self, PyObject* arg) {
    PyObject* result;
    PySendResult st = coro_send(self, arg, &result);
    return send_result(st, result);
}

static PyObject* coro_iternext(PyObject* self) {
    PyObject* result;
    PySendResult st = coro_send(self, Py_None, &result);
    if (st == PYGEN_RETURN) {
        if (result != Py_None) raise_stop_iteration(result);
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}

static PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!set_thrown(args, nargs, "throw")) return nullptr;
    PyObject* result;
    PySendResult st = coro_throw_pending(self, &result);
    return send_result(st, result);
}

// close(): GeneratorExit at the suspension point; true on a clean end.
bool close_frame(PyObject* self, PySendResult (*throw_pending)(PyObject*, PyObject**), const char* ignored) {
    PyErr_SetNone(PyExc_GeneratorExit);
    PyObject* result;
    PySendResult st = throw_pending(self, &result);
    if (st == PYGEN_NEXT) {
        Py_DECREF(result);
        PyErr_SetString(PyExc_RuntimeError, ignored);
        return false;
    }
    if (st == PYGEN_RETURN) {
        Py_DECREF(result);
        return true;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        return true;
    }
    return false;
}

static PyObject* coro_close(PyObject* self, PyObject*) {
    Frame& f = as_coro(self)->frame;
    if (f.state == Frame::State::created) f.discard();
    if (f.state == Frame::State::finished) Py_RETURN_NONE;
    if (!close_frame(self, coro_throw_pending, "coroutine ignored GeneratorExit")) return nullptr;
    Py_RETURN_NONE;
}

static PyObject* coro_await(PyObject* self) { return Py_NewRef(self); }

// ---- the type ----------------------------------------------------------------------------

static void coro_finalize(PyObject* self) {
    Frame& f = as_coro(self)->frame;
    if (f.state == Frame::State::finished) return;
    Exc saved = Exc::fetch();
    if (f.state == Frame::State::created) {
        f.discard();
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%.50S' was never awaited", f.fn->qualname) < 0)
            PyErr_WriteUnraisable(self);
    } else if (f.state == Frame::State::suspended) {
        if (!close_frame(self, coro_throw_pending, "coroutine ignored GeneratorExit")) PyErr_WriteUnraisable(self);
    }
    saved.restore();
}

static int coro_traverse(PyObject* self, visitproc visit, void* arg) {
    return as_coro(self)->frame.traverse(visit, arg);
}

static int coro_clear(PyObject* self) {
    as_coro(self)->frame.clear();
    return 0;
}

static void coro_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    Coroutine* c = as_coro(self);
    if (c->weakrefs) PyObject_ClearWeakRefs(self);
    c->frame.clear();
    Py_CLEAR(c->frame.fn);
    c->frame.~Frame();
    PyObject_GC_Del(self);
}

static PyObject* coro_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coro(self)->frame.fn->qualname, self);
}

static PyObject* coro_get_name(PyObject* self, void*) { return Py_NewRef(as_coro(self)->frame.fn->name); }
static PyObject* coro_get_qualname(PyObject* self, void*) {
    return Py_NewRef(as_coro(self)->frame.fn->qualname);
}
static PyObject* coro_get_running(PyObject* self, void*) {
    return PyBool_FromLong(as_coro(self)->frame.state == Frame::State::running);
}

static PyGetSetDef coro_getset[] = {
    {"__name__", coro_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", coro_get_qualname, nullptr, nullptr, nullptr},
    {"cr_running", coro_get_running, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyMethodDef coro_methods[] = {
    {"send", coro_send_method, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)), METH_FASTCALL, nullptr},
    {"close", coro_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyAsyncMethods coro_as_async = {coro_await, nullptr, nullptr, coro_send};

static PyTypeObject* coroutine_type() {
    static PyTypeObject type = [] {
        PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
        t.tp_name = "kelpie.coroutine";
        t.tp_basicsize = sizeof(Coroutine);
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC
#ifdef Py_TPFLAGS_HAVE_AM_SEND
                     | Py_TPFLAGS_HAVE_AM_SEND
#endif
            ;
        t.tp_as_async = &coro_as_async;
        t.tp_dealloc = coro_dealloc;
        t.tp_finalize = coro_finalize;
        t.tp_traverse = coro_traverse;
        t.tp_clear = coro_clear;
        t.tp_repr = coro_repr;
        t.tp_iternext = coro_iternext;
        t.tp_methods = coro_methods;
        t.tp_getset = coro_getset;
        t.tp_weaklistoffset = offsetof(Coroutine, weakrefs);
        return t;
    }();
    return &type;
}

Ref make_coroutine(Function& fn, PyObject* const* args, Task (*body)(Frame&)) {
    static bool ready = false;
    PyTypeObject* type = coroutine_type();
    if (!ready) {
        if (PyType_Ready(type) < 0) return {};
        ready = true;
    }
    Coroutine* c = PyObject_GC_New(Coroutine, type);
    if (!c) return {};
    new (&c->frame) Frame();
    c->weakrefs = nullptr;
    Ref self = steal(reinterpret_cast<PyObject*>(c));
    if (!c->frame.start(&fn, args, body)) return {};
    PyObject_GC_Track(self.get());
    return self;
}

}  // namespace kp
