// The server-sent-event line rule: decode as UTF-8 dropping what does not
// decode, strip whitespace, keep lines that start with "data:", and pass on
// the rest of the line without its leading whitespace, encoded as UTF-8.
#include "courier/courier.hpp"

#include <cstdint>
#include <cstring>

namespace courier {

// utf8_char for a lead byte of 0x80 and above.
static int utf8_multibyte(const unsigned char* p, Py_ssize_t n, Py_UCS4* cp) {
    unsigned char c = p[0];
    int len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    if (len == 0 || c > 0xF4 || n < len) return 0;
    Py_UCS4 v = c & (0x7F >> len);
    for (int i = 1; i < len; i++) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        v = (v << 6) | (p[i] & 0x3F);
    }
    if ((len == 3 && (v < 0x800 || (v >= 0xD800 && v <= 0xDFFF))) || (len == 4 && (v < 0x10000 || v > 0x10FFFF)))
        return 0;
    *cp = v;
    return len;
}

// Decodes the UTF-8 character at p[0..n) into *cp; its length, or 0 when the
// bytes there are not valid UTF-8 (as the interpreter's strict decoder
// judges: no overlong forms, no surrogates, nothing above U+10FFFF).
static inline int utf8_char(const unsigned char* p, Py_ssize_t n, Py_UCS4* cp) {
    if (p[0] < 0x80) {
        *cp = p[0];
        return 1;
    }
    return utf8_multibyte(p, n, cp);
}

// Valid UTF-8 throughout: then "ignore" decoding drops nothing.  ASCII runs,
// the bulk of event streams, are checked eight bytes at a time.
static bool valid_utf8(const unsigned char* p, Py_ssize_t n) {
    Py_UCS4 cp;
    for (Py_ssize_t i = 0; i < n;) {
        if (n - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            if (!(word & 0x8080808080808080u)) {
                i += 8;
                continue;
            }
        }
        if (p[i] < 0x80) {
            i++;
            continue;
        }
        int len = utf8_char(p + i, n - i, &cp);
        if (!len) return false;
        i += len;
    }
    return true;
}

// Offsets of the first character after leading whitespace and of the end of
// the text before trailing whitespace, with str.strip()'s whitespace.
static Py_ssize_t skip_space(const unsigned char* p, Py_ssize_t begin, Py_ssize_t end) {
    Py_UCS4 cp;
    while (begin < end) {
        int len = utf8_char(p + begin, end - begin, &cp);
        if (!Py_UNICODE_ISSPACE(cp)) break;
        begin += len;
    }
    return begin;
}

static Py_ssize_t trim_space(const unsigned char* p, Py_ssize_t begin, Py_ssize_t end) {
    Py_UCS4 cp;
    while (end > begin) {
        Py_ssize_t start = end - 1;
        while (start > begin && (p[start] & 0xC0) == 0x80) start--;
        utf8_char(p + start, end - start, &cp);
        if (!Py_UNICODE_ISSPACE(cp)) break;
        end = start;
    }
    return end;
}

// A line of valid UTF-8 whose stripped text starts at `begin`: the rule
// worked on the bytes themselves.
static Ref utf8_payload(const unsigned char* p, Py_ssize_t begin, Py_ssize_t n) {
    Py_ssize_t end = trim_space(p, begin, n);
    if (end - begin < 5 || std::memcmp(p + begin, "data:", 5) != 0) return {};
    begin = skip_space(p, begin + 5, end);
    return steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p) + begin, end - begin));
}

// "ignore" decoding done on the bytes: a byte that does not begin a valid
// character is dropped.  The decoder drops a broken sequence as a whole,
// but past its first byte such a sequence holds only continuation bytes,
// which never begin a character, so the same bytes go.  Returns the new
// length of the bytes kept at the start of q.
static Py_ssize_t drop_invalid(const unsigned char* p, Py_ssize_t n, unsigned char* q) {
    Py_ssize_t m = 0;
    Py_UCS4 cp;
    for (Py_ssize_t i = 0; i < n;) {
        int len = utf8_char(p + i, n - i, &cp);
        if (!len) {
            i++;
            continue;
        }
        std::memcpy(q + m, p + i, size_t(len));
        m += len;
        i += len;
    }
    return m;
}

static Ref bytes_payload(const unsigned char* p, Py_ssize_t n);

// A line with bytes that do not decode: the rule applied to what decodes.
static Ref invalid_utf8_payload(const unsigned char* p, Py_ssize_t n) {
    unsigned char small[512];
    unsigned char* kept = n <= Py_ssize_t(sizeof small) ? small : static_cast<unsigned char*>(PyMem_Malloc(size_t(n)));
    if (!kept) {
        PyErr_NoMemory();
        return {};
    }
    Ref payload = bytes_payload(kept, drop_invalid(p, n, kept));
    if (kept != small) PyMem_Free(kept);
    return payload;
}

static Ref bytes_payload(const unsigned char* p, Py_ssize_t n) {
    // Leading whitespace, as long as it decodes: the decoded text then starts
    // with the same characters, so a first non-space character other than
    // "d" settles the line without looking further.
    Py_ssize_t begin = 0;
    Py_UCS4 cp;
    while (begin < n) {
        int len = utf8_char(p + begin, n - begin, &cp);
        if (!len) return invalid_utf8_payload(p, n);
        if (!Py_UNICODE_ISSPACE(cp)) break;
        begin += len;
    }
    if (begin == n || p[begin] != 'd') return {};
    if (!valid_utf8(p + begin, n - begin)) return invalid_utf8_payload(p, n);
    return utf8_payload(p, begin, n);
}

Ref sse_payload(PyObject* line) {
    Ref raw = kp::borrow(line);
    if (!PyBytes_CheckExact(line)) {
        // if not line: continue; then the bytes of whatever was read
        int non_empty = PyObject_IsTrue(line);
        if (non_empty <= 0) return {};
        raw = PyBytes_Check(line) ? kp::borrow(line) : steal(PyBytes_FromObject(line));
        if (!raw) return {};
    }
    return bytes_payload(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(raw.get())),
                         PyBytes_GET_SIZE(raw.get()));
}

}  // namespace courier
