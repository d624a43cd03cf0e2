// Project creation: main() builds the skeleton, gen_catalogue() asks for it
// on the console first.
#include "larder/larder.hpp"

namespace larder {

static kp::Name s_CATALOGUES{"CATALOGUES"}, s_main{"main"}, s_src{"src"}, s_prod{"prod"}, s_tests{"tests"}, s_y{"y"},
    s_ask_name{"输入项目名称: "}, s_confirm_head{"项目名称: "}, s_confirm_tail{"。是否确认(y/n?)"},
    s_ask_path{"输入项目路径："};

static Ref main_body(Function& fn, PyObject* const* a) {
    PyObject* name = a[0];
    PyObject* dir_path = a[1];
    // envs = ["dev", "prod", "tests"]: "dev" is the one CATALOGUES describes.
    PyObject* const created_envs[] = {s_prod, s_tests};

    Ref path = os_path(fn);
    Ref join = path ? kp::getattr(path.get(), s_join) : Ref{};
    Ref current_path = join ? kp::call(join.get(), dir_path, name) : Ref{};
    if (!current_path) return {};
    Ref initialize = fn.global(s_initialize_catalogue);
    Ref catalogues = initialize ? fn.global(s_CATALOGUES) : Ref{};
    if (!catalogues || !kp::call(initialize.get(), current_path, catalogues)) return {};

    path = os_path(fn);
    join = path ? kp::getattr(path.get(), s_join) : Ref{};
    Ref dev_path = join ? kp::call(join.get(), dir_path, name, s_src) : Ref{};
    if (!dev_path) return {};
    for (PyObject* item : created_envs) {
        path = os_path(fn);
        join = path ? kp::getattr(path.get(), s_join) : Ref{};
        Ref env_path = join ? kp::call(join.get(), dev_path, item) : Ref{};
        Ref Path = env_path ? fn.global(s_Path) : Ref{};
        Ref shown = Path ? kp::call(Path.get(), env_path) : Ref{};
        if (!shown || !print_line(shown.get()) || !make_dir(fn, env_path.get())) return {};
    }
    return kp::none();
}

static Ref gen_catalogue_body(Function& fn, PyObject* const*) {
    Ref project_name = kp::call(builtins.input, s_ask_name);
    if (!project_name) return {};
    Ref shown = kp::format_text(project_name.get());
    Ref prompt = shown ? steal(PyUnicode_Concat(s_confirm_head, shown.get())) : Ref{};
    if (prompt) prompt = steal(PyUnicode_Concat(prompt.get(), s_confirm_tail));
    Ref cmd = prompt ? kp::call(builtins.input, prompt) : Ref{};
    if (!cmd) return {};
    int confirmed = PyObject_RichCompareBool(cmd.get(), s_y, Py_EQ);
    if (confirmed < 0) return {};
    if (!confirmed) {
        if (!kp::call(builtins.exit)) return {};
        return kp::none();  // an exit() that returns: nothing more is asked
    }
    Ref root_dir = kp::call(builtins.input, s_ask_path);
    if (!root_dir) return {};
    Ref main = fn.global(s_main);
    if (!main || !kp::call(main.get(), project_name, root_dir)) return {};
    return kp::none();
}

static constexpr kp::Param main_params[] = {{"name", "str", kp::Check::str},
                                             {"dir_path", "str", kp::Check::str, kp::text_default("")}};
constexpr kp::FunctionDef main = kp::define("main", main_body, main_params);
constexpr kp::FunctionDef gen_catalogue = kp::define("gen_catalogue", gen_catalogue_body);

}  // namespace larder
