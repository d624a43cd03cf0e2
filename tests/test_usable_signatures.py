"""inspect.signature() and help() of every function of kelpie.courier and
kelpie.larder: the real parameters, their kinds, defaults and string
annotations, and the docstring."""

import ast
import inspect
import pathlib
import pydoc
import re

import pytest

import kelpie.courier as courier
import kelpie.larder as larder
from tests import model

P = inspect.Parameter
EMPTY = P.empty


def param(name, default=EMPTY, annotation=EMPTY, kind=P.POSITIONAL_OR_KEYWORD):
    return P(name, kind, default=default, annotation=annotation)


def kwonly(name, default, annotation):
    return param(name, default, annotation, P.KEYWORD_ONLY)


def path_encoding(path="path", annotated=True):
    return [param(path), param("encoding", "utf-8", "str" if annotated else EMPTY)]


REQUEST = [
    param("url", annotation="str"),
    param("headers", None, "Optional[Dict[str, str]]"),
    param("payload", None, "Any"),
    kwonly("data", None, "DataType"),
    kwonly("files", None, "FilesType"),
    kwonly("use_form", False, "bool"),
]

# (module, function name): (parameters, return annotation)
EXPECTED = {
    (courier, "_to_formdata"): ([param("data", None, "DataType"), param("files", None, "FilesType")],
                                "aiohttp.FormData"),
    (courier, "async_call_api"): (REQUEST, EMPTY),
    (courier, "async_llm_api"): ([param("prompt", annotation="str"), param("llm_url"), param("llm_key"),
                                  param("llm_name", "qwen3.7-max", "str")], EMPTY),
    (courier, "async_call_api_stream"): ([*REQUEST, kwonly("sse", False, "bool")], "AsyncIterator[bytes]"),
    (larder, "read_json"): ([param("path", annotation="str")], EMPTY),
    (larder, "read_txt"): (path_encoding("file_path"), EMPTY),
    (larder, "save_txt"): ([param("contents", annotation="list | str"), param("save_path", annotation="str")],
                           EMPTY),
    (larder, "load_config"): (path_encoding("file_path"), EMPTY),
    (larder, "read_md"): (path_encoding("md_path", annotated=False), EMPTY),
    (larder, "write_md"): ([param("content"), *path_encoding("md_path", annotated=False)], EMPTY),
    (larder, "create_empty_file"): (path_encoding(), EMPTY),
    **{(larder, f"initialize_{kind}"): (path_encoding(), EMPTY) for kind in ("env", "gitignore", "txt", "md",
                                                                             "sh", "py")},
    (larder, "initialize_file"): ([param("filepath", annotation="str")], EMPTY),
    (larder, "initialize_catalogue"): ([param("current_path"), param("catalogue")], EMPTY),
    (larder, "main"): ([param("name", annotation="str"), param("dir_path", "", "str")], EMPTY),
    (larder, "gen_catalogue"): ([], EMPTY),
    (larder, "download_url_content"): ([param("url", annotation="str"), param("save_dir", annotation="str"),
                                        param("chunk_size", 8192, "int")], EMPTY),
}
CASES = [pytest.param(module, name, id=f"{module.__name__}.{name}") for module, name in EXPECTED]


def test_every_function_is_covered():
    # Each module has a function type of its own, named after the module.
    found = {(module, name) for module in (courier, larder) for name, value in vars(module).items()
             if (type(value).__module__, type(value).__qualname__) == (module.__name__, "function")}
    assert found == set(EXPECTED)


@pytest.mark.parametrize("module, name", CASES)
def test_signature(module, name):
    fn = getattr(module, name)
    params, returns = EXPECTED[module, name]
    signature = inspect.signature(fn)
    assert signature == inspect.Signature(params, return_annotation=returns)
    # Equality of defaults would let 0 stand for False: the objects must be
    # the function's own defaults.
    positional = [p for p in signature.parameters.values() if p.kind is P.POSITIONAL_OR_KEYWORD]
    with_default = [p.default for p in positional if p.default is not EMPTY]
    assert with_default == list(fn.__defaults__ or ())
    assert all(a is b for a, b in zip(with_default, fn.__defaults__ or ()))
    kw = {p.name: p.default for p in signature.parameters.values() if p.kind is P.KEYWORD_ONLY}
    assert kw == (fn.__kwdefaults__ or {})
    assert all(kw[k] is v for k, v in (fn.__kwdefaults__ or {}).items())


def shape(signature):
    return [(p.name, p.kind, p.default) for p in signature.parameters.values()]


def stub_functions(module):
    """The functions the module's stub declares: name -> the shape of its parameters."""
    stub = pathlib.Path(module.__file__).with_name(module.__name__.rpartition(".")[2] + ".pyi")
    found = {}
    for node in ast.parse(stub.read_text(encoding="utf-8")).body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            a = node.args
            defaults = [EMPTY] * (len(a.args) - len(a.defaults)) + [ast.literal_eval(d) for d in a.defaults]
            params = [(arg.arg, P.POSITIONAL_OR_KEYWORD, d) for arg, d in zip(a.args, defaults)]
            params += [(arg.arg, P.KEYWORD_ONLY, EMPTY if d is None else ast.literal_eval(d))
                       for arg, d in zip(a.kwonlyargs, a.kw_defaults)]
            found[node.name] = params
    return found


STUBS = {module: stub_functions(module) for module in (courier, larder)}


