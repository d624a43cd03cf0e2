/* _kelpie_floor: the JSON mode of async_call_api written by hand in C against
 * the CPython C API, as small as a native implementation can be.
 *
 * The glue benchmarks run it beside kelpie.courier: whatever kelpie costs on
 * top of it is kelpie's own.  It does what this coroutine does, and nothing
 * more (no argument checks, no form mode):
 *
 *     async def call(url, headers=None, payload=None):
 *         async with aiohttp.ClientSession() as session:
 *             async with session.post(url, headers=headers, json=payload) as response:
 *                 if response.status == 200:
 *                     return await response.json()
 *                 error_text = await response.text()
 *                 return response.status, error_text
 *
 * The module imports aiohttp into its dict; `aiohttp` is looked up there when
 * the coroutine starts, so a stand-in put there (module.aiohttp = ...) takes
 * its place.
 *
 * The coroutine is an explicit state machine: `state` names the await it
 * stands at and `awaiting` holds the iterator of that await between sends.
 */

#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *str_aiohttp, *str_ClientSession, *str_post, *str_status, *str_json, *str_text;
static PyObject *str_aenter, *str_aexit, *str_throw, *str_close;
static PyObject *str_url, *str_headers, *str_payload;
static PyObject *post_kwnames; /* ("headers", "json") */
static PyObject *int_200;

/* ---- exceptions as objects, on every supported version ---- */

static PyObject *
fetch_exception(void)
{
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (type == NULL)
        return NULL;
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != NULL) {
        PyException_SetTraceback(value, tb);
        Py_DECREF(tb);
    }
    Py_DECREF(type);
    return value;
#endif
}

/* Raises exc again (steals the reference); NULL clears the error. */
static void
restore_exception(PyObject *exc)
{
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    if (exc == NULL) {
        PyErr_Clear();
        return;
    }
    PyErr_Restore(Py_NewRef(Py_TYPE(exc)), exc, PyException_GetTraceback(exc));
#endif
}

/* The value a coroutine returns, as the StopIteration that carries it out of
 * send(), set the way the interpreter sets it for its own coroutines: from
 * 3.12 on, an instance made at once; before, the value itself when it cannot
 * be mistaken for the exception's arguments (a tuple) or for the exception. */
static void
set_stop_iteration(PyObject *value)
{
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
#if PY_VERSION_HEX < 0x030C0000
    if (!PyTuple_Check(value) && !PyExceptionInstance_Check(value)) {
        PyErr_SetObject(PyExc_StopIteration, value);
        return;
    }
#endif
    PyObject *stop = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (stop != NULL)
        restore_exception(stop);
}

/* The value of the StopIteration being raised (a new reference); clears it. */
static PyObject *
take_stop_value(void)
{
    PyObject *stop = fetch_exception();
    PyObject *value = Py_NewRef(((PyStopIterationObject *)stop)->value);
    Py_DECREF(stop);
    return value;
}

/* ---- await and async with ---- */

static int
is_iterable_coroutine(PyObject *o)
{
    if (!PyGen_CheckExact(o))
        return 0;
#if PY_VERSION_HEX >= 0x030C0000
    PyCodeObject *code = PyGen_GetCode((PyGenObject *)o);
    int flag = (code->co_flags & CO_ITERABLE_COROUTINE) != 0;
    Py_DECREF(code);
    return flag;
#else
    /* a PyObject * before 3.11 */
    return (((PyCodeObject *)((PyGenObject *)o)->gi_code)->co_flags & CO_ITERABLE_COROUTINE) != 0;
#endif
}

/* The iterator `await o` drives: a coroutine itself, anything else through
 * its __await__.  A new reference. */
