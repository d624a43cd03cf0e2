// Coroutine objects: what a coroutine function's call returns, driven by
// `await`, asyncio's tasks or by hand through send/throw/close.
#include "runtime/body.hpp"
#include "runtime/call.hpp"
#include "runtime/names.hpp"

#include <frameobject.h>  // after Python.h

namespace kp {

static BodyObject* as_coro(PyObject* o) { return as_body(o); }

// Raises StopIteration carrying `value` (wrapped, so that a tuple or an
// exception instance arrives as the value itself).  From 3.14 the
// interpreter raises a returned or yielded value's StopIteration as it made
// it, without the handled exception as its context; a None return still
// takes one.
void raise_stop_iteration(PyObject* value) {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
#if PY_VERSION_HEX >= 0x030E0000  // 3.14
    if (PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, value)) PyErr_SetRaisedException(stop);
#else
    if (!PyTuple_Check(value) && !PyExceptionInstance_Check(value)) {
        PyErr_SetObject(PyExc_StopIteration, value);  // made into an instance only if someone looks
        return;
    }
    Ref stop = call(PyExc_StopIteration, value);
    if (stop) PyErr_SetObject(PyExc_StopIteration, stop.get());
#endif
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

static PySendResult coro_result(Step step, PyObject** result) {
    switch (step) {
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

static PySendResult coro_send(PyObject* self, PyObject* arg, PyObject** result) {
    return coro_result(as_coro(self)->frame.resume(arg, false, false, result), result);
}

PyObject* send_result(PySendResult st, PyObject* result) {
    if (st == PYGEN_RETURN) {
        raise_stop_iteration(result);
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}

static PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!set_thrown(args, nargs, "throw")) return nullptr;
    PyObject* result;
    PySendResult st = coro_result(as_coro(self)->frame.throw_in(true, &result), &result);
    return send_result(st, result);
}

static PyObject* coro_close(PyObject* self, PyObject*) {
    return as_coro(self)->frame.close("coroutine ignored GeneratorExit").release();
}

// ---- what __await__ gives: an iterator over the coroutine -----------------------------------------

struct Wrapper {
    PyObject_HEAD
    PyObject* coro;
};

static PyTypeObject wrapper_type_object;
static PyTypeObject* wrapper_type() { return &wrapper_type_object; }

static PyObject* make_wrapper(PyObject* coro) {
    Wrapper* w = PyObject_GC_New(Wrapper, wrapper_type());
    if (!w) return nullptr;
    w->coro = Py_NewRef(coro);
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject*>(w);
}

static PyObject* wrapped(PyObject* self) { return reinterpret_cast<Wrapper*>(self)->coro; }

static PySendResult wrapper_send(PyObject* self, PyObject* arg, PyObject** result) {
    return coro_send(wrapped(self), arg, result);
}
static PyObject* wrapper_iternext(PyObject* self) {
    PyObject* result;
    PySendResult st = coro_send(wrapped(self), Py_None, &result);
    if (st == PYGEN_RETURN) {
        if (result != Py_None) raise_stop_iteration(result);
        Py_DECREF(result);
        return nullptr;
    }
    return result;
}
static PyObject* wrapper_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return coro_throw(wrapped(self), args, nargs);
}
static PyObject* wrapper_close(PyObject* self, PyObject*) { return coro_close(wrapped(self), nullptr); }

static int wrapper_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(wrapped(self));
    return 0;
}

static void wrapper_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<Wrapper*>(self)->coro);
    PyObject_GC_Del(self);
}


// What an await-chain walker reads (asyncio's call graph among them): the
// awaiting coroutine's cr_await is this iterator, and the chain goes on
// through it as through the coroutine, to the coroutine's frame and to
// whatever the coroutine awaits.
static PyObject* wrapper_get_await(PyObject* self, void*) { return as_coro(wrapped(self))->frame.get_await(); }
static PyObject* wrapper_get_frame(PyObject* self, void*) { return as_coro(wrapped(self))->frame.get_frame(); }

