#include "runtime/call.hpp"

#include <cstdint>

#include "runtime/names.hpp"

namespace kp {

static Name s_enter{"__enter__"};
static Name s_exit{"__exit__"};
static Name s_empty{""};

Ref getattr_optional(PyObject* o, PyObject* name, bool* missing) {
    // The interpreter's own optional lookup (what hasattr uses): an absent
    // attribute costs no AttributeError object.
    PyObject* v = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    int found = PyObject_GetOptionalAttr(o, name, &v);
#else
    int found = _PyObject_LookupAttr(o, name, &v);
#endif
    *missing = found == 0;
    return steal(v);
}

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x03100000
// From 3.12 on the interpreter's lookup costs several times what a small
// cache of our own does: the few (type, name) pairs the hot paths ask for
// (__aenter__, __aexit__, __anext__ of the same few types), each entry valid
// while the type keeps the version tag it had (any change to a type, or to
// one of its bases, gives it a new tag; tags are never reused).
namespace {
struct LookupEntry {
    PyTypeObject* type;
    unsigned int version;
    PyObject* name;
    PyObject* value;  // borrowed from the type's dictionaries

    bool is(PyTypeObject* t, unsigned int v, PyObject* n) const noexcept { return type == t && version == v && name == n; }
};
// Two entries per set: the few hot pairs land in a set by their addresses,
// and with one entry a set two of them shared would be missed on every
// call, in some processes and not others.  A miss replaces the older entry.
constexpr unsigned lookup_sets = 16;
struct LookupSet {
    LookupEntry entry[2];  // the newer first
};
LookupSet lookup_cache[lookup_sets];
inline LookupSet& lookup_set(PyTypeObject* type, PyObject* name) {
    return lookup_cache[((reinterpret_cast<std::uintptr_t>(type) >> 4) ^ (reinterpret_cast<std::uintptr_t>(name) >> 4)) %
                        lookup_sets];
}
// The entry for (type, name), or null; a type without a version tag is
// never remembered.
inline const LookupEntry* lookup_remembered(PyTypeObject* type, PyObject* name) noexcept {
    const unsigned int version = type->tp_version_tag;
    const LookupSet& set = lookup_set(type, name);
    if (!version) return nullptr;
    if (set.entry[0].is(type, version, name)) [[likely]] return &set.entry[0];
    if (set.entry[1].is(type, version, name)) return &set.entry[1];
    return nullptr;
}
}  // namespace
#endif

// Emptied for each interpreter that imports the module: a new interpreter
// counts its types' version tags afresh, and a type of its own may sit at
// an ended one's address with the same tag.
void forget_type_lookups() noexcept {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x03100000
    for (LookupSet& set : lookup_cache) set = {};
#endif
}

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x03100000
// A miss of the cache: the interpreter's lookup, remembered.
[[gnu::noinline]] static PyObject* type_lookup_missed(PyTypeObject* type, PyObject* name) {
    PyObject* value = _PyType_Lookup(type, name);
    // The tag after the lookup, which gives one to a type that had none.
    if (const unsigned int now = type->tp_version_tag) {
        LookupSet& set = lookup_set(type, name);
        set.entry[1] = set.entry[0];
        set.entry[0] = {type, now, name, value};
    }
    return value;
}
#endif

// `name` along the type's MRO, without binding: how the interpreter finds
// special methods.  Borrowed (the type's dictionaries keep it).
static inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
#if PY_VERSION_HEX < 0x03100000
    // Private, but the interpreter's own cached lookup: one per await and
    // per context-manager exit on the hot paths.  Present in 3.10 to 3.15.
#if PY_VERSION_HEX >= 0x030C0000  // 3.12
    if (const LookupEntry* e = lookup_remembered(type, name)) [[likely]] return e->value;
    return type_lookup_missed(type, name);
#else
    return _PyType_Lookup(type, name);
#endif
#else
    PyObject* mro = type->tp_mro;
    if (!mro) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); i++) {
        Ref dict = steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        PyObject* attr = dict ? PyDict_GetItemWithError(dict.get(), name) : nullptr;
        if (attr || PyErr_Occurred()) return attr;
    }
    return nullptr;