static PyObject *
await_iter(PyObject *o)
{
    if (PyCoro_CheckExact(o) || is_iterable_coroutine(o))
        return Py_NewRef(o);
    PyAsyncMethods *am = Py_TYPE(o)->tp_as_async;
    if (am == NULL || am->am_await == NULL) {
        PyErr_Format(PyExc_TypeError, "'%.100s' object can't be awaited", Py_TYPE(o)->tp_name);
        return NULL;
    }
    PyObject *it = am->am_await(o);
    if (it == NULL)
        return NULL;
    if (PyCoro_CheckExact(it) || is_iterable_coroutine(it)) {
        Py_DECREF(it);
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return NULL;
    }
    if (!PyIter_Check(it)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it)->tp_name);
        Py_DECREF(it);
        return NULL;
    }
    return it;
}

/* `name` looked up on the type of obj, as the interpreter looks up special
 * methods.  A function or method descriptor comes back as it is, with *self
 * set to obj (it is called with obj in front of its arguments); any other
 * descriptor comes back bound, with *self NULL.  NULL with no exception set
 * when the type has no such attribute. */
static PyObject *
lookup_special(PyObject *obj, PyObject *name, PyObject **self)
{
    *self = NULL;
    PyObject *descr = _PyType_Lookup(Py_TYPE(obj), name);
    if (descr == NULL)
        return NULL;
    if (PyType_HasFeature(Py_TYPE(descr), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        *self = obj;
        return Py_NewRef(descr);
    }
    descrgetfunc get = Py_TYPE(descr)->tp_descr_get;
    if (get == NULL)
        return Py_NewRef(descr);
    Py_INCREF(descr);
    PyObject *bound = get(descr, obj, (PyObject *)Py_TYPE(obj));
    Py_DECREF(descr);
    return bound;
}

/* func(self, *args), or func(*args) when self is NULL; args[0] is a free
 * slot in front of the nargs arguments. */
static PyObject *
call_special(PyObject *func, PyObject *self, PyObject **args, size_t nargs)
{
    if (self != NULL) {
        args[0] = self;
        return PyObject_Vectorcall(func, args, nargs + 1, NULL);
    }
    return PyObject_Vectorcall(func, args + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, NULL);
}

/* The way into `async with mgr`: looks __aenter__ and __aexit__ up on the
 * type, keeps __aexit__ in *exit_func and *exit_self for the way out and
 * returns the awaitable mgr.__aenter__() gives. */
static PyObject *
async_with_enter(PyObject *mgr, PyObject **exit_func, PyObject **exit_self)
{
    PyObject *enter_self, *leave_self, *args[1];
    PyObject *enter = lookup_special(mgr, str_aenter, &enter_self);
    if (enter == NULL)
        goto unsupported;
    PyObject *leave = lookup_special(mgr, str_aexit, &leave_self);
    if (leave == NULL) {
        Py_DECREF(enter);
        goto unsupported;
    }
    PyObject *awaitable = call_special(enter, enter_self, args, 0);
    Py_DECREF(enter);
    if (awaitable == NULL) {
        Py_DECREF(leave);
        return NULL;
    }
    *exit_func = leave;
    *exit_self = Py_XNewRef(leave_self);
    return awaitable;

unsupported:
    if (!PyErr_Occurred())
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the asynchronous context manager protocol",
                     Py_TYPE(mgr)->tp_name);
    return NULL;
}

/* The way out of `async with`: __aexit__(type, exc, tb) for the exception
 * being handled, or __aexit__(None, None, None); returns its awaitable.  The
 * kept __aexit__ is used up either way. */
static PyObject *
async_with_exit(PyObject **exit_func, PyObject **exit_self, PyObject *exc)
{
    PyObject *func = *exit_func, *self = *exit_self, *tb = NULL, *args[4];
    *exit_func = *exit_self = NULL;
    if (exc == NULL) {
        args[1] = args[2] = args[3] = Py_None;
    }
    else {
        tb = PyException_GetTraceback(exc);
        args[1] = (PyObject *)Py_TYPE(exc);
        args[2] = exc;
        args[3] = tb != NULL ? tb : Py_None;
    }
    PyObject *awaitable = call_special(func, self, args, 3);
    Py_XDECREF(tb);
    Py_DECREF(func);
    Py_XDECREF(self);
    return awaitable;
}

