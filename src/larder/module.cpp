// Module creation and the module's statements.
#include "larder/larder.hpp"
#include "runtime/module.hpp"

namespace larder {

Builtins builtins{};

kp::Name s_os{"os"}, s_path{"path"}, s_join{"join"}, s_mkdir{"mkdir"}, s_write{"write"}, s_r{"r"}, s_w{"w"};
kp::KwNames kw_encoding{"encoding"};
static kp::Name s_Path{"Path"};
static kp::KwNames kw_mkdir{"exist_ok,parents"};

Ref open_text(PyObject* path, PyObject* mode, PyObject* encoding) {
    return kp::call_kw(builtins.open, kw_encoding, path, mode, encoding);
}

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

static bool bind_function(PyObject* g, PyObject* module_name, const kp::FunctionDef& def,
                          std::initializer_list<PyObject*> defaults = {}) {
    return kp::bind(g, def.name, kp::make_function(g, module_name, def, defaults));
}

static bool statements(PyObject*, PyObject* g) {
    Ref module_name = steal(PyUnicode_InternFromString(kp::this_module.full_name));
    Ref utf8 = steal(PyUnicode_InternFromString("utf-8"));
    Ref empty = steal(PyUnicode_InternFromString(""));
    Ref chunk = steal(PyLong_FromLong(8192));
    if (!module_name || !utf8 || !empty || !chunk || !bind_builtins()) return false;
    PyObject* m = module_name.get();
    PyObject* enc = utf8.get();
    bool ok = kp::bind(g, "os", kp::import_module(g, "os")) && kp::bind(g, "yaml", kp::import_module(g, "yaml")) &&
              kp::bind(g, "json", kp::import_module(g, "json")) &&
              kp::bind(g, "requests", kp::import_module(g, "requests")) &&
              kp::bind(g, "Path", kp::import_from(g, "pathlib", "Path")) &&
              kp::bind(g, "urlparse", kp::import_from(g, "urllib.parse", "urlparse")) &&
              kp::bind(g, "__all__", make_all()) &&
              bind_function(g, m, read_json) && bind_function(g, m, read_txt, {enc}) &&
              bind_function(g, m, save_txt) && bind_function(g, m, load_config, {enc}) &&
              bind_function(g, m, read_md, {enc}) && bind_function(g, m, write_md, {enc}) &&
              bind_function(g, m, create_empty_file, {enc}) && bind_function(g, m, initialize_env, {enc}) &&
              bind_function(g, m, initialize_gitignore, {enc}) && bind_function(g, m, initialize_txt, {enc}) &&
              bind_function(g, m, initialize_md, {enc}) && bind_function(g, m, initialize_sh, {enc}) &&
              bind_function(g, m, initialize_py, {enc}) && bind_function(g, m, initialize_file) &&
              kp::bind(g, "CATALOGUES", make_catalogues()) && bind_function(g, m, initialize_catalogue) &&
              bind_function(g, m, main, {empty.get()}) && bind_function(g, m, gen_catalogue) &&
              bind_function(g, m, download_url_content, {chunk.get()}) &&
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
const ModuleInfo this_module{"larder", "kelpie.larder", "kelpie/larder", larder::statements};
}

static PyModuleDef larder_module = {
    PyModuleDef_HEAD_INIT, "larder", nullptr, 0, nullptr, kp::module_slots, nullptr, nullptr, nullptr,
};

PyMODINIT_FUNC PyInit_larder(void) { return PyModuleDef_Init(&larder_module); }
