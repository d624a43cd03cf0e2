"""download_url_content against a real HTTP server on 127.0.0.1."""

import decimal
import os
import urllib.parse

import pytest
import requests

from tests.larder_support import BIG_BLOCK, BIG_BLOCKS, BODY, closes_files, larder, run_python
from tests.odd_objects import BadIndex, Boom, IntSub


class RecordingRequests:
    """The real requests module, with the calls the download makes recorded."""

    def __init__(self):
        self.events, self.chunk_lengths, self.responses = [], [], []

    def get(self, *args, **kwargs):
        self.events.append(("get", args, kwargs))
        response = requests.get(*args, **kwargs)
        self.responses.append(response)
        return RecordingResponse(response, self)

    def close(self):
        for response in self.responses:
            response.close()


class RecordingResponse:
    def __init__(self, response, recorder):
        self._response, self._recorder = response, recorder

    def __getattr__(self, name):
        self._recorder.events.append(("attribute", name))
        return getattr(self._response, name)

    def raise_for_status(self, *args, **kwargs):
        self._recorder.events.append(("raise_for_status", args, kwargs))
        return self._response.raise_for_status()

    def iter_content(self, *args, **kwargs):
        self._recorder.events.append(("iter_content", args, kwargs))
        for chunk in self._response.iter_content(*args, **kwargs):
            self._recorder.chunk_lengths.append(len(chunk))
            yield chunk


@pytest.fixture
def requests_recorder(monkeypatch):
    recording = RecordingRequests()
    monkeypatch.setattr(larder, "requests", recording)
    yield recording
    recording.close()


@pytest.mark.parametrize("path, filename", [
    ("/files/report.csv?x=1&y=2#part", "report.csv"),
    ("/files/with%20space%2Fslash.txt?q=%20", "with%20space%2Fslash.txt"),
    ("/files/a.bin;params?q", "a.bin"),
    ("/dir/sub/no-extension", "no-extension"),
])
def test_download_names_the_file_after_the_url_path(path, filename, http_server, tmp_path):
    url = http_server.url + path
    with closes_files():
        saved = larder.download_url_content(url, str(tmp_path))
    assert saved == os.path.join(str(tmp_path), filename) and type(saved) is str
    assert os.listdir(tmp_path) == [filename]
    assert (tmp_path / filename).read_bytes() == BODY
    assert http_server.seen == [path.split("#")[0]]


def test_download_makes_exactly_the_documented_calls(http_server, tmp_path, requests_recorder, monkeypatch):
    parsed = []
    monkeypatch.setattr(larder, "urlparse", lambda u: parsed.append(u) or urllib.parse.urlparse(u))
    url = http_server.url + "/files/data.bin?token=1"
    assert larder.download_url_content(url, str(tmp_path), 4096) == os.path.join(str(tmp_path), "data.bin")
    assert parsed == [url]
    assert requests_recorder.events == [("get", (url,), {"stream": True}), ("raise_for_status", (), {}),
                               ("iter_content", (), {"chunk_size": 4096})]
    assert requests_recorder.chunk_lengths == [4096, 4096, 2048]


@pytest.mark.parametrize("given, expected", [
    (1024.9, 1024),
    (True, 1),
    (decimal.Decimal("300.99"), 300),
    (IntSub(512), 512),
    (2000, 2000),
    (None, 8192),
])
def test_chunk_size_reaches_iter_content_as_an_int(given, expected, http_server, tmp_path, requests_recorder):
    args = () if given is None else (given,)
    with closes_files():
        larder.download_url_content(http_server.url + "/files/body.bin", str(tmp_path), *args)
    (_, _, kwargs), = [e for e in requests_recorder.events if e[0] == "iter_content"]
    assert kwargs == {"chunk_size": expected} and type(kwargs["chunk_size"]) is int
    full, rest = divmod(len(BODY), expected)
    assert requests_recorder.chunk_lengths == [expected] * full + ([rest] if rest else [])
    assert (tmp_path / "body.bin").read_bytes() == BODY


