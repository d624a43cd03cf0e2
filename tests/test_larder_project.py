"""Project scaffolding of kelpie.larder: CATALOGUES, the file initializers,
the catalogue builder, main() and the gen_catalogue() console dialogue."""

import io
import os
import pathlib

import pytest

from tests.larder_support import (
    ASK_NAME, ASK_PATH, SKELETON_FILES, SKELETON_TREE, confirm_prompt, closes_files, larder, project_output, run_python,
    tree,
)
from tests import model
from tests.odd_objects import Boom, CallRecorder, DictSub, ListSub

INITIALIZERS = ["initialize_env", "initialize_gitignore", "initialize_txt", "initialize_md", "initialize_sh",
                "initialize_py"]


def _lines(capsys):
    out, err = capsys.readouterr()
    assert err == ""
    return out.splitlines()


def _file_lines(path, kind):
    return [path, "filepath: " + path, "file_type: " + kind]


def _assert_empty_files(root, names):
    assert {name: os.path.getsize(os.path.join(root, name)) for name in names} == dict.fromkeys(names, 0)


# ---- CATALOGUES and the file initializers ------------------------------------------------


def test_catalogues_value():
    assert larder.CATALOGUES == model.CATALOGUES
    assert [type(e) for e in larder.CATALOGUES] == [str] * 4 + [dict] * 3
    assert list(larder.CATALOGUES[6]["src"]["dev"]) == ["src", "tests", "api"]


