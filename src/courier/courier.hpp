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
// True for form mode (`files` truthy, or use_form), -1 with an exception.
int form_mode(PyObject* files, bool use_form);
// session.post(url, headers=headers, data=_to_formdata(data=data, files=files))
// or session.post(url, headers=headers, json=payload).
Ref post_request(const Frame& co, PyObject* session, bool form, PyObject* url, PyObject* headers, PyObject* payload,
                 PyObject* data, PyObject* files);
// response.status == 200; -1 with an exception.
int status_is_ok(PyObject* response);

// The payload of one server-sent-event line, or an empty Ref without an
// exception when the line carries none.
Ref sse_payload(PyObject* line);

extern const kp::FunctionDef to_formdata, async_call_api, async_llm_api, async_call_api_stream;

}  // namespace courier
