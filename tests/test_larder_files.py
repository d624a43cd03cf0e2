"""Whole-file helpers of kelpie.larder: read_txt, read_md, read_json,
save_txt, write_md and create_empty_file."""

import errno
import gc
import json
import locale
import os
import pathlib
import sys
import threading
import time
import types
import weakref

import pytest

from tests import model
from tests.hardening_support import attempt
from tests.larder_support import closes_files, larder
from tests.odd_objects import ListSub, StrSub

DEFAULT_ENCODING = locale.getpreferredencoding(False)


class ShownAs(str):
    def __str__(self):
        return "shown"


def _path_as(kind, path):
    return {"str": str(path), "Path": pathlib.Path(path), "bytes": os.fsencode(path)}[kind]


def test_leak_detector_notices_an_unclosed_file(tmp_path):
    with pytest.raises(AssertionError):
        with closes_files():
            open(tmp_path / "left-open.txt", "w")


# ---- save_txt ------------------------------------------------------------------


@pytest.mark.parametrize("contents, expected", [
    (["a", 1, None], "a\n1\nNone\n"),
    ("a\nb", "a\nb"),
    ([], ""),
    (("a",), ""),
    (b"bytes", ""),
    (None, ""),
    (3.5, ""),
    ({"k": "v"}, ""),
    (iter(["a", "b"]), ""),
    (ListSub(["x", ListSub()]), "x\n[]\n"),
    (StrSub("sub"), "sub"),
    ([ShownAs("raw"), 2.5, ["in"]], "shown\n2.5\n['in']\n"),
    (["中文", "", "tab\t"], "中文\n\ntab\t\n"),
])
def test_save_txt_replaces_the_file(contents, expected, tmp_path):
    target = tmp_path / "out.txt"
    target.write_text("old content that must go\n")
    with closes_files():
        assert larder.save_txt(contents, str(target)) is None
    assert target.read_bytes() == expected.encode(DEFAULT_ENCODING)


# ---- readers ---------------------------------------------------------------------


@pytest.mark.parametrize("read", [larder.read_txt, larder.read_md], ids=lambda f: f.__name__)
@pytest.mark.parametrize("raw, kwargs, expected", [
    ("héllo 中文\n".encode(), {}, "héllo 中文\n"),
    (b"", {}, ""),
    (b"a\r\nb\rc\n", {}, "a\nb\nc\n"),
    (b"  padded  \n\n", {}, "  padded  \n\n"),
    ("ü".encode("latin-1"), {"encoding": "latin-1"}, "ü"),
    ("x€".encode("utf-16"), {"encoding": "utf-16"}, "x€"),
])
@pytest.mark.parametrize("kind", ["str", "Path", "bytes"])
def test_readers_return_the_whole_text(read, raw, kwargs, expected, kind, tmp_path):
    source = tmp_path / "in.txt"
    source.write_bytes(raw)
    with closes_files():
        assert read(_path_as(kind, source), **kwargs) == expected


@pytest.mark.parametrize("text, value", [
    ('{"a": [1, 2.5, null, true], "b": {"c": "中"}}', {"a": [1, 2.5, None, True], "b": {"c": "中"}}),
    ('"s"', "s"),
    ("3", 3),
    ("null", None),
    ("  []\n", []),
])
def test_read_json_decodes_the_document(text, value, tmp_path):
    source = tmp_path / "in.json"
    source.write_bytes(text.encode(DEFAULT_ENCODING))
    with closes_files():
        assert larder.read_json(path=str(source)) == value


@pytest.mark.parametrize("text", ["", "{", '{"a": 1} trailing', "{'single': 1}"])
def test_read_json_refuses_malformed_documents(text, tmp_path):
    source = tmp_path / "in.json"
    source.write_text(text)
    with closes_files(), pytest.raises(json.JSONDecodeError):
        larder.read_json(str(source))


# read_json and load_config hand the open file to the parser their module's
# namespace holds at the call: (function, that global, its parser, the text
# written, the encoding asked for and the one the file is opened with).
PARSERS = [
    ("read_json", "json", "load", "not json at all", (), DEFAULT_ENCODING),
    ("load_config", "yaml", "safe_load", "a: 1\n", ("latin-1",), "latin-1"),
]


