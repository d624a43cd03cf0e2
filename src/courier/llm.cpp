// async_llm_api: one chat-completion request through async_call_api.
#include "courier/courier.hpp"

namespace courier {

static kp::Name s_async_call_api{"async_call_api"}, s_bearer{"Bearer "};
static kp::KwNames kw_headers_payload{"headers,payload"};

static Task async_llm_api_body(Frame& co) {
    PyObject* prompt = co.arg(0);
    PyObject* llm_url = co.arg(1);
    PyObject* llm_key = co.arg(2);
    PyObject* llm_name = co.arg(3);
    Local payload(co), headers(co), res(co);

    // {"model": llm_name, "messages": [{"role": "user", "content": prompt}]}
    payload = steal(Py_BuildValue("{s:O,s:[{s:s,s:O}]}", "model", llm_name, "messages", "role", "user", "content",
                                  prompt));
    // {"Authorization": f"Bearer {llm_key}", "Content-Type": "application/json"}
    Ref key = payload ? kp::format_text(llm_key) : Ref{};
    Ref bearer = key ? steal(PyUnicode_Concat(s_bearer, key.get())) : Ref{};
    if (bearer)
        headers = steal(Py_BuildValue("{s:O,s:s}", "Authorization", bearer.get(), "Content-Type",
                                      "application/json"));
    Ref call_api = headers ? co.global(s_async_call_api) : Ref{};
    Ref request = call_api ? kp::call_kw(call_api.get(), kw_headers_payload, llm_url, headers, payload) : Ref{};
    res = co_await std::move(request);
    co_return std::move(res);
}

static const kp::Param params[] = {
    {"prompt", "str", kp::Check::str}, {"llm_url"}, {"llm_key"}, {"llm_name", "str", kp::Check::str}};
const kp::FunctionDef async_llm_api{
    "async_llm_api", nullptr, params, 4, 4, 0, nullptr, nullptr, kp::FunctionKind::coroutine, async_llm_api_body};

}  // namespace courier
