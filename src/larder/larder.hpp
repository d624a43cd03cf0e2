// kelpie.larder: whole-file helpers, configuration loading, project
// skeletons and URL download.
#pragma once
#include "runtime/call.hpp"
#include "runtime/function.hpp"
#include "runtime/names.hpp"

namespace larder {

using kp::Function;
using kp::Ref;
using kp::steal;

// The built-ins the functions use, bound once when the module is executed.
struct Builtins {
    PyObject* open;
    PyObject* print;
    PyObject* input;
    PyObject* exit;
};
extern Builtins builtins;

// The default of every `encoding` parameter.
inline constexpr kp::Default utf8 = kp::text_default("utf-8");
// (path, encoding: str = "utf-8"): create_empty_file and the initialize_* family.
inline constexpr kp::Param path_encoding[] = {{"path"}, {"encoding", "str", kp::Check::str, utf8}};

// Names shared between the module's files.
extern kp::Name s_os, s_path, s_join, s_mkdir, s_write, s_r, s_w, s_Path, s_initialize_catalogue;
extern kp::KwNames kw_encoding;

// Python-level helpers written once for the whole module.
Ref open_text(PyObject* path, PyObject* mode, PyObject* encoding);  // open(path, mode, encoding=...)
Ref os_path(const Function& fn);                                    // os.path, looked up now
Ref make_dir(const Function& fn, PyObject* path);  // Path(path).mkdir(exist_ok=True, parents=True)
bool print_line(PyObject* text);

// One definition per function, in the order the namespace receives them.
extern const kp::FunctionDef read_json, read_txt, save_txt, load_config, read_md, write_md, create_empty_file,
    initialize_env, initialize_gitignore, initialize_txt, initialize_md, initialize_sh, initialize_py,
    initialize_file, initialize_catalogue, main, gen_catalogue, download_url_content;

Ref make_catalogues();

}  // namespace larder