@pytest.mark.parametrize("function, module, parser, text, args, encoding", PARSERS)
def test_the_parser_of_the_namespace_at_the_call(function, module, parser, text, args, encoding, tmp_path,
                                                 monkeypatch):
    """The parser gets the open file and its answer is the result; when it
    fails, the file is closed and its error propagates unchained; without
    the module global, the lookup fails as Python's would."""
    source = tmp_path / "in.doc"
    source.write_text(text, encoding=encoding)
    call = getattr(larder, function)
    seen = []

    def parse(f, *args, **kwargs):
        seen.append((f, f.mode, f.name, f.encoding, f.closed, args, kwargs))
        return {"replaced": True}

    def fail(f):
        seen.append(f)
        raise KeyError("parser")

    monkeypatch.setattr(larder, module, types.SimpleNamespace(**{parser: parse}))
    with closes_files():
        assert call(str(source), *args) == {"replaced": True}
    (f, *facts), = seen
    assert facts == ["r", str(source), encoding, False, (), {}] and f.closed
    monkeypatch.setattr(larder, module, types.SimpleNamespace(**{parser: fail}))
    with closes_files(), pytest.raises(KeyError) as info:
        call(str(source), *args)
    assert seen[-1].closed and info.value.args == ("parser",) and info.value.__context__ is None
    monkeypatch.delattr(larder, module)
    with closes_files(), pytest.raises(NameError) as info:
        call(str(source), *args)
    assert str(info.value) == f"name '{module}' is not defined"


# ---- read_json and the cyclic collector ----------------------------------------------
#
# While one thread waits in read_json for the rest of a slow file (a FIFO),
# another thread finds the collector as the application set it: its garbage
# cycles are collected when the collector is on, and the application's own
# gc.disable() or gc.enable() meanwhile still holds after the call.  The same
# drive runs the plain-Python read_json.

@pytest.fixture
def collector_restored():
    was_enabled = gc.isenabled()
    yield
    (gc.enable if was_enabled else gc.disable)()
    gc.collect()


class _Cycle:
    def __init__(self):
        self.me = self


def _cycles_are_collected():
    """Makes short-lived reference cycles, far more than the young
    generation holds, until a collection has freed the first of them."""
    runs = []

    def note(phase, info):
        if phase == "stop":
            runs.append(info["generation"])

    first = _Cycle()
    first_alive = weakref.ref(first)
    del first
    gc.callbacks.append(note)
    try:
        for _ in range(50_000):
            _Cycle()
            if runs and first_alive() is None:
                return True
    finally:
        gc.callbacks.remove(note)
    return False


def _open_writer(fifo, reader):
    """The FIFO's writing end, once the reader has opened the other one."""
    while True:
        try:
            fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        except OSError as e:
            if e.errno != errno.ENXIO or not reader.is_alive():
                raise
            time.sleep(0.001)
            continue
        os.set_blocking(fd, True)
        return fd


def _wait_until_in_json_load(reader):
    """Until the reader thread runs json.load, which then waits for the rest
    of the FIFO's content."""
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        frame = sys._current_frames().get(reader.ident)
        while frame is not None:
            if frame.f_code is json.load.__code__:
                return
            frame = frame.f_back
        time.sleep(0.001)
    raise AssertionError("the reader never reached json.load")


def _read_fifo_while(read, fifo, text, during):
    """read(fifo) in a second thread; during() runs in this one while the
    reader waits in json.load.  What during() saw, the call's outcome and the
    collector's state after the call."""
    outcome = []
    reader = threading.Thread(target=lambda: outcome.append(attempt(read, str(fifo))))
    reader.start()
    try:
        fd = _open_writer(fifo, reader)
        try:
            os.write(fd, text[:1].encode())
            _wait_until_in_json_load(reader)
            seen = during()
            os.write(fd, text[1:].encode())
        finally:
            os.close(fd)
    finally:
        reader.join()
    result, = outcome
    shown = (type(result).__name__, str(result)) if isinstance(result, Exception) else result
    return seen, shown, gc.isenabled()