/* ---- the coroutine ---- */

enum {
    ST_START,             /* not started yet */
    ST_SESSION_ENTER,     /* at `await` the session's __aenter__() */
    ST_RESPONSE_ENTER,    /* at `await` the request's __aenter__() */
    ST_JSON,              /* at `await response.json()` */
    ST_TEXT,              /* at `await response.text()` */
    ST_RESPONSE_EXIT,     /* leaving the response block: its __aexit__(None, None, None) */
    ST_SESSION_EXIT,      /* leaving the session block: its __aexit__(None, None, None) */
    ST_RESPONSE_EXIT_EXC, /* the response block's __aexit__ handling `exc` */
    ST_SESSION_EXIT_EXC,  /* the session block's __aexit__ handling `exc` */
    ST_DONE,              /* returned, raised or closed */
};

typedef struct {
    PyObject_HEAD
    PyObject *globals; /* the module's dict, where `aiohttp` is looked up */
    PyObject *url, *headers, *payload;
    PyObject *session_exit, *session_self;   /* the session manager's __aexit__ (see lookup_special) */
    PyObject *response_exit, *response_self; /* the request manager's */
    PyObject *response;
    PyObject *awaiting; /* the iterator of the await the coroutine stands at */
    PyObject *result;   /* the value being returned while the blocks are left; NULL for None */
    PyObject *exc;      /* the exception an __aexit__ is handling */
    int state;
    int depth; /* the blocks the body is in: 0, 1 (session) or 2 (session and response) */
    int running;
} FloorCoro;

typedef struct {
    PyObject_HEAD
    PyObject *coro;
} FloorAwait;

static PyTypeObject FloorCoro_Type, FloorAwait_Type;

static int
coro_clear(PyObject *op)
{
    FloorCoro *self = (FloorCoro *)op;
    self->state = ST_DONE; /* nothing is left to run */
    self->depth = 0;
    Py_CLEAR(self->globals);
    Py_CLEAR(self->url);
    Py_CLEAR(self->headers);
    Py_CLEAR(self->payload);
    Py_CLEAR(self->session_exit);
    Py_CLEAR(self->session_self);
    Py_CLEAR(self->response_exit);
    Py_CLEAR(self->response_self);
    Py_CLEAR(self->response);
    Py_CLEAR(self->awaiting);
    Py_CLEAR(self->result);
    Py_CLEAR(self->exc);
    return 0;
}

static int
coro_traverse(PyObject *op, visitproc visit, void *arg)
{
    FloorCoro *self = (FloorCoro *)op;
    Py_VISIT(self->globals);
    Py_VISIT(self->url);
    Py_VISIT(self->headers);
    Py_VISIT(self->payload);
    Py_VISIT(self->session_exit);
    Py_VISIT(self->session_self);
    Py_VISIT(self->response_exit);
    Py_VISIT(self->response_self);
    Py_VISIT(self->response);
    Py_VISIT(self->awaiting);
    Py_VISIT(self->result);
    Py_VISIT(self->exc);
    return 0;
}

static void
coro_finish(FloorCoro *self)
{
    coro_clear((PyObject *)self);
}

/* The body goes on with the value of the await it stood at (a reference it
 * takes over).  Returns the awaitable of the next await, with the state set
 * to it; or NULL: with *done set when the body returns (the value in
 * self->result), else with an exception raised in the body. */
