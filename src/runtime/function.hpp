// The function objects both modules publish: vectorcall, argument binding
// with the interpreter's messages, annotation-driven checks, and the
// attributes of a Python function (__name__, __qualname__, __module__,
// __doc__, __defaults__, __kwdefaults__, __annotations__, __dict__,
// _is_coroutine), pickled and copied by reference as the interpreter's
// functions are.
#pragma once
#include <cstddef>
#include <span>

#include "runtime/ref.hpp"

namespace kp {

// What happens to an argument after binding.  Truth values are taken first,
// then integer conversions, then exact-type checks, each in parameter order.
enum class Check : unsigned char {
    none,
    truth,         // replaced by bool(value)
    to_int,        // a number that is not exactly int goes through int()
    str,           // exactly str
    dict_or_none,  // exactly dict, or None
};

// A parameter's default: a constant made when the module binds the
// function (kept in __defaults__ or __kwdefaults__).
struct Default {
    enum class Kind : unsigned char { required, none, no, text, integer };
    Kind kind = Kind::required;
    const char* text = nullptr;
    long integer = 0;
};
inline constexpr Default none_default{Default::Kind::none};
inline constexpr Default false_default{Default::Kind::no};
constexpr Default text_default(const char* text) { return {Default::Kind::text, text}; }
constexpr Default int_default(long value) { return {Default::Kind::integer, nullptr, value}; }

// One parameter, declared once: its name, annotation, check, default, and
// whether it is keyword-only.  Parameter lists are constexpr arrays, checked
// by define() when the module is compiled.
struct Param {
    const char* name;
    const char* annotation = nullptr;  // kept as a string in __annotations__
    Check check = Check::none;
    Default dflt = {};
    bool kwonly = false;
};

struct Function;
struct Frame;
class Task;

enum class FunctionKind : unsigned char { plain, coroutine, async_generator };

// The body of a function: `args` holds one bound (borrowed) object per
// parameter, already checked.  Returns a new reference or empty on error.
using Body = Ref (*)(Function& fn, PyObject* const* args);

struct FunctionDef {
    const char* name;
    Body body;
    const Param* params = nullptr;
    int nparams = 0;
    int npositional = 0;  // parameters that may be given by position
    int nkwonly = 0;      // keyword-only parameters, after the positional ones
    const char* doc = nullptr;
    const char* return_annotation = nullptr;
    // Coroutine functions and asynchronous-generator functions give their
    // body as a C++ coroutine instead; they carry asyncio's marker.
    FunctionKind kind = FunctionKind::plain;
    Task (*task)(Frame&) = nullptr;
};

constexpr int max_params = 8;

// A function's definition, counts derived from its parameter list.  A list
// that is too long, a keyword-only parameter before a positional one, or a
// required positional parameter after one with a default is a compile-time
// error (the throw cannot be evaluated in a constant expression).
template <std::size_t N>
consteval FunctionDef define(const char* name, Body body, std::span<const Param, N> params, const char* doc = nullptr,
                             const char* return_annotation = nullptr, FunctionKind kind = FunctionKind::plain,
                             Task (*task)(Frame&) = nullptr) {
    if (N > std::size_t(max_params)) throw "more parameters than max_params";
    int npositional = 0, nkwonly = 0;
    bool defaulted = false;
    for (const Param& p : params) {
        if (p.kwonly) {
            if (p.dflt.kind == Default::Kind::required) throw "keyword-only parameters need a default here";
            nkwonly++;
            continue;
        }
        if (nkwonly) throw "a positional parameter after a keyword-only one";
        if (p.dflt.kind == Default::Kind::required && defaulted) throw "a required parameter after a default";
        defaulted = defaulted || p.dflt.kind != Default::Kind::required;
        npositional++;
    }
    return FunctionDef{name, body, params.data(), int(N), npositional, nkwonly, doc, return_annotation, kind, task};
}
template <std::size_t N>
consteval FunctionDef define(const char* name, Body body, const Param (&params)[N], const char* doc = nullptr,
                             const char* return_annotation = nullptr) {
    return define(name, body, std::span<const Param, N>(params), doc, return_annotation);
}

// A function without parameters.
consteval FunctionDef define(const char* name, Body body, const char* doc = nullptr) {
    return FunctionDef{name, body, nullptr, 0, 0, 0, doc};
}

// A coroutine function or an asynchronous-generator function.  (A span:
// a function may take the first parameters of a list another one shares.)
template <std::size_t N>
consteval FunctionDef define_async(const char* name, FunctionKind kind, Task (*task)(Frame&),
                                   std::span<const Param, N> params, const char* doc = nullptr,
                                   const char* return_annotation = nullptr) {
    return define(name, nullptr, params, doc, return_annotation, kind, task);
}
template <std::size_t N>
consteval FunctionDef define_async(const char* name, FunctionKind kind, Task (*task)(Frame&),
                                   const Param (&params)[N], const char* doc = nullptr,
                                   const char* return_annotation = nullptr) {
    return define_async(name, kind, task, std::span<const Param, N>(params), doc, return_annotation);
}

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    PyObject* globals;  // the module's namespace
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;     // tuple or NULL
    PyObject* kwdefaults;   // dict or NULL
    PyObject* annotations;  // dict
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* code;  // for traceback entries, made on first use
    // The frame object of a body that ended, kept for the next body when
    // nothing else holds it any more (3.11+; see Frame::frame()).
    PyObject* spare_frame;
    PyObject* names[max_params];  // interned parameter names
    // What binding reads: the default of each parameter (null: required),
    // borrowed from defaults/kwdefaults as they were when `seen` was taken,
    // and the count of leading positional parameters without one.  Taken
    // again whenever either container has changed since (defaults_stamp()).
    PyObject* default_of[max_params];
    int nrequired;
    unsigned required_mask;  // bit i: parameter i has no default
    uint64_t seen;           // 0: to be taken again
    size_t body_size;  // coroutines and generators: the size of the body's C++ frame, once known
    // Bit i set: parameter i takes that step after binding.
    unsigned truth_mask, int_mask, exact_mask;

