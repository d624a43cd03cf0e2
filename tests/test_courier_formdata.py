"""_to_formdata: the fields it adds (watched through a stand-in FormData) and
the multipart body a real server receives from it."""

import io
import types

import pytest

from tests.courier_support import courier, run

to_form = courier._to_formdata
OCTET = "application/octet-stream"
TUPLE_MSG = "'] tuple 只支持 (filename, fileobj) 或 (filename, fileobj, content_type)"


class FakeForm:
    def __init__(self, *args, **kwargs):
        self.init = (args, kwargs)
        self.calls = []

    def add_field(self, *args, **kwargs):
        self.calls.append((args, list(kwargs.items())))


@pytest.fixture
def fake(monkeypatch):
    monkeypatch.setattr(courier, "aiohttp", types.SimpleNamespace(FormData=FakeForm))


class Named(io.BytesIO):
    def __init__(self, name, data=b""):
        super().__init__(data)
        self.name = name


class Untouchable:
    """File-like: has read, seek and close, and complains if any is used."""
    name = "u.bin"

    def read(self, *a):
        raise AssertionError("read called")

    seek = close = read


class Boom(Exception):
    pass


def file_call(field, value, filename, content_type):
    return ((), [("name", field), ("value", value), ("filename", filename), ("content_type", content_type)])


@pytest.mark.parametrize("args, kwargs", [
    ((), {}), ((None, None), {}), (({}, {}), {}), ((), {"data": {}, "files": None}), (([], ()), {}),
])
def test_empty_inputs_give_an_empty_form(fake, args, kwargs):
    form = to_form(*args, **kwargs)
    assert type(form) is FakeForm and form.init == ((), {}) and form.calls == []


def test_data_values_become_texts_in_order(fake):
    class Shown:
        def __str__(self):
            return "shown"

    key = ("tuple", "key")
    form = to_form({"z": None, "a": 1, "t": True, "x": "x", 7: 1.5, key: Shown(), "f": False})
    assert form.calls == [(("z", ""), []), (("a", "1"), []), (("t", "True"), []), (("x", "x"), []),
                          ((7, "1.5"), []), ((key, "shown"), []), (("f", "False"), [])]
    assert form.calls[5][0][0] is key


class ReadAttr:
    read = 5  # only looked up, never called


f1, f2, READ_ATTR = io.BytesIO(b"1"), io.BytesIO(b"2"), ReadAttr()
NAMED = Named("/var/data/report 2024.pdf")
FILE_CASES = [
    (NAMED, "/var/data/report 2024.pdf", NAMED, OCTET),
    (f1, "file", f1, OCTET),
    (Named(""), "file", None, OCTET),
    (Named(None), "file", None, OCTET),
    (Named(b"raw-name"), b"raw-name", None, OCTET),
    (("a.txt", f1), "a.txt", f1, OCTET),
    ((None, f1), "file", f1, OCTET),
    (("", f1), "file", f1, OCTET),
    (["l.txt", f2], "l.txt", f2, OCTET),
    (("a.csv", f2, "text/csv"), "a.csv", f2, "text/csv"),
    (("a.csv", f2, None), "a.csv", f2, None),
    (("n", f1, b"odd"), "n", f1, b"odd"),
    (b"abc", 97, 98, 99),
    ("xy", "x", "y", OCTET),
    (READ_ATTR, "file", None, OCTET),
]


@pytest.mark.parametrize("entry, filename, value, content_type", FILE_CASES)
def test_file_entry_shapes(fake, entry, filename, value, content_type):
    form = to_form(files={"up": entry})
    (args, kwargs), = form.calls
    assert (args, kwargs) == file_call("up", entry if value is None else value, filename, content_type)
    if not isinstance(value, (str, int)):
        assert kwargs[1][1] is (entry if value is None else value)


