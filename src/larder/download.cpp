// URL download streamed to a file named after the URL's last path segment.
#include "larder/larder.hpp"

namespace larder {

static kp::Name s_urlparse{"urlparse"}, s_basename{"basename"}, s_requests{"requests"}, s_get{"get"},
    s_raise_for_status{"raise_for_status"}, s_iter_content{"iter_content"}, s_wb{"wb"};
static kp::KwNames kw_stream{"stream"}, kw_chunk_size{"chunk_size"};

static Ref download_url_content_body(Function& fn, PyObject* const* a) {
    PyObject* url = a[0];
    PyObject* save_dir = a[1];
    PyObject* chunk_size = a[2];

    Ref urlparse = fn.global(s_urlparse);
    Ref parsed_url = urlparse ? kp::call(urlparse.get(), url) : Ref{};
    Ref url_path = parsed_url ? kp::getattr(parsed_url.get(), s_path) : Ref{};
    Ref path = url_path ? os_path(fn) : Ref{};
    Ref filename = path ? kp::call_method(path.get(), s_basename, url_path) : Ref{};
    if (filename) path = os_path(fn);
    Ref save_path = filename && path ? kp::call_method(path.get(), s_join, save_dir, filename) : Ref{};
    if (!save_path) return {};

    Ref requests = fn.global(s_requests);
    Ref get = requests ? kp::getattr(requests.get(), s_get) : Ref{};
    Ref response = get ? kp::call_kw(get.get(), kw_stream, url, Py_True) : Ref{};
    if (!response || !kp::call_method(response.get(), s_raise_for_status)) return {};

    Ref file = kp::call(builtins.open, save_path, s_wb);
    if (!file) return {};
    Ref written = kp::with(file.get(), [&](PyObject* f) -> Ref {
        Ref iter_content = kp::getattr(response.get(), s_iter_content);
        Ref chunks = iter_content ? kp::call_kw(iter_content.get(), kw_chunk_size, chunk_size) : Ref{};
        Ref it = chunks ? steal(PyObject_GetIter(chunks.get())) : Ref{};
        Ref write = it ? kp::getattr(f, s_write) : Ref{};
        if (!write) return {};
        while (Ref chunk = steal(PyIter_Next(it.get())))
            if (!kp::call(write.get(), chunk)) return {};
        return PyErr_Occurred() ? Ref{} : kp::none();
    });
    return written ? save_path : Ref{};
}

static constexpr kp::Param params[] = {{"url", "str", kp::Check::str},
                                        {"save_dir", "str", kp::Check::str},
                                        {"chunk_size", "int", kp::Check::to_int, kp::int_default(8192)}};
constexpr kp::FunctionDef download_url_content = kp::define("download_url_content", download_url_content_body, params);

}  // namespace larder