def _observe_and(action):
    def during():
        before = gc.isenabled()
        if action:
            action()
        return before, gc.isenabled(), _cycles_are_collected()
    return during


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs named pipes")
@pytest.mark.parametrize("text", ['{"a": [1, 2.5, null, "x"]}', '{"a": [1, 2'], ids=["document", "malformed"])
@pytest.mark.parametrize("action", [None, gc.disable, gc.enable], ids=["nothing", "disable", "enable"])
@pytest.mark.parametrize("enabled", [True, False], ids=["collector-on", "collector-off"])
def test_read_json_leaves_the_collector_to_the_application(enabled, action, text, tmp_path, collector_restored):
    seen = {}
    for side, read in [("kelpie", larder.read_json), ("python", model.read_json)]:
        (gc.enable if enabled else gc.disable)()
        fifo = tmp_path / f"{side}.json"
        os.mkfifo(fifo)
        seen[side] = _read_fifo_while(read, fifo, text, _observe_and(action))
        gc.collect()
    assert seen["kelpie"] == seen["python"]
    chosen = enabled if action is None else action is gc.enable
    (before, after_action, collected), _, after_call = seen["kelpie"]
    assert (before, after_action, collected, after_call) == (enabled, chosen, chosen, chosen)


# ---- writers ---------------------------------------------------------------------------


@pytest.mark.parametrize("kind", ["str", "Path", "bytes"])
def test_write_md_then_read_md_round_trip(kind, tmp_path):
    target = _path_as(kind, tmp_path / "note.md")
    text = "# 标题\n\n- item\n\ttabbed  \n"
    with closes_files():
        assert larder.write_md(text, target) is None
        assert larder.read_md(target) == text
    assert (tmp_path / "note.md").read_bytes() == text.encode("utf-8")


def test_write_md_keywords_and_encodings(tmp_path):
    target = tmp_path / "note.md"
    larder.write_md(content="€ ü", md_path=str(target), encoding="utf-16")
    assert target.read_bytes().decode("utf-16") == "€ ü"
    larder.write_md("ü", str(target), None)
    assert target.read_bytes() == "ü".encode(DEFAULT_ENCODING)
    assert larder.read_md(md_path=str(target), encoding=None) == "ü"


@pytest.mark.parametrize("kind", ["str", "Path", "bytes"])
def test_create_empty_file_truncates_or_creates(kind, tmp_path):
    existing, fresh = tmp_path / "existing.txt", tmp_path / "fresh.txt"
    existing.write_text("content")
    with closes_files():
        assert larder.create_empty_file(_path_as(kind, existing)) is None
        assert larder.create_empty_file(_path_as(kind, fresh), encoding="latin-1") is None
    assert existing.read_bytes() == b"" and fresh.read_bytes() == b""


WRITERS = [
    pytest.param(lambda p: larder.save_txt(["x"], p), id="save_txt"),
    pytest.param(lambda p: larder.write_md("x", p), id="write_md"),
    pytest.param(lambda p: larder.create_empty_file(p), id="create_empty_file"),
]
READERS = [
    pytest.param(lambda p: larder.read_txt(p), id="read_txt"),
    pytest.param(lambda p: larder.read_md(p), id="read_md"),
    pytest.param(lambda p: larder.read_json(p), id="read_json"),
]


@pytest.mark.parametrize("call", WRITERS + READERS)
def test_missing_directory_and_directory_paths(call, tmp_path):
    with closes_files():
        with pytest.raises(FileNotFoundError):
            call(str(tmp_path / "missing" / "file.txt"))
        with pytest.raises(IsADirectoryError):
            call(str(tmp_path))
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("call", [
    pytest.param(lambda p: larder.read_txt(p, "no-such-codec"), id="read_txt"),
    pytest.param(lambda p: larder.read_md(p, "no-such-codec"), id="read_md"),
    pytest.param(lambda p: larder.write_md("x", p, "no-such-codec"), id="write_md"),
    pytest.param(lambda p: larder.create_empty_file(p, "no-such-codec"), id="create_empty_file"),
])
def test_unknown_encoding(call, tmp_path):
    target = tmp_path / "f.txt"
    target.write_text("kept?")
    with closes_files(), pytest.raises(LookupError):
        call(str(target))


@pytest.mark.parametrize("read", [larder.read_txt, larder.read_md], ids=lambda f: f.__name__)
def test_undecodable_text(read, tmp_path):
    source = tmp_path / "in.txt"
    source.write_bytes(b"ok \xff\xfe")
    with closes_files(), pytest.raises(UnicodeDecodeError):
        read(str(source))


def test_write_md_failures_leave_an_empty_file(tmp_path):
    target = tmp_path / "note.md"
    target.write_text("previous")
    with closes_files(), pytest.raises(UnicodeEncodeError):
        larder.write_md("plain € sign", str(target), "ascii")
    assert target.read_bytes() == b""
    target.write_text("previous")
    with closes_files(), pytest.raises(TypeError):
        larder.write_md(b"bytes", str(target))
    assert target.read_bytes() == b""
