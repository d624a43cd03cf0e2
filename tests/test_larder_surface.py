"""kelpie.larder as a module: namespace, function objects, argument binding
and refusals, tracebacks and what importing it does."""

import importlib
import inspect
import json
import os
import pathlib
import subprocess
import sys
import traceback
import urllib.parse

import pytest
import requests
import yaml

from tests.larder_support import (
    closes_files, larder, run_python, type_error,
)
from tests.odd_objects import BadBool, BadFspath, BadIndex, BadStr, Boom, DictSub, StrSub
from tests.versions_support import (REFUSED_BY_OWNER, SUBINTERPRETERS, asyncio_iscoroutinefunction,
                                    refused_when_isolated)

ALL = ["read_txt", "save_txt", "read_json", "load_config", "read_md", "write_md", "create_empty_file",
       "gen_catalogue", "download_url_content"]
INITIALIZERS = ["initialize_env", "initialize_gitignore", "initialize_txt", "initialize_md", "initialize_sh",
                "initialize_py"]

# name: (parameters, number of required ones, __defaults__, __annotations__)
SIGNATURES = {
    "read_json": (["path"], 1, None, {"path": "str"}),
    "read_txt": (["file_path", "encoding"], 1, ("utf-8",), {"encoding": "str"}),
    "save_txt": (["contents", "save_path"], 2, None, {"contents": "list | str", "save_path": "str"}),
    "load_config": (["file_path", "encoding"], 1, ("utf-8",), {"encoding": "str"}),
    "read_md": (["md_path", "encoding"], 1, ("utf-8",), {}),
    "write_md": (["content", "md_path", "encoding"], 2, ("utf-8",), {}),
    "create_empty_file": (["path", "encoding"], 1, ("utf-8",), {"encoding": "str"}),
    **{name: (["path", "encoding"], 1, ("utf-8",), {"encoding": "str"}) for name in INITIALIZERS},
    "initialize_file": (["filepath"], 1, None, {"filepath": "str"}),
    "initialize_catalogue": (["current_path", "catalogue"], 2, None, {}),
    "main": (["name", "dir_path"], 1, ("",), {"name": "str", "dir_path": "str"}),
    "gen_catalogue": ([], 0, None, {}),
    "download_url_content": (["url", "save_dir", "chunk_size"], 2, (8192,),
                             {"url": "str", "save_dir": "str", "chunk_size": "int"}),
}
FUNCTIONS = list(SIGNATURES)


# ---- namespace -------------------------------------------------------------------


def test_namespace_order_and_imported_names(tmp_path):
    # In a fresh interpreter: other tests rebind and delete module attributes.
    code = "import kelpie.larder as m; print(*(n for n in vars(m) if not n.startswith('__') or n == '__all__'))"
    result = run_python(code, cwd=tmp_path)
    expected = ["os", "yaml", "json", "requests", "Path", "urlparse", "__all__", *FUNCTIONS]
    expected.insert(expected.index("initialize_catalogue"), "CATALOGUES")
    assert (result.stdout.split(), result.stderr) == (expected, "")
    assert (larder.os, larder.yaml, larder.json, larder.requests) == (os, yaml, json, requests)
    assert larder.Path is pathlib.Path and larder.urlparse is urllib.parse.urlparse
    assert larder.__name__ == "kelpie.larder" and larder.__doc__ is None
    assert type(larder.__test__) is dict and larder.__test__ == {}


def test_all_and_star_import():
    assert larder.__all__ == ALL
    namespace = {}
    exec("from kelpie.larder import *", namespace)
    del namespace["__builtins__"]
    assert namespace == {name: getattr(larder, name) for name in ALL}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_attributes(name):
    fn = getattr(larder, name)
    _, _, defaults, annotations = SIGNATURES[name]
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, name, "kelpie.larder")
    assert fn.__doc__ is None and fn.__kwdefaults__ is None
    assert fn.__defaults__ == defaults
    if defaults:
        assert [type(d) for d in fn.__defaults__] == [type(d) for d in defaults]
    assert fn.__annotations__ == annotations
    assert fn._is_coroutine is False and not asyncio_iscoroutinefunction(fn)
    assert not inspect.iscoroutinefunction(fn)


def test_reimport_and_reload_keep_the_one_module(monkeypatch):
    monkeypatch.setattr(larder, "CATALOGUES", ["marker.txt"])
    monkeypatch.delitem(sys.modules, "kelpie.larder")
    again = importlib.import_module("kelpie.larder")
    assert again is larder and again.CATALOGUES == ["marker.txt"]
    assert importlib.reload(again) is larder
    assert larder.CATALOGUES == ["marker.txt"] and larder.__all__ == ALL