def test_file_objects_are_never_touched(fake, tmp_path):
    path = tmp_path / "data.bin"
    path.write_bytes(b"0123456789")
    with open(path, "rb") as handle:
        handle.seek(4)
        form = to_form(files={"a": handle, "b": Untouchable(), "c": ("c", Untouchable(), "x/y")})
        assert handle.tell() == 4 and not handle.closed
    assert [c[1][2][1] for c in form.calls] == [str(path), "u.bin", "c"]


def test_data_fields_come_before_file_fields(fake):
    form = to_form(files={"f2": ("b", f2), "f1": ("a", f1)}, data={"d2": 2, "d1": 1})
    assert [c[0][0] if c[0] else c[1][0][1] for c in form.calls] == ["d2", "d1", "f2", "f1"]


class Fmt:
    def __format__(self, spec):
        return f"fmt<{spec}>"


@pytest.mark.parametrize("key, entry, shown", [
    ("avatar", (1,), "avatar"), ("avatar", ("a", f1, "t", "x"), "avatar"), ("avatar", (), "avatar"),
    ("avatar", b"abcd", "avatar"), ("avatar", b"a", "avatar"), ("avatar", "", "avatar"),
    (7, (1,), "7"), (1.5, (1,), "1.5"), (None, (1,), "None"), (Fmt(), (1,), "fmt<>"),
])
def test_bad_tuple_length(fake, key, entry, shown):
    with pytest.raises(TypeError) as info:
        to_form(files={key: entry})
    assert str(info.value) == "files['" + shown + TUPLE_MSG


class NameRaises:
    def __init__(self, exc):
        self.exc = exc

    def read(self):
        pass

    @property
    def name(self):
        raise self.exc


class ReadRaises:
    def __getattr__(self, attr):
        raise Boom(attr)


def test_name_missing_means_file(fake):
    entry = NameRaises(AttributeError("no name"))
    assert to_form(files={"n": entry}).calls == [file_call("n", entry, "file", OCTET)]


class BadStr:
    def __str__(self):
        raise Boom("str")


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(files={"f": 5}), TypeError, "object of type 'int' has no len()"),
    (dict(files={"f": None}), TypeError, "object of type 'NoneType' has no len()"),
    (dict(data=[("a", 1)]), AttributeError, "items"),
    (dict(files=[("f", f1)]), AttributeError, "items"),
    (dict(data={"a": BadStr()}), Boom, "str"),
    (dict(files={"n": NameRaises(KeyError("name"))}), KeyError, "name"),
    (dict(files={"r": ReadRaises()}), Boom, "read"),
    (dict(files={"p": iter([1, 2])}), TypeError, "has no len"),
])
def test_other_failures_propagate(fake, kwargs, error, message):
    with pytest.raises(error, match=message):
        to_form(**kwargs)


def test_form_as_the_server_receives_it(tmp_path):
    path = tmp_path / "notes.txt"
    path.write_bytes(b"from disk")
    with open(path, "rb") as on_disk:
        data = {"z": "1", "a": None, "n": 3, "t": True, "u": "中文"}
        files = {"doc": ("a.txt", io.BytesIO(b"hello"), "text/plain"), "bin": ["b.bin", io.BytesIO(b"\x00\xff")],
                 "disk": on_disk, "anon": io.BytesIO(b"anon"), "nofn": (None, io.BytesIO(b"n"), "image/png")}

        async def go(srv):
            return await courier.async_call_api(srv.url("/reply"), data=data, files=files), srv.received[0]

        result, got = run(go)
    assert result == {"ok": True}
    assert got.content_type == "multipart/form-data"
    assert [(n, fn, v) for n, fn, _, v in got.fields[:5]] == [
        ("z", None, b"1"), ("a", None, b""), ("n", None, b"3"), ("t", None, b"True"), ("u", None, "中文".encode())]
    assert got.fields[5:] == [
        ("doc", "a.txt", "text/plain", b"hello"),
        ("bin", "b.bin", OCTET, b"\x00\xff"),
        ("disk", str(path), OCTET, b"from disk"),
        ("anon", "file", OCTET, b"anon"),
        ("nofn", "file", "image/png", b"n"),
    ]