static PyObject *
body_continue(FloorCoro *self, PyObject *value, int *done)
{
    PyObject *awaitable, *args[5];

    switch (self->state) {
    case ST_START: {
        Py_DECREF(value);
        PyObject *aiohttp = PyDict_GetItemWithError(self->globals, str_aiohttp);
        if (aiohttp == NULL) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", str_aiohttp);
            return NULL;
        }
        Py_INCREF(aiohttp);
        PyObject *session_class = PyObject_GetAttr(aiohttp, str_ClientSession);
        Py_DECREF(aiohttp);
        if (session_class == NULL)
            return NULL;
        PyObject *mgr = PyObject_CallNoArgs(session_class);
        Py_DECREF(session_class);
        if (mgr == NULL)
            return NULL;
        awaitable = async_with_enter(mgr, &self->session_exit, &self->session_self);
        Py_DECREF(mgr);
        self->state = ST_SESSION_ENTER;
        return awaitable;
    }
    case ST_SESSION_ENTER: { /* value: the session */
        self->depth = 1;
        args[1] = value;
        args[2] = self->url;
        args[3] = self->headers;
        args[4] = self->payload;
        PyObject *mgr = PyObject_VectorcallMethod(str_post, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, post_kwnames);
        Py_DECREF(value);
        if (mgr == NULL)
            return NULL;
        awaitable = async_with_enter(mgr, &self->response_exit, &self->response_self);
        Py_DECREF(mgr);
        self->state = ST_RESPONSE_ENTER;
        return awaitable;
    }
    case ST_RESPONSE_ENTER: { /* value: the response */
        self->depth = 2;
        self->response = value;
        PyObject *status = PyObject_GetAttr(value, str_status);
        if (status == NULL)
            return NULL;
        int ok = PyObject_RichCompareBool(status, int_200, Py_EQ);
        Py_DECREF(status);
        if (ok < 0)
            return NULL;
        self->state = ok ? ST_JSON : ST_TEXT;
        return PyObject_CallMethodNoArgs(value, ok ? str_json : str_text);
    }
    case ST_JSON:
    case ST_TEXT:
        if (self->state == ST_JSON) { /* value: what to return */
            self->result = value;
        }
        else { /* value: error_text */
            PyObject *status = PyObject_GetAttr(self->response, str_status);
            if (status == NULL) {
                Py_DECREF(value);
                return NULL;
            }
            self->result = PyTuple_Pack(2, status, value);
            Py_DECREF(status);
            Py_DECREF(value);
            if (self->result == NULL)
                return NULL;
        }
        /* return: out of the response block first */
        self->depth = 1;
        self->state = ST_RESPONSE_EXIT;
        return async_with_exit(&self->response_exit, &self->response_self, NULL);
    case ST_RESPONSE_EXIT: /* then out of the session block */
        Py_DECREF(value);
        self->depth = 0;
        self->state = ST_SESSION_EXIT;
        return async_with_exit(&self->session_exit, &self->session_self, NULL);
    case ST_SESSION_EXIT:
        Py_DECREF(value);
        *done = 1;
        return NULL;
    case ST_RESPONSE_EXIT_EXC:
    case ST_SESSION_EXIT_EXC: {
        int swallowed = PyObject_IsTrue(value);
        Py_DECREF(value);
        if (swallowed < 0)
            return NULL;
        if (!swallowed) {
            restore_exception(self->exc);
            self->exc = NULL;
            return NULL;
        }
        Py_CLEAR(self->exc);
        if (self->state == ST_SESSION_EXIT_EXC) { /* the body's end: it returns None */
            *done = 1;
            return NULL;
        }
        /* after the response block comes the end of the session block */
        self->state = ST_SESSION_EXIT;
        self->depth = 0;
        return async_with_exit(&self->session_exit, &self->session_self, NULL);
    }
    }
    Py_DECREF(value);
    PyErr_SetString(PyExc_SystemError, "_kelpie_floor: bad coroutine state");
    return NULL;
}

/* The exception being raised in the body reaches the innermost block left:
 * returns the awaitable of the __aexit__ handling it, or NULL when it leaves
 * the body (raised again).  An exception raised by __aexit__ or its awaiting
 * goes on to the block around, with the one handled as its __context__. */