# ---- argument binding ----------------------------------------------------------------


def _s(n):
    return "" if n == 1 else "s"


def _binding_case(name, kind):
    params, required, _, _ = SIGNATURES[name]
    n = len(params)
    exact = required == n
    if kind == "too many":
        return (None,) * (n + 1), {}, (f"{name}() takes {'exactly' if exact else 'at most'} {n} positional "
                                       f"argument{_s(n)} ({n + 1} given)")
    if kind == "missing":
        return (), {}, (f"{name}() takes {'exactly' if exact else 'at least'} {required} positional "
                        f"argument{_s(required)} (0 given)")
    if kind == "unknown keyword":
        return (None,), {"bogus": 1}, f"{name}() got an unexpected keyword argument 'bogus'"
    return (None,), {params[0]: None}, f"{name}() got multiple values for keyword argument '{params[0]}'"


@pytest.mark.parametrize("kind", ["too many", "missing", "unknown keyword", "repeated keyword"])
@pytest.mark.parametrize("name", [n for n in FUNCTIONS if n != "gen_catalogue"])
def test_binding_refusals(name, kind, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    args, kwargs, message = _binding_case(name, kind)
    with pytest.raises(TypeError) as info:
        getattr(larder, name)(*args, **kwargs)
    assert str(info.value) == message
    assert os.listdir(tmp_path) == [] and capsys.readouterr() == ("", "")


@pytest.mark.parametrize("call, message", [
    (lambda: larder.save_txt(contents=[]), "save_txt() takes exactly 2 positional arguments (1 given)"),
    (lambda: larder.write_md("x", encoding="utf-8"), "write_md() takes at least 2 positional arguments (1 given)"),
    (lambda: larder.initialize_catalogue(catalogue=[]),
     "initialize_catalogue() takes exactly 2 positional arguments (0 given)"),
    (lambda: larder.download_url_content(save_dir="d"),
     "download_url_content() takes at least 2 positional arguments (0 given)"),
    (lambda: larder.gen_catalogue(1), "gen_catalogue() takes no arguments (1 given)"),
    (lambda: larder.gen_catalogue(1, 2), "gen_catalogue() takes no arguments (2 given)"),
    (lambda: larder.gen_catalogue(x=1), "gen_catalogue() takes no keyword arguments"),
    (lambda: larder.gen_catalogue(**{"": 1}), "gen_catalogue() takes no keyword arguments"),
])
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


# Valid arguments for every exactly-typed function; one of them is replaced by
# an odd value.  Nothing may be read, written, printed or requested.
VALID = {
    "read_json": lambda d: {"path": f"{d}/in.json"},
    "read_txt": lambda d: {"file_path": f"{d}/in.txt", "encoding": "utf-8"},
    "save_txt": lambda d: {"contents": ["x"], "save_path": f"{d}/out.txt"},
    "load_config": lambda d: {"file_path": f"{d}/in.yaml", "encoding": "utf-8"},
    "create_empty_file": lambda d: {"path": f"{d}/f.txt", "encoding": "utf-8"},
    **{name: (lambda d: {"path": f"{d}/f.txt", "encoding": "utf-8"}) for name in INITIALIZERS},
    "initialize_file": lambda d: {"filepath": f"{d}/f.txt"},
    "main": lambda d: {"name": "proj", "dir_path": d},
    "download_url_content": lambda d: {"url": "http://127.0.0.1:9/x.bin", "save_dir": d, "chunk_size": 8192},
}
EXACT = [(name, param) for name, (_, _, _, ann) in SIGNATURES.items() for param, a in ann.items() if a == "str"]
ODD_VALUES = [None, b"x", pathlib.Path("x"), 1, 1.5, ["x"], BadStr(), BadBool(), BadFspath(), BadIndex()]


@pytest.mark.parametrize("value", ODD_VALUES + [StrSub("x")], ids=lambda v: type(v).__name__)
@pytest.mark.parametrize("name, param", EXACT)
def test_exact_str_parameters_refuse_other_types(name, param, value, tmp_path, capsys):
    kwargs = VALID[name](str(tmp_path))
    kwargs[param] = value
    with closes_files(), pytest.raises(TypeError) as info:
        getattr(larder, name)(**kwargs)
    message = str(info.value)
    if isinstance(value, str):
        prefix = type_error(param, value) + ". "
        assert message.startswith(prefix) and len(message) > len(prefix)
    else:
        assert message == type_error(param, value)
    assert info.value.__context__ is None
    assert os.listdir(tmp_path) == [] and capsys.readouterr() == ("", "")


def test_checks_follow_parameter_order_with_chunk_size_converted_first():
    with pytest.raises(TypeError, match=r"^Argument 'name' "):
        larder.main(None, None)
    with pytest.raises(TypeError, match=r"^Argument 'url' "):
        larder.download_url_content(None, None)
    with pytest.raises(TypeError) as info:
        larder.download_url_content(None, None, "8192")
    assert str(info.value) == "Argument 'chunk_size' has incorrect type (expected int, got str)"


def _read(d, name):
    with open(os.path.join(d, name), encoding="utf-8") as f:
        return f.read()


# Parameters that are not checked hand odd objects on as they are: to `open`,
# to the file object, to pathlib, or not at all.
def _file_lines(d, path, kind):
    return f"{d}/{path}\nfilepath: {d}/{path}\nfile_type: {kind}\n"


ODD_CALLS = [  # call, exception, check afterwards, expected output
    pytest.param(lambda d: larder.read_txt(BadFspath()), Boom, None, "", id="read_txt-fspath"),
    pytest.param(lambda d: larder.read_md(BadFspath()), Boom, None, "", id="read_md-fspath"),
    pytest.param(lambda d: larder.load_config(BadFspath()), Boom, None, "", id="load_config-fspath"),
    pytest.param(lambda d: larder.create_empty_file(BadFspath()), Boom, None, "", id="create_empty_file-fspath"),
    pytest.param(lambda d: larder.write_md("x", BadFspath()), Boom, None, "", id="write_md-fspath"),
    pytest.param(lambda d: larder.initialize_py(BadFspath()), Boom, None, "", id="initialize_py-fspath"),
    pytest.param(lambda d: larder.initialize_catalogue(BadFspath(), []), Boom, None, "", id="catalogue-fspath"),
    pytest.param(lambda d: larder.read_txt(None), TypeError, None, "", id="read_txt-None"),
    pytest.param(lambda d: larder.read_md(f"{d}/x.md", 5), TypeError, None, "", id="read_md-int-encoding"),
    pytest.param(lambda d: larder.write_md(BadStr(), f"{d}/out.md"), TypeError,
                 lambda d: _read(d, "out.md") == "", "", id="write_md-not-str"),
    pytest.param(lambda d: larder.save_txt(["a", BadStr(), "c"], f"{d}/out.txt"), Boom,
                 lambda d: _read(d, "out.txt") == "a\n", "", id="save_txt-element-str-fails"),
    pytest.param(lambda d: larder.save_txt(BadBool(), f"{d}/out.txt"), None,
                 lambda d: _read(d, "out.txt") == "", "", id="save_txt-no-truth-test"),
    pytest.param(lambda d: larder.initialize_catalogue(f"{d}/r", BadBool()), None,
                 lambda d: os.listdir(d) == ["r"], "{d}/r\n", id="catalogue-object"),
    pytest.param(lambda d: larder.initialize_catalogue(f"{d}/r", [BadBool(), BadStr(), b"x.txt", "y.txt"]), None,
                 lambda d: os.listdir(f"{d}/r") == ["y.txt"], "{d}/r\n" + _file_lines("{d}", "r/y.txt", "txt"),
                 id="catalogue-odd-entries"),
    pytest.param(lambda d: larder.initialize_catalogue(d, DictSub({7: []})), TypeError, None, "{d}\n",
                 id="catalogue-int-key"),
    pytest.param(lambda d: larder.download_url_content("http://127.0.0.1:9/x", d, BadIndex()), Boom, None, "",
                 id="download-index-fails"),
    pytest.param(lambda d: larder.download_url_content("http://127.0.0.1:9/x", d, BadBool()), TypeError, None, "",
                 id="download-not-a-number"),
]


@pytest.mark.parametrize("call, raises, after, printed", ODD_CALLS)
def test_odd_arguments_to_unchecked_parameters(call, raises, after, printed, tmp_path, capsys):
    d = str(tmp_path)
    with closes_files():
        if raises:
            with pytest.raises(raises):
                call(d)
        else:
            assert call(d) is None
    if after:
        assert after(d)
    assert capsys.readouterr() == (printed.replace("{d}", d), "")


# ---- tracebacks -----------------------------------------------------------------------


@pytest.mark.parametrize("name, call", [
    ("read_json", lambda d: larder.read_json(None)),
    ("read_txt", lambda d: larder.read_txt(f"{d}/missing.txt")),
    ("gen_catalogue", lambda d: larder.gen_catalogue(1)),
    ("download_url_content", lambda d: larder.download_url_content("u", d, "8")),
    ("initialize_catalogue", lambda d: larder.initialize_catalogue(d, {None: []})),
])
def test_traceback_entry_names_the_function(name, call, tmp_path, capsys):
    with pytest.raises(Exception) as info:
        call(str(tmp_path))
    entries = [(e.name, e.filename) for e in traceback.extract_tb(info.value.__traceback__)]
    assert entries[2] == (f"kelpie.larder.{name}", "kelpie/larder")  # after this test and the lambda


def test_traceback_through_nested_calls(tmp_path, monkeypatch, capsys):
    def failing_initialize_file(path):
        raise ValueError(path)

    monkeypatch.setattr(larder, "CATALOGUES", [{"scripts": ["a.sh"]}])
    monkeypatch.setattr(larder, "initialize_file", failing_initialize_file)
    with pytest.raises(ValueError) as info:
        larder.main("proj", str(tmp_path))
    names = [entry.name for entry in traceback.extract_tb(info.value.__traceback__)][1:]
    assert names == ["kelpie.larder.main", "kelpie.larder.initialize_catalogue",
                     "kelpie.larder.initialize_catalogue", "failing_initialize_file"]


# ---- import, in fresh interpreters -----------------------------------------------------------


def test_plain_import_is_silent_and_creates_nothing(tmp_path):
    result = run_python("import kelpie.larder", cwd=tmp_path, args=("-W", "error"))
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("missing", ["yaml", "requests"])
def test_missing_dependency_fails_the_import_and_leaves_no_module(missing, tmp_path):
    code = f"""if True:
        import sys, traceback
        sys.modules[{missing!r}] = None
        try:
            import kelpie.larder
        except ModuleNotFoundError as e:
            entries = [(t.name, t.filename) for t in traceback.extract_tb(e.__traceback__)]
            print(e.name, "kelpie.larder" in sys.modules, ("init kelpie.larder", "kelpie/larder") in entries)
        del sys.modules[{missing!r}]
        import kelpie.larder
        print(kelpie.larder.{missing}.__name__, kelpie.larder.__all__[-1])
    """
    result = run_python(code, cwd=tmp_path)
    assert result.stderr == ""
    assert result.stdout.splitlines() == [f"{missing} False True", f"{missing} download_url_content"]


def test_failed_execution_through_the_loader_leaves_no_module(tmp_path):
    code = """if True:
        import importlib.util, sys
        spec = importlib.util.find_spec("kelpie.larder")
        sys.modules["yaml"] = None
        first = importlib.util.module_from_spec(spec)
        try:
            spec.loader.exec_module(first)
        except ModuleNotFoundError as e:
            print(e.name, "kelpie.larder" in sys.modules)
        del sys.modules["yaml"]
        import kelpie.larder as second
        print(first is second, second.yaml.__name__)
        second.CATALOGUES = "kept"
        spec.loader.exec_module(second)
        print(second.CATALOGUES)
    """
    result = run_python(code, cwd=tmp_path)
    assert result.stdout.splitlines() == ["yaml False", "False yaml", "kept"]
    assert result.stderr == ""


def test_missing_name_in_an_imported_module(tmp_path):
    code = """if True:
        import os, yaml, json, requests, pathlib
        del pathlib.Path
        try:
            import kelpie.larder
        except ImportError as e:
            print(type(e).__name__, e)
    """
    result = run_python(code, cwd=tmp_path)
    assert (result.stdout, result.stderr) == ("ImportError cannot import name Path\n", "")


def test_import_without_site_lacks_exit(tmp_path):
    site_dir = os.path.dirname(os.path.dirname(larder.__file__))
    code = f"""if True:
        import builtins, sys, traceback
        sys.path.insert(0, {site_dir!r})
        for attempt in range(2):
            try:
                import kelpie.larder
            except NameError as e:
                names = [t.name for t in traceback.extract_tb(e.__traceback__)]
                print(e, "init kelpie.larder" in names, "kelpie.larder" in sys.modules)
        builtins.exit = "an exit"
        import kelpie.larder
        print("imported", kelpie.larder.main.__module__)
    """
    result = run_python(code, cwd=tmp_path, args=("-S",))
    assert result.stderr == ""
    assert result.stdout.splitlines() == ["name 'exit' is not defined True False"] * 2 + ["imported kelpie.larder"]


# One drive of both modules (files, configuration, a JSON call and an SSE
# stream against an aiohttp server of its own), written against `courier`
# and `larder`: kelpie's modules, or the plain-Python twin in tests/model.py.
INTERPRETER_DRIVE = r"""
import asyncio, os, sys
sys.path.insert(0, os.environ["KELPIE_REPO"])

def modules():
    if os.environ["KELPIE_SIDE"] == "kelpie":
        import kelpie.courier as courier, kelpie.larder as larder
        return courier, larder
    import tests.model as model
    return model, model

async def calls(courier):
    from aiohttp import web
    async def echo(request):
        return web.json_response({"got": await request.json()})
    async def events(request):
        response = web.StreamResponse(headers={"Content-Type": "text/event-stream"})
        await response.prepare(request)
        for item in ("one", "two"):
            await response.write(f"data: {item}\n\n".encode())
        return response
    app = web.Application()
    app.router.add_post("/json", echo)
    app.router.add_post("/sse", events)
    runner = web.AppRunner(app)
    await runner.setup()
    site = web.TCPSite(runner, "127.0.0.1", 0)
    await site.start()
    base = "http://127.0.0.1:%d" % runner.addresses[0][1]
    try:
        answer = await courier.async_call_api(base + "/json", {}, {"n": 1})
        items = [item async for item in courier.async_call_api_stream(base + "/sse", {}, {}, sse=True)]
        return answer, items
    finally:
        await runner.cleanup()

def drive(where):
    courier, larder = modules()
    larder.save_txt("key: value\n", "c.yaml")
    larder.write_md("# title", "n.md")
    print(where, larder.load_config("c.yaml"), larder.read_md("n.md"), asyncio.run(calls(courier)), flush=True)
"""

# A program embedding the interpreter: the drive twice, each time in an
# interpreter initialised afresh after the previous one was finalised.
EMBEDDING = r"""
#include <Python.h>
int main(int argc, char** argv) {
    for (int round = 0; round < 2; round++) {
        Py_Initialize();
        if (PyRun_SimpleString(argv[1]) != 0) return 10 + round;
        if (Py_FinalizeEx() < 0) return 20 + round;
    }
    return 0;
}
"""


def build_embedding(tmp_path):
    """The embedding program, linked with this interpreter's library; None
    where no C compiler or no library to link is at hand."""
    import shutil
    import sysconfig
    cc = shutil.which("gcc") or shutil.which("cc")
    v = sysconfig.get_config_vars()
    library = [d for d in (v.get("LIBPL"), v.get("LIBDIR"))
               if d and any(n.startswith(f"libpython{v['LDVERSION']}.") for n in os.listdir(d))]
    if not cc or not library:
        return None
    (tmp_path / "embed.c").write_text(EMBEDDING)
    program = tmp_path / "embed"
    command = [cc, str(tmp_path / "embed.c"), "-o", str(program), "-I", v["INCLUDEPY"],
               *(f"-L{d}" for d in library), f"-lpython{v['LDVERSION']}",
               *v.get("LIBS", "").split(), *v.get("SYSLIBS", "").split(), "-Wl,--export-dynamic"]
    if v.get("Py_ENABLE_SHARED"):
        command.append(f"-Wl,-rpath,{library[0]}")
    built = subprocess.run(command, capture_output=True, text=True)
    assert built.returncode == 0, built.stderr
    return program


def run_embedded(program, side, cwd):
    env = dict(os.environ, KELPIE_SIDE=side, KELPIE_REPO=os.path.dirname(os.path.dirname(__file__)),
               PYTHONPATH=os.pathsep.join(p for p in sys.path if p), PYTHONIOENCODING="utf-8",
               # aiohttp's own compiled helpers do not survive a second
               # initialisation; their pure-Python forms do.
               AIOHTTP_NO_EXTENSIONS="1", YARL_NO_EXTENSIONS="1", MULTIDICT_NO_EXTENSIONS="1",
               PROPCACHE_NO_EXTENSIONS="1", FROZENLIST_NO_EXTENSIONS="1")
    # Neither do PyYAML's and aiohttp's compiled parts (their pure-Python
    # ones are taken instead, as for a missing module) nor, on some
    # interpreters, the ssl module (the drive has no use for it).
    blocked = ["yaml._yaml", "_yaml", "aiohttp._http_writer", "aiohttp._http_parser", "aiohttp._websocket.mask",
               "aiohttp._websocket.reader_c", "ssl", "_ssl"]
    code = f"import sys; sys.modules.update(dict.fromkeys({blocked}))\n" + INTERPRETER_DRIVE
    code += "drive('round')\n"
    return subprocess.run([str(program), code], capture_output=True, encoding="utf-8", cwd=cwd, env=env,
                          timeout=300)


# Sequences of interpreters importing and using the modules in one process.
# Every interpreter that may own them works as the plain twin works there;
# one that may not is told so.
INTERPRETER_SEQUENCES = {
    "main, then sub-interpreters": """
drive("main")
print(run_in_another_interpreter("import kelpie.larder", legacy=True))
print(run_in_another_interpreter("import kelpie.courier"))
drive("main again")
""",
    "a sub-interpreter first, then main": """
print(repr(run_in_another_interpreter(DRIVE + "drive('sub')", legacy=True)), flush=True)
drive("main")
print(run_in_another_interpreter("import kelpie.larder", legacy=True))
""",
}


@pytest.mark.parametrize("sequence", INTERPRETER_SEQUENCES)
def test_the_interpreter_that_imported_owns_the_modules_until_it_ends(sequence, tmp_path):
    code = (SUBINTERPRETERS + INTERPRETER_DRIVE + f"DRIVE = {INTERPRETER_DRIVE!r}\n"
            + INTERPRETER_SEQUENCES[sequence])
    repo = os.path.dirname(os.path.dirname(__file__))
    outputs = {}
    for side in ("kelpie", "plain"):
        result = run_python(code, cwd=tmp_path, env={"KELPIE_SIDE": side, "KELPIE_REPO": repo},
                            args=("-W", "ignore::DeprecationWarning", "-W", "ignore::ImportWarning"))
        assert result.returncode == 0, result.stderr
        outputs[side] = result.stdout.splitlines()
    drives = [line for line in outputs["plain"] if line.startswith(("main", "sub", "'"))]
    assert [line for line in outputs["kelpie"] if line.startswith(("main", "sub", "'"))] == drives
    assert drives[-1].endswith("{'key': 'value'} # title ({'got': {'n': 1}}, [b'one', b'two'])")
    refusals = [line for line in outputs["kelpie"] if line not in drives]
    if sequence == "main, then sub-interpreters":
        assert refusals == [REFUSED_BY_OWNER, refused_when_isolated("kelpie.courier")]
    else:
        assert refusals == [REFUSED_BY_OWNER]


def test_a_reinitialised_interpreter_gets_working_modules(tmp_path):
    program = build_embedding(tmp_path)
    if program is None:
        pytest.skip("no C compiler or no Python library to embed")
    plain = run_embedded(program, "plain", tmp_path)
    if plain.returncode != 0:  # 3.12's own _ssl and friends, for one
        pytest.skip(f"this interpreter cannot run the plain twin twice either: {plain.returncode}")
    kelpie = run_embedded(program, "kelpie", tmp_path)
    assert kelpie.returncode == 0, kelpie.stderr
    lines = kelpie.stdout.splitlines()
    assert lines == plain.stdout.splitlines()
    assert lines == ["round {'key': 'value'} # title ({'got': {'n': 1}}, [b'one', b'two'])"] * 2


def test_builtins_are_bound_at_import(tmp_path):
    code = """if True:
        import builtins, sys
        def fake(*args, **kwargs):
            sys.stdout.write("FAKE\\n")
        builtins.print = fake
        import kelpie.larder as larder
        builtins.print = builtins.input = builtins.open = builtins.exit = None
        larder.main("proj")
        larder.write_md("text", "note.md")
        sys.stdout.write(larder.read_md("note.md") + "\\n")
        larder.gen_catalogue()
    """
    result = run_python(code, cwd=tmp_path, stdin="demo\nno\n")
    assert (result.returncode, result.stderr) == (0, "")
    # main() printed through the fake print once for each line the real one shows
    (tmp_path / "other").mkdir()
    lines = run_python("import kelpie.larder as larder; larder.main('proj')", cwd=tmp_path / "other").stdout
    assert lines.count("\n") > 0
    assert result.stdout == "FAKE\n" * lines.count("\n") + "text\n输入项目名称: 项目名称: demo。是否确认(y/n?)"
    assert os.path.isfile(tmp_path / "proj" / "src" / "dev" / "api" / "app.py")
