// The part of coroutine and asynchronous-generator objects that does not
// depend on the kind: lifetime, repr and introspection.
#include "runtime/body.hpp"

#include <cstddef>
#include <cstring>

namespace kp {

static int body_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_body(self)->origin_or_finalizer);
    return as_body(self)->frame.traverse(visit, arg);
}

static int body_clear(PyObject* self) {
    as_body(self)->frame.clear();
    Py_CLEAR(as_body(self)->origin_or_finalizer);
    return 0;
}

static void body_dealloc(PyObject* self) {
    BodyObject* o = as_body(self);
    // The finalizers of both types (final types) do nothing for a finished
    // body: only an unfinished one needs the call.
    if (o->frame.state != Frame::State::finished && PyObject_CallFinalizerFromDealloc(self) < 0)
        return;  // resurrected (by a finalizer hook, say)
    PyObject_GC_UnTrack(self);
    if (o->weakrefs) PyObject_ClearWeakRefs(self);
    Py_CLEAR(o->origin_or_finalizer);
    o->frame.~Frame();
    PyObject_GC_Del(self);
}

// "<coroutine object f at 0x...>": the kind is the type's name without
// the module.
static PyObject* body_repr(PyObject* self) {
    const char* kind = std::strrchr(Py_TYPE(self)->tp_name, '.') + 1;
    return PyUnicode_FromFormat("<%s object %U at %p>", kind, as_body(self)->frame.fn->qualname, self);
}

static PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_body(self)->frame.fn->name); }
static PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_body(self)->frame.fn->qualname); }
static PyObject* get_frame(PyObject* self, void*) { return as_body(self)->frame.get_frame(); }
static PyObject* get_await(PyObject* self, void*) { return as_body(self)->frame.get_await(); }
static PyObject* get_code(PyObject* self, void*) { return as_body(self)->frame.get_code(); }
static PyObject* get_suspended(PyObject* self, void*) { return as_body(self)->frame.get_suspended(); }
[[maybe_unused]] static PyObject* get_state(PyObject* self, void* prefix) {
    return as_body(self)->frame.get_state(static_cast<const char*>(prefix));
}

BodyGetSet body_getset(const BodyNames& names, getter running, PyGetSetDef extra) {
    BodyGetSet table{};  // the rows left unfilled end it
    std::size_t n = 0;
    auto row = [&](const char* name, getter get, const char* closure = nullptr) {
        if (name) table[n++] = {name, get, nullptr, nullptr, const_cast<char*>(closure)};
    };
    row("__name__", get_name);
    row("__qualname__", get_qualname);
    row(names.running, running);
    row(names.frame, get_frame);
    row(names.await, get_await);
    row(names.code, get_code);
#if PY_VERSION_HEX >= 0x030F0000
    row(names.state, get_state, names.state_prefix);
#endif
    row(names.suspended, get_suspended);
    row(extra.name, extra.get);
    return table;
}

PyTypeObject body_type(const char* name, PyAsyncMethods* as_async, PyMethodDef* methods, PyGetSetDef* getset,
                       destructor finalize) {
    PyTypeObject t = gc_type({.name = name, .size = sizeof(BodyObject), .dealloc = body_dealloc, .traverse = body_traverse,
                              .clear = body_clear, .finalize = finalize, .repr = body_repr, .as_async = as_async,
                              .methods = methods, .getset = getset, .weaklist = offsetof(BodyObject, weakrefs)});
    t.tp_itemsize = 1;  // the arguments and the body's frame, in bytes
    return t;
}

Ref start_body(PyTypeObject* type, Function& fn, PyObject* const* args, Task (*body)(Frame&)) {
    // The room for the body's C++ frame: its size is measured once.
    if (!fn.body_size && !(fn.body_size = Frame::measure(body))) return {};
    const size_t room = body_room(fn.def->nparams);
    const uint64_t seen = fn.seen, stamp = defaults_stamp(fn);
    BodyObject* o = PyObject_GC_NewVar(BodyObject, type, Py_ssize_t(room - sizeof(BodyObject) + fn.body_size));
    if (!o) return {};
    // The allocation may have run the collector, and with it Python code
    // that changed the function's defaults, from which `args` may borrow:
    // then the call is bound again (an empty result, no exception).
    if (fn.seen != seen || defaults_stamp(fn) != stamp) [[unlikely]] {
        PyObject_GC_Del(o);
        return {};
    }
    o->weakrefs = nullptr;
    o->origin_or_finalizer = nullptr;
    new (&o->frame) Frame();
    Ref self = steal(reinterpret_cast<PyObject*>(o));
    if (!o->frame.start(&fn, args, body, fn.body_size)) return {};
    PyObject_GC_Track(self.get());
    return self;
}

}  // namespace kp
