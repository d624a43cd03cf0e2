// Module creation and the module's statements.
#include "larder/larder.hpp"
#include "runtime/module.hpp"

namespace larder {

Builtins builtins{};

kp::Name s_os{"os"}, s_path{"path"}, s_join{"join"}, s_mkdir{"mkdir"}, s_write{"write"}, s_r{"r"}, s_w{"w"},
    s_Path{"Path"}, s_initialize_catalogue{"initialize_catalogue"};
kp::KwNames kw_encoding{"encoding"};
static kp::KwNames kw_mkdir{"exist_ok,parents"};

Ref open_text(PyObject* path, PyObject* mode, PyObject* encoding) {
    return kp::call_kw(builtins.open, kw_encoding, path, mode, encoding);
}

// Looked up afresh at every use, as `os.path.join(...)` in Python code is:
// rebinding `os` in the module (or `os.path`) takes effect at once.
Ref os_path(const Function& fn) {
    Ref os = fn.global(s_os);
    return os ? kp::getattr(os.get(), s_path) : Ref{};
}

Ref make_dir(const Function& fn, PyObject* path) {
    Ref Path = fn.global(s_Path);
    if (!Path) return {};
    Ref dir = kp::call(Path.get(), path);
    if (!dir) return {};
    Ref mkdir = kp::getattr(dir.get(), s_mkdir);
    return mkdir ? kp::call_kw(mkdir.get(), kw_mkdir, Py_True, Py_True) : Ref{};
}

bool print_line(PyObject* text) { return bool(kp::call(builtins.print, text)); }

static bool bind_builtins() {
    Ref module = steal(PyImport_ImportModule("builtins"));
    if (!module) return false;
    PyObject* dict = PyModule_GetDict(module.get());
    struct {
        const char* name;
        PyObject** slot;
    } wanted[] = {{"open", &builtins.open}, {"print", &builtins.print}, {"input", &builtins.input},
                  {"exit", &builtins.exit}};
    for (auto& w : wanted) {
        Ref name = steal(PyUnicode_FromString(w.name));
        if (!name) return false;
        PyObject* v = PyDict_GetItemWithError(dict, name.get());
        if (!v) {
            if (!PyErr_Occurred()) kp::raise_name_error(name.get());
            return false;
        }
        Py_XSETREF(*w.slot, Py_NewRef(v));
    }
    return true;
}

static Ref make_all() {
    static const char* const names[] = {"read_txt", "save_txt",          "read_json",     "load_config",
                                        "read_md",  "write_md",          "create_empty_file", "gen_catalogue",
                                        "download_url_content"};
    Ref all = steal(PyList_New(0));
    for (const char* n : names) {
        Ref s = steal(PyUnicode_InternFromString(n));
        if (!all || !s || PyList_Append(all.get(), s.get()) < 0) return {};
    }
    return all;
}

static bool statements(PyObject*, PyObject* g) {
    if (!bind_builtins()) return false;
    bool ok = kp::bind(g, "os", kp::import_module(g, "os")) && kp::bind(g, "yaml", kp::import_module(g, "yaml")) &&
              kp::bind(g, "json", kp::import_module(g, "json")) &&
              kp::bind(g, "requests", kp::import_module(g, "requests")) &&
              kp::bind(g, "Path", kp::import_from(g, "pathlib", "Path")) &&
              kp::bind(g, "urlparse", kp::import_from(g, "urllib.parse", "urlparse")) &&
              kp::bind(g, "__all__", make_all()) &&
              kp::bind_function(g, read_json) && kp::bind_function(g, read_txt) &&
              kp::bind_function(g, save_txt) && kp::bind_function(g, load_config) &&
              kp::bind_function(g, read_md) && kp::bind_function(g, write_md) &&
              kp::bind_function(g, create_empty_file) && kp::bind_function(g, initialize_env) &&
              kp::bind_function(g, initialize_gitignore) && kp::bind_function(g, initialize_txt) &&
              kp::bind_function(g, initialize_md) && kp::bind_function(g, initialize_sh) &&
              kp::bind_function(g, initialize_py) && kp::bind_function(g, initialize_file) &&
              kp::bind(g, "CATALOGUES", make_catalogues()) && kp::bind_function(g, initialize_catalogue) &&
              kp::bind_function(g, main) && kp::bind_function(g, gen_catalogue) &&
              kp::bind_function(g, download_url_content) &&
              kp::bind(g, "__test__", steal(PyDict_New()));
    if (!ok) return false;

    // Run as the main program: start the console dialogue.
    PyObject* name = PyDict_GetItemString(g, "__name__");
    if (name && PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "__main__") == 0) {
        PyObject* dialogue = PyDict_GetItemString(g, "gen_catalogue");
        if (!dialogue) return bool(kp::raise_name_error(steal(PyUnicode_FromString("gen_catalogue")).get()));
        return bool(kp::call(dialogue));
    }
    return true;
}

}  // namespace larder

namespace kp {
const ModuleInfo this_module{"larder", "kelpie.larder", "kelpie/larder", larder::statements,
                             [] { larder::builtins = {}; }};
}

KELPIE_MODULE(larder)
