#include "runtime/function.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

#include "runtime/async.hpp"
#include "runtime/call.hpp"
#include "runtime/module.hpp"
#include "runtime/names.hpp"
#include "runtime/type.hpp"

namespace kp {

static Name s_is_coroutine_mark{"_is_coroutine_mark"}, s_is_coroutine_marker{"_is_coroutine_marker"};
static Name s_return{"return"}, s_Parameter{"Parameter"}, s_Signature{"Signature"},
    s_POSITIONAL_OR_KEYWORD{"POSITIONAL_OR_KEYWORD"}, s_KEYWORD_ONLY{"KEYWORD_ONLY"}, s_default{"default"},
    s_annotation{"annotation"}, s_return_annotation{"return_annotation"};

static PyTypeObject* function_type();


Ref Function::global(PyObject* key) const {
    PyObject* v = PyDict_GetItemWithError(globals, key);
    if (!v && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();
        v = builtins ? PyDict_GetItemWithError(builtins, key) : nullptr;
        if (!v && !PyErr_Occurred()) return raise_name_error(key);
    }
    return borrow(v);
}

// ---- defaults ------------------------------------------------------------------
//
// A Python function reads __defaults__ and __kwdefaults__ at every call, so
// an edit counts from the next call on.  Binding keeps what it read in the
// function and reads again only when a container may have changed: the
// setters say so when they replace one; a change inside the __kwdefaults__
// dictionary shows in its version tag before 3.12, and from 3.12 on in a
// count of changes that a dictionary watcher keeps for every __kwdefaults__
// dictionary of the module's functions.

#if PY_VERSION_HEX >= 0x030C0000  // 3.12
static int kwdefaults_watcher = -1;

static int count_kwdefaults_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    kwdefaults_changes++;
    return 0;
}

static bool watch_kwdefaults(PyObject* dict) {
    if (kwdefaults_watcher < 0 && (kwdefaults_watcher = PyDict_AddWatcher(count_kwdefaults_change)) < 0)
        return false;
    return PyDict_Watch(kwdefaults_watcher, dict) == 0;
}
#else
static bool watch_kwdefaults(PyObject*) { return true; }
#endif

// Where the positional defaults begin.  A call takes the last `npositional`
// of a longer __defaults__, as the interpreter does; inspect.signature()
// splits the parameters with a negative index instead, and shows that.
static Py_ssize_t first_default(const Function& fn, bool as_inspect) {
    const Py_ssize_t npos = fn.def->npositional, n = fn.defaults ? PyTuple_GET_SIZE(fn.defaults) : 0;
    const Py_ssize_t first = npos - n;
    return first >= 0 || !as_inspect ? first : std::max<Py_ssize_t>(0, npos + first);
}

// Reads the defaults afresh.  Looking a name up in the dictionary can run
// Python code (the __eq__ of a key put there) that changes the containers
// again; then the reading starts over.
static bool read_defaults(Function& fn) {
    const FunctionDef& def = *fn.def;
    for (int attempt = 0; attempt < 8; attempt++) {
        const uint64_t stamp = defaults_stamp(fn);
        fn.seen = stamp;
        const Py_ssize_t first = first_default(fn, false);
        fn.nrequired = first < 0 ? 0 : int(first);
        fn.required_mask = 0;
        for (int i = 0; i < def.npositional; i++)
            fn.default_of[i] = i >= first ? PyTuple_GET_ITEM(fn.defaults, i - first) : nullptr;
        for (int i = def.npositional; i < def.nparams; i++) {
            PyObject* v = fn.kwdefaults ? PyDict_GetItemWithError(fn.kwdefaults, fn.names[i]) : nullptr;
            if (!v && PyErr_Occurred()) {
                fn.seen = 0;
                return false;
            }
            fn.default_of[i] = v;
        }
        for (int i = 0; i < def.nparams; i++)
            if (!fn.default_of[i]) fn.required_mask |= 1u << i;
        if (fn.seen == stamp && defaults_stamp(fn) == stamp) return true;
    }
    fn.seen = 0;
    PyErr_Format(PyExc_RuntimeError, "%.200s(): its defaults kept changing while they were read", def.name);
    return false;
}

