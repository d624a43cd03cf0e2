"""Shared helpers for the kelpie.larder tests: child interpreters, a leak
detector for file objects, the handler of the local HTTP server (the
`http_server` fixture) and the expected project skeleton."""

import contextlib
import gc
import gzip
import hashlib
import http.server
import os
import subprocess
import sys
import urllib.parse
import warnings

import kelpie.larder as larder


def type_error(param, value, expected="str"):
    """The refusal text of an exactly-typed parameter (without the note that
    follows for a subclass instance)."""
    return f"Argument '{param}' has incorrect type (expected {expected}, got {type(value).__name__})"


# ---- files ---------------------------------------------------------------------


@contextlib.contextmanager
def closes_files():
    """Fails when a file object opened inside the block is left to the
    garbage collector instead of being closed."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        try:
            yield
        finally:
            gc.collect()
    leaked = [str(w.message) for w in caught if issubclass(w.category, ResourceWarning)]
    assert leaked == []


def tree(root):
    """Every path below root, relative, directories ending in "/"."""
    found = set()
    for here, dirs, files in os.walk(root):
        rel = os.path.relpath(here, root)
        prefix = "" if rel == "." else rel + "/"
        found.update(prefix + d + "/" for d in dirs)
        found.update(prefix + f for f in files)
    return found


# The default project, relative to its root: (path, file type) in the order the
# builder reports it; None marks a directory named by a dictionary key.
SKELETON_REPORT = [
    ("README.md", "md"),
    ("requirements.txt", "txt"),
    (".gitignore", "gitignore"),
    ("scripts", None),
    ("scripts/prod.sh", "sh"),
    ("scripts/dev.sh", "sh"),
    ("scripts/test.sh", "sh"),
    ("data", None),
    ("src", None),
    ("src/dev", None),
    ("src/dev/src", None),
    ("src/dev/src/__init__.py", "py"),
    ("src/dev/src/main.py", "py"),
    ("src/dev/tests", None),
    ("src/dev/tests/test.py", "py"),
    ("src/dev/api", None),
    ("src/dev/api/__init__.py", "py"),
    ("src/dev/api/app.py", "py"),
]

SKELETON_FILES = {path for path, kind in SKELETON_REPORT if kind}
SKELETON_TREE = SKELETON_FILES | {
    "configs/", "scripts/", "data/", "data/raw/", "data/processed/", "data/tmp/", "data/output/",
    "src/", "src/dev/", "src/dev/src/", "src/dev/src/utils/", "src/dev/tests/", "src/dev/api/",
    "src/prod/", "src/tests/",
}


def project_output(root, prefix, env_prefix):
    """The console lines of main(): the root as printed, the prefix of every
    joined path below it, and the prefix of the two environment lines."""
    lines = [root]
    for path, kind in SKELETON_REPORT:
        lines.append(prefix + path)
        if kind:
            lines += ["filepath: " + prefix + path, "file_type: " + kind]
    return lines + [env_prefix + "prod", env_prefix + "tests"]


# ---- child interpreters ------------------------------------------------------------

ASK_NAME = "输入项目名称: "
ASK_PATH = "输入项目路径："


def confirm_prompt(name):
    return "项目名称: " + name + "。是否确认(y/n?)"


def run_python(code, cwd, stdin="", args=(), env=None):
    child_env = dict(os.environ, PYTHONIOENCODING="utf-8")
    child_env.update(env or {})
    return subprocess.run(
        [sys.executable, *args, "-c", code], input=stdin, capture_output=True, encoding="utf-8",
        cwd=cwd, env=child_env, timeout=300,
    )


# ---- a local HTTP server ---------------------------------------------------------------

BODY = bytes(range(256)) * 40  # 10240 bytes
BIG_BLOCK = hashlib.sha256(b"kelpie").digest() * (1 << 15)  # 1 MiB
BIG_BLOCKS = 64


class HttpHandler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def _send(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        self.server.seen.append(self.path)
        route = urllib.parse.urlsplit(self.path).path
        if route.startswith("/missing"):
            self._send(404, b"not here")
        elif route.startswith("/gzip/"):
            self._send(200, gzip.compress(BODY), [("Content-Encoding", "gzip")])
        elif route.startswith("/redirect/"):
            self._send(302, b"", [("Location", "/files/final.bin")])
        elif route.startswith("/truncated/"):
            self.send_response(200)
            self.send_header("Content-Length", str(len(BODY)))
            self.end_headers()
            self.wfile.write(BODY[:5000])
        elif route == "/big":
            self.send_response(200)
            self.send_header("Content-Length", str(len(BIG_BLOCK) * BIG_BLOCKS))
            self.end_headers()
            for _ in range(BIG_BLOCKS):
                self.wfile.write(BIG_BLOCK)
        else:
            self._send(200, BODY)
