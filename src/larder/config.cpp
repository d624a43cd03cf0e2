// YAML configuration loading.
#include "larder/larder.hpp"

namespace larder {

static kp::Name s_yaml{"yaml"}, s_safe_load{"safe_load"};

// with open(file_path, "r", encoding=encoding) as f: return yaml.safe_load(f)
static Ref load_config_body(Function& fn, PyObject* const* a) {
    Ref file = open_text(a[0], s_r, a[1]);
    if (!file) return {};
    return kp::with(file.get(), [&](PyObject* f) -> Ref {
        Ref yaml = fn.global(s_yaml);
        return yaml ? kp::call_method(yaml.get(), s_safe_load, f) : Ref{};
    });
}

static constexpr kp::Param params[] = {{"file_path"}, {"encoding", "str", kp::Check::str, utf8}};
constexpr kp::FunctionDef load_config = kp::define("load_config", load_config_body, params);

}  // namespace larder
