// Docstrings of the asynchronous functions.
#pragma once

namespace courier {

inline constexpr const char* call_api_doc =
    "\n    - 默认：走 JSON（json=payload）\n    - 传 files / use_form=True：走 multipart/form-data（data=FormData），此时 payload 会被忽略\n    ";

inline constexpr const char* call_api_stream_doc =
    "\n    - 默认：走 JSON（json=payload）\n    - 传 files / use_form=True：走 multipart/form-data（data=FormData），此时 payload 会被忽略\n    - sse=True：按行处理 \"data:\" 前缀（仍然 yield bytes 更贴近你原实现；需要 str 可在调用端 decode）\n    ";

}  // namespace courier
