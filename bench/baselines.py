"""The courier functions written in plain Python over aiohttp: the code a user
would write instead of using kelpie.courier.

Each function checks its arguments when called, exactly as kelpie.courier does
(truth values of the "bool" parameters first, then the exact types of `url`
and `headers`), and returns an ``async def`` coroutine or asynchronous
generator that makes the same aiohttp calls in the same order.  `aiohttp` and
`_to_formdata` are module globals looked up at the moment of use, so the glue
benchmarks can replace ``baselines.aiohttp`` with the stand-in.
"""

import aiohttp

_SUBCLASS_NOTE = ". Subclasses of built-in types are refused; pass the exact type"


def _refuse(name, expected, value, subclass):
    raise TypeError(
        f"Argument '{name}' has incorrect type (expected {expected}, got {type(value).__name__})"
        + (_SUBCLASS_NOTE if subclass else "")
    )


def _to_formdata(data=None, files=None):
    form = aiohttp.FormData()
    if data:
        for k, v in data.items():
            form.add_field(k, "" if v is None else str(v))
    if files:
        for field, fv in files.items():
            filename = None
            fileobj = None
            content_type = "application/octet-stream"
            if hasattr(fv, "read"):
                fileobj = fv
                filename = getattr(fv, "name", "file")
            elif len(fv) == 2:
                filename, fileobj = fv
            elif len(fv) == 3:
                filename, fileobj, content_type = fv
            else:
                raise TypeError(
                    f"files['{field}'] tuple 只支持 (filename, fileobj) 或 (filename, fileobj, content_type)"
                )
            form.add_field(name=field, value=fileobj, filename=filename or "file", content_type=content_type)
    return form


async def _call_api(url, headers, payload, data, files, use_form):
    async with aiohttp.ClientSession() as session:
        if files or use_form:
            form = _to_formdata(data=data, files=files)
            async with session.post(url, headers=headers, data=form) as response:
                if response.status == 200:
                    try:
                        return await response.json()
                    except Exception:
                        return await response.text()
                error_text = await response.text()
                return response.status, error_text
        else:
            async with session.post(url, headers=headers, json=payload) as response:
                if response.status == 200:
                    return await response.json()
                error_text = await response.text()
                return response.status, error_text


def async_call_api(url, headers=None, payload=None, *, data=None, files=None, use_form=False):
    use_form = bool(use_form)
    if type(url) is not str:
        _refuse("url", "str", url, isinstance(url, str))
    if headers is not None and type(headers) is not dict:
        _refuse("headers", "dict", headers, isinstance(headers, dict))
    return _call_api(url, headers, payload, data, files, use_form)


async def _call_api_stream(url, headers, payload, data, files, use_form, sse):
    async with aiohttp.ClientSession() as session:
        if files or use_form:
            form = _to_formdata(data=data, files=files)
            req_kwargs = {"headers": headers, "data": form}
        else:
            req_kwargs = {"headers": headers, "json": payload}
        async with session.post(url, **req_kwargs) as response:
            if response.status != 200:
                error_text = await response.text()
                raise RuntimeError(f"{response.status}: {error_text}")
            if sse:
                async for line in response.content:
                    if not line:
                        continue
                    text = line.decode("utf-8", errors="ignore").strip()
                    if not text.startswith("data:"):
                        continue
                    yield text[5:].lstrip().encode("utf-8")
            else:
                async for chunk in response.content.iter_any():
                    if chunk:
                        yield chunk


def async_call_api_stream(url, headers=None, payload=None, *, data=None, files=None, use_form=False, sse=False):
    use_form = bool(use_form)
    sse = bool(sse)
    if type(url) is not str:
        _refuse("url", "str", url, isinstance(url, str))
    if headers is not None and type(headers) is not dict:
        _refuse("headers", "dict", headers, isinstance(headers, dict))
    return _call_api_stream(url, headers, payload, data, files, use_form, sse)


async def _llm_api(prompt, llm_url, llm_key, llm_name):
    payload = {"model": llm_name, "messages": [{"role": "user", "content": prompt}]}
    headers = {"Authorization": f"Bearer {llm_key}", "Content-Type": "application/json"}
    return await async_call_api(llm_url, headers=headers, payload=payload)


def async_llm_api(prompt, llm_url, llm_key, llm_name="qwen3.7-max"):
    if type(prompt) is not str:
        _refuse("prompt", "str", prompt, isinstance(prompt, str))
    if type(llm_name) is not str:
        _refuse("llm_name", "str", llm_name, isinstance(llm_name, str))
    return _llm_api(prompt, llm_url, llm_key, llm_name)
