"""_to_formdata: the fields it adds (watched through a stand-in FormData) and
the multipart body a real server receives from it."""

import collections
import io

import pytest

from tests import model
from tests.courier_support import courier, run
from tests.hardening_support import outcome
from tests.odd_objects import BadStr, Boom, DictSub, RecordingAiohttp, RecordingForm

to_form = courier._to_formdata
OCTET = "application/octet-stream"
TUPLE_MSG = "'] tuple 只支持 (filename, fileobj) 或 (filename, fileobj, content_type)"


@pytest.fixture
def fake(monkeypatch):
    monkeypatch.setattr(courier, "aiohttp", RecordingAiohttp)


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


def file_call(field, value, filename, content_type):
    return ((), [("name", field), ("value", value), ("filename", filename), ("content_type", content_type)])


@pytest.mark.parametrize("args, kwargs", [
    ((), {}), ((None, None), {}), (({}, {}), {}), ((), {"data": {}, "files": None}), (([], ()), {}),
])
def test_empty_inputs_give_an_empty_form(fake, args, kwargs):
    form = to_form(*args, **kwargs)
    assert type(form) is RecordingForm and form.init == ((), {}) and form.calls == []


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


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(files={"f": 5}), TypeError, "object of type 'int' has no len()"),
    (dict(files={"f": None}), TypeError, "object of type 'NoneType' has no len()"),
    (dict(data=[("a", 1)]), AttributeError, "items"),
    (dict(files=[("f", f1)]), AttributeError, "items"),
    (dict(data={"a": BadStr()}), Boom, "__str__"),
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


# ---- a mapping changed while it is walked ------------------------------------------------------------
#
# The same calls go to the form builder written in Python (tests/model.py), both against a FormData stand-in that records every add_field:
# the fields added before the change is noticed, and the error that stops the
# walk, must be the interpreter's own.

def _del_own_add_another(m, own, keys):
    del m[own]
    m["added"] = "new"


def _add_a_key(m, own, keys):
    m["added"] = "new"


def _del_another(m, own, keys):
    for k in [k for k in keys if k != own][-1:]:
        del m[k]


def _replace_another_same_size(m, own, keys):
    for k in [k for k in keys if k != own][-1:]:
        del m[k]
        m["added"] = "new"


def _move_own_to_the_end(m, own, keys):
    m[own] = m.pop(own)


def _change_values_only(m, own, keys):
    for k in keys:
        m[k] = "changed"


def _clear(m, own, keys):
    m.clear()


def _grow_and_shrink_back(m, own, keys):
    for i in range(40):
        m[f"grown{i}"] = i
    for i in range(40):
        del m[f"grown{i}"]


MUTATIONS = [_del_own_add_another, _add_a_key, _del_another, _replace_another_same_size, _move_own_to_the_end,
             _change_values_only, _clear, _grow_and_shrink_back]
# Mutations that change the size as a dict's iterator sees it, whatever the
# position (an OrderedDict's iterator no longer looks after its last item).
RESIZING = {_add_a_key, _clear}


class MutatesOnStr:
    """A data value whose str() changes the mapping holding it, once."""

    def __init__(self, mapping, own, keys, mutate):
        self.args = (mapping, own, keys, mutate)

    def __str__(self):
        mapping, own, keys, mutate = self.args
        self.args = None
        if mapping is not None:
            mutate(mapping, own, keys)
        return "mutated"


class MutatesOnLen:
    """A (filename, fileobj) entry whose len() changes the mapping holding
    it, once."""

    def __init__(self, mapping, own, keys, mutate):
        self.args = (mapping, own, keys, mutate)

    def __len__(self):
        if self.args:
            mapping, own, keys, mutate = self.args
            self.args = None
            mutate(mapping, own, keys)
        return 2

    def __iter__(self):
        return iter(("m.bin", f1))


def _mapping(container, which, size, position, mutate):
    keys = [f"k{i}" for i in range(size)]
    m = container()
    for k in keys:
        m[k] = ("n.bin", f2) if which == "files" else k
    own = keys[0] if position == "first" else keys[-1]
    m[own] = (MutatesOnLen if which == "files" else MutatesOnStr)(m, own, keys, mutate)
    return m


def _recorded_outcome(to_formdata, which, mapping):
    RecordingForm.log = []
    got = outcome(to_formdata, **{which: mapping})
    return ("form" if got[0] == "ok" else got), RecordingForm.log


@pytest.mark.parametrize("container", [dict, collections.OrderedDict, DictSub], ids=lambda c: c.__name__)
@pytest.mark.parametrize("which", ["data", "files"])
@pytest.mark.parametrize("mutate", MUTATIONS, ids=lambda f: f.__name__.strip("_"))
def test_mapping_changed_during_the_walk_fails_as_python_does(monkeypatch, mutate, which, container):
    monkeypatch.setattr(courier, "aiohttp", RecordingAiohttp)
    python_form = model.fresh(aiohttp=RecordingAiohttp, field_text=model.kelpie_field_text)._to_formdata
    for size in [1, 2, 5, 6, 9]:
        for position in ["first", "last"]:
            ours = _recorded_outcome(to_form, which, _mapping(container, which, size, position, mutate))
            python = _recorded_outcome(python_form, which, _mapping(container, which, size, position, mutate))
            assert ours == python, (size, position)
            if mutate in RESIZING and container is not collections.OrderedDict:
                assert python[0][0] is RuntimeError, (size, position, python)


@pytest.mark.parametrize("mutate, message", [
    (_del_own_add_another, "dictionary keys changed during iteration"),
    (_add_a_key, "dictionary changed size during iteration"),
    (_del_another, "dictionary changed size during iteration"),
])
def test_changed_dict_stops_with_the_dict_iteration_error(fake, mutate, message):
    data = _mapping(dict, "data", 3, "first", mutate)
    with pytest.raises(RuntimeError) as info:
        to_form(data=data)
    assert str(info.value) == message