// The default that inspect.signature() shows for parameter i, as the
// containers hold it now (a new reference, or null without an exception
// when it has none).
static Ref signature_default(Function& fn, int i) {
    if (i < fn.def->npositional) {
        const Py_ssize_t first = first_default(fn, true);
        return i >= first ? borrow(PyTuple_GET_ITEM(fn.defaults, i - first)) : Ref{};
    }
    return fn.kwdefaults ? borrow(PyDict_GetItemWithError(fn.kwdefaults, fn.names[i])) : Ref{};
}

void hold_defaults(PyObject** bound, Converted& converted) {
    for (unsigned m = converted.borrowed; m; m &= m - 1) {
        int i = __builtin_ctz(m);
        converted.values[i] = Py_NewRef(bound[i]);
    }
    converted.mask |= converted.borrowed;
    converted.borrowed = 0;
}

// ---- binding ---------------------------------------------------------------

static void raise_count(const Function& fn, const char* bound, Py_ssize_t n, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fn.def->name,
                 bound, n, n == 1 ? "" : "s", given);
}

static bool raise_type(const char* param, const char* expected, PyObject* value, bool subclass) {
    static const char note[] = "Subclasses of built-in types are refused; pass the exact type";
    Ref tail = steal(PyUnicode_FromString(subclass ? note : ""));
    if (!tail) return false;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U", param,
                 expected, Py_TYPE(value)->tp_name, subclass ? ". " : "", tail.get());
    return false;
}

static int find_keyword(const Function& fn, PyObject* key) {
    const int n = fn.def->nparams;
    for (int i = 0; i < n; i++)
        if (fn.names[i] == key) return i;
    for (int i = 0; i < n; i++) {
        int eq = PyUnicode_Compare(fn.names[i], key);
        if (eq == 0) return i;
        if (eq == -1 && PyErr_Occurred()) return -2;
    }
    return -1;
}

static bool bind_no_parameters(Function& fn, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", fn.def->name, "takes no keyword arguments");
        return false;
    }
    if (nargs) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", fn.def->name, "takes no arguments", nargs);
        return false;
    }
    return true;
}

static int next_bit(unsigned& mask) {
    int i = __builtin_ctz(mask);
    mask &= mask - 1;
    return i;
}

static bool convert(Function& fn, PyObject** bound, Converted& converted) {
    const Param* params = fn.def->params;
    for (unsigned m = fn.truth_mask; m;) {
        int i = next_bit(m);
        PyObject* v = bound[i];
        int truth;
        if (v == Py_True || v == Py_False || v == Py_None) {
            truth = v == Py_True;
        } else {
            hold_defaults(bound, converted);  // __bool__ may change them
            if ((truth = PyObject_IsTrue(v)) < 0) return false;
        }
        bound[i] = truth ? Py_True : Py_False;
    }
    for (unsigned m = fn.int_mask; m;) {
        int i = next_bit(m);
        if (PyLong_CheckExact(bound[i])) continue;
        if (!PyNumber_Check(bound[i])) return raise_type(params[i].name, "int", bound[i], false);
        hold_defaults(bound, converted);  // and __index__ or __int__
        PyObject* number = PyNumber_Long(bound[i]);
        if (!number) return false;
        if (converted.mask & (1u << i)) Py_DECREF(converted.values[i]);
        converted.values[i] = bound[i] = number;
        converted.mask |= 1u << i;
    }
    for (unsigned m = fn.exact_mask; m;) {
        int i = next_bit(m);
        PyObject* v = bound[i];
        switch (params[i].check) {
        case Check::str:
            if (!PyUnicode_CheckExact(v)) return raise_type(params[i].name, "str", v, PyUnicode_Check(v));
            break;
        case Check::dict_or_none:
            if (v != Py_None && !PyDict_CheckExact(v)) return raise_type(params[i].name, "dict", v, PyDict_Check(v));
            break;
        default:  // to_int
            if (!PyLong_CheckExact(v)) return raise_type(params[i].name, "int", v, PyLong_Check(v));
            break;
        }
    }
    return true;
}

