// async_llm_api: one chat-completion request through async_call_api.
#include "courier/courier.hpp"

namespace courier {

static kp::Name s_async_call_api{"async_call_api"}, s_bearer{"Bearer "};
static kp::KwNames kw_headers_payload{"headers,payload"};

// {"model": llm_name, "messages": [{"role": "user", "content": prompt}]}
static Ref chat_payload(PyObject* prompt, PyObject* llm_name) {
    return steal(Py_BuildValue("{s:O,s:[{s:s,s:O}]}", "model", llm_name, "messages", "role", "user", "content",
                               prompt));
}

// {"Authorization": f"Bearer {llm_key}", "Content-Type": "application/json"}
static Ref chat_headers(PyObject* llm_key) {
    Ref key = kp::format_text(llm_key);
    Ref bearer = key ? steal(PyUnicode_Concat(s_bearer, key.get())) : Ref{};
    if (!bearer) return {};
    return steal(Py_BuildValue("{s:O,s:s}", "Authorization", bearer.get(), "Content-Type", "application/json"));
}

// async_call_api(llm_url, headers=headers, payload=payload), looked up now.
static Ref call_api(const Frame& co, PyObject* llm_url, PyObject* headers, PyObject* payload) {
    Ref call_api = co.global(s_async_call_api);
    return call_api ? kp::call_kw(call_api.get(), kw_headers_payload, llm_url, headers, payload) : Ref{};
}

static Task async_llm_api_body(Frame& co) {
    PyObject* prompt = co.arg(0);
    PyObject* llm_url = co.arg(1);
    PyObject* llm_key = co.arg(2);
    PyObject* llm_name = co.arg(3);
    Local payload(co), headers(co), res(co);

    payload = chat_payload(prompt, llm_name);
    if (payload) headers = chat_headers(llm_key);
    Ref request = headers ? call_api(co, llm_url, headers.get(), payload.get()) : Ref{};
    co_await kp::await_object(std::move(request), res);
    co_return std::move(res);
}

static constexpr kp::Param params[] = {
    {"prompt", "str", kp::Check::str},
    {"llm_url"},
    {"llm_key"},
    {"llm_name", "str", kp::Check::str, kp::text_default("qwen3.7-max")},
};
constexpr kp::FunctionDef async_llm_api =
    kp::define_async("async_llm_api", kp::FunctionKind::coroutine, async_llm_api_body, params);

}  // namespace courier
