#include "runtime/module.hpp"

#include <frameobject.h>

#include <string>

#include "runtime/async.hpp"
#include "runtime/call.hpp"
#include "runtime/names.hpp"

namespace kp {

// The module belongs to one interpreter at a time: the one that imported
// it.  What the runtime keeps between calls (interned names, its types, a
// few objects looked up once) is that interpreter's.  When the interpreter
// ends, its state dictionary is cleared, and with it the guard put there by
// a successful import: the module is then free to be imported again, by a
// re-initialised interpreter or another one, and that import makes all of
// it afresh.
static PyObject* the_module = nullptr;  // the owner's module, from its creation on
static int64_t owner_interpreter = -1;   // claimed by module_create, kept by a successful exec
static bool executed = false;
static bool executing = false;
static bool runtime_current = false;  // what the runtime keeps was made for the present owner
static PyObject* init_code = nullptr;
static PyObject* module_name = nullptr;

static void owner_ended(PyObject*) {
    Py_CLEAR(the_module);
    owner_interpreter = -1;
    executed = false;
    runtime_current = false;
}

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

// Everything the runtime keeps, made for a new owner.  What an ended
// interpreter's objects were is forgotten, never released: they went with it.
static bool make_runtime() {
    if (runtime_current) return true;
    this_module.forget();
    forget_type_lookups();
    init_code = nullptr;
    module_name = PyUnicode_InternFromString(this_module.full_name);
    runtime_current = module_name && Interned::create_all() && ready_function_type() && ready_body_types();
    return runtime_current;
}

// The guard in the owner's state dictionary: its end is the owner's end.
static bool guard_owner() {
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
    if (!dict) {
        PyErr_SetString(PyExc_RuntimeError, "no interpreter state dictionary");
        return false;
    }
    Ref guard = steal(PyCapsule_New(&owner_interpreter, this_module.full_name, owner_ended));
    return guard && PyDict_SetItemString(dict, this_module.full_name, guard.get()) == 0;
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
    bool ok = make_runtime() && warn_version() && register_in_sys_modules(module) &&
              this_module.statements(module, globals) && guard_owner();
    executing = false;
    if (!ok) {
        std::string name = std::string("init ") + this_module.full_name;
        add_traceback_entry(name.c_str(), globals, &init_code);
        unregister_from_sys_modules(module);
        Py_CLEAR(the_module);
        owner_interpreter = -1;  // the next import, from any interpreter, starts afresh
        return -1;
    }
    executed = true;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000  // 3.12
    // What the runtime keeps is shared by the whole process, so the module
    // cannot live in two interpreters at once.  Isolated sub-interpreters
    // refuse it at once; a legacy one (sharing the main interpreter's GIL)
    // may own it while no other interpreter does (module_create).
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
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
    return bind(globals, def.name, make_function(globals, module_name, def));
}

void add_traceback_entry(const char* funcname, PyObject* globals, PyObject** code_cache) {
    Exc error = Exc::fetch();
    if (!*code_cache && funcname)
        *code_cache = reinterpret_cast<PyObject*>(PyCode_NewEmpty(this_module.file_name, funcname, 1));
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