static PyObject *
body_raise(FloorCoro *self)
{
    for (;;) {
        PyObject *exc = fetch_exception();
        Py_CLEAR(self->result); /* a return under way is given up */
        if (self->exc != NULL) {
            PyObject *context = PyException_GetContext(exc);
            if (context == NULL && exc != self->exc)
                PyException_SetContext(exc, self->exc);
            else
                Py_DECREF(self->exc);
            Py_XDECREF(context);
            self->exc = NULL;
        }
        PyObject *awaitable;
        if (self->depth == 2) {
            self->state = ST_RESPONSE_EXIT_EXC;
            awaitable = async_with_exit(&self->response_exit, &self->response_self, exc);
        }
        else if (self->depth == 1) {
            self->state = ST_SESSION_EXIT_EXC;
            awaitable = async_with_exit(&self->session_exit, &self->session_self, exc);
        }
        else {
            restore_exception(exc);
            return NULL;
        }
        self->depth--;
        self->exc = exc;
        if (awaitable != NULL)
            return awaitable;
    }
}

/* Runs the body on from the await it stands at, given that await's value (a
 * reference taken over) or NULL with the exception the await raised. */
static PySendResult
coro_resume(FloorCoro *self, PyObject *value, PyObject **presult)
{
    for (;;) {
        PyObject *awaitable = NULL;
        if (value != NULL) {
            int done = 0;
            awaitable = body_continue(self, value, &done);
            if (done) {
                *presult = self->result != NULL ? self->result : Py_NewRef(Py_None);
                self->result = NULL;
                coro_finish(self);
                return PYGEN_RETURN;
            }
        }
        if (awaitable == NULL && (awaitable = body_raise(self)) == NULL) {
            coro_finish(self);
            if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                PyObject *stop = fetch_exception();
                PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
                PyObject *error = fetch_exception();
                PyException_SetCause(error, Py_NewRef(stop));
                PyException_SetContext(error, stop);
                restore_exception(error);
            }
            *presult = NULL;
            return PYGEN_ERROR;
        }
        self->awaiting = await_iter(awaitable);
        Py_DECREF(awaitable);
        if (self->awaiting == NULL) {
            value = NULL;
            continue;
        }
        if (PyIter_Send(self->awaiting, Py_None, &value) == PYGEN_NEXT) {
            *presult = value; /* suspended: the value goes out to the event loop */
            return PYGEN_NEXT;
        }
        Py_CLEAR(self->awaiting);
    }
}

static int
coro_cannot_run(FloorCoro *self)
{
    if (self->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return 1;
    }
    return 0;
}