static PyGetSetDef wrapper_getset[] = {
    {"cr_await", wrapper_get_await, nullptr, nullptr, nullptr},
    {"cr_frame", wrapper_get_frame, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyAsyncMethods wrapper_as_async = {nullptr, nullptr, nullptr, wrapper_send};

// `await coro`: refused while another await is driving it, as the
// interpreter refuses it for its own coroutines.
static PyObject* coro_await(PyObject* self) {
    if (as_coro(self)->frame.awaiting()) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return make_wrapper(self);
}

// coro.__await__() called directly: the iterator, without the check.
static PyObject* coro_await_method(PyObject* self, PyObject*) { return make_wrapper(self); }

// ---- the type ----------------------------------------------------------------------------

static Name s_warnings{"warnings"}, s_warn_unawaited_coroutine{"_warn_unawaited_coroutine"};

// "coroutine ... was never awaited", as the interpreter warns: through
// warnings._warn_unawaited_coroutine where it exists, which adds where the
// coroutine was made (cr_origin) and passes the coroutine as the warning's
// source (so that tracemalloc can say where it was allocated); the plain
// warning otherwise.
static void warn_unawaited(PyObject* self, Frame& f) {
    bool warned = false;
    Ref warnings = steal(PyImport_Import(s_warnings));
    bool missing = true;
    Ref warn = warnings ? getattr_optional(warnings.get(), s_warn_unawaited_coroutine, &missing) : Ref{};
    if (warn) {
        Ref done = call(warn.get(), self);
        warned = done || PyErr_ExceptionMatches(PyExc_RuntimeWarning);
    }
    if (PyErr_Occurred()) PyErr_WriteUnraisable(self);
    if (!warned &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%.50S' was never awaited", f.fn->qualname) < 0)
        PyErr_WriteUnraisable(self);
}

static void coro_finalize(PyObject* self) {
    Frame& f = as_coro(self)->frame;
    if (f.state == Frame::State::finished) return;
    Exc saved = Exc::fetch();
    if (f.state == Frame::State::created) {
        f.discard();
        warn_unawaited(self, f);
    } else if (!f.close("coroutine ignored GeneratorExit")) {
        PyErr_WriteUnraisable(self);
    }
    saved.restore();
}

static PyObject* coro_get_running(PyObject* self, void*) { return as_coro(self)->frame.get_running(); }

// cr_origin: where the coroutine was made, as ((filename, line, function
// name), ...) from the calling frame outwards, recorded when
// sys.set_coroutine_origin_tracking_depth() was above 0 at the call.
static PyObject* coro_get_origin(PyObject* self, void*) {
    PyObject* origin = as_coro(self)->origin_or_finalizer;
    return Py_NewRef(origin ? origin : Py_None);
}

// The calling frames, at most `depth` of them, as cr_origin shows them.
static Ref calling_frames(int depth) {
    Ref frames = steal(PyList_New(0));
    if (!frames) return {};
    Ref frame = borrow(reinterpret_cast<PyObject*>(PyEval_GetFrame()));
    for (int n = 0; frame && n < depth; n++) {
        PyFrameObject* f = reinterpret_cast<PyFrameObject*>(frame.get());
        Ref code = steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(f)));
        PyCodeObject* c = reinterpret_cast<PyCodeObject*>(code.get());
        Ref info = steal(Py_BuildValue("OiO", c->co_filename, PyFrame_GetLineNumber(f), c->co_name));
        if (!info || PyList_Append(frames.get(), info.get()) < 0) return {};
        frame = steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(f)));
    }
    return steal(PyList_AsTuple(frames.get()));
}

static BodyGetSet coro_getset =
    body_getset({"cr_running", "cr_frame", "cr_await", "cr_code",
                 PY_VERSION_HEX >= 0x030B0000 ? "cr_suspended" : nullptr, "cr_state", "CORO"},
                coro_get_running, {"cr_origin", coro_get_origin, nullptr, nullptr, nullptr});

static PyMethodDef coro_methods[] = {
    {"send", send_method<coro_send>, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)), METH_FASTCALL, nullptr},
    {"close", coro_close, METH_NOARGS, nullptr},
    {"__await__", coro_await_method, METH_NOARGS | METH_COEXIST, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyAsyncMethods coro_as_async = {coro_await, nullptr, nullptr, coro_send};

static PyTypeObject coroutine_type_object;
static PyTypeObject* coroutine_type() { return &coroutine_type_object; }

bool ready_coroutine_types() noexcept {
    coroutine_type_object =
        body_type("kelpie.coroutine", &coro_as_async, coro_methods, coro_getset.data(), coro_finalize);
    wrapper_type_object = gc_type({.name = "kelpie.coroutine_wrapper", .size = sizeof(Wrapper),
                                   .dealloc = wrapper_dealloc, .traverse = wrapper_traverse,
                                   .as_async = &wrapper_as_async,
                                   .methods = generator_methods<wrapper_send, wrapper_throw, wrapper_close>,
                                   .getset = wrapper_getset, .iternext = wrapper_iternext});
    return PyType_Ready(&coroutine_type_object) == 0 && PyType_Ready(&wrapper_type_object) == 0;
}

Frame* coroutine_frame(PyObject* o) noexcept {
    return Py_IS_TYPE(o, coroutine_type()) ? &as_coro(o)->frame : nullptr;
}

Ref make_coroutine(Function& fn, PyObject* const* args, Task (*body)(Frame&)) {
    Ref made = start_body(coroutine_type(), fn, args, body);
    const int depth = PyThreadState_GET()->coroutine_origin_tracking_depth;
    if (depth > 0 && made && !(as_coro(made.get())->origin_or_finalizer = calling_frames(depth).release())) return {};
    return made;
}

}  // namespace kp
