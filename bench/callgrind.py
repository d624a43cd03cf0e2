"""Instruction counts of the glue benchmarks under callgrind.

Each side runs once in its own process under ``valgrind --tool=callgrind``
with collection off; a tiny helper library (compiled on the spot from
valgrind's callgrind.h) switches collection on just around one timed run,
after a warm-up run, so the counts hold only the benchmark's work.  The
output files stay in the work directory for ``callgrind_annotate``.

With ``cache_sim`` valgrind also simulates the caches and the branch
predictor and writes a cost line per instruction (``--dump-instr=yes``);
`read_profile` reads such a file back: the totals of every event, and the
instruction addresses executed in each object and function, from which
`code_lines` counts the distinct instruction cache lines a run touched.
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


CACHE_SIM = ("--dump-instr=yes", "--cache-sim=yes", "--branch-sim=yes")


def run_pair(bench_cls, cfg, workdir, helper, cpus, cache_sim=False):
    """Both sides of one benchmark under callgrind, side by side; returns
    {side: (instructions, output file)}.  With cache_sim the files also hold
    the cache and branch events and a cost line per instruction."""
    procs = {}
    outs = {}
    env = dict(os.environ, PYTHONHASHSEED="0")
    for i, side in enumerate(("kelpie", "baseline")):
        out = os.path.join(workdir, f"callgrind.{bench_cls.key}.{side}.out")
        outs[side] = out
        cmd = [
            "valgrind", "--tool=callgrind", *(CACHE_SIM if cache_sim else ("--dump-instr=no",)),
            "--collect-atstart=no",
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


LINE_BYTES = 64  # an instruction cache line


class Profile:
    """One callgrind output file read back (see `read_profile`)."""

    def __init__(self, events, totals, addresses, self_ir, function_ir):
        self.events = events  # the names of the `events:` line, in order
        self.totals = totals  # {event: total of the run}
        self.addresses = addresses  # {(object, function): {instruction address}}
        self.self_ir = self_ir  # Ir summed over the cost lines, for a consistency check
        self.function_ir = function_ir  # {(object, function): its own Ir over the run}

    def own_ir(self, matches):
        """[(Ir, function)] of the functions in the objects whose path
        satisfies matches(path), most first: their own instructions, without
        what they call."""
        found = [(ir, fn) for (obj, fn), ir in self.function_ir.items() if matches(obj)]
        return sorted(found, reverse=True)

    def total(self, *events):
        """The sum of the totals of events; None when one of them was not
        collected."""
        if any(e not in self.totals for e in events):
            return None
        return sum(self.totals[e] for e in events)

    def code_lines(self, matches):
        """The distinct instruction cache lines executed in the objects whose
        path satisfies matches(path), counted by the first byte of each
        instruction.  The addresses are the objects' own (callgrind subtracts
        the load offset), which keeps their alignment: objects are mapped at
        page boundaries."""
        lines = set()
        for (obj, _fn), addrs in self.addresses.items():
            if matches(obj):
                lines.update(a // LINE_BYTES for a in addrs)
        return len(lines)


def _compressed_name(value, names):
    """A position name as written, "(id) name", "(id)" or "name" (a name never
    starts with "(" and a digit), with the ids defined so far in names."""
    if value[:1] == "(" and value[1:2].isdigit():
        close = value.index(")")
        ident, rest = value[1:close], value[close + 1 :].strip()
        if rest:
            names[ident] = rest
            return rest
        return names[ident]
    return value


def read_profile(path):
    """Reads a callgrind output file written with --dump-instr=yes.

    A cost line starts with its positions (`positions: instr line`: the
    instruction address, then the source line), each absolute ("0x..." or
    decimal), relative to the same column of the last cost line ("+N",
    "-N") or the same ("*"), followed by the counts in the order of the
    `events:` line (missing trailing counts are zero).  `ob=` and `fn=` name
    the object and function of the following cost lines; the names may be
    compressed to "(id) name" once and "(id)" after, one table for ob/cob,
    one for fn/cfn.  A `calls=` line (its target position does not move the
    reference of relative positions) is followed by a cost line at the call
    instruction holding the call's inclusive cost: that line moves the
    reference but is not executed code of its own.  Neither are
    position-only lines (after `jump=`/`jcnd=`) nor lines without Ir.  Only
    addresses with Ir of their own are kept: the call instruction itself
    always has a self cost line too, while a call line can also stand for a
    frame that was already on the stack when collection started and whose
    call ran before it."""
    events = totals = ir_col = None
    positions = ["line"]  # without a positions: line
    objects, functions = {}, {}
    obj = fn = None
    addresses = {}
    function_ir = {}
    last = 0
    call_cost = False
    self_ir = 0
    with open(path) as f:
        for raw in f:
            c = raw[:1]
            if c in "0123456789+-*":
                if ir_col is None:
                    if positions[:1] != ["instr"]:
                        raise RuntimeError(f"{path} has no instruction addresses (written without --dump-instr=yes)")
                    if events is None or "Ir" not in events:
                        raise RuntimeError(f"{path}: no Ir in the events: line before the first cost line")
                    ir_col = len(positions) + events.index("Ir")
                parts = raw.split()
                pos = parts[0]
                if pos[0] in "+-":
                    last += int(pos, 0)
                elif pos != "*":
                    last = int(pos, 0)
                if call_cost:
                    call_cost = False
                elif len(parts) > ir_col:
                    ir = int(parts[ir_col])
                    if ir:
                        self_ir += ir
                        key = (obj, fn)
                        function_ir[key] = function_ir.get(key, 0) + ir
                        if key not in addresses:
                            addresses[key] = set()
                        addresses[key].add(last)
            elif raw.startswith(("calls=", "jump=", "jcnd=")):
                call_cost = c == "c"
            elif raw.startswith(("ob=", "cob=")):
                name = _compressed_name(raw.split("=", 1)[1].strip(), objects)
                if c == "o":
                    obj = name
            elif raw.startswith(("fn=", "cfn=")):
                name = _compressed_name(raw.split("=", 1)[1].strip(), functions)
                if c == "f":
                    fn = name
            elif raw.startswith("events:"):
                events = raw.split(":", 1)[1].split()
                ir_col = None
            elif raw.startswith("positions:"):
                positions = raw.split(":", 1)[1].split()
                ir_col = None
            elif raw.startswith(("summary:", "totals:")) and totals is None:
                totals = [int(v) for v in raw.split(":", 1)[1].split()]
    if events is None or totals is None:
        raise RuntimeError(f"no events: or summary:/totals: line in {path}")
    totals = dict(zip(events, totals + [0] * (len(events) - len(totals))))
    return Profile(events, totals, addresses, self_ir, function_ir)


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
