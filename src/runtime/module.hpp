// Multi-phase initialisation shared by both modules: one module object and
// one owning interpreter at a time, the version warning, self-registration in
// sys.modules and the "init <module>" traceback entry.
#pragma once
#include "runtime/function.hpp"
#include "runtime/ref.hpp"

namespace kp {

struct ModuleInfo {
    const char* short_name;  // "larder"
    const char* full_name;   // "kelpie.larder"
    const char* file_name;   // "kelpie/larder", shown in traceback entries
    // The module's own statements, run once into the module's namespace.
    bool (*statements)(PyObject* module, PyObject* globals);
    // Drops, without releasing them, the objects the module's own code keeps
    // between calls: they belonged to an interpreter that has ended.
    void (*forget)();
};

// Defined once by each module.
extern const ModuleInfo this_module;

PyObject* module_create(PyObject* spec, PyModuleDef* def);
int module_exec(PyObject* module);

// The slots of a module definition using the two functions above.
extern PyModuleDef_Slot module_slots[];

// Imports: `import name` and `from module import name`, with the messages
// of the interpreter's statements.
Ref import_module(PyObject* globals, const char* name);
Ref import_from(PyObject* globals, const char* module, const char* name);
// Binds an object in the namespace; false with an exception pending.
bool bind(PyObject* globals, const char* name, const Ref& value);

// Creates a function of this module (its __module__ is the module's full
// name) and binds it under its own name.
bool bind_function(PyObject* globals, const FunctionDef& def);

// Adds a traceback entry with the module's file name, for the code object in
// *code_cache, made there first (named `funcname`) if it is empty.
void add_traceback_entry(const char* funcname, PyObject* globals, PyObject** code_cache);

}  // namespace kp

// The module definition and the initialisation function the interpreter
// looks up: no docstring, no per-module state, no method table.
#define KELPIE_MODULE(short_name)                                                                     \
    static PyModuleDef short_name##_module = {                                                      \
        PyModuleDef_HEAD_INIT, #short_name, nullptr, 0, nullptr, kp::module_slots, nullptr, nullptr, nullptr, \
    };                                                                                              \
    PyMODINIT_FUNC PyInit_##short_name(void) { return PyModuleDef_Init(&short_name##_module); }
