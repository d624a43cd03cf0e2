"""Fixtures shared by the test files.

A quick run leaves out the slow hardening group (leak checks under
repetition, property-based fuzzing, the reference-leak pass), which carries
the ``hardening`` marker registered in pyproject.toml::

    pytest -m "not hardening"

The environment the suite reads:

KELPIE_HARDENING_REPEAT
    calls per path in the leak checks (default 1000; 300 under the sanitizers)
KELPIE_HARDENING_EXAMPLES
    examples per property-based group (default 200; 60 under the sanitizers)
LD_PRELOAD
    naming libasan or libubsan marks a run under the sanitizers: smaller
    counts, and resident memory is not checked there

The child interpreters the tests start inherit the environment, with
PYTHONIOENCODING=utf-8 added.  The benchmarks (bench/) read nothing from it.
"""

import http.server
import threading

import pytest

import kelpie.courier as courier
from tests.courier_support import AiohttpRecorder
from tests.hardening_support import ServerProcess
from tests.larder_support import HttpHandler


@pytest.fixture
def install(monkeypatch):
    """install(**options) puts a fresh AiohttpRecorder in kelpie.courier.aiohttp;
    every one made is checked clean at the end."""
    made = []

    def make(**options):
        made.append(AiohttpRecorder(**options))
        monkeypatch.setattr(courier, "aiohttp", made[-1])
        return made[-1]

    yield make
    for rec in made:
        rec.assert_clean()


@pytest.fixture
def recorder(install):
    return install()


@pytest.fixture
def http_server():
    """A real HTTP server on 127.0.0.1 in a thread; `seen` lists the request targets."""
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), HttpHandler)
    server.daemon_threads = True
    server.seen = []
    server.url = f"http://127.0.0.1:{server.server_address[1]}"
    thread = threading.Thread(target=server.serve_forever)
    thread.start()
    try:
        yield server
    finally:
        server.shutdown()
        server.server_close()
        thread.join()


@pytest.fixture(scope="module")
def server():
    """The aiohttp.web server of hardening_support in a child process."""
    srv = ServerProcess()
    yield srv
    srv.close()
