"""kelpie's functions written in plain Python: the code a user would write
instead of using kelpie.courier and kelpie.larder.

The tests run it beside kelpie and compare what both do; the benchmarks time
it as the baseline.  Each function checks its arguments when called, exactly
as kelpie does (truth values of the "bool" parameters first, then the integer
conversion of `chunk_size`, then the exact types of the parameters that take
only str or dict), with kelpie's messages, and the courier functions return
an ``async def`` coroutine or asynchronous generator that makes the same
aiohttp calls in the same order.

Every module global (`aiohttp`, `requests`, `yaml`, `json`, `os`, `Path`,
`urlparse`, `CATALOGUES`, `field_text`, the functions themselves) is looked up when
it is used, so a caller can put a stand-in in its place: patch the attribute,
or take ``fresh(aiohttp=stand_in)``, a separate copy of this module with
other globals.
"""

import json
import os
import types
from pathlib import Path
from urllib.parse import urlparse

import aiohttp
import requests
import yaml

_SUBCLASS_NOTE = ". Subclasses of built-in types are refused; pass the exact type"


def fresh(**replaced):
    """A new copy of this module, with `replaced` as some of its globals."""
    module = types.ModuleType(__name__ + "_copy", __doc__)
    module.__file__ = __file__
    with open(__file__, encoding="utf-8") as f:
        exec(compile(f.read(), __file__, "exec"), module.__dict__)
    module.__dict__.update(replaced)
    return module


# How a form data value becomes its text: str(), as a user writes it.  kelpie
# hands an instance of a str subclass on as it is; the checks that tell the two
# apart by identity take fresh(field_text=kelpie_field_text).
field_text = str


def kelpie_field_text(value):
    return value if isinstance(value, str) else str(value)


def _refuse(name, expected, value, subclass):
    raise TypeError(
        f"Argument '{name}' has incorrect type (expected {expected}, got {type(value).__name__})"
        + (_SUBCLASS_NOTE if subclass else "")
    )


def _refuse_str(name, value):
    _refuse(name, "str", value, isinstance(value, str))


def _is_number(value):
    t = type(value)
    return (
        hasattr(t, "__index__") or hasattr(t, "__int__") or hasattr(t, "__float__") or isinstance(value, complex)
    )


# ---- courier ------------------------------------------------------------------------------------


def _to_formdata(data=None, files=None):
    form = aiohttp.FormData()
    if data:
        for k, v in data.items():
            form.add_field(k, "" if v is None else field_text(v))
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
        _refuse_str("prompt", prompt)
    if type(llm_name) is not str:
        _refuse_str("llm_name", llm_name)
    return _llm_api(prompt, llm_url, llm_key, llm_name)


# ---- larder: files --------------------------------------------------------------------------------


def read_json(path):
    if type(path) is not str:
        _refuse_str("path", path)
    with open(path, "r") as f:
        data = json.load(f)
    return data


def read_txt(file_path, encoding="utf-8"):
    if type(encoding) is not str:
        _refuse_str("encoding", encoding)
    with open(file_path, "r", encoding=encoding) as f:
        return f.read()


def save_txt(contents, save_path):
    if type(save_path) is not str:
        _refuse_str("save_path", save_path)
    with open(save_path, "w") as f:
        if isinstance(contents, list):
            for item in contents:
                f.write(str(item) + "\n")
        elif isinstance(contents, str):
            f.write(contents)


def load_config(file_path, encoding="utf-8"):
    if type(encoding) is not str:
        _refuse_str("encoding", encoding)
    with open(file_path, "r", encoding=encoding) as f:
        return yaml.safe_load(f)


def read_md(md_path, encoding="utf-8"):
    with open(md_path, "r", encoding=encoding) as f:
        return f.read()


def write_md(content, md_path, encoding="utf-8"):
    with open(md_path, "w", encoding=encoding) as f:
        f.write(content)


# ---- larder: the project skeleton -------------------------------------------------------------------


