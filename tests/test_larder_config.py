"""load_config: one YAML document read whole with the safe loader."""

import datetime
import pathlib
import types

import pytest
import yaml

from tests.larder_support import closes_files, larder


@pytest.mark.parametrize("name, text, value", [
    ("empty.yaml", "", None),
    ("comments.yaml", "# only a comment\n   # and another\n", None),
    ("one.yaml", "a: 1\n", {"a": 1}),
    ("types.yml", "when: 2024-01-02\nflag: yes\nratio: 0.5\nnothing: ~\nname: 中文\n",
     {"when": datetime.date(2024, 1, 2), "flag": True, "ratio": 0.5, "nothing": None, "name": "中文"}),
    ("list.cfg", "- [1, two]\n- {k: v}\n", [[1, "two"], {"k": "v"}]),
    ("looks.json", "{a: 1, 'b': [x, 2]}  # not JSON\n", {"a": 1, "b": ["x", 2]}),
    ("scalar", "just text", "just text"),
])
def test_load_config_returns_the_document(name, text, value, tmp_path, monkeypatch):
    monkeypatch.setattr(larder, "json", None)  # never consulted, whatever the file name
    source = tmp_path / name
    source.write_text(text, encoding="utf-8")
    with closes_files():
        assert larder.load_config(str(source)) == value


@pytest.mark.parametrize("path_kind", [str, pathlib.Path, lambda p: str(p).encode()])
def test_load_config_path_kinds_and_encodings(path_kind, tmp_path):
    source = tmp_path / "config.yaml"
    source.write_text("name: Zürich €\n", encoding="utf-16")
    with closes_files():
        assert larder.load_config(path_kind(source), "utf-16") == {"name": "Zürich €"}
        assert larder.load_config(file_path=path_kind(source), encoding="utf-16") == {"name": "Zürich €"}
    source.write_text("name: Zürich\n", encoding="latin-1")
    assert larder.load_config(path_kind(source), encoding="latin-1") == {"name": "Zürich"}


@pytest.mark.parametrize("raw, error", [
    (b"a: 1\n---\nb: 2\n", yaml.composer.ComposerError),
    (b"cmd: !!python/object/apply:os.system ['echo hi']\n", yaml.constructor.ConstructorError),
    (b"a: [1, 2\n", yaml.YAMLError),
    (b"a: b: c\n", yaml.YAMLError),
    (b"a: \xff\xfe\n", UnicodeDecodeError),
])
def test_load_config_failures(raw, error, tmp_path):
    source = tmp_path / "bad.yaml"
    source.write_bytes(raw)
    with closes_files(), pytest.raises(error):
        larder.load_config(str(source))


@pytest.mark.parametrize("make_path, kwargs, error", [
    (lambda d: d / "missing.yaml", {}, FileNotFoundError),
    (lambda d: d, {}, IsADirectoryError),
    (lambda d: d / "present.yaml", {"encoding": "no-such-codec"}, LookupError),
    (lambda d: d / "present.yaml", {"encoding": None}, TypeError),
])
def test_load_config_open_failures(make_path, kwargs, error, tmp_path):
    (tmp_path / "present.yaml").write_text("a: 1\n")
    with closes_files(), pytest.raises(error):
        larder.load_config(str(make_path(tmp_path)), **kwargs)