static PySendResult
coro_am_send(PyObject *op, PyObject *arg, PyObject **presult)
{
    FloorCoro *self = (FloorCoro *)op;
    PyObject *value;
    *presult = NULL;
    if (coro_cannot_run(self))
        return PYGEN_ERROR;
    if (self->state == ST_DONE) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    if (self->state == ST_START) {
        if (arg != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        self->running = 1;
        value = Py_NewRef(Py_None);
    }
    else {
        self->running = 1;
        if (PyIter_Send(self->awaiting, arg, &value) == PYGEN_NEXT) {
            self->running = 0;
            *presult = value;
            return PYGEN_NEXT;
        }
        Py_CLEAR(self->awaiting);
    }
    PySendResult r = coro_resume(self, value, presult);
    self->running = 0;
    return r;
}

static int
close_iter(PyObject *it)
{
    PyObject *close = PyObject_GetAttr(it, str_close);
    if (close == NULL) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    PyObject *r = PyObject_CallNoArgs(close);
    Py_DECREF(close);
    if (r == NULL)
        return -1;
    Py_DECREF(r);
    return 0;
}

/* exc (a reference taken over) thrown in at the await the coroutine stands
 * at: the awaited iterator gets it first (GeneratorExit closes it), and what
 * it raises goes on in the body. */
static PySendResult
coro_throw_exc(FloorCoro *self, PyObject *exc, PyObject **presult)
{
    PyObject *value = NULL;
    *presult = NULL;
    if (coro_cannot_run(self)) {
        Py_DECREF(exc);
        return PYGEN_ERROR;
    }
    if (self->state == ST_START || self->state == ST_DONE) {
        coro_finish(self);
        restore_exception(exc);
        return PYGEN_ERROR;
    }
    self->running = 1;
    if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
        int err = close_iter(self->awaiting);
        Py_CLEAR(self->awaiting);
        if (err < 0)
            Py_DECREF(exc);
        else
            restore_exception(exc);
    }
    else {
        PyObject *throw = PyObject_GetAttr(self->awaiting, str_throw);
        if (throw == NULL) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                restore_exception(exc);
            }
            else {
                Py_DECREF(exc);
            }
        }
        else {
            value = PyObject_CallOneArg(throw, exc);
            Py_DECREF(throw);
            Py_DECREF(exc);
            if (value != NULL) {
                self->running = 0;
                *presult = value;
                return PYGEN_NEXT;
            }
            if (PyErr_ExceptionMatches(PyExc_StopIteration))
                value = take_stop_value();
        }
        Py_CLEAR(self->awaiting);
    }
    PySendResult r = coro_resume(self, value, presult);
    self->running = 0;
    return r;
}

static PyObject *
send_result(PySendResult r, PyObject *result)
{
    if (r == PYGEN_RETURN) {
        set_stop_iteration(result);
        Py_DECREF(result);
        return NULL;
    }
    return result; /* the value yielded, or NULL on an error */
}

static PyObject *
coro_send(PyObject *op, PyObject *arg)
{
    PyObject *result;
    PySendResult r = coro_am_send(op, arg, &result);
    return send_result(r, result);
}

static PyObject *
coro_throw(PyObject *op, PyObject *args)
{
    PyObject *type, *value = Py_None, *tb = Py_None, *exc, *result;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &type, &value, &tb))
        return NULL;
    if (tb != Py_None && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return NULL;
    }
    if (PyExceptionClass_Check(type)) {
        PyErr_SetObject(type, value);
    }
    else if (PyExceptionInstance_Check(type)) {
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return NULL;
        }
        PyErr_SetObject((PyObject *)Py_TYPE(type), type);
    }
    else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return NULL;
    }
    exc = fetch_exception();
    if (tb != Py_None)
        PyException_SetTraceback(exc, tb);
    PySendResult r = coro_throw_exc((FloorCoro *)op, exc, &result);
    return send_result(r, result);
}

static PyObject *
coro_close(PyObject *op, PyObject *Py_UNUSED(ignored))
{
    FloorCoro *self = (FloorCoro *)op;
    PyObject *result;
    if (self->state == ST_START || self->state == ST_DONE) {
        if (coro_cannot_run(self))
            return NULL;
        coro_finish(self);
        Py_RETURN_NONE;
    }
    PyObject *exc = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (exc == NULL)
        return NULL;
    switch (coro_throw_exc(self, exc, &result)) {
    case PYGEN_NEXT:
        Py_DECREF(result);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return NULL;
    case PYGEN_RETURN:
        return result;
    default:
        if (PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
            PyErr_Clear();
            Py_RETURN_NONE;
        }
        return NULL;
    }
}

/* A coroutine dropped while suspended is closed, so that its blocks are left. */
static void
coro_finalize(PyObject *op)
{
    FloorCoro *self = (FloorCoro *)op;
    if (self->state == ST_START || self->state == ST_DONE)
        return;
    PyObject *saved = fetch_exception();
    PyObject *r = coro_close(op, NULL);
    if (r == NULL)
        PyErr_WriteUnraisable(op);
    else
        Py_DECREF(r);
    restore_exception(saved);
}

