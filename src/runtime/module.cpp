#include "runtime/module.hpp"

#include <frameobject.h>

#include <string>

#include "runtime/call.hpp"
#include "runtime/names.hpp"

namespace kp {

// The one module object of this process, kept from its creation on; dropped
// again if its statements fail, so that the next import starts afresh.
static PyObject* the_module = nullptr;
static bool executed = false;
static bool executing = false;
static int64_t owner_interpreter = -1;

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return nullptr;
    if (owner_interpreter == -1) {
        owner_interpreter = id;
    } else if (owner_interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (the_module) return Py_NewRef(the_module);
    Ref name = steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    PyObject* module = PyModule_NewObject(name.get());
    if (!module) return nullptr;
    the_module = Py_NewRef(module);
    return module;
}

// The number at *p, and p past it; -1 when none is there.  (Not sscanf:
// C libraries from 2.38 on redirect it to a symbol of their own, and the
// wheels would then need a C library that new.)
static int read_number(const char*& p) {
    if (*p < '0' || *p > '9') return -1;
    int n = 0;
    while (*p >= '0' && *p <= '9') n = n * 10 + (*p++ - '0');
    return n;
}

static bool warn_version() {
    const char* p = Py_GetVersion();  // "3.14.0 (main, ...) [GCC ...]"
    const int major = read_number(p);
    const int minor = *p == '.' ? read_number(++p) : -1;
    if (major < 0 || minor < 0) return true;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, this_module.full_name, "does not match", major,
                            minor) == 0;
}

static bool register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    Ref key = steal(PyUnicode_FromString(this_module.full_name));
    if (!key) return false;
    int present = PyDict_Contains(modules, key.get());
    if (present < 0) return false;
    return present || PyDict_SetItem(modules, key.get(), module) == 0;
}

// A failed import leaves no module behind, also not the entry made above.
static void unregister_from_sys_modules(PyObject* module) {
    Exc error = Exc::fetch();
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* entry = PyDict_GetItemString(modules, this_module.full_name);
    if (entry == module && PyDict_DelItemString(modules, this_module.full_name) < 0) PyErr_Clear();
    error.restore();
}

static PyObject* init_code = nullptr;

int module_exec(PyObject* module) {
    if (executed || executing) {
        if (module == the_module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     this_module.short_name);
        return -1;
    }
    executing = true;
    PyObject* globals = PyModule_GetDict(module);  // borrowed
    bool ok = Interned::create_all() && warn_version() && register_in_sys_modules(module) &&
              this_module.statements(module, globals);
    executing = false;
    if (!ok) {
        std::string name = std::string("init ") + this_module.full_name;
        add_traceback_entry(name.c_str(), globals, &init_code);
        unregister_from_sys_modules(module);
        Py_CLEAR(the_module);
        return -1;
    }
    executed = true;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    // Any interpreter but the first is refused by module_create with our own
    // message, before anything of the module runs; declaring support lets
    // that check, rather than the interpreter's generic one, answer.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

Ref import_module(PyObject* globals, const char* name) {
    Ref n = steal(PyUnicode_FromString(name));
    if (!n) return {};
    return steal(PyImport_ImportModuleLevelObject(n.get(), globals, nullptr, nullptr, 0));
}

Ref import_from(PyObject* globals, const char* module, const char* name) {
    Ref m = steal(PyUnicode_FromString(module));
    Ref n = steal(PyUnicode_FromString(name));
    if (!m || !n) return {};
    Ref fromlist = steal(PyTuple_Pack(1, n.get()));
    if (!fromlist) return {};
    Ref mod = steal(PyImport_ImportModuleLevelObject(m.get(), globals, nullptr, fromlist.get(), 0));
    if (!mod) return {};
    bool missing;
    Ref v = getattr_optional(mod.get(), n.get(), &missing);
    if (missing) PyErr_Format(PyExc_ImportError, "cannot import name %S", n.get());
    return v;
}

bool bind(PyObject* globals, const char* name, const Ref& value) {
    return value && PyDict_SetItemString(globals, name, value.get()) == 0;
}

bool bind_function(PyObject* globals, const FunctionDef& def) {
    static PyObject* module_name = nullptr;  // kept for the life of the process
    if (!module_name && !(module_name = PyUnicode_InternFromString(this_module.full_name))) return false;
    return bind(globals, def.name, make_function(globals, module_name, def));
}

void add_traceback_entry(const char* funcname, PyObject* globals, PyObject** code_cache) {
    Exc error = Exc::fetch();
    if (!*code_cache) *code_cache = reinterpret_cast<PyObject*>(PyCode_NewEmpty(this_module.file_name, funcname, 1));
    PyFrameObject* frame = nullptr;
    if (*code_cache)
        frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(*code_cache), globals, nullptr);
    if (!frame) PyErr_Clear();  // the entry is lost, never the exception
    error.restore();
    if (frame) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

}  // namespace kp
