// async_call_api: one POST, the answer in one piece.
#include "courier/courier.hpp"
#include "courier/docs.hpp"

namespace courier {

static kp::Name s_json{"json"};

// (response.status, error_text)
static Ref status_and_text(PyObject* response, PyObject* error_text) {
    Ref status = kp::getattr(response, s_status);
    return status ? steal(PyTuple_Pack(2, status.get(), error_text)) : Ref{};
}

static Task async_call_api_body(Frame& co) {
    AsyncWith session_ctx(co), response_ctx(co);
    Local session(co), response(co), result(co), previous_handled(co);

    session = new_client_session(co);
    co_await session_ctx.enter(session);
    if (session) {
        int form = 0;
        response = post_request(co, session.get(), &form);
        co_await response_ctx.enter(response);
        const int ok = response ? status_is_ok(response.get()) : -1;
        if (ok > 0) {
            co_await kp::await_method(response.get(), s_json, result);
            if (!result && form && PyErr_ExceptionMatches(PyExc_Exception)) {
                // except Exception: return await response.text()
                co.add_traceback();
                previous_handled = kp::push_handled(co, kp::Exc::fetch().take().get());
                co_await kp::await_method(response.get(), s_text, result);
                if (!result) kp::chain_context(kp::Exc::from(kp::borrow(co.handled.get())));
                kp::pop_handled(co, std::move(previous_handled));
            }
        } else if (ok == 0) {
            // error_text = await response.text(); return response.status, error_text
            co_await kp::await_method(response.get(), s_text, result);
            if (result) result = status_and_text(response.get(), result.get());
        }
        co_await response_ctx.exit(result);
    }
    co_await session_ctx.exit(result);
    co_return std::move(result);
}

constexpr kp::FunctionDef async_call_api =
    kp::define_async("async_call_api", kp::FunctionKind::coroutine, async_call_api_body,
                     std::span(request_params).first<std::size(request_params) - 1>(), call_api_doc);

}  // namespace courier
