// What coroutines and asynchronous generators have in common: the object
// that owns a body's Frame, its lifetime (finalizer, traversal, clearing,
// deallocation), its repr and the introspection attributes named as the
// interpreter names them (cr_* for coroutines, ag_* for asynchronous
// generators).
#pragma once
#include <array>

#include "runtime/async.hpp"
#include "runtime/type.hpp"

namespace kp {

struct BodyObject {
    PyObject_HEAD
    Frame frame;
    PyObject* weakrefs;
    PyObject* finalizer;  // asynchronous generators: the finalizer hook, when one was set
};

inline BodyObject* as_body(PyObject* o) { return reinterpret_cast<BodyObject*>(o); }

// The attribute names of one kind; `suspended` is null where the
// interpreter's own objects of the kind have no such attribute.
struct BodyNames {
    const char* running;
    const char* frame;
    const char* await;
    const char* code;
    const char* suspended;
    const char* state;         // 3.15
    const char* state_prefix;  // its values: "CORO_RUNNING", "AGEN_CLOSED", ...
};

using BodyGetSet = std::array<PyGetSetDef, 11>;

// __name__, __qualname__ and the kind's attributes, then `extra`.
BodyGetSet body_getset(const BodyNames& names, getter running, PyGetSetDef extra = {});

// The type of a kind: `size` is its object's size (BodyObject or a struct
// that extends it).
PyTypeObject body_type(const char* name, Py_ssize_t size, PyAsyncMethods* as_async, PyMethodDef* methods,
                       PyGetSetDef* getset, destructor finalize);

// Sets up the shared part of `o`, just allocated with its type (the
// caller has set its own fields), and binds the body to the call of `fn`.
// The new object, tracked by the collector, or empty on error.
Ref start_body(BodyObject* o, Function& fn, PyObject* const* args, Task (*body)(Frame&));

}  // namespace kp