@pytest.mark.parametrize("chunk_size, error, message", [
    ("8192", TypeError, "Argument 'chunk_size' has incorrect type (expected int, got str)"),
    (None, TypeError, "Argument 'chunk_size' has incorrect type (expected int, got NoneType)"),
    ([1], TypeError, "Argument 'chunk_size' has incorrect type (expected int, got list)"),
    (float("nan"), ValueError, None),
    (float("inf"), OverflowError, None),
    (BadIndex(), Boom, "__index__"),
])
def test_bad_chunk_sizes_fail_before_any_request(chunk_size, error, message, http_server, tmp_path):
    with pytest.raises(error) as info:
        larder.download_url_content(http_server.url + "/files/x.bin", str(tmp_path), chunk_size)
    if message:
        assert str(info.value) == message
    assert http_server.seen == [] and os.listdir(tmp_path) == []


def test_relative_and_empty_save_dir(http_server, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    os.mkdir("sub")
    assert larder.download_url_content(http_server.url + "/a/here.txt", "") == "here.txt"
    assert larder.download_url_content(url=http_server.url + "/b/there.txt", save_dir="sub") == "sub/there.txt"
    assert (tmp_path / "here.txt").read_bytes() == BODY
    assert (tmp_path / "sub" / "there.txt").read_bytes() == BODY


def test_error_status_leaves_an_existing_file_untouched(http_server, tmp_path, requests_recorder):
    target = tmp_path / "missing.txt"
    target.write_bytes(b"previous download")
    with closes_files(), pytest.raises(requests.HTTPError) as info:
        larder.download_url_content(http_server.url + "/missing.txt", str(tmp_path))
    assert info.value.response.status_code == 404
    assert target.read_bytes() == b"previous download"
    assert [e[0] for e in requests_recorder.events] == ["get", "raise_for_status"]


@pytest.mark.parametrize("path, save_dir, error", [
    ("", "", IsADirectoryError),
    ("/", "", IsADirectoryError),
    ("/dir/", "", IsADirectoryError),
    ("/f.txt", "absent", FileNotFoundError),
])
def test_open_fails_after_the_request(path, save_dir, error, http_server, tmp_path):
    with closes_files(), pytest.raises(error):
        larder.download_url_content(http_server.url + path, str(tmp_path / save_dir))
    assert http_server.seen == [path or "/"] and os.listdir(tmp_path) == []


@pytest.mark.parametrize("url, error", [
    ("ftp://127.0.0.1/file.txt", requests.exceptions.InvalidSchema),
    ("no-scheme/file.txt", requests.exceptions.MissingSchema),
    ("http://[::1/file.txt", ValueError),
    ("http://127.0.0.1:9/file.txt", requests.ConnectionError),
])
def test_unusable_urls(url, error, tmp_path):
    with closes_files(), pytest.raises(error):
        larder.download_url_content(url, str(tmp_path))
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("path, name, seen", [
    ("/redirect/start.txt", "start.txt", ["/redirect/start.txt", "/files/final.bin"]),
    ("/gzip/data.txt", "data.txt", ["/gzip/data.txt"]),
])
def test_redirects_and_content_encoding(path, name, seen, http_server, tmp_path):
    saved = larder.download_url_content(http_server.url + path, str(tmp_path), 1000)
    assert saved == os.path.join(str(tmp_path), name) and os.listdir(tmp_path) == [name]
    assert (tmp_path / name).read_bytes() == BODY and http_server.seen == seen


def test_broken_body_keeps_what_was_written_and_closes_the_file(http_server, tmp_path):
    with closes_files(), pytest.raises(requests.RequestException):
        larder.download_url_content(http_server.url + "/truncated/part.bin", str(tmp_path), 1000)
    written = (tmp_path / "part.bin").read_bytes()
    assert 0 < len(written) <= 5000 and written == BODY[:len(written)]


def test_large_body_is_streamed_with_flat_memory(http_server, tmp_path):
    code = f"""if True:
        import resource, kelpie.larder as larder
        larder.download_url_content({http_server.url + '/warm-up.bin'!r}, ".")
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        larder.download_url_content({http_server.url + '/big'!r}, ".")
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
    """
    result = run_python(code, cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, "")
    growth_kib = int(result.stdout)
    limit_kib = 32 * 1024
    assert growth_kib < limit_kib
    # the body is at least twice the limit: holding it whole could not pass
    assert os.path.getsize(tmp_path / "big") == len(BIG_BLOCK) * BIG_BLOCKS >= 2 * limit_kib * 1024
    with open(tmp_path / "big", "rb") as f:
        assert all(f.read(len(BIG_BLOCK)) == BIG_BLOCK for _ in range(BIG_BLOCKS))
