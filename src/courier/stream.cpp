// async_call_api_stream: one POST, the body handed on chunk by chunk or as
// the payloads of server-sent-event "data:" lines.
#include "courier/courier.hpp"
#include "courier/docs.hpp"

namespace courier {

static kp::Name s_content{"content"}, s_iter_any{"iter_any"};

// RuntimeError(f"{response.status}: {error_text}")
static void raise_failed_status(PyObject* response, PyObject* error_text) {
    Ref status = kp::getattr(response, s_status);
    Ref s = status ? kp::format_text(status.get()) : Ref{};
    Ref t = s ? kp::format_text(error_text) : Ref{};
    Ref message = t ? steal(PyUnicode_FromFormat("%U: %U", s.get(), t.get())) : Ref{};
    if (message) PyErr_SetObject(PyExc_RuntimeError, message.get());
}

static bool begin_items(kp::AsyncFor& body, PyObject* response, bool sse) {
    Ref content = kp::getattr(response, s_content);
    Ref source = !content || sse ? content : kp::call_method(content.get(), s_iter_any);
    return source && body.begin(source.get());
}

static Task async_call_api_stream_body(Frame& co) {
    const bool sse = co.arg(6) == Py_True;
    AsyncWith session_ctx(co), response_ctx(co);
    kp::AsyncFor body(co);
    Local session(co), response(co), result(co), item(co);

    session = new_client_session(co);
    co_await session_ctx.enter(session);
    if (session) {
        response = post_request(co, session.get());
        co_await response_ctx.enter(response);
        const int ok = response ? status_is_ok(response.get()) : -1;
        if (ok == 0) {
            // error_text = await response.text(); raise RuntimeError(...)
            co_await kp::await_method(response.get(), s_text, result);
            if (result) {
                raise_failed_status(response.get(), result.get());
                result.reset();
            }
        } else if (ok > 0) {
            // sse: async for line in response.content
            // else: async for chunk in response.content.iter_any()
            // (the loop keeps only the iterator: what it came from is let go
            // before the first suspension)
            if (begin_items(body, response.get(), sse)) {
                for (;;) {
                    co_await body.next(item);
                    if (!item) break;
                    if (sse) {
                        item = sse_payload(item.get());
                        if (!item) {
                            if (PyErr_Occurred()) break;
                            continue;
                        }
                    } else {
                        int non_empty = PyObject_IsTrue(item.get());
                        if (non_empty < 0) break;
                        if (!non_empty) continue;
                    }
                    co_yield item;  // `item` then holds what the next advance sent
                    if (!item) break;  // athrow() or aclose()
                }
                if (body.exhausted()) result = kp::none();
            }
        }
        co_await response_ctx.exit(result);
    }
    co_await session_ctx.exit(result);
    co_return std::move(result);
}

constexpr kp::FunctionDef async_call_api_stream =
    kp::define_async("async_call_api_stream", kp::FunctionKind::async_generator, async_call_api_stream_body, request_params,
                     call_api_stream_doc, "AsyncIterator[bytes]");

}  // namespace courier
