"""Asynchronous HTTP API client over aiohttp.

Every call checks its arguments at once (a wrong count or type raises
TypeError from the call itself) and does its network work only when the
returned coroutine is awaited or the returned asynchronous generator is
iterated.  Each request opens and closes its own aiohttp.ClientSession.
"""

from typing import IO, Any, AsyncGenerator, Dict, Optional, Tuple, TypeAlias, Union

import aiohttp

__all__ = ["async_call_api", "async_call_api_stream", "async_llm_api"]

# One file to upload: a binary file object, (file name, file object) or
# (file name, file object, content type).
FileValue: TypeAlias = Union[IO[bytes], Tuple[str, IO[bytes]], Tuple[str, IO[bytes], str]]
# Form field name -> file to upload.
FilesType: TypeAlias = Optional[Dict[str, FileValue]]
# Form field name -> plain value (None is sent as "", anything else as str(value)).
DataType: TypeAlias = Optional[Dict[str, Any]]

def _to_formdata(data: DataType = None, files: FilesType = None) -> aiohttp.FormData:
    """The multipart form that the request functions send in form mode: one
    field per item of `data` (in order), then one per file of `files`."""

async def async_call_api(
    url: str,
    headers: Optional[Dict[str, str]] = None,
    payload: Any = None,
    *,
    data: DataType = None,
    files: FilesType = None,
    use_form: bool = False,
) -> Union[Any, Tuple[int, str]]:
    """POST once and return the answer.

    JSON mode (the default) sends `payload` as the JSON body; form mode
    (`files` non-empty or `use_form` true) sends the form built from `data`
    and `files` and ignores `payload`.  Status 200 gives the decoded JSON
    (in form mode a body that is not JSON comes back as its text); any other
    status gives the pair (status, body text).
    """

async def async_llm_api(
    prompt: str, llm_url: str, llm_key: object, llm_name: str = "qwen3.7-max"
) -> Union[Any, Tuple[int, str]]:
    """Send `prompt` as the single user message of a chat-completion request
    to the model `llm_name`, with the header "Authorization: Bearer <llm_key>",
    and return what async_call_api returns: the decoded JSON answer on status
    200, otherwise the pair (status, body text)."""

def async_call_api_stream(
    url: str,
    headers: Optional[Dict[str, str]] = None,
    payload: Any = None,
    *,
    data: DataType = None,
    files: FilesType = None,
    use_form: bool = False,
    sse: bool = False,
) -> AsyncGenerator[bytes, None]:
    """POST once and yield the answer's body piece by piece, as bytes.

    Without `sse` every non-empty chunk is yielded as it arrives; with `sse`
    the body is read as a server-sent-event stream and the payload of every
    "data:" line is yielded (UTF-8 bytes, possibly empty).  A status other
    than 200 raises RuntimeError("<status>: <body text>").
    """