@pytest.mark.parametrize("module, name", CASES)
def test_stub_and_model_declare_what_the_module_declares(module, name):
    # Parameter names, kinds and defaults come from the module's own
    # declaration; the stub (whose annotations are richer) and the
    # plain-Python model that tests and benchmarks compare with must say the
    # same.
    declared = shape(inspect.signature(getattr(module, name)))
    assert STUBS[module][name] == declared
    assert shape(inspect.signature(getattr(model, name))) == declared


@pytest.mark.parametrize("module, name, text", [
    (courier, "async_call_api_stream",
     "(url: 'str', headers: 'Optional[Dict[str, str]]' = None, payload: 'Any' = None, *, data: 'DataType' = None, "
     "files: 'FilesType' = None, use_form: 'bool' = False, sse: 'bool' = False) -> 'AsyncIterator[bytes]'"),
    (courier, "async_llm_api", "(prompt: 'str', llm_url, llm_key, llm_name: 'str' = 'qwen3.7-max')"),
    (larder, "download_url_content", "(url: 'str', save_dir: 'str', chunk_size: 'int' = 8192)"),
    (larder, "gen_catalogue", "()"),
])
def test_signature_text(module, name, text):
    assert str(inspect.signature(getattr(module, name))) == text


def test_signature_follows_annotations_and_binds(monkeypatch):
    monkeypatch.setattr(larder.main, "__annotations__", {"dir_path": "os.PathLike[str]", "return": "None"})
    assert str(inspect.signature(larder.main)) == "(name, dir_path: 'os.PathLike[str]' = '') -> 'None'"
    monkeypatch.undo()
    assert str(inspect.signature(larder.main)) == "(name: 'str', dir_path: 'str' = '')"

    signature = inspect.signature(courier.async_call_api)
    assert signature.bind("u", None, {}, data={}).arguments == {"url": "u", "headers": None, "payload": {},
                                                                 "data": {}}
    with pytest.raises(TypeError):
        signature.bind("u", None, {}, {})  # data is keyword-only

    class Holder:
        read_txt = larder.read_txt

    # Found on a class, the function binds like a Python function.
    assert inspect.signature(Holder().read_txt) == inspect.Signature([param("encoding", "utf-8", "str")])


def render(thing):
    """help() text, with the signatures on one line: from Python 3.13 on,
    pydoc breaks a long signature into one line per parameter."""
    text = pydoc.render_doc(thing, renderer=pydoc.plaintext)
    return re.sub(r"\(\n\s+", "(", re.sub(r",\n\s+(?=\S)", ", ", re.sub(r",?\n\s*\)", ")", text)))


def plain_twin(fn):
    """A function written in Python with fn's name, parameters, defaults,
    annotations and docstring.  How help() shows a signature changes between
    versions (from 3.14 on, string annotations lose their quotes): whatever
    this interpreter shows for the twin, it must show for fn."""
    marks = {P.VAR_POSITIONAL: "*", P.VAR_KEYWORD: "**"}
    params, star = [], False
    parameters = list(inspect.signature(fn).parameters.values())
    for i, p in enumerate(parameters):
        if p.kind is P.KEYWORD_ONLY and not star:
            params.append("*")
        star = star or p.kind in (P.KEYWORD_ONLY, P.VAR_POSITIONAL)
        params.append(marks.get(p.kind, "") + p.name)
        if p.kind is P.POSITIONAL_ONLY and (i + 1 == len(parameters) or parameters[i + 1].kind is not P.POSITIONAL_ONLY):
            params.append("/")
    namespace = {}
    exec(f"def {fn.__name__}({', '.join(params)}): pass", namespace)
    twin = namespace[fn.__name__]
    twin.__defaults__, twin.__kwdefaults__ = fn.__defaults__, fn.__kwdefaults__
    twin.__annotations__ = dict(fn.__annotations__)
    twin.__doc__, twin.__module__, twin.__qualname__ = fn.__doc__, fn.__module__, fn.__qualname__
    assert inspect.signature(twin) == inspect.signature(fn)
    return twin


def help_line(text, name):
    """The line of help() text that gives name's signature, without the
    "async " that pydoc puts before a coroutine function."""
    lines = [line.strip().removeprefix("async ") for line in text.splitlines()]
    found = [line for line in lines if line.startswith(f"{name}(")]
    assert len(found) == 1, (name, text)
    return found[0]


@pytest.mark.parametrize("module, name", CASES)
def test_help_shows_signature_and_docstring(module, name):
    fn = getattr(module, name)
    text = render(fn)
    line = help_line(render(plain_twin(fn)), name)
    assert help_line(text, name) == line
    doc = inspect.getdoc(fn)
    assert (doc is None) == (name not in ("async_call_api", "async_call_api_stream"))
    body = text.split(line, 1)[1]
    for doc_line in (doc or "").splitlines():
        assert f"    {doc_line}".rstrip() in body


@pytest.mark.parametrize("module", [courier, larder], ids=lambda m: m.__name__)
def test_module_help_lists_the_public_functions(module):
    functions = render(module).split("\nFUNCTIONS\n", 1)[1].split("\nDATA\n", 1)[0]
    # pydoc marks coroutine functions "async " where inspect recognises them.
    shown = [line.strip().removeprefix("async ") for line in functions.splitlines()
             if line.startswith("    ") and "(" in line and not line.startswith("        ")]
    assert shown == [help_line(render(plain_twin(getattr(module, name))), name) for name in sorted(module.__all__)]
