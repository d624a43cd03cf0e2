// The static types the runtime defines (functions, coroutines, asynchronous
// generators and their helper objects) are all garbage-collected and fill
// the same few slots; gc_type() builds one from the slots it uses.
#pragma once
#include <Python.h>

namespace kp {

struct TypeSlots {
    const char* name;
    Py_ssize_t size;
    destructor dealloc;
    traverseproc traverse;
    inquiry clear = nullptr;
    destructor finalize = nullptr;
    reprfunc repr = nullptr;
    PyAsyncMethods* as_async = nullptr;
    PyMethodDef* methods = nullptr;
    PyGetSetDef* getset = nullptr;
    iternextfunc iternext = nullptr;  // set: the object is its own iterator
    Py_ssize_t weaklist = 0;
};

inline PyTypeObject gc_type(const TypeSlots& s) {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = s.name;
    t.tp_basicsize = s.size;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_dealloc = s.dealloc;
    t.tp_traverse = s.traverse;
    t.tp_clear = s.clear;
    t.tp_finalize = s.finalize;
    t.tp_repr = s.repr;
    t.tp_as_async = s.as_async;
    t.tp_methods = s.methods;
    t.tp_getset = s.getset;
    if (s.iternext) {
        t.tp_iter = PyObject_SelfIter;
        t.tp_iternext = s.iternext;
    }
    t.tp_weaklistoffset = s.weaklist;
    return t;
}

}  // namespace kp
