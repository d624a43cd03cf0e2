"""kelpie.courier's coroutine functions written in Python over aiohttp, as a
user would write them: the twin that the differential leak checks run beside
kelpie, on the same interpreter, in the same process, on the same paths.
The call-time argument checks are kelpie's (exact types, truth values taken
when called), so that both give the same outcome on every path."""

import aiohttp

_SUBCLASS_NOTE = ". Subclasses of built-in types are refused; pass the exact type"


def _exact(name, expected, value, none_too=False):
    if type(value) is expected or (none_too and value is None):
        return
    raise TypeError(f"Argument '{name}' has incorrect type (expected {expected.__name__}, got "
                    f"{type(value).__name__})" + (_SUBCLASS_NOTE if isinstance(value, expected) else ""))


def _to_formdata(data=None, files=None):
    form = aiohttp.FormData()
    if data:
        for key, value in data.items():
            form.add_field(key, "" if value is None else str(value))
    if files:
        for field, value in files.items():
            content_type = "application/octet-stream"
            if hasattr(value, "read"):
                filename, fileobj = getattr(value, "name", "file"), value
            elif len(value) == 2:
                filename, fileobj = value
            elif len(value) == 3:
                filename, fileobj, content_type = value
            else:
                raise TypeError(f"files['{field}'] tuple 只支持 (filename, fileobj) 或 (filename, fileobj, content_type)")
            form.add_field(name=field, value=fileobj, filename=filename or "file", content_type=content_type)
    return form


def _request(data, files, use_form, headers, payload):
    if files or use_form:
        return {"headers": headers, "data": _to_formdata(data=data, files=files)}
    return {"headers": headers, "json": payload}


async def _call_api(url, headers, payload, data, files, use_form):
    async with aiohttp.ClientSession() as session:
        form = bool(files or use_form)
        async with session.post(url, **_request(data, files, use_form, headers, payload)) as response:
            if response.status == 200:
                if not form:
                    return await response.json()
                try:
                    return await response.json()
                except Exception:
                    return await response.text()
            return response.status, await response.text()


def async_call_api(url, headers=None, payload=None, *, data=None, files=None, use_form=False):
    use_form = bool(use_form)
    _exact("url", str, url)
    _exact("headers", dict, headers, none_too=True)
    return _call_api(url, headers, payload, data, files, use_form)


async def _llm_api(prompt, llm_url, llm_key, llm_name):
    payload = {"model": llm_name, "messages": [{"role": "user", "content": prompt}]}
    headers = {"Authorization": f"Bearer {llm_key}", "Content-Type": "application/json"}
    return await async_call_api(llm_url, headers=headers, payload=payload)


def async_llm_api(prompt, llm_url, llm_key, llm_name="qwen3.7-max"):
    _exact("prompt", str, prompt)
    _exact("llm_name", str, llm_name)
    return _llm_api(prompt, llm_url, llm_key, llm_name)


async def _call_api_stream(url, headers, payload, data, files, use_form, sse):
    async with aiohttp.ClientSession() as session:
        async with session.post(url, **_request(data, files, use_form, headers, payload)) as response:
            if response.status != 200:
                raise RuntimeError(f"{response.status}: {await response.text()}")
            if sse:
                async for line in response.content:
                    text = line.decode("utf-8", errors="ignore").strip()
                    if text.startswith("data:"):
                        yield text[5:].lstrip().encode("utf-8")
            else:
                async for chunk in response.content.iter_any():
                    if chunk:
                        yield chunk


def async_call_api_stream(url, headers=None, payload=None, *, data=None, files=None, use_form=False, sse=False):
    use_form, sse = bool(use_form), bool(sse)
    _exact("url", str, url)
    _exact("headers", dict, headers, none_too=True)
    return _call_api_stream(url, headers, payload, data, files, use_form, sse)