static void
coro_dealloc(PyObject *op)
{
    FloorCoro *self = (FloorCoro *)op;
    if (self->state != ST_START && self->state != ST_DONE && PyObject_CallFinalizerFromDealloc(op) < 0)
        return; /* resurrected */
    PyObject_GC_UnTrack(op);
    coro_clear(op);
    PyObject_GC_Del(op);
}

static PyObject *
coro_am_await(PyObject *op)
{
    FloorAwait *it = PyObject_GC_New(FloorAwait, &FloorAwait_Type);
    if (it == NULL)
        return NULL;
    it->coro = Py_NewRef(op);
    PyObject_GC_Track(it);
    return (PyObject *)it;
}

static PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, "send(value) -> the next value yielded, or StopIteration."},
    {"throw", coro_throw, METH_VARARGS, "throw(exc) -> raises exc at the await the coroutine stands at."},
    {"close", coro_close, METH_NOARGS, "close() -> raises GeneratorExit inside the coroutine."},
    {NULL, NULL, 0, NULL},
};

static PyAsyncMethods coro_as_async = {
    .am_await = coro_am_await,
    .am_send = coro_am_send,
};

static PyTypeObject FloorCoro_Type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "_kelpie_floor.coroutine",
    .tp_basicsize = sizeof(FloorCoro),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_dealloc = coro_dealloc,
    .tp_traverse = coro_traverse,
    .tp_clear = coro_clear,
    .tp_finalize = coro_finalize,
    .tp_as_async = &coro_as_async,
    .tp_methods = coro_methods,
};

/* ---- the iterator __await__ gives ---- */

static int
await_traverse(PyObject *op, visitproc visit, void *arg)
{
    Py_VISIT(((FloorAwait *)op)->coro);
    return 0;
}

static int
await_clear(PyObject *op)
{
    Py_CLEAR(((FloorAwait *)op)->coro);
    return 0;
}

static void
await_dealloc(PyObject *op)
{
    PyObject_GC_UnTrack(op);
    await_clear(op);
    PyObject_GC_Del(op);
}

static PyObject *
await_iternext(PyObject *op)
{
    return coro_send(((FloorAwait *)op)->coro, Py_None);
}

static PySendResult
await_am_send(PyObject *op, PyObject *arg, PyObject **presult)
{
    return coro_am_send(((FloorAwait *)op)->coro, arg, presult);
}

static PyObject *
await_send(PyObject *op, PyObject *arg)
{
    return coro_send(((FloorAwait *)op)->coro, arg);
}

static PyObject *
await_throw(PyObject *op, PyObject *args)
{
    return coro_throw(((FloorAwait *)op)->coro, args);
}

static PyObject *
await_close(PyObject *op, PyObject *Py_UNUSED(ignored))
{
    return coro_close(((FloorAwait *)op)->coro, NULL);
}