    // A name looked up in the module namespace, then in the built-ins, at
    // the moment of use.  NameError when absent.
    Ref global(PyObject* name) const;
};

// Where binding sees that a container of defaults may have changed: a
// dictionary's version tag before 3.12; from 3.12 on, a count of the
// changes of every __kwdefaults__ dictionary of the module's functions,
// kept by a dictionary watcher.  (The setters of __defaults__ and
// __kwdefaults__ clear `seen`.)
#if PY_VERSION_HEX >= 0x030C0000  // 3.12
inline uint64_t kwdefaults_changes = 1;
inline uint64_t defaults_stamp(const Function&) { return kwdefaults_changes; }
#else
inline uint64_t defaults_stamp(const Function& fn) {
    // Every dictionary has a version above 0, new with each change.
    return fn.kwdefaults ? reinterpret_cast<PyDictObject*>(fn.kwdefaults)->ma_version_tag : 1;
}
#endif
inline bool defaults_unchanged(const Function& fn) { return fn.seen == defaults_stamp(fn); }

// Creates a function bound to the namespace `globals`, with the defaults its
// parameters declare.
Ref make_function(PyObject* globals, PyObject* module_name, const FunctionDef& def);
// The type of those functions, made ready for the interpreter that imports
// the module; false with an exception pending.
bool ready_function_type() noexcept;

// The values that binding made (int() of a number that is not exactly an
// int), released when the call is over; most calls have none.
struct Converted {
    PyObject* values[max_params];
    unsigned mask = 0;      // bit i: values[i] holds a new reference
    unsigned borrowed = 0;  // bit i: bound[i] is a default, borrowed from the function's containers
    Converted() noexcept = default;
    Converted(const Converted&) = delete;
    ~Converted() {
        for (unsigned m = mask; m; m &= m - 1) Py_DECREF(values[__builtin_ctz(m)]);
    }
};

// Binds and checks the arguments of a vectorcall into `bound`, of
// max_params entries (borrowed references, or references held in
// `converted`).  A default is borrowed from the function's containers,
// which Python code may change: before anything that can run Python code,
// `hold_defaults` makes them owned.
bool bind_arguments(Function& fn, PyObject* const* args, size_t nargsf, PyObject* kwnames, PyObject** bound,
                    Converted& converted);

void hold_defaults(PyObject** bound, Converted& converted);

// Adds the traceback entry "<module>.<name>" of this function to the
// pending exception.
void add_traceback(Function& fn);

// The code object named after the function (the one of its traceback
// entries), made on first use; borrowed, null with an exception on failure.
PyObject* code_of(Function& fn);

// A frame object of that code (a new reference; null with an exception):
// the function's spare one when nothing else holds it and nobody changed
// it, else a new one, which the function then keeps as its spare.
Ref frame_for(Function& fn);

}  // namespace kp
