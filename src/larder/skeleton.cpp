// The project skeleton: CATALOGUES, initialize_file and the six per-kind
// initializers.
#include "larder/larder.hpp"

namespace larder {

using kp::Check;
using kp::Param;

static kp::Name s_create_empty_file{"create_empty_file"}, s_utf8{"utf-8"}, s_filepath{"filepath: "},
    s_file_type{"file_type: "}, s_error{"error: "}, s_unsupported{" 目前暂不支持"};

// create_empty_file(path, encoding=encoding), found in the namespace now.
static Ref create_empty(const Function& fn, PyObject* path, PyObject* encoding) {
    Ref create = fn.global(s_create_empty_file);
    return create ? kp::call_kw(create.get(), kw_encoding, path, encoding) : Ref{};
}

static Ref initialize_kind(Function& fn, PyObject* const* a) {
    if (!create_empty(fn, a[0], a[1])) return {};
    return kp::none();
}

static bool print_joined(PyObject* head, PyObject* tail) {
    Ref line = steal(PyUnicode_Concat(head, tail));
    return line && print_line(line.get());
}

// filepath.split(".")[-1]
static Ref last_dot_piece(PyObject* filepath) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(filepath);
    Py_ssize_t dot = PyUnicode_FindChar(filepath, '.', 0, n, -1);
    if (dot == -2) return {};
    return steal(PyUnicode_Substring(filepath, dot + 1, n));
}

static Ref initialize_file_body(Function& fn, PyObject* const* a) {
    PyObject* filepath = a[0];
    Ref file_type = last_dot_piece(filepath);
    if (!file_type || !print_joined(s_filepath, filepath) || !print_joined(s_file_type, file_type.get()))
        return {};
    if (create_empty(fn, filepath, s_utf8)) return kp::none();
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};

    // except Exception as e: report it and carry on
    kp::Exc error = kp::Exc::fetch();
    {
        kp::Handling handling(error.value());
        Ref text = steal(PyObject_Str(error.value()));
        if (text && print_joined(s_error, text.get()) && print_joined(filepath, s_unsupported))
            return kp::none();
    }
    kp::chain_context(error);
    return {};
}

// CATALOGUES: every directory and file of a new project.
Ref make_catalogues() {
    auto str = [](const char* s) { return steal(PyUnicode_FromString(s)); };
    auto list = [&](std::initializer_list<const char*> items) -> Ref {
        Ref l = steal(PyList_New(0));
        for (const char* s : items) {
            Ref v = str(s);
            if (!l || !v || PyList_Append(l.get(), v.get()) < 0) return {};
        }
        return l;
    };
    auto dict = [](std::initializer_list<std::pair<const char*, Ref>> items) -> Ref {
        Ref d = steal(PyDict_New());
        for (auto& [k, v] : items)
            if (!d || !v || PyDict_SetItemString(d.get(), k, v.get()) < 0) return {};
        return d;
    };
    Ref dev = dict({{"src", list({"__init__.py", "utils", "main.py"})},
                    {"tests", list({"test.py"})},
                    {"api", list({"__init__.py", "app.py"})}});
    Ref catalogues = list({"README.md", "requirements.txt", "configs", ".gitignore"});
    Ref tail[] = {dict({{"scripts", list({"prod.sh", "dev.sh", "test.sh"})}}),
                  dict({{"data", list({"raw", "processed", "tmp", "output"})}}),
                  dict({{"src", dict({{"dev", dev}})}})};
    for (Ref& entry : tail)
        if (!catalogues || !entry || PyList_Append(catalogues.get(), entry.get()) < 0) return {};
    return catalogues;
}

static constexpr Param filepath_param[] = {{"filepath", "str", Check::str}};

// The initialize_* family: one body (an empty file at `path`) under six names.
static consteval kp::FunctionDef initializer(const char* name) { return kp::define(name, initialize_kind, path_encoding); }

constexpr kp::FunctionDef initialize_env = initializer("initialize_env");
constexpr kp::FunctionDef initialize_gitignore = initializer("initialize_gitignore");
constexpr kp::FunctionDef initialize_txt = initializer("initialize_txt");
constexpr kp::FunctionDef initialize_md = initializer("initialize_md");
constexpr kp::FunctionDef initialize_sh = initializer("initialize_sh");
constexpr kp::FunctionDef initialize_py = initializer("initialize_py");
constexpr kp::FunctionDef initialize_file = kp::define("initialize_file", initialize_file_body, filepath_param);

}  // namespace larder
