"""The larder functions the benchmarks time, written in plain Python: the code
a user would write instead of using kelpie.larder.

Same algorithm, same calls and the same argument checks as kelpie.larder;
`os`, `json`, `requests`, `Path`, `urlparse`, `CATALOGUES` and the helper
functions are module globals looked up at each call.
"""

import json
import os
from pathlib import Path
from urllib.parse import urlparse

import requests

_SUBCLASS_NOTE = ". Subclasses of built-in types are refused; pass the exact type"


def _refuse_str(name, value):
    raise TypeError(
        f"Argument '{name}' has incorrect type (expected str, got {type(value).__name__})"
        + (_SUBCLASS_NOTE if isinstance(value, str) else "")
    )


def _is_number(value):
    t = type(value)
    return (
        hasattr(t, "__index__") or hasattr(t, "__int__") or hasattr(t, "__float__") or isinstance(value, complex)
    )


def read_json(path):
    if type(path) is not str:
        _refuse_str("path", path)
    with open(path, "r") as f:
        data = json.load(f)
    return data


def save_txt(contents, save_path):
    if type(save_path) is not str:
        _refuse_str("save_path", save_path)
    with open(save_path, "w") as f:
        if isinstance(contents, list):
            for item in contents:
                f.write(str(item) + "\n")
        elif isinstance(contents, str):
            f.write(contents)


def create_empty_file(path, encoding="utf-8"):
    if type(encoding) is not str:
        _refuse_str("encoding", encoding)
    with open(path, "w", encoding=encoding) as f:
        f.write("")


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
