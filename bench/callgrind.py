"""Instruction counts of the glue benchmarks under callgrind.

Each side runs once in its own process under ``valgrind --tool=callgrind``
with collection off; a tiny helper library (compiled on the spot from
valgrind's callgrind.h) switches collection on just around one timed run,
after a warm-up run, so the counts hold only the benchmark's work.  The
output files stay in the work directory for ``callgrind_annotate``.
"""

import ctypes
import json
import os
import re
import shutil
import subprocess
import sys

HELPER_SOURCE = """
#include <valgrind/callgrind.h>
void bench_toggle_collect(void) { CALLGRIND_TOGGLE_COLLECT; }
"""


def build_helper(workdir):
    src = os.path.join(workdir, "cg_toggle.c")
    lib = os.path.join(workdir, "cg_toggle.so")
    with open(src, "w") as f:
        f.write(HELPER_SOURCE)
    cc = shutil.which("cc") or shutil.which("gcc")
    if not cc:
        raise SystemExit("--callgrind needs a C compiler (cc) and valgrind's headers")
    subprocess.run([cc, "-O2", "-shared", "-fPIC", "-o", lib, src], check=True)
    return lib


def total_instructions(path):
    with open(path) as f:
        text = f.read()
    m = re.search(r"^(?:totals|summary):\s+(\d+)", text, re.M)
    if not m:
        raise RuntimeError(f"no instruction total in {path}")
    return int(m.group(1))


def run_pair(bench_cls, cfg, workdir, helper, cpus):
    """Both sides of one benchmark under callgrind, side by side; returns
    {side: (instructions, output file)}."""
    procs = {}
    outs = {}
    env = dict(os.environ, PYTHONHASHSEED="0")
    for i, side in enumerate(("kelpie", "baseline")):
        out = os.path.join(workdir, f"callgrind.{bench_cls.key}.{side}.out")
        outs[side] = out
        cmd = [
            "valgrind", "--tool=callgrind", "--dump-instr=no", "--collect-atstart=no",
            f"--callgrind-out-file={out}", sys.executable, os.path.abspath(__file__), "--inside",
            bench_cls.__module__, bench_cls.__name__, side, json.dumps(cfg), helper,
        ]
        cpu = cpus[i % len(cpus)]
        procs[side] = subprocess.Popen(
            cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            preexec_fn=lambda c=cpu: os.sched_setaffinity(0, {c}),
        )
    result = {}
    for side, p in procs.items():
        stdout, stderr = p.communicate()
        if p.returncode != 0:
            raise RuntimeError(f"callgrind run of {bench_cls.key} ({side}) failed:\n{stderr[-3000:]}")
        result[side] = (total_instructions(outs[side]), outs[side])
    return result


def _inside(module, cls, side, cfg_json, helper):
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from harness import load_benchmark, quiet_kelpie_import

    quiet_kelpie_import()
    toggle = ctypes.CDLL(helper).bench_toggle_collect
    bench = load_benchmark(module, cls, side, json.loads(cfg_json))
    bench.output()
    bench.before_run()
    bench.run()  # warm-up, not collected
    bench.after_run()
    bench.before_run()
    toggle()
    bench.run()
    toggle()
    bench.after_run()
    bench.close()


if __name__ == "__main__" and len(sys.argv) > 1 and sys.argv[1] == "--inside":
    _inside(*sys.argv[2:7])
