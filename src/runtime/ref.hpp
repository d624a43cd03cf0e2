// Owning reference handles and the error conventions shared by both modules.
//
// The conventions, every one of them with the Python exception pending in
// the thread state on failure, never carried by a C++ exception (a throw
// costs about a microsecond; errors are routine on some paths):
//
//   Ref           produces an object: empty means an exception is pending.
//   bool          only succeeds or fails: false means an exception is pending.
//   int           a truth value or a count that can fail, as the C API's
//                 PyObject_IsTrue: -1 means an exception is pending, else the
//                 answer (0/1, or a count).
//   PySendResult  one step of a coroutine protocol (am_send): PYGEN_NEXT or
//                 PYGEN_RETURN with a new reference in *result, PYGEN_ERROR
//                 with an exception pending.
//   Step          one advance of a body (async.hpp): next/yield/done give a
//                 new reference, error leaves an exception pending.
//
// A function with an "optional" lookup says so in its name and tells
// "absent" (no exception, *missing set) from "failed" (exception pending).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <utility>

namespace kp {

// Debug builds keep a register of every live Ref, so that a suspended body
// can be checked for references the garbage collector cannot see (see
// check_suspension in async.hpp).
#ifndef NDEBUG
#define KELPIE_REF_REGISTER 1
namespace debug {
void ref_made(const void* r) noexcept;
void ref_gone(const void* r) noexcept;
}  // namespace debug
#define KELPIE_REF_MADE() debug::ref_made(this)
#define KELPIE_REF_GONE() debug::ref_gone(this)
#else
#define KELPIE_REF_MADE() ((void)0)
#define KELPIE_REF_GONE() ((void)0)
#endif

class Ref {
public:
    Ref() noexcept { KELPIE_REF_MADE(); }
    Ref(const Ref& o) noexcept : p_(o.p_) {
        Py_XINCREF(p_);
        KELPIE_REF_MADE();
    }
    Ref(Ref&& o) noexcept : p_(o.p_) {
        o.p_ = nullptr;
        KELPIE_REF_MADE();
    }
    [[gnu::always_inline]] ~Ref() {
        KELPIE_REF_GONE();
        if (p_) Py_DECREF(p_);
    }
    Ref& operator=(Ref o) noexcept { std::swap(p_, o.p_); return *this; }

    static Ref steal(PyObject* p) noexcept { Ref r; r.p_ = p; return r; }
    static Ref borrow(PyObject* p) noexcept { Py_XINCREF(p); return steal(p); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { PyObject* p = p_; p_ = nullptr; return p; }
    void reset() noexcept { Py_CLEAR(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject* operator->() const noexcept { return p_; }

private:
    PyObject* p_ = nullptr;
};

// An owned reference to an object whose C type is known (a Function, say):
// released by the destructor like a Ref.
template <class T>
class Owned {
public:
    Owned() noexcept = default;
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { reset(); }

    // Takes a new reference to `p`.
    void hold(T* p) noexcept {
        Py_XINCREF(reinterpret_cast<PyObject*>(p));
        reset();
        p_ = p;
    }
    void reset() noexcept {
        T* p = p_;
        p_ = nullptr;
        if (p) Py_DECREF(reinterpret_cast<PyObject*>(p));
    }
    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    T& operator*() const noexcept { return *p_; }
    PyObject* object() const noexcept { return reinterpret_cast<PyObject*>(p_); }

private:
    T* p_ = nullptr;
};

inline Ref steal(PyObject* p) noexcept { return Ref::steal(p); }
inline Ref borrow(PyObject* p) noexcept { return Ref::borrow(p); }
inline Ref none() noexcept { return borrow(Py_None); }

inline PyObject* ptr(PyObject* p) noexcept { return p; }
inline PyObject* ptr(const Ref& r) noexcept { return r.get(); }

// A pending exception taken out of the thread state, so that other calls can
// run, and put back (or dropped) later.  Normalised: only the value is kept,
// with its traceback attached.
class Exc {
public:
    Exc() noexcept = default;
    Exc(Exc&& o) noexcept : v_(std::move(o.v_)) {}
    Exc& operator=(Exc&& o) noexcept { v_ = std::move(o.v_); return *this; }

    static Exc fetch() noexcept {
        Exc e;
#if PY_VERSION_HEX >= 0x030C0000
        e.v_ = steal(PyErr_GetRaisedException());
#else
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        if (t) {
            PyErr_NormalizeException(&t, &v, &tb);
            if (tb && v) PyException_SetTraceback(v, tb);
            Py_XDECREF(t);
            Py_XDECREF(tb);
            e.v_ = steal(v);
        }
#endif
        return e;
    }
    // An exception instance held elsewhere.
    static Exc from(Ref value) noexcept {
        Exc e;
        e.v_ = std::move(value);
        return e;
    }
    // Put the exception back as the pending one.
    void restore() noexcept {
        PyObject* v = v_.release();
        if (!v) return;
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(v);
#else
        PyObject* t = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(v)));
        PyErr_Restore(t, v, PyException_GetTraceback(v));
#endif
    }
    PyObject* value() const noexcept { return v_.get(); }
    // The exception instance, for keeping elsewhere.
    Ref take() noexcept { return std::move(v_); }
    PyObject* type() const noexcept { return v_ ? reinterpret_cast<PyObject*>(Py_TYPE(v_.get())) : Py_None; }
    Ref traceback() const noexcept {
        if (!v_) return none();
        PyObject* tb = PyException_GetTraceback(v_.get());
        return tb ? steal(tb) : none();
    }
    bool matches(PyObject* type) const noexcept {
        return v_ && PyErr_GivenExceptionMatches(v_.get(), type);
    }
    explicit operator bool() const noexcept { return bool(v_); }

private:
    Ref v_;
};

// Makes `exc` (null: none) the exception being handled in the entry of the
// thread's exception-info stack that the running code writes to: the
// innermost running generator's or coroutine's (a kelpie body has its own
// for each advance, see OwnExcEntry), else the thread's own.
inline void set_handled(PyObject* exc) noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    PyErr_SetHandledException(exc);
#else
    PyErr_SetExcInfo(exc ? Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))) : nullptr, Py_XNewRef(exc),
                     exc ? PyException_GetTraceback(exc) : nullptr);
