#include "runtime/names.hpp"

#include <cstring>
#include <string>

namespace kp {

bool Interned::create_all() noexcept {
    for (Interned* n = head_; n; n = n->next_)
        if (!n->create()) return false;
    return true;
}

bool Name::create() noexcept {
    obj_ = PyUnicode_InternFromString(text_);
    return obj_ != nullptr;
}

bool KwNames::create() noexcept {
    Ref names = steal(PyList_New(0));
    if (!names) return false;
    const char* p = text_;
    for (;;) {
        const char* end = std::strchr(p, ',');
        std::string one(p, end ? size_t(end - p) : std::strlen(p));
        Ref s = steal(PyUnicode_InternFromString(one.c_str()));
        if (!s || PyList_Append(names.get(), s.get()) < 0) return false;
        if (!end) break;
        p = end + 1;
    }
    obj_ = PyList_AsTuple(names.get());
    return obj_ != nullptr;
}

}  // namespace kp