// The interpreter's message, naming every keyword-only parameter that
// neither a keyword nor a default gives a value: 'a', 'a' and 'b', or
// 'a', 'b', and 'c'.
[[gnu::cold]] static void raise_missing_keywords(const Function& fn, PyObject* const* bound) {
    const FunctionDef& def = *fn.def;
    Ref names = steal(PyList_New(0));
    if (!names) return;
    for (int i = def.npositional; i < def.nparams; i++) {
        if (bound[i] || fn.default_of[i]) continue;
        Ref quoted = steal(PyUnicode_FromFormat("'%U'", fn.names[i]));
        if (!quoted || PyList_Append(names.get(), quoted.get()) < 0) return;
    }
    const Py_ssize_t n = PyList_GET_SIZE(names.get());
    Ref listed = borrow(PyList_GET_ITEM(names.get(), n - 1));
    if (n > 1) {
        Ref head = steal(PyList_GetSlice(names.get(), 0, n - 1));
        Ref comma = steal(PyUnicode_FromString(", "));
        Ref joined = head && comma ? steal(PyUnicode_Join(comma.get(), head.get())) : Ref{};
        listed = joined ? steal(PyUnicode_FromFormat(n == 2 ? "%U and %U" : "%U, and %U", joined.get(),
                                                     listed.get()))
                        : Ref{};
        if (!listed) return;
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required keyword-only argument%s: %U", def.name, n,
                 n == 1 ? "" : "s", listed.get());
}

bool bind_arguments(Function& fn, PyObject* const* args, size_t nargsf, PyObject* kwnames, PyObject** bound,
                    Converted& converted) {
    const FunctionDef& def = *fn.def;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (def.nparams == 0) return bind_no_parameters(fn, nargs, kwnames);
    if (!defaults_unchanged(fn) && !read_defaults(fn)) return false;
    const bool exact = fn.nrequired == def.npositional && def.nkwonly == 0;
    if (nargs > def.npositional) {
        raise_count(fn, exact ? "exactly" : "at most", def.npositional, nargs);
        return false;
    }
    // Each parameter takes its argument, or else its default (null where
    // it has none); `given` marks those an argument filled.
    unsigned given = (1u << nargs) - 1;
    // The defaults copied whole (a fixed size: no library call), then the
    // arguments, one by one (the empty asm keeps g++ from making that short
    // copy a memcpy call).
    std::memcpy(bound, fn.default_of, sizeof fn.default_of);
    for (Py_ssize_t i = 0; i < nargs; i++) {
        bound[i] = args[i];
        __asm__("");
    }
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; k++) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
                return false;
            }
            int i = find_keyword(fn, key);
            if (i == -2) return false;
            if (i < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", def.name, key);
                return false;
            }
            if (given & (1u << i)) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", def.name, key);
                return false;
            }
            given |= 1u << i;
            bound[i] = args[nargs + k];
        }
    }
    if (const unsigned missing = fn.required_mask & ~given) [[unlikely]] {
        const int i = __builtin_ctz(missing);
        if (i < def.npositional)
            raise_count(fn, exact ? "exactly" : "at least", fn.nrequired, i);
        else
            raise_missing_keywords(fn, bound);
        return false;
    }
    converted.borrowed = ((1u << def.nparams) - 1) & ~given;
    return convert(fn, bound, converted);
}

// ---- tracebacks --------------------------------------------------------------

void add_traceback(Function& fn) {
    Exc error = Exc::fetch();
    Ref frame = frame_for(fn);
    if (!frame) PyErr_Clear();  // the entry is lost, never the exception
    error.restore();
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

PyObject* code_of(Function& fn) {
    if (!fn.code) {
        std::string name = std::string(this_module.full_name) + "." + fn.def->name;
        fn.code = reinterpret_cast<PyObject*>(PyCode_NewEmpty(this_module.file_name, name.c_str(), 1));
    }
    return fn.code;
}

// ---- the type ------------------------------------------------------------------

static PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Function& fn = *reinterpret_cast<Function*>(self);
    for (int attempt = 0;; attempt++) {
        PyObject* bound[max_params];
        Converted converted;
        if (!bind_arguments(fn, args, nargsf, kwnames, bound, converted)) {
            add_traceback(fn);
            return nullptr;
        }
        // Our functions call each other (and themselves) through the namespace:
        // they count toward the interpreter's recursion limit like Python calls.
        if (Py_EnterRecursiveCall(" while calling a Python object")) {
            add_traceback(fn);
            return nullptr;
        }
        Ref result;
        switch (fn.def->kind) {
        case FunctionKind::plain:
            hold_defaults(bound, converted);  // the body runs Python code
            result = fn.def->body(fn, bound);
            break;
        case FunctionKind::coroutine:
            result = make_coroutine(fn, bound, fn.def->task);
            break;
        case FunctionKind::async_generator:
            result = make_async_generator(fn, bound, fn.def->task);
            break;
        }
        Py_LeaveRecursiveCall();
        if (result) return result.release();
        // No result and no error: the defaults changed while the object was
        // made (see start_body); bind again.
        if (!PyErr_Occurred() && attempt == 8)
            PyErr_Format(PyExc_RuntimeError, "%.200s(): its defaults kept changing during the call", fn.def->name);
        if (PyErr_Occurred()) {
            add_traceback(fn);
            return nullptr;
        }
    }
}

