"""The floor under the G2 JSON row: floor.c, the JSON-mode call written by
hand in C against the CPython C API, built on the spot for the interpreter
running the benchmarks.

`prepare(ctx)` compiles it once per run, in the parent, into the run's work
directory; the workers get the path of the built module in their
configuration and `load(path)` imports it from there.
"""

import importlib.machinery
import importlib.util
import os
import shutil
import subprocess
import sysconfig

NAME = "_kelpie_floor"
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "floor.c")


def build(workdir):
    """Compiles floor.c into workdir; returns (path of the module, None), or
    (None, why it cannot be built here)."""
    cc = shutil.which("cc") or shutil.which("gcc")
    if not cc:
        return None, "no C compiler (cc) found"
    paths = sysconfig.get_paths()
    includes = list(dict.fromkeys([paths["include"], paths["platinclude"]]))
    if not os.path.isfile(os.path.join(includes[0], "Python.h")):
        return None, f"no Python.h in {includes[0]}"
    outdir = os.path.join(workdir, "floor")
    os.makedirs(outdir, exist_ok=True)
    lib = os.path.join(outdir, NAME + sysconfig.get_config_var("EXT_SUFFIX"))
    # NDEBUG as for any release build of an extension: without it the
    # interpreter's headers compile their assertions into the module
    cmd = [cc, "-O2", "-DNDEBUG", "-shared", "-fPIC", *(f"-I{d}" for d in includes), "-o", lib, SOURCE]
    done = subprocess.run(cmd, capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"building {SOURCE} failed:\n{' '.join(cmd)}\n{done.stderr[-3000:]}")
    return lib, None


def prepare(ctx):
    """Builds the module once per run (ctx.floor: its path, None when it could
    not be built); returns None, or why the floor rows cannot run."""
    if not hasattr(ctx, "floor"):
        ctx.floor, ctx.floor_missing = build(ctx.workdir)
    return ctx.floor_missing


def load(path):
    """The module built at path."""
    loader = importlib.machinery.ExtensionFileLoader(NAME, path)
    spec = importlib.util.spec_from_file_location(NAME, path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module
