// kelpie.courier: an asynchronous HTTP API client over aiohttp.
#pragma once
#include "runtime/async.hpp"
#include "runtime/call.hpp"
#include "runtime/names.hpp"

namespace courier {

using kp::AsyncWith;
using kp::Frame;
using kp::Local;
using kp::Ref;
using kp::steal;
using kp::Task;

extern kp::Name s_aiohttp, s_ClientSession, s_post, s_status, s_text, s_to_formdata;
extern kp::KwNames kw_data_files;

// aiohttp.ClientSession(), with aiohttp looked up in the namespace now.
Ref new_client_session(const Frame& co);
// session.post(url, headers=headers, data=_to_formdata(data=data, files=files))
// in form mode (`files` truthy, or use_form), else
// session.post(url, headers=headers, json=payload), with the request
// arguments of async_call_api and async_call_api_stream (url, headers,
// payload, data, files, use_form: the body's first six).  `*form` (when
// given) tells which.
Ref post_request(const Frame& co, PyObject* session, int* form = nullptr);
// response.status == 200; -1 with an exception.
int status_is_ok(PyObject* response);

// The payload of one server-sent-event line, or an empty Ref without an
// exception when the line carries none.
Ref sse_payload(PyObject* line);

// The parameters of async_call_api_stream; async_call_api takes all but the
// last (`sse`).
inline constexpr kp::Param request_params[] = {
    {"url", "str", kp::Check::str},
    {"headers", "Optional[Dict[str, str]]", kp::Check::dict_or_none, kp::none_default},
    {"payload", "Any", kp::Check::none, kp::none_default},
    {"data", "DataType", kp::Check::none, kp::none_default, true},
    {"files", "FilesType", kp::Check::none, kp::none_default, true},
    {"use_form", "bool", kp::Check::truth, kp::false_default, true},
    {"sse", "bool", kp::Check::truth, kp::false_default, true},
};

extern const kp::FunctionDef to_formdata, async_call_api, async_llm_api, async_call_api_stream;

}  // namespace courier
