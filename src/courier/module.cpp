// Module creation and the module's statements.
#include "courier/courier.hpp"
#include "runtime/module.hpp"

namespace courier {

kp::Name s_aiohttp{"aiohttp"}, s_ClientSession{"ClientSession"}, s_post{"post"}, s_status{"status"},
    s_text{"text"}, s_to_formdata{"_to_formdata"};
kp::KwNames kw_data_files{"data,files"};
static kp::KwNames kw_headers_data{"headers,data"}, kw_headers_json{"headers,json"};
static PyObject* ok_status;  // 200, kept while the interpreter lives

Ref new_client_session(const Frame& co) {
    Ref aiohttp = co.global(s_aiohttp);
    return aiohttp ? kp::call_method(aiohttp.get(), s_ClientSession) : Ref{};
}

Ref post_request(const Frame& co, PyObject* session, int* form_out) {
    PyObject *url = co.arg(0), *headers = co.arg(1), *payload = co.arg(2), *data = co.arg(3), *files = co.arg(4);
    const bool use_form = co.arg(5) == Py_True;  // bound as its truth value
    const int has_files = PyObject_IsTrue(files);
    if (has_files < 0) return {};
    const bool form = has_files || use_form;
    if (form_out) *form_out = form;
    Ref body;
    if (form) {
        Ref to_formdata = co.global(s_to_formdata);
        body = to_formdata ? kp::call_kw(to_formdata.get(), kw_data_files, data, files) : Ref{};
    } else {
        body = kp::borrow(payload);
    }
    if (!body) return {};
    return kp::call_method_kw(session, s_post, form ? kw_headers_data : kw_headers_json, url, headers, body);
}

int status_is_ok(PyObject* response) {
    Ref status = kp::getattr(response, s_status);
    if (!status) return -1;
    if (PyLong_CheckExact(status.get())) {
        int overflow = 0;
        return PyLong_AsLongAndOverflow(status.get(), &overflow) == 200 && !overflow;
    }
    return PyObject_RichCompareBool(status.get(), ok_status, Py_EQ);
}

static Ref make_all() {
    return steal(Py_BuildValue("[sss]", "async_call_api", "async_call_api_stream", "async_llm_api"));
}

// FileValue, FilesType and DataType, built from the typing names bound in
// the namespace.
static bool bind_aliases(PyObject* g) {
    auto name = [&](const char* n) { return PyDict_GetItemString(g, n); };
    PyObject* str = reinterpret_cast<PyObject*>(&PyUnicode_Type);
    PyObject* bytes = reinterpret_cast<PyObject*>(&PyBytes_Type);
    Ref io_bytes = steal(PyObject_GetItem(name("IO"), bytes));
    if (!io_bytes) return false;
    Ref pair = steal(PyObject_GetItem(name("Tuple"), steal(PyTuple_Pack(2, str, io_bytes.get())).get()));
    Ref triple = steal(PyObject_GetItem(name("Tuple"), steal(PyTuple_Pack(3, str, io_bytes.get(), str)).get()));
    if (!pair || !triple) return false;
    Ref shapes = steal(PyTuple_Pack(3, io_bytes.get(), pair.get(), triple.get()));
    if (!shapes || !kp::bind(g, "FileValue", steal(PyObject_GetItem(name("Union"), shapes.get())))) return false;

    auto optional_dict_of = [&](PyObject* value) -> Ref {
        Ref key_value = steal(PyTuple_Pack(2, str, value));
        Ref dict = key_value ? steal(PyObject_GetItem(name("Dict"), key_value.get())) : Ref{};
        return dict ? steal(PyObject_GetItem(name("Optional"), dict.get())) : Ref{};
    };
    PyObject* file_value = name("FileValue");
    if (!file_value) {
        PyErr_SetString(PyExc_NameError, "name 'FileValue' is not defined");
        return false;
    }
    return kp::bind(g, "FilesType", optional_dict_of(file_value)) &&
           kp::bind(g, "DataType", optional_dict_of(name("Any")));
}

static bool bind_typing_names(PyObject* g) {
    static const char* const names[] = {"Any", "Dict", "Optional", "Union", "IO", "Tuple", "AsyncIterator"};
    Ref fromlist = steal(Py_BuildValue("(sssssss)", names[0], names[1], names[2], names[3], names[4], names[5],
                                       names[6]));
    Ref typing_name = steal(PyUnicode_FromString("typing"));
    if (!fromlist || !typing_name) return false;
    Ref typing = steal(PyImport_ImportModuleLevelObject(typing_name.get(), g, nullptr, fromlist.get(), 0));
    if (!typing) return false;
    for (const char* n : names) {
        Ref key = steal(PyUnicode_InternFromString(n));
        bool missing;
        Ref v = key ? kp::getattr_optional(typing.get(), key.get(), &missing) : Ref{};
        if (!v) {
            if (missing) PyErr_Format(PyExc_ImportError, "cannot import name %S", key.get());
            return false;
        }
        if (PyDict_SetItem(g, key.get(), v.get()) < 0) return false;
    }
    return true;
}

static bool statements(PyObject*, PyObject* g) {
    if (!ok_status && !(ok_status = PyLong_FromLong(200))) return false;
    return kp::bind(g, "aiohttp", kp::import_module(g, "aiohttp")) && bind_typing_names(g) &&
           kp::bind(g, "__all__", make_all()) && bind_aliases(g) && kp::bind_function(g, to_formdata) &&
           kp::bind_function(g, async_call_api) && kp::bind_function(g, async_llm_api) &&
           kp::bind_function(g, async_call_api_stream) &&
           kp::bind(g, "__test__", steal(PyDict_New()));
}

}  // namespace courier

namespace kp {
const ModuleInfo this_module{"courier", "kelpie.courier", "kelpie/courier", courier::statements,
                             [] { courier::ok_status = nullptr; }};
}

KELPIE_MODULE(courier)