// Bound as a method when found on a class, like a Python function; this also
// makes pydoc and help() document it as a routine with its signature.
static PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// The references a function holds that the collector may clear; defaults
// and kwdefaults stay until deallocation, because binding reads them.
static constexpr PyObject* Function::*cleared_members[] = {
    &Function::globals, &Function::name, &Function::qualname, &Function::module,
    &Function::doc,     &Function::annotations, &Function::dict, &Function::spare_frame,
};

static int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function& fn = *reinterpret_cast<Function*>(self);
    for (PyObject* Function::*member : cleared_members) Py_VISIT(fn.*member);
    Py_VISIT(fn.defaults);
    Py_VISIT(fn.kwdefaults);
    return 0;
}

static int function_clear(PyObject* self) {
    Function& fn = *reinterpret_cast<Function*>(self);
    for (PyObject* Function::*member : cleared_members) Py_CLEAR(fn.*member);
    return 0;
}

static void function_dealloc(PyObject* self) {
    Function& fn = *reinterpret_cast<Function*>(self);
    PyObject_GC_UnTrack(self);
    if (fn.weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(fn.defaults);
    Py_CLEAR(fn.kwdefaults);
    Py_CLEAR(fn.code);
    for (PyObject*& n : fn.names) Py_CLEAR(n);
    PyObject_GC_Del(self);
}

static PyObject* function_repr(PyObject* self) {
    Function& fn = *reinterpret_cast<Function*>(self);
    return PyUnicode_FromFormat("<function %S at %p>", fn.qualname ? fn.qualname : Py_None, self);
}

#define FIELD(f) (reinterpret_cast<Function*>(self)->f)

static PyObject* get_field(PyObject* v) { return Py_NewRef(v ? v : Py_None); }

static int set_str_field(PyObject*& slot, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(slot, Py_NewRef(value));
    return 0;
}

static PyObject* get_name(PyObject* self, void*) { return get_field(FIELD(name)); }
static int set_name(PyObject* self, PyObject* v, void*) { return set_str_field(FIELD(name), v, "__name__"); }
static PyObject* get_qualname(PyObject* self, void*) { return get_field(FIELD(qualname)); }
static int set_qualname(PyObject* self, PyObject* v, void*) {
    return set_str_field(FIELD(qualname), v, "__qualname__");
}
static PyObject* get_doc(PyObject* self, void*) { return get_field(FIELD(doc)); }
static int set_doc(PyObject* self, PyObject* v, void*) {
    Py_XSETREF(FIELD(doc), Py_NewRef(v ? v : Py_None));
    return 0;
}
static PyObject* get_module(PyObject* self, void*) { return get_field(FIELD(module)); }
static int set_module(PyObject* self, PyObject* v, void*) {
    Py_XSETREF(FIELD(module), Py_NewRef(v ? v : Py_None));
    return 0;
}
static PyObject* get_defaults(PyObject* self, void*) { return get_field(FIELD(defaults)); }
static int set_defaults(PyObject* self, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v && !PyTuple_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(FIELD(defaults), Py_XNewRef(v));
    FIELD(seen) = 0;
    return 0;
}
static PyObject* get_kwdefaults(PyObject* self, void*) { return get_field(FIELD(kwdefaults)); }
static int set_kwdefaults(PyObject* self, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    if (v && !watch_kwdefaults(v)) return -1;
    Py_XSETREF(FIELD(kwdefaults), Py_XNewRef(v));
    FIELD(seen) = 0;
    return 0;
}
static PyObject* get_annotations(PyObject* self, void*) { return get_field(FIELD(annotations)); }
static int set_annotations(PyObject* self, PyObject* v, void*) {
    if (!v || !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(FIELD(annotations), Py_NewRef(v));
    return 0;
}

// asyncio's marker object, private to asyncio but what its
// iscoroutinefunction compares with; where asyncio has none, the
// AttributeError makes getattr(f, "_is_coroutine", None) give None.
static PyObject* get_is_coroutine(PyObject* self, void*) {
    if (FIELD(def)->kind == FunctionKind::plain) Py_RETURN_FALSE;
    Ref coroutines = steal(PyImport_ImportModule("asyncio.coroutines"));
    return coroutines ? PyObject_GetAttrString(coroutines.get(), "_is_coroutine") : nullptr;
}

// The marker that inspect.markcoroutinefunction sets (3.12 and later).
static PyObject* get_is_coroutine_marker(PyObject* self, void*) {
    if (FIELD(def)->kind != FunctionKind::plain) {
        Ref inspect = steal(PyImport_ImportModule("inspect"));
        if (!inspect) return nullptr;
        bool missing;
        // inspect._is_coroutine_mark from 3.13 on; 3.12 calls it _is_coroutine_marker.
        Ref mark = getattr_optional(inspect.get(), s_is_coroutine_mark, &missing);
        if (missing) mark = getattr_optional(inspect.get(), s_is_coroutine_marker, &missing);
        if (mark || !missing) return mark.release();
    }
    PyErr_SetString(PyExc_AttributeError, "_is_coroutine_marker");
    return nullptr;
}

// inspect.signature() and help(): the real parameters, built on demand
// from the current defaults and annotations.
static PyObject* get_signature(PyObject* self, void*) {
    Function& fn = *reinterpret_cast<Function*>(self);
    const FunctionDef& def = *fn.def;
    Ref inspect = steal(PyImport_ImportModule("inspect"));
    Ref parameter = inspect ? getattr(inspect.get(), s_Parameter) : Ref{};
    Ref signature = parameter ? getattr(inspect.get(), s_Signature) : Ref{};
    Ref params = signature ? steal(PyList_New(0)) : Ref{};
    if (!params) return nullptr;
    for (int i = 0; i < def.nparams; i++) {
        Ref kind = getattr(parameter.get(), i < def.npositional ? s_POSITIONAL_OR_KEYWORD : s_KEYWORD_ONLY);
        Ref kwargs = kind ? steal(PyDict_New()) : Ref{};
        if (!kwargs) return nullptr;
        Ref dflt = signature_default(fn, i);
        if (PyErr_Occurred() || (dflt && PyDict_SetItem(kwargs.get(), s_default, dflt.get()) < 0)) return nullptr;
        PyObject* annotation = fn.annotations ? PyDict_GetItemWithError(fn.annotations, fn.names[i]) : nullptr;
        if (annotation && PyDict_SetItem(kwargs.get(), s_annotation, annotation) < 0) return nullptr;
        if (PyErr_Occurred()) return nullptr;
        Ref args = steal(PyTuple_Pack(2, fn.names[i], kind.get()));
        Ref p = args ? steal(PyObject_Call(parameter.get(), args.get(), kwargs.get())) : Ref{};
        if (!p || PyList_Append(params.get(), p.get()) < 0) return nullptr;
    }
    Ref kwargs = steal(PyDict_New());
    if (!kwargs) return nullptr;
    PyObject* ret = fn.annotations ? PyDict_GetItemWithError(fn.annotations, s_return) : nullptr;
    if (ret && PyDict_SetItem(kwargs.get(), s_return_annotation, ret) < 0) return nullptr;
    if (PyErr_Occurred()) return nullptr;
    Ref args = steal(PyTuple_Pack(1, params.get()));
    return args ? PyObject_Call(signature.get(), args.get(), kwargs.get()) : nullptr;
}

// Pickled and copied by reference, as the interpreter's functions are: the
// qualified name tells pickle to look the object up in its __module__, and
// tells copy that the object is its own copy.
static PyObject* function_reduce(PyObject* self, PyObject*) { return get_field(FIELD(qualname)); }

#undef FIELD

static PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"_is_coroutine_marker", get_is_coroutine_marker, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Each module has a function type of its own, named after it.
static PyTypeObject function_type_object;
static PyTypeObject* function_type() { return &function_type_object; }

bool ready_function_type() noexcept {
    static const std::string name = std::string(this_module.full_name) + ".function";
    PyTypeObject t = gc_type({.name = name.c_str(), .size = sizeof(Function), .dealloc = function_dealloc,
                              .traverse = function_traverse, .clear = function_clear, .repr = function_repr,
                              .methods = function_methods, .getset = function_getset,
                              .weaklist = offsetof(Function, weakrefs)});
    t.tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_vectorcall_offset = offsetof(Function, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(Function, dict);
    function_type_object = t;
#if PY_VERSION_HEX >= 0x030C0000  // 3.12: watchers are the interpreter's
    kwdefaults_watcher = -1;
#endif
    return PyType_Ready(&function_type_object) == 0;
}

// The object a declared default stands for (a new reference).
static PyObject* default_value(const Default& d) {
    switch (d.kind) {
    case Default::Kind::none:
        return Py_NewRef(Py_None);
    case Default::Kind::no:
        return Py_NewRef(Py_False);
    case Default::Kind::text:
        return PyUnicode_InternFromString(d.text);
    case Default::Kind::integer:
        return PyLong_FromLong(d.integer);
    default:
        PyErr_SetString(PyExc_SystemError, "a required parameter has no default");
        return nullptr;
    }
}

Ref make_function(PyObject* globals, PyObject* module_name, const FunctionDef& def) {
    Ref self = steal(reinterpret_cast<PyObject*>(PyObject_GC_New(Function, function_type())));
    if (!self) return {};
    Function& fn = *reinterpret_cast<Function*>(self.get());
    // Everything below is released by dealloc, so the object is valid from
    // here on even if a later step fails.
    fn.vectorcall = function_vectorcall;
    fn.def = &def;
    fn.globals = Py_NewRef(globals);
    fn.name = fn.qualname = fn.module = fn.doc = nullptr;
    fn.defaults = fn.kwdefaults = fn.annotations = fn.dict = fn.weakrefs = fn.code = fn.spare_frame = nullptr;
    for (int i = 0; i < max_params; i++) fn.names[i] = fn.default_of[i] = nullptr;
    fn.nrequired = 0;
    fn.seen = 0;
    fn.required_mask = 0;
    fn.body_size = 0;
    int nrequired = 0;
    while (nrequired < def.npositional && def.params[nrequired].dflt.kind == Default::Kind::required) nrequired++;
    fn.truth_mask = fn.int_mask = fn.exact_mask = 0;
    for (int i = 0; i < def.nparams; i++) {
        switch (def.params[i].check) {
        case Check::truth:
            fn.truth_mask |= 1u << i;
            break;
        case Check::to_int:
            fn.int_mask |= 1u << i;
            fn.exact_mask |= 1u << i;
            break;
        case Check::str:
        case Check::dict_or_none:
            fn.exact_mask |= 1u << i;
            break;
        default:
            break;
        }
    }
    PyObject_GC_Track(self.get());

    fn.name = PyUnicode_InternFromString(def.name);
    if (!fn.name) return {};
    fn.qualname = Py_NewRef(fn.name);
    fn.module = Py_NewRef(module_name);
    fn.doc = def.doc ? PyUnicode_FromString(def.doc) : Py_NewRef(Py_None);
    if (!fn.doc) return {};
    for (int i = 0; i < def.nparams; i++)
        if (!(fn.names[i] = PyUnicode_InternFromString(def.params[i].name))) return {};

    const int npos_defaults = def.npositional - nrequired;
    if (npos_defaults > 0) {
        if (!(fn.defaults = PyTuple_New(npos_defaults))) return {};
        for (int i = 0; i < npos_defaults; i++) {
            PyObject* v = default_value(def.params[nrequired + i].dflt);
            if (!v) return {};
            PyTuple_SET_ITEM(fn.defaults, i, v);
        }
    }
    if (def.nkwonly > 0) {
        if (!(fn.kwdefaults = PyDict_New())) return {};
        for (int k = 0; k < def.nkwonly; k++) {
            int i = def.npositional + k;
            Ref v = steal(default_value(def.params[i].dflt));
            if (!v || PyDict_SetItem(fn.kwdefaults, fn.names[i], v.get()) < 0) return {};
        }
        if (!watch_kwdefaults(fn.kwdefaults)) return {};
    }
    if (!(fn.annotations = PyDict_New())) return {};
    for (int i = 0; i < def.nparams; i++) {
        if (!def.params[i].annotation) continue;
        Ref a = steal(PyUnicode_FromString(def.params[i].annotation));
        if (!a || PyDict_SetItem(fn.annotations, fn.names[i], a.get()) < 0) return {};
    }
    if (def.return_annotation) {
        Ref a = steal(PyUnicode_FromString(def.return_annotation));
        if (!a || PyDict_SetItem(fn.annotations, s_return, a.get()) < 0) return {};
    }
    return self;
}

}  // namespace kp
