"""The type stubs of kelpie.courier and kelpie.larder: installed with the
package, in agreement with the modules (mypy's stubtest, plus what stubtest
does not compare: the aliases, which functions are coroutines, and the
annotated types), and good enough for `mypy --strict` on a program that uses
every function (tests/typing_sample.py), which also runs."""

import ast
import asyncio
import collections.abc
import inspect
import pathlib
import subprocess
import sys
import typing

import pytest

import kelpie
import kelpie.courier as courier
import kelpie.larder as larder

HERE = pathlib.Path(__file__).resolve().parent
SAMPLE = HERE / "typing_sample.py"
ALLOWLIST = HERE / "stubtest_allowlist.txt"
EXAMPLES = HERE.parent / "examples"
PACKAGE = pathlib.Path(kelpie.__file__).parent
MODULES = {"courier": courier, "larder": larder}


def stub_tree(short):
    return ast.parse((PACKAGE / f"{short}.pyi").read_text(encoding="utf-8"))


def stub_functions(short):
    return {node.name: node for node in stub_tree(short).body
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef))}


def run(*args, **kwargs):
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, **kwargs)


@pytest.mark.parametrize("short", MODULES)
def test_stubs_are_installed_with_the_modules(short):
    module = MODULES[short]
    assert pathlib.Path(module.__file__).parent == PACKAGE
    assert (PACKAGE / f"{short}.pyi").is_file() and (PACKAGE / "py.typed").is_file()


def test_stubtest_finds_stubs_and_modules_in_agreement(tmp_path):
    # Named one by one, a module without stubs is an error rather than skipped.
    result = run("-m", "mypy.stubtest", "kelpie.courier", "kelpie.larder", "--allowlist", str(ALLOWLIST),
                 "--ignore-unused-allowlist", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, ""), result.stdout
    assert result.stdout == "Success: no issues found in 2 modules\n"


def test_mypy_strict_accepts_the_sample_and_the_examples(tmp_path):
    files = [SAMPLE, EXAMPLES / "demo.py", EXAMPLES / "chat_service.py"]
    result = run("-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
                 *map(str, files), cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.startswith(f"Success: no issues found in {len(files)} source files")


def test_mypy_reports_a_misuse_that_the_stubs_let_through(tmp_path):
    # The sample's ignore comments only prove something if mypy reports those
    # that have nothing left to ignore: turn one misuse into a good call.
    source = SAMPLE.read_text(encoding="utf-8")
    misuse = 'main("p", None)  # type: ignore[arg-type]'
    assert source.count(misuse) == 1
    changed = tmp_path / "sample.py"
    changed.write_text(source.replace(misuse, misuse.replace("None", '"d"')), encoding="utf-8")
    result = run("-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
                 str(changed), cwd=tmp_path)
    assert result.returncode == 1
    assert 'error: Unused "type: ignore" comment' in result.stdout and "Found 1 error" in result.stdout


def test_sample_runs_with_the_declared_shapes(tmp_path):
    result = run(str(SAMPLE), input="proj\ny\n\n", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.endswith("typing sample: all calls returned the declared shapes\n")


KINDS = {"args": inspect.Parameter.POSITIONAL_OR_KEYWORD, "kwonlyargs": inspect.Parameter.KEYWORD_ONLY}


@pytest.mark.parametrize("short", MODULES)
def test_stub_parameters_are_the_runtime_parameters(short):
    # What stubtest checks, made here as well: its allowlist entry switches
    # off every check of async_call_api_stream.
    for name, node in stub_functions(short).items():
        args = node.args
        assert not (args.posonlyargs or args.vararg or args.kwarg), name
        defaults = dict(zip([a.arg for a in args.args][len(args.args) - len(args.defaults):], args.defaults))
        defaults.update((a.arg, d) for a, d in zip(args.kwonlyargs, args.kw_defaults) if d is not None)
        stub = [(a.arg, KINDS[group], ast.literal_eval(defaults[a.arg]) if a.arg in defaults else "required")
                for group in KINDS for a in getattr(args, group)]
        runtime = [(p.name, p.kind, "required" if p.default is p.empty else p.default)
                   for p in inspect.signature(getattr(MODULES[short], name)).parameters.values()]
        assert stub == runtime, name
        assert [type(d) for _, _, d in stub] == [type(d) for _, _, d in runtime], name


def test_stub_aliases_equal_the_module_aliases():
    aliases = {}
    namespace = dict(vars(typing))
    for node in stub_tree("courier").body:
        if isinstance(node, ast.AnnAssign) and ast.unparse(node.annotation) == "TypeAlias":
            name = node.target.id
            aliases[name] = namespace[name] = eval(ast.unparse(node.value), namespace)
    assert list(aliases) == ["FileValue", "FilesType", "DataType"]
    assert aliases == {name: getattr(courier, name) for name in aliases}


def _returned(fn):
    """What a call of a courier function returns, closed again at once."""
    result = fn(*(["http://127.0.0.1:9/"] if fn.__name__ != "async_llm_api" else ["p", "u", "k"]))
    kind = ("coroutine" if isinstance(result, collections.abc.Coroutine)
            else "async generator" if isinstance(result, collections.abc.AsyncGenerator) else type(result))
    if kind == "coroutine":
        result.close()
    elif kind == "async generator":
        asyncio.run(result.aclose())
    return kind


@pytest.mark.parametrize("short", MODULES)
def test_stub_functions_are_the_module_functions_with_their_kinds(short):
    module = MODULES[short]
    stubs = stub_functions(short)
    functions = [name for name, value in vars(module).items()
                 if (type(value).__module__, type(value).__qualname__) == (module.__name__, "function")]
    assert functions and sorted(stubs) == sorted(functions)
    for name, node in stubs.items():
        fn = getattr(module, name)
        returns = ast.unparse(node.returns)
        if isinstance(node, ast.AsyncFunctionDef):
            assert _returned(fn) == "coroutine", name
        elif returns.startswith("AsyncGenerator["):
            assert _returned(fn) == "async generator", name
        else:
            assert fn._is_coroutine is False, name


# Where the stub says more than the module's own annotation: save_txt writes
# any list, download_url_content converts any number to int, and the stream
# is an asynchronous generator (asend, athrow, aclose), not only an iterator.
REFINED = {
    ("larder", "save_txt", "contents"): ("list | str", "Union[List[Any], str]"),
    ("larder", "download_url_content", "chunk_size"): ("int", "Union[SupportsInt, SupportsIndex]"),
    ("courier", "async_call_api_stream", "return"): ("AsyncIterator[bytes]", "AsyncGenerator[bytes, None]"),
}


@pytest.mark.parametrize("short", MODULES)
def test_stub_annotations_agree_with_the_module_annotations(short):
    seen = set()
    for name, node in stub_functions(short).items():
        stub = {a.arg: ast.unparse(a.annotation) for a in [*node.args.args, *node.args.kwonlyargs]}
        assert None not in stub.values() and node.returns is not None, name  # everything typed
        stub["return"] = ast.unparse(node.returns)
        for param, runtime in getattr(MODULES[short], name).__annotations__.items():
            key = (short, name, param)
            expected = REFINED[key] if key in REFINED else (runtime, runtime)
            assert (runtime, stub[param]) == expected, key
            seen.add(key)
    assert {key for key in REFINED if key[0] == short} <= seen
