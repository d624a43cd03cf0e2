// Whole-file text, Markdown and JSON helpers.
#include "larder/larder.hpp"

namespace larder {

using kp::Check;
using kp::Param;

static kp::Name s_json{"json"}, s_load{"load"}, s_read{"read"}, s_newline{"\n"}, s_empty{""};

// with open(path, "r") as f: data = json.load(f)
// The collector stays as the application set it: json.load reads the file
// and runs Python code, and other threads run meanwhile.
static Ref read_json_body(Function& fn, PyObject* const* a) {
    Ref file = kp::call(builtins.open, a[0], s_r);
    if (!file) return {};
    return kp::with(file.get(), [&](PyObject* f) -> Ref {
        Ref json = fn.global(s_json);
        return json ? kp::call_method(json.get(), s_load, f) : Ref{};
    });
}

// with open(path, "r", encoding=encoding) as f: return f.read()
static Ref read_whole(PyObject* path, PyObject* encoding) {
    Ref file = open_text(path, s_r, encoding);
    if (!file) return {};
    return kp::with(file.get(), [](PyObject* f) { return kp::call_method(f, s_read); });
}

static Ref read_txt_body(Function&, PyObject* const* a) { return read_whole(a[0], a[1]); }
static Ref read_md_body(Function&, PyObject* const* a) { return read_whole(a[0], a[1]); }

// One line per element of a list; a str written as it is; anything else
// leaves the file empty.
static Ref write_lines(PyObject* write, PyObject* contents) {
    auto write_line = [&](PyObject* item) -> bool {
        Ref text = PyUnicode_CheckExact(item) ? kp::borrow(item) : steal(PyObject_Str(item));
        if (!text) return false;
        Ref line = steal(PyUnicode_Concat(text.get(), s_newline));
        return line && kp::call(write, line);
    };
    if (PyList_CheckExact(contents)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(contents); i++) {
            Ref item = kp::borrow(PyList_GET_ITEM(contents, i));
            if (!write_line(item.get())) return {};
        }
        return kp::none();
    }
    Ref it = steal(PyObject_GetIter(contents));
    if (!it) return {};
    while (Ref item = steal(PyIter_Next(it.get())))
        if (!write_line(item.get())) return {};
    return PyErr_Occurred() ? Ref{} : kp::none();
}

static Ref save_txt_body(Function&, PyObject* const* a) {
    PyObject* contents = a[0];
    Ref file = kp::call(builtins.open, a[1], s_w);
    if (!file) return {};
    return kp::with(file.get(), [&](PyObject* f) -> Ref {
        if (PyList_Check(contents)) {
            Ref write = kp::getattr(f, s_write);
            return write ? write_lines(write.get(), contents) : Ref{};
        }
        if (PyUnicode_Check(contents)) {
            if (!kp::call_method(f, s_write, contents)) return {};
        }
        return kp::none();
    });
}

// with open(path, "w", encoding=encoding) as f: f.write(text)
static Ref write_whole(PyObject* path, PyObject* text, PyObject* encoding) {
    Ref file = open_text(path, s_w, encoding);
    if (!file) return {};
    return kp::with(file.get(), [&](PyObject* f) -> Ref {
        if (!kp::call_method(f, s_write, text)) return {};
        return kp::none();
    });
}

static Ref write_md_body(Function&, PyObject* const* a) { return write_whole(a[1], a[0], a[2]); }
static Ref create_empty_file_body(Function&, PyObject* const* a) { return write_whole(a[0], s_empty, a[1]); }

static constexpr Param path_str[] = {{"path", "str", Check::str}};
static constexpr Param file_path_encoding[] = {{"file_path"}, {"encoding", "str", Check::str, utf8}};
static constexpr Param save_params[] = {{"contents", "list | str"}, {"save_path", "str", Check::str}};
static constexpr Param md_read_params[] = {{"md_path"}, {"encoding", nullptr, Check::none, utf8}};
static constexpr Param md_write_params[] = {{"content"}, {"md_path"}, {"encoding", nullptr, Check::none, utf8}};

constexpr kp::FunctionDef read_json = kp::define("read_json", read_json_body, path_str);
constexpr kp::FunctionDef read_txt = kp::define("read_txt", read_txt_body, file_path_encoding);
constexpr kp::FunctionDef save_txt = kp::define("save_txt", save_txt_body, save_params);
constexpr kp::FunctionDef read_md = kp::define("read_md", read_md_body, md_read_params);
constexpr kp::FunctionDef write_md = kp::define("write_md", write_md_body, md_write_params);
constexpr kp::FunctionDef create_empty_file = kp::define("create_empty_file", create_empty_file_body, path_encoding);

}  // namespace larder
