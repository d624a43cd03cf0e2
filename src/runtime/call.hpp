// Calling Python from C++ with the interpreter's vectorcall protocol.
//
//     call(f, a, b)                         f(a, b)
//     call_kw(f, kw_encoding, path, enc)    f(path, encoding=enc)
//     call_method(obj, s_write, text)       obj.write(text)
//     call_method_kw(s, s_post, kw_json, u, j)  s.post(u, json=j)
//
// Every helper returns an empty Ref with the exception pending on failure.
#pragma once
#include "runtime/ref.hpp"

namespace kp {

template <class... A>
Ref call(PyObject* f, const A&... a) {
    PyObject* v[] = {nullptr, ptr(a)...};
    return steal(PyObject_Vectorcall(f, v + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// The last PyTuple_GET_SIZE(kwnames) arguments are passed by keyword.
template <class... A>
Ref call_kw(PyObject* f, PyObject* kwnames, const A&... a) {
    PyObject* v[] = {nullptr, ptr(a)...};
    size_t npos = sizeof...(A) - size_t(PyTuple_GET_SIZE(kwnames));
    return steal(PyObject_Vectorcall(f, v + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

template <class... A>
Ref call_method(PyObject* self, PyObject* name, const A&... a) {
    PyObject* v[] = {self, ptr(a)...};
    return steal(PyObject_VectorcallMethod(name, v, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(a, ..., kw=b): the last PyTuple_GET_SIZE(kwnames) by keyword.
template <class... A>
Ref call_method_kw(PyObject* self, PyObject* name, PyObject* kwnames, const A&... a) {
    PyObject* v[] = {self, ptr(a)...};
    size_t npos = 1 + sizeof...(A) - size_t(PyTuple_GET_SIZE(kwnames));
    return steal(PyObject_VectorcallMethod(name, v, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

inline Ref getattr(PyObject* o, PyObject* name) { return steal(PyObject_GetAttr(o, name)); }

// getattr that tells "no such attribute" (AttributeError, cleared: returns an
// empty Ref and sets *missing) from other failures (exception pending).
Ref getattr_optional(PyObject* o, PyObject* name, bool* missing);

// A special method looked up on the type and bound to `o`, as the
// interpreter's statements do.  Empty Ref without an exception when absent.
Ref lookup_special(PyObject* o, PyObject* name);
// Empties the cache of special-method lookups (for a new interpreter).
void forget_type_lookups() noexcept;
// After a lookup that found nothing: TypeError `message` (a format taking
// the name of o's type), unless the lookup itself raised.
void refuse_missing(PyObject* o, const char* message);

// The same lookup for a call: functions and method descriptors come back
// unbound (*unbound set: call them with `o` as the first argument), which
// spares making a bound-method object per call.
Ref lookup_special_method(PyObject* o, PyObject* name, bool* unbound);

// Text of a value as an f-string with an empty format spec renders it.
Ref format_text(PyObject* v);

// a, b, ... = seq: exactly n items into out[0..n), with the interpreter's
// messages for too few or too many.
bool unpack(PyObject* seq, Py_ssize_t n, Ref* out);

// name '...' is not defined
Ref raise_name_error(PyObject* name);

// Runs body(entered) inside `with manager as entered:`.  Exceptions from the
// body reach the manager's __exit__ as the exception being handled; a true
// result from __exit__ suppresses the exception and the block yields None.
template <class Body>
Ref with(PyObject* manager, Body&& body);

bool with_enter(PyObject* manager, Ref* exit, Ref* entered);
Ref with_exit(const Ref& exit, Ref result);
// How a with or async with block that raised `error` ends, by the truth of
// what __exit__ (or the awaited __aexit__) answered: true, None (the error
// suppressed); false, the error raised again; -1 (the exit or the truth test
// raised), that new error, with `error` as its context.
Ref exit_outcome(Exc& error, int suppress);

template <class Body>
Ref with(PyObject* manager, Body&& body) {
    Ref exit, entered;
    if (!with_enter(manager, &exit, &entered)) return {};
    return with_exit(exit, body(entered.get()));
}

}  // namespace kp
