// What coroutines and asynchronous generators have in common: the object
// that owns a body's Frame, its lifetime (finalizer, traversal, clearing,
// deallocation), its repr and the introspection attributes named as the
// interpreter names them (cr_* for coroutines, ag_* for asynchronous
// generators).
#pragma once
#include <array>
#include <cstddef>

#include "runtime/async.hpp"
#include "runtime/type.hpp"

namespace kp {

// The object is variable-sized (ob_size bytes past the struct): the bound
// arguments follow the Frame, and then, aligned as operator new aligns, the
// body's C++ frame, so a call in flight is one allocation.
struct BodyObject {
    PyObject_VAR_HEAD
    PyObject* weakrefs;
    // Coroutines: cr_origin, when origin tracking was on at the call;
    // asynchronous generators: the loop's finalizer hook, when one was set.
    PyObject* origin_or_finalizer;
    Frame frame;          // last: its arguments follow it
};

static_assert(offsetof(BodyObject, frame) + sizeof(Frame) == sizeof(BodyObject), "the arguments follow the Frame");

// Where the room for the C++ frame begins, past `nargs` arguments.
inline constexpr size_t body_room(int nargs) {
    return (sizeof(BodyObject) + sizeof(Ref) * size_t(nargs) + 15) & ~size_t(15);
}

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

// The type of a kind.
PyTypeObject body_type(const char* name, PyAsyncMethods* as_async, PyMethodDef* methods, PyGetSetDef* getset,
                       destructor finalize);

// A new object of `type` bound to the call of `fn` (ready to run `body`),
// tracked by the collector, or empty on error.
Ref start_body(PyTypeObject* type, Function& fn, PyObject* const* args, Task (*body)(Frame&));

}  // namespace kp