def create_empty_file(path, encoding="utf-8"):
    if type(encoding) is not str:
        _refuse_str("encoding", encoding)
    with open(path, "w", encoding=encoding) as f:
        f.write("")


# The starter files of each kind are empty files alike.
initialize_env = initialize_gitignore = initialize_txt = initialize_md = initialize_sh = initialize_py = create_empty_file


def initialize_file(filepath):
    if type(filepath) is not str:
        _refuse_str("filepath", filepath)
    file_type = filepath.split(".")[-1]
    print(f"filepath: {filepath}")
    print(f"file_type: {file_type}")
    try:
        create_empty_file(filepath, encoding="utf-8")
    except Exception as e:
        print(f"error: {e}")
        print(f"{filepath} 目前暂不支持")


def initialize_catalogue(current_path, catalogue):
    Path(current_path).mkdir(exist_ok=True, parents=True)
    print(current_path)
    if isinstance(catalogue, list):
        for entry in catalogue:
            if isinstance(entry, str):
                if "." in entry:
                    file_path = os.path.join(current_path, entry)
                    print(file_path)
                    initialize_file(file_path)
                else:
                    dir_path = os.path.join(current_path, entry)
                    Path(dir_path).mkdir(exist_ok=True, parents=True)
            elif isinstance(entry, dict):
                for dir_name, dir_content in entry.items():
                    dir_path = os.path.join(current_path, dir_name)
                    Path(dir_path).mkdir(exist_ok=True, parents=True)
                    initialize_catalogue(dir_path, dir_content)
    elif isinstance(catalogue, dict):
        for dir_name, dir_content in catalogue.items():
            dir_path = os.path.join(current_path, dir_name)
            Path(dir_path).mkdir(exist_ok=True, parents=True)
            initialize_catalogue(dir_path, dir_content)


CATALOGUES = [
    "README.md",
    "requirements.txt",
    "configs",
    ".gitignore",
    {"scripts": ["prod.sh", "dev.sh", "test.sh"]},
    {"data": ["raw", "processed", "tmp", "output"]},
    {
        "src": {
            "dev": {
                "src": ["__init__.py", "utils", "main.py"],
                "tests": ["test.py"],
                "api": ["__init__.py", "app.py"],
            }
        }
    },
]


def main(name, dir_path=""):
    if type(name) is not str:
        _refuse_str("name", name)
    if type(dir_path) is not str:
        _refuse_str("dir_path", dir_path)
    envs = ["dev", "prod", "tests"]
    current_path = os.path.join(dir_path, name)
    initialize_catalogue(current_path, CATALOGUES)
    dev_path = os.path.join(dir_path, name, "src")
    for item in envs[1:]:
        env_path = os.path.join(dev_path, item)
        print(Path(env_path))
        Path(env_path).mkdir(exist_ok=True, parents=True)


def gen_catalogue():
    project_name = input("输入项目名称: ")
    cmd = input("项目名称: " + f"{project_name}" + "。是否确认(y/n?)")
    if cmd != "y":
        exit()
    root_dir = input("输入项目路径：")
    main(project_name, root_dir)


# ---- larder: downloads ---------------------------------------------------------------------------------


def download_url_content(url, save_dir, chunk_size=8192):
    if type(chunk_size) is not int:
        if not _is_number(chunk_size):
            raise TypeError(f"Argument 'chunk_size' has incorrect type (expected int, got {type(chunk_size).__name__})")
        chunk_size = int(chunk_size)
    if type(url) is not str:
        _refuse_str("url", url)
    if type(save_dir) is not str:
        _refuse_str("save_dir", save_dir)
    parsed_url = urlparse(url)
    filename = os.path.basename(parsed_url.path)
    save_path = os.path.join(save_dir, filename)
    response = requests.get(url, stream=True)
    response.raise_for_status()
    with open(save_path, "wb") as f:
        for chunk in response.iter_content(chunk_size=chunk_size):
            f.write(chunk)
    return save_path
