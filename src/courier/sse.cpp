// The server-sent-event line rule: decode as UTF-8 dropping what does not
// decode, strip whitespace, keep lines that start with "data:", and pass on
// the rest of the line without its leading whitespace, encoded as UTF-8.
#include "courier/courier.hpp"

#include <cstring>

namespace courier {

static kp::Name s_strip{"strip"}, s_lstrip{"lstrip"}, s_data_prefix{"data:"};

// The ASCII characters str.strip() removes.
static bool ascii_space(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f); }

static bool all_ascii(const char* p, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; i++)
        if (static_cast<unsigned char>(p[i]) >= 0x80) return false;
    return true;
}

// Lines of ASCII bytes: the same rule worked on the bytes directly.
static Ref ascii_payload(const char* p, Py_ssize_t n) {
    Py_ssize_t begin = 0, end = n;
    while (begin < end && ascii_space(p[begin])) begin++;
    while (end > begin && ascii_space(p[end - 1])) end--;
    if (end - begin < 5 || std::memcmp(p + begin, "data:", 5) != 0) return {};
    begin += 5;
    while (begin < end && ascii_space(p[begin])) begin++;
    return steal(PyBytes_FromStringAndSize(p + begin, end - begin));
}

// Any other line, through the interpreter's own text operations.
static Ref text_payload(PyObject* line) {
    Ref raw = PyBytes_Check(line) ? kp::borrow(line) : steal(PyBytes_FromObject(line));
    if (!raw) return {};
    Ref decoded = steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), "ignore"));
    Ref text = decoded ? kp::call_method(decoded.get(), s_strip) : Ref{};
    if (!text) return {};
    Py_ssize_t starts = PyUnicode_Tailmatch(text.get(), s_data_prefix, 0, PY_SSIZE_T_MAX, -1);
    if (starts <= 0) return {};
    Ref rest = steal(PyUnicode_Substring(text.get(), 5, PyUnicode_GET_LENGTH(text.get())));
    Ref stripped = rest ? kp::call_method(rest.get(), s_lstrip) : Ref{};
    return stripped ? steal(PyUnicode_AsUTF8String(stripped.get())) : Ref{};
}

Ref sse_payload(PyObject* line) {
    if (PyBytes_CheckExact(line)) {
        const char* p = PyBytes_AS_STRING(line);
        Py_ssize_t n = PyBytes_GET_SIZE(line);
        if (n == 0) return {};
        if (all_ascii(p, n)) return ascii_payload(p, n);
        return text_payload(line);
    }
    int non_empty = PyObject_IsTrue(line);
    if (non_empty <= 0) return {};
    return text_payload(line);
}

}  // namespace courier