static PyMethodDef await_methods[] = {
    {"send", await_send, METH_O, NULL},
    {"throw", await_throw, METH_VARARGS, NULL},
    {"close", await_close, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static PyAsyncMethods await_as_async = {
    .am_send = await_am_send,
};

static PyTypeObject FloorAwait_Type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "_kelpie_floor.coroutine_wrapper",
    .tp_basicsize = sizeof(FloorAwait),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_dealloc = await_dealloc,
    .tp_traverse = await_traverse,
    .tp_clear = await_clear,
    .tp_as_async = &await_as_async,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = await_iternext,
    .tp_methods = await_methods,
};

/* ---- the module ---- */

/* async_call_api(url, headers=None, payload=None) -> the coroutine. */
static PyObject *
floor_async_call_api(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    static PyObject **names[3] = {&str_url, &str_headers, &str_payload};
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "async_call_api() takes at most 3 positional arguments (%zd given)", nargs);
        return NULL;
    }
    PyObject *params[3] = {
        nargs > 0 ? args[0] : NULL,
        nargs > 1 ? args[1] : Py_None,
        nargs > 2 ? args[2] : Py_None,
    };
    Py_ssize_t nkw = kwnames != NULL ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, k);
        int i = 0;
        while (i < 3 && name != *names[i]) /* names at call sites are interned: by identity first */
            i++;
        if (i == 3) {
            i = 0;
            while (i < 3 && PyUnicode_Compare(name, *names[i]) != 0)
                i++;
        }
        if (i == 3) {
            PyErr_Format(PyExc_TypeError, "async_call_api() got an unexpected keyword argument '%U'", name);
            return NULL;
        }
        if (i < nargs) {
            PyErr_Format(PyExc_TypeError, "async_call_api() got multiple values for argument '%U'", name);
            return NULL;
        }
        params[i] = args[nargs + k];
    }
    if (params[0] == NULL) {
        PyErr_SetString(PyExc_TypeError, "async_call_api() missing required argument 'url'");
        return NULL;
    }

    FloorCoro *coro = PyObject_GC_New(FloorCoro, &FloorCoro_Type);
    if (coro == NULL)
        return NULL;
    coro->globals = Py_NewRef(PyModule_GetDict(module));
    coro->url = Py_NewRef(params[0]);
    coro->headers = Py_NewRef(params[1]);
    coro->payload = Py_NewRef(params[2]);
    coro->session_exit = coro->session_self = NULL;
    coro->response_exit = coro->response_self = NULL;
    coro->response = coro->awaiting = coro->result = coro->exc = NULL;
    coro->state = ST_START;
    coro->depth = 0;
    coro->running = 0;
    PyObject_GC_Track(coro);
    return (PyObject *)coro;
}

static PyMethodDef floor_methods[] = {
    {"async_call_api", (PyCFunction)(void (*)(void))floor_async_call_api, METH_FASTCALL | METH_KEYWORDS,
     "async_call_api(url, headers=None, payload=None)\n--\n\nThe JSON-mode call as a coroutine."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT,
    .m_name = "_kelpie_floor",
    .m_doc = "The JSON-mode async_call_api written by hand against the C API.",
    .m_size = -1,
    .m_methods = floor_methods,
};

static int
intern(PyObject **slot, const char *text)
{
    *slot = PyUnicode_InternFromString(text);
    return *slot != NULL ? 0 : -1;
}

PyMODINIT_FUNC
PyInit__kelpie_floor(void)
{
    if (intern(&str_aiohttp, "aiohttp") < 0 || intern(&str_ClientSession, "ClientSession") < 0
        || intern(&str_post, "post") < 0 || intern(&str_status, "status") < 0 || intern(&str_json, "json") < 0
        || intern(&str_text, "text") < 0 || intern(&str_aenter, "__aenter__") < 0
        || intern(&str_aexit, "__aexit__") < 0 || intern(&str_throw, "throw") < 0
        || intern(&str_close, "close") < 0 || intern(&str_url, "url") < 0 || intern(&str_headers, "headers") < 0
        || intern(&str_payload, "payload") < 0)
        return NULL;
    if ((post_kwnames = PyTuple_Pack(2, str_headers, str_json)) == NULL || (int_200 = PyLong_FromLong(200)) == NULL)
        return NULL;
    if (PyType_Ready(&FloorCoro_Type) < 0 || PyType_Ready(&FloorAwait_Type) < 0)
        return NULL;

    PyObject *module = PyModule_Create(&floor_module);
    if (module == NULL)
        return NULL;
    PyObject *aiohttp = PyImport_ImportModule("aiohttp");
    if (aiohttp == NULL || PyModule_AddObjectRef(module, "aiohttp", aiohttp) < 0) {
        Py_XDECREF(aiohttp);
        Py_DECREF(module);
        return NULL;
    }
    Py_DECREF(aiohttp);
    return module;
}