@pytest.mark.parametrize("filepath, file_type", [
    ("README.md", "md"),
    (".gitignore", "gitignore"),
    ("Makefile", "Makefile"),
    ("pkg.d/Makefile", "d/Makefile"),
    ("notes.tar.gz", "gz"),
    ("trailing.", ""),
    ("sub/中文.txt", "txt"),
])
def test_initialize_file_reports_and_empties(filepath, file_type, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    os.makedirs(os.path.dirname(filepath) or ".", exist_ok=True)
    pathlib.Path(filepath).write_text("old content")
    with closes_files():
        assert larder.initialize_file(filepath) is None
    assert _lines(capsys) == ["filepath: " + filepath, "file_type: " + file_type]
    assert os.path.getsize(filepath) == 0


@pytest.mark.parametrize("filepath, error", [
    ("nope/x.md", "[Errno 2] No such file or directory: 'nope/x.md'"),
    ("adir.d", "[Errno 21] Is a directory: 'adir.d'"),
])
def test_initialize_file_reports_a_failed_creation(filepath, error, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    os.mkdir("adir.d")
    with closes_files():
        assert larder.initialize_file(filepath) is None
    assert _lines(capsys) == ["filepath: " + filepath, "file_type: " + filepath.split(".")[-1],
                              "error: " + error, filepath + " 目前暂不支持"]
    assert os.listdir() == ["adir.d"] and os.listdir("adir.d") == []


@pytest.mark.parametrize("error, escapes", [
    (ValueError("bad thing"), False),
    (OSError(5, "I/O failure"), False),
    (KeyboardInterrupt(), True),
    (SystemExit(3), True),
])
def test_initialize_file_catches_exceptions_only(error, escapes, monkeypatch, capsys):
    create = CallRecorder(error=error)
    monkeypatch.setattr(larder, "create_empty_file", create)
    if escapes:
        with pytest.raises(type(error)):
            larder.initialize_file("x.py")
        expected = []
    else:
        assert larder.initialize_file("x.py") is None
        expected = [f"error: {error}", "x.py 目前暂不支持"]
    assert _lines(capsys) == ["filepath: x.py", "file_type: py", *expected]
    assert create.calls == [(("x.py",), {"encoding": "utf-8"})]


def test_initialize_file_error_text_failure_is_chained(monkeypatch, capsys):
    class Unprintable(Exception):
        def __str__(self):
            raise Boom("no text")

    original = Unprintable()
    monkeypatch.setattr(larder, "create_empty_file", CallRecorder(error=original))
    with pytest.raises(Boom) as info:
        larder.initialize_file("x.py")
    assert info.value.__context__ is original
    assert _lines(capsys) == ["filepath: x.py", "file_type: py"]


@pytest.mark.parametrize("name", INITIALIZERS)
def test_kind_initializers(name, tmp_path, monkeypatch, capsys):
    initialize = getattr(larder, name)
    existing = tmp_path / "existing.cfg"
    existing.write_text("content")
    with closes_files():
        assert initialize(str(existing)) is None
        assert initialize(tmp_path / "as-path") is None
        assert initialize(path=os.fsencode(tmp_path / "as-bytes"), encoding="latin-1") is None
        with pytest.raises(FileNotFoundError):
            initialize(str(tmp_path / "missing" / "x"))
        with pytest.raises(LookupError):
            initialize(str(existing), "no-such-codec")
    assert sorted(os.listdir(tmp_path)) == ["as-bytes", "as-path", "existing.cfg"]
    _assert_empty_files(tmp_path, ["as-bytes", "as-path", "existing.cfg"])
    assert capsys.readouterr() == ("", "")
    create = CallRecorder(result="ignored")
    monkeypatch.setattr(larder, "create_empty_file", create)
    assert initialize("p", "utf-16") is None
    assert create.calls == [(("p",), {"encoding": "utf-16"})]


# ---- the catalogue builder ---------------------------------------------------------------------


def test_catalogue_builder_walks_depth_first(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    assert larder.initialize_catalogue("proj", ["README.md", "configs", {"scripts": ["dev.sh"]}]) is None
    assert _lines(capsys) == ["proj", *_file_lines("proj/README.md", "md"), "proj/scripts",
                              *_file_lines("proj/scripts/dev.sh", "sh")]
    assert tree("proj") == {"README.md", "configs/", "scripts/", "scripts/dev.sh"}
    _assert_empty_files("proj", ["README.md", "scripts/dev.sh"])


@pytest.mark.parametrize("catalogue", [[], None, "a.txt", 5, ("a.txt", "d"), {}, b"x"], ids=repr)
def test_catalogue_without_content(catalogue, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    larder.initialize_catalogue("deep/root", catalogue)
    assert _lines(capsys) == ["deep/root"]
    assert tree(".") == {"deep/", "deep/root/"}


def test_catalogue_entry_kinds(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    catalogue = ListSub([["x.txt"], ("y.txt",), 3, None, b"z.txt", "notes.d", "plain",
                         DictSub({"v1.0": "x.y", "lib": DictSub({"inner": ListSub(["m.py"])})}), "after.txt"])
    larder.initialize_catalogue("r", catalogue)
    assert _lines(capsys) == ["r", *_file_lines("r/notes.d", "d"), "r/v1.0", "r/lib", "r/lib/inner",
                              *_file_lines("r/lib/inner/m.py", "py"), *_file_lines("r/after.txt", "txt")]
    assert tree("r") == {"notes.d", "plain/", "v1.0/", "lib/", "lib/inner/", "lib/inner/m.py", "after.txt"}


def test_catalogue_top_level_mapping_and_rerun(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    catalogue = {"a": ["f.txt", "sub"], "b": {"c": ["g.md"]}}
    larder.initialize_catalogue("r", catalogue)
    first = _lines(capsys)
    pathlib.Path("r/a/f.txt").write_text("filled")
    pathlib.Path("r/a/sub/keep.me").write_text("kept")
    larder.initialize_catalogue("r", catalogue)
    assert _lines(capsys) == first == ["r", "r/a", *_file_lines("r/a/f.txt", "txt"), "r/b", "r/b/c",
                                       *_file_lines("r/b/c/g.md", "md")]
    assert pathlib.Path("r/a/f.txt").read_text() == "" and pathlib.Path("r/a/sub/keep.me").read_text() == "kept"


def test_catalogue_failures(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    pathlib.Path("blocker").write_text("a file")
    with closes_files(), pytest.raises(FileExistsError):
        larder.initialize_catalogue("blocker", ["a.txt"])
    assert capsys.readouterr() == ("", "")
    os.mkdir("r")
    pathlib.Path("r/f").write_text("a file")
    with closes_files(), pytest.raises(FileExistsError):
        larder.initialize_catalogue("r", ["sub/x.txt", "a.txt", {"f": ["b.txt"]}, "c.txt"])
    assert _lines(capsys) == ["r", *_file_lines("r/sub/x.txt", "txt"),
                              "error: [Errno 2] No such file or directory: 'r/sub/x.txt'", "r/sub/x.txt 目前暂不支持",
                              *_file_lines("r/a.txt", "txt")]
    assert tree("r") == {"f", "a.txt"}


def test_catalogue_finds_its_helpers_in_the_namespace(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    files = CallRecorder()
    builder = larder.initialize_catalogue
    nested = CallRecorder()
    monkeypatch.setattr(larder, "initialize_file", files)
    monkeypatch.setattr(larder, "initialize_catalogue", lambda *a, **k: (nested(*a, **k), builder(*a, **k))[1])
    content = ["x.txt"]
    builder("r", ["a.py", {"d": content}])
    assert files.calls == [(("r/a.py",), {}), (("r/d/x.txt",), {})]
    assert nested.calls == [(("r/d", content), {})]
    assert nested.calls[0][0][1] is content
    assert _lines(capsys) == ["r", "r/a.py", "r/d", "r/d/x.txt"]
    assert tree("r") == {"d/"}


def test_deep_catalogue_ends_in_recursion_error(tmp_path):
    code = """if True:
        import kelpie.larder as larder
        catalogue = []
        for _ in range(100000):
            catalogue = {"": catalogue}
        try:
            larder.initialize_catalogue("r", catalogue)
        except RecursionError:
            print("RecursionError")
    """
    result = run_python(code, cwd=tmp_path)
    assert (result.returncode, result.stdout.splitlines()[-1:], result.stderr) == (0, ["RecursionError"], "")


# ---- main --------------------------------------------------------------------------------------


@pytest.mark.parametrize("name, dir_path, root, prefix, env_prefix", [
    ("proj", "", "proj", "proj/", "proj/src/"),
    ("proj", "base", "base/proj", "base/proj/", "base/proj/src/"),
    ("proj", "./", "./proj", "./proj/", "proj/src/"),
    ("proj", "base//", "base//proj", "base//proj/", "base/proj/src/"),
    ("", "", "", "", "src/"),
    ("my proj ", "", "my proj ", "my proj /", "my proj /src/"),
])
def test_main_builds_the_default_project(name, dir_path, root, prefix, env_prefix, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    with closes_files():
        assert larder.main(name, dir_path) is None
    lines = _lines(capsys)
    assert lines == project_output(root, prefix, env_prefix)
    assert tree(root or ".") == SKELETON_TREE
    _assert_empty_files(root, SKELETON_FILES)
    assert larder.CATALOGUES == model.CATALOGUES
    # the same steps in Python print the same lines and build the same tree
    (tmp_path / "python").mkdir()
    monkeypatch.chdir(tmp_path / "python")
    model.main(name, dir_path)
    assert _lines(capsys) == lines and tree(root or ".") == SKELETON_TREE


def test_main_with_an_absolute_name_and_a_rerun(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    root = str(tmp_path / "abs")
    larder.main(name=root, dir_path="ignored")
    assert tree(root) == SKELETON_TREE and not os.path.exists("ignored")
    pathlib.Path(root, "README.md").write_text("# filled")
    pathlib.Path(root, "configs", "local.yaml").write_text("kept: 1")
    larder.main(root)
    assert tree(root) == SKELETON_TREE | {"configs/local.yaml"}
    _assert_empty_files(root, SKELETON_FILES)
    assert pathlib.Path(root, "configs", "local.yaml").read_text() == "kept: 1"
    assert _lines(capsys)[-1] == os.path.join(root, "src", "tests")


def test_main_reads_catalogues_builder_and_path_at_each_call(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(larder, "CATALOGUES", ["only.txt", {"k": []}])
    larder.main("p")
    assert tree("p") == {"only.txt", "k/", "src/", "src/prod/", "src/tests/"}
    larder.CATALOGUES.append("later.md")
    larder.main("q")
    assert "later.md" in tree("q")
    capsys.readouterr()

    made = []
    monkeypatch.setattr(larder, "Path", lambda p: made.append(p) or pathlib.Path(p))
    larder.main("r", "base")
    assert made == ["base/r", "base/r/k", "base/r/k", "base/r/src/prod", "base/r/src/prod", "base/r/src/tests",
                    "base/r/src/tests"]

    builder = CallRecorder()
    monkeypatch.setattr(larder, "initialize_catalogue", builder)
    larder.main("s", "elsewhere")
    assert builder.calls == [(("elsewhere/s", larder.CATALOGUES), {})]
    assert builder.calls[0][0][1] is larder.CATALOGUES
    assert _lines(capsys)[-2:] == ["elsewhere/s/src/prod", "elsewhere/s/src/tests"]


def test_main_passes_builder_errors_on(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    pathlib.Path("base").write_text("a file, not a directory")
    with closes_files(), pytest.raises(OSError):
        larder.main("proj", "base")
    assert capsys.readouterr() == ("", "") and os.listdir() == ["base"]


# ---- gen_catalogue ------------------------------------------------------------------------------------


def test_gen_catalogue_hands_the_answers_to_main(monkeypatch, capsys):
    main = CallRecorder(result="ignored")
    monkeypatch.setattr(larder, "main", main)
    monkeypatch.setattr("sys.stdin", io.StringIO("  my proj \ny\n~/where \n"))
    assert larder.gen_catalogue() is None
    assert main.calls == [(("  my proj ", "~/where "), {})]
    assert capsys.readouterr() == (ASK_NAME + confirm_prompt("  my proj ") + ASK_PATH, "")


DIALOGUE = """if True:
    import sys
    import kelpie.larder as larder
    try:
        larder.gen_catalogue()
    except BaseException as e:
        sys.stderr.write(f"{type(e).__name__}: {getattr(e, 'code', None)!r}")
        raise SystemExit(7 if not isinstance(e, SystemExit) else e.code)
"""
RUN_AS_MAIN = """if True:
    import importlib.util
    spec = importlib.util.find_spec("kelpie.larder")
    module = importlib.util.module_from_spec(spec)
    module.__name__ = "__main__"
    spec.loader.exec_module(module)
"""


@pytest.mark.parametrize("code", [DIALOGUE, RUN_AS_MAIN], ids=["gen_catalogue", "run-as-main"])
@pytest.mark.parametrize("answers, root, prefix, env_prefix", [
    ("demo\ny\n\n", "demo", "demo/", "demo/src/"),
    ("demo\ny\nbase\n", "base/demo", "base/demo/", "base/demo/src/"),
    ("演示\ny\n~x\n", "~x/演示", "~x/演示/", "~x/演示/src/"),
])
def test_dialogue_creates_the_project(code, answers, root, prefix, env_prefix, tmp_path):
    result = run_python(code, cwd=tmp_path, stdin=answers)
    name = answers.split("\n")[0]
    prompts = ASK_NAME + confirm_prompt(name) + ASK_PATH
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.encode() == (prompts + "\n".join(project_output(root, prefix, env_prefix)) + "\n").encode()
    assert tree(tmp_path / root) == SKELETON_TREE


@pytest.mark.parametrize("code", [DIALOGUE, RUN_AS_MAIN], ids=["gen_catalogue", "run-as-main"])
@pytest.mark.parametrize("answer", ["n", "Y", "yes", " y", "y ", ""])
def test_dialogue_refusal_exits_and_creates_nothing(code, answer, tmp_path):
    result = run_python(code, cwd=tmp_path, stdin=f"demo\n{answer}\nlocation\n")
    assert result.returncode == 0
    assert result.stdout.encode() == (ASK_NAME + confirm_prompt("demo")).encode()
    assert result.stderr == ("SystemExit: None" if code is DIALOGUE else "")
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("answers, prompts", [
    ("", ASK_NAME),
    ("demo\n", ASK_NAME + confirm_prompt("demo")),
    ("demo\ny\n", ASK_NAME + confirm_prompt("demo") + ASK_PATH),
])
def test_dialogue_end_of_input(answers, prompts, tmp_path):
    result = run_python(DIALOGUE, cwd=tmp_path, stdin=answers)
    assert (result.returncode, result.stdout, result.stderr) == (7, prompts, "EOFError: None")
    assert os.listdir(tmp_path) == []