#endif
}

// Makes `handled` the exception being handled (what sys.exc_info() shows)
// for the lifetime of the guard, the way an except block or the exit of a
// with statement does: in the current entry, whose own content comes back
// afterwards (never the one of an outer entry).  Exceptions raised
// meanwhile chain to it.
class Handling {
public:
    explicit Handling(PyObject* handled) noexcept : entry_(PyThreadState_Get()->exc_info), saved_(*entry_) {
#if PY_VERSION_HEX < 0x030B0000
        entry_->exc_type = entry_->exc_traceback = nullptr;
#endif
        entry_->exc_value = nullptr;
        set_handled(handled);
    }
    ~Handling() {
        set_handled(nullptr);
        entry_->exc_value = saved_.exc_value;
#if PY_VERSION_HEX < 0x030B0000
        entry_->exc_type = saved_.exc_type;
        entry_->exc_traceback = saved_.exc_traceback;
#endif
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    _PyErr_StackItem* entry_;
    _PyErr_StackItem saved_;  // the entry's own references, given back
};

// An entry of the thread's exception-info stack for one advance of a body,
// holding what the body handles, as the interpreter's generators and
// coroutines have one: what the body handles neither leaks into the
// caller's entry nor hides the caller's from code the body calls.
class OwnExcEntry {
public:
    explicit OwnExcEntry(PyObject* handled) noexcept : ts_(PyThreadState_Get()), item_{} {
        item_.exc_value = Py_XNewRef(handled);
#if PY_VERSION_HEX < 0x030B0000
        if (handled) {
            item_.exc_type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(handled)));
            item_.exc_traceback = PyException_GetTraceback(handled);
        }
#endif
        item_.previous_item = ts_->exc_info;
        ts_->exc_info = &item_;
    }
    ~OwnExcEntry() {
        ts_->exc_info = item_.previous_item;
        Py_XDECREF(item_.exc_value);
#if PY_VERSION_HEX < 0x030B0000
        Py_XDECREF(item_.exc_type);
        Py_XDECREF(item_.exc_traceback);
#endif
    }
    OwnExcEntry(const OwnExcEntry&) = delete;
    OwnExcEntry& operator=(const OwnExcEntry&) = delete;

private:
    PyThreadState* ts_;
    _PyErr_StackItem item_;
};

// The pending exception gets `context` as its __context__ unless it already
// has one (what the interpreter does for an exception raised while another
// is being handled).
inline void chain_context(const Exc& context) noexcept {
    if (!context) return;
    Exc now = Exc::fetch();
    if (now && now.value() != context.value()) {
        PyObject* old = PyException_GetContext(now.value());
        if (old) Py_DECREF(old);
        else PyException_SetContext(now.value(), Py_NewRef(context.value()));
    }
    now.restore();
}

}  // namespace kp
