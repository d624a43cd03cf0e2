// The catalogue builder: directories and empty files from a nested
// description, depth first.
#include "larder/larder.hpp"

namespace larder {

static kp::Name s_initialize_file{"initialize_file"}, s_items{"items"}, s_dot{"."};

// for dir_name, dir_content in mapping.items():
//     dir_path = os.path.join(current_path, dir_name)
//     Path(dir_path).mkdir(exist_ok=True, parents=True)
//     initialize_catalogue(dir_path, dir_content)
static bool build_subdirectories(const Function& fn, PyObject* join, PyObject* current_path, PyObject* mapping) {
    Ref items = kp::call_method(mapping, s_items);
    Ref it = items ? steal(PyObject_GetIter(items.get())) : Ref{};
    if (!it) return false;
    while (Ref item = steal(PyIter_Next(it.get()))) {
        Ref pair[2];  // dir_name, dir_content
        if (!kp::unpack(item.get(), 2, pair)) return false;
        Ref& dir_name = pair[0];
        Ref& dir_content = pair[1];
        Ref dir_path = kp::call(join, current_path, dir_name);
        if (!dir_path || !make_dir(fn, dir_path.get())) return false;
        Ref recurse = fn.global(s_initialize_catalogue);
        if (!recurse || !kp::call(recurse.get(), dir_path, dir_content)) return false;
    }
    return !PyErr_Occurred();
}

// One entry of a list: a file name (has a "."), a directory name, or a
// mapping of directories; anything else is skipped.
static bool build_entry(const Function& fn, PyObject* join, PyObject* current_path, PyObject* entry) {
    if (PyUnicode_Check(entry)) {
        int has_dot = PySequence_Contains(entry, s_dot);
        if (has_dot < 0) return false;
        Ref path = kp::call(join, current_path, entry);
        if (!path) return false;
        if (!has_dot) return bool(make_dir(fn, path.get()));
        if (!print_line(path.get())) return false;
        Ref init = fn.global(s_initialize_file);
        return init && kp::call(init.get(), path);
    }
    if (PyDict_Check(entry)) return build_subdirectories(fn, join, current_path, entry);
    return true;
}

static Ref initialize_catalogue_body(Function& fn, PyObject* const* a) {
    PyObject* current_path = a[0];
    PyObject* catalogue = a[1];
    if (!make_dir(fn, current_path) || !print_line(current_path)) return {};
    if (PyList_Check(catalogue)) {
        Ref it = steal(PyObject_GetIter(catalogue));
        if (!it) return {};
        while (Ref entry = steal(PyIter_Next(it.get()))) {
            Ref path = os_path(fn);
            Ref join = path ? kp::getattr(path.get(), s_join) : Ref{};
            if (!join || !build_entry(fn, join.get(), current_path, entry.get())) return {};
        }
        if (PyErr_Occurred()) return {};
    } else if (PyDict_Check(catalogue)) {
        Ref path = os_path(fn);
        Ref join = path ? kp::getattr(path.get(), s_join) : Ref{};
        if (!join || !build_subdirectories(fn, join.get(), current_path, catalogue)) return {};
    }
    return kp::none();
}

static constexpr kp::Param params[] = {{"current_path"}, {"catalogue"}};
constexpr kp::FunctionDef initialize_catalogue = kp::define("initialize_catalogue", initialize_catalogue_body, params);

}  // namespace larder
