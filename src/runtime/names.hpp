// Interned strings and keyword-name tuples, created when a module is first
// executed in an interpreter and kept while that interpreter lives.
//
//     static kp::Name s_json{"json"};            // usable as PyObject*
//     static kp::KwNames kw_encoding{"encoding"};  // ("encoding",)
#pragma once
#include "runtime/ref.hpp"

namespace kp {

class Interned {
public:
    // Creates every registered object afresh (those of an ended interpreter
    // are forgotten); false with an exception pending.
    static bool create_all() noexcept;

    operator PyObject*() const noexcept { return obj_; }

protected:
    explicit Interned(const char* text) noexcept : text_(text), next_(head_) { head_ = this; }
    virtual bool create() noexcept = 0;
    const char* text_;
    PyObject* obj_ = nullptr;  // never released: it lives as long as its interpreter

private:
    Interned* next_;
    static inline Interned* head_ = nullptr;
};

class Name : public Interned {
public:
    explicit Name(const char* text) noexcept : Interned(text) {}
    bool create() noexcept override;
};

// A tuple of interned keyword names, written as one comma-separated text.
class KwNames : public Interned {
public:
    explicit KwNames(const char* names) noexcept : Interned(names) {}
    bool create() noexcept override;
};

}  // namespace kp