#endif
}

Ref lookup_special(PyObject* o, PyObject* name) {
    PyObject* attr = type_lookup(Py_TYPE(o), name);  // borrowed
    if (!attr) return {};
    descrgetfunc get = Py_TYPE(attr)->tp_descr_get;
    if (!get) return borrow(attr);
    Ref bound = steal(get(attr, o, reinterpret_cast<PyObject*>(Py_TYPE(o))));
    if (!bound && !PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "descriptor returned NULL without an exception");
    return bound;
}

void refuse_missing(PyObject* o, const char* message) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, message, Py_TYPE(o)->tp_name);
}

[[gnu::noinline]] static Ref lookup_special_method_slow(PyObject* o, PyObject* name, bool* unbound) {
    PyObject* attr = type_lookup(Py_TYPE(o), name);  // borrowed
    *unbound = attr && PyType_HasFeature(Py_TYPE(attr), Py_TPFLAGS_METHOD_DESCRIPTOR);
    if (*unbound) return borrow(attr);
    return lookup_special(o, name);
}

Ref lookup_special_method(PyObject* o, PyObject* name, bool* unbound) {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x03100000
    // The common case, a method remembered by the cache, without a call.
    const LookupEntry* e = lookup_remembered(Py_TYPE(o), name);
    if (e && e->value && PyType_HasFeature(Py_TYPE(e->value), Py_TPFLAGS_METHOD_DESCRIPTOR)) [[likely]] {
        *unbound = true;
        return borrow(e->value);
    }
#endif
    return lookup_special_method_slow(o, name, unbound);
}

Ref format_text(PyObject* v) {
    if (PyUnicode_CheckExact(v)) return borrow(v);
    return steal(PyObject_Format(v, s_empty));
}

bool unpack(PyObject* seq, Py_ssize_t n, Ref* out) {
    if (PyTuple_CheckExact(seq) && PyTuple_GET_SIZE(seq) == n) {
        for (Py_ssize_t i = 0; i < n; i++) out[i] = borrow(PyTuple_GET_ITEM(seq, i));
        return true;
    }
    Ref it = steal(PyObject_GetIter(seq));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(seq)->tp_name);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        out[i] = steal(PyIter_Next(it.get()));
        if (!out[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", n, i);
            return false;
        }
    }
    Ref extra = steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        return false;
    }
    return !PyErr_Occurred();
}

Ref raise_name_error(PyObject* name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

bool with_enter(PyObject* manager, Ref* exit, Ref* entered) {
    Ref enter = lookup_special(manager, s_enter);
    if (!enter) {
        refuse_missing(manager, "'%.200s' object does not support the context manager protocol");
        return false;
    }
    *exit = lookup_special(manager, s_exit);
    if (!*exit) {
        refuse_missing(manager, "'%.200s' object does not support the context manager protocol (missed __exit__ method)");
        return false;
    }
    *entered = call(enter.get());
    return bool(*entered);
}

Ref with_exit(const Ref& exit, Ref result) {
    if (result) {
        if (!call(exit.get(), Py_None, Py_None, Py_None)) return {};
        return result;
    }
    Exc error = Exc::fetch();
    int suppress;
    {
        Handling handling(error.value());
        Ref answer = call(exit.get(), error.type(), error.value(), error.traceback());
        suppress = answer ? PyObject_IsTrue(answer.get()) : -1;
    }
    return exit_outcome(error, suppress);
}

Ref exit_outcome(Exc& error, int suppress) {
    if (suppress < 0) {
        chain_context(error);
        return {};
    }
    if (suppress) return none();
    error.restore();
    return {};
}

}  // namespace kp
