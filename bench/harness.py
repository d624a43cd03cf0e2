"""Side-by-side timing of kelpie and its plain-Python baseline (tests/model.py).

Every benchmark runs in two worker processes, one per side ("kelpie" and
"baseline"), both pinned to the same CPU so that neither side gets a
different core.  The parent asks each worker to set the benchmark up, compares
the two outputs (and aborts when they differ), runs one warm-up per side and
then alternates timed runs between the sides, round by round, flipping which
side goes first every round.  A worker reports the wall time, the process CPU
time (user + system) and, where asked for, the growth of its peak resident set
during the run.

A benchmark is a subclass of `Benchmark` defined in one of the bench modules;
the worker imports it by module and class name.
"""

import gc
import importlib
import multiprocessing
import os
import re
import statistics
import sys
import time
import traceback
import warnings

SIDES = ("kelpie", "baseline")

# The repository root, for the plain-Python model and the odd argument
# objects the benchmarks share with the tests (the `tests` package).
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)


class Benchmark:
    """One benchmark.  The class attributes describe it; an instance lives in
    a worker and does the work of one side."""

    name = ""  # table label
    target = 1.0  # the ratio kelpie / baseline must stay at or below this
    metrics = ("cpu",)  # one table row per metric; "cpu" or "wall"
    unit = "ms"  # "ns", "us", "ms" or "s" per operation
    ops_key = None  # configuration entry giving the operations per timed run
    rounds = 9  # timed runs per side
    track_rss = False  # measure peak RSS growth during each run
    sizes = {}  # configuration entry -> (its value in a quick run, in a full run)
    context = ()  # attributes of the parent's `ctx` the workers need too ("workdir", "server")

    @classmethod
    def ops_of(cls, cfg):
        """Operations per timed run; the table shows the time per operation."""
        return cfg[cls.ops_key] if cls.ops_key else 1

    @classmethod
    def prepare(cls, ctx):
        """Runs once in the parent before any benchmark starts: returns None,
        or why this benchmark cannot run here (its rows are then left out,
        with a note)."""
        return None

    @classmethod
    def configure(cls, ctx):
        """Runs in the parent: returns the picklable configuration both
        workers receive.  `ctx` has quick, workdir and server (base URL).
        By default: the `sizes` for the kind of run, and the `context`."""
        cfg = {key: quick if ctx.quick else full for key, (quick, full) in cls.sizes.items()}
        cfg.update((name, getattr(ctx, name)) for name in cls.context)
        return cfg

    def __init__(self, side, cfg):
        self.side = side
        self.cfg = cfg

    def output(self):
        """What this side produces, for the comparison before timing."""
        raise NotImplementedError

    def before_run(self):
        """Untimed preparation of one run."""

    def run(self):
        """The timed work."""
        raise NotImplementedError

    def after_run(self):
        """Untimed clean-up after one run."""

    def close(self):
        """Untimed clean-up when the benchmark is done."""


class OutputMismatch(Exception):
    pass


class WorkerError(Exception):
    pass


# ---- inside a worker -----------------------------------------------------------------


def side_module(side, name):
    """The module whose functions a side runs: kelpie.<name> ("courier" or
    "larder"), or for the baseline the functions of both written in plain
    Python as a user would write them (tests/model.py, shared with the
    tests).  The benchmarks put their stand-ins in its module globals."""
    if side == "kelpie":
        quiet_kelpie_import()
        return importlib.import_module("kelpie." + name)
    from tests import model

    return model


def quiet_kelpie_import():
    """kelpie warns when imported into an interpreter other than the one it
    was built for; that is expected here and says nothing about speed."""
    warnings.filterwarnings("ignore", message="compile time Python version", category=RuntimeWarning)


def _status_kib(field):
    with open("/proc/self/status") as f:
        m = re.search(field + r":\s+(\d+) kB", f.read())
    return int(m.group(1)) if m else 0


def reset_peak_rss():
    """Resets the peak resident set (VmHWM) to the current one and returns
    the current one, in KiB."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass
    return _status_kib("VmRSS")


def peak_rss():
    return _status_kib("VmHWM")


def timed_run(bench):
    bench.before_run()
    gc.collect()
    c0 = time.process_time()
    w0 = time.perf_counter()
    bench.run()
    w1 = time.perf_counter()
    c1 = time.process_time()
    bench.after_run()
    return {"wall": w1 - w0, "cpu": c1 - c0}


def load_benchmark(module, cls, side, cfg):
    return getattr(importlib.import_module(module), cls)(side, cfg)


def _worker_main(conn, cpu, side):
    if cpu is not None:
        os.sched_setaffinity(0, {cpu})
    quiet_kelpie_import()
    bench = None
    rss_base = 0
    while True:
        msg = conn.recv()
        cmd = msg[0]
        try:
            reply = None
            if cmd == "setup":
                bench = load_benchmark(msg[1], msg[2], side, msg[3])
                gc.collect()
                rss_base = reset_peak_rss()
            elif cmd == "check":
                reply = bench.output()
            elif cmd == "run":
                reply = timed_run(bench)
            elif cmd == "teardown":
                # the peak resident set since setup: check, warm-up and every run
                reply = (peak_rss() - rss_base) / 1024 if bench is not None else None
                if bench is not None:
                    bench.close()
                bench = None
                gc.collect()
            elif cmd == "quit":
                conn.send(("ok", None))
                return
            conn.send(("ok", reply))
        except BaseException:
            conn.send(("error", traceback.format_exc()))


# ---- in the parent ---------------------------------------------------------------------


class Workers:
    """The two worker processes, one per side, on `cpu`."""

    def __init__(self, cpu):
        ctx = multiprocessing.get_context("spawn")
        self.conns = {}
        self.procs = {}
        for side in SIDES:
            parent, child = ctx.Pipe()
            p = ctx.Process(target=_worker_main, args=(child, cpu, side), name=f"bench-{side}", daemon=True)
            p.start()
            child.close()
            self.conns[side] = parent
            self.procs[side] = p

    def call(self, side, *msg):
        conn = self.conns[side]
        conn.send(msg)
        try:
            status, reply = conn.recv()
        except EOFError:
            raise WorkerError(f"the {side} worker died (exit code {self.procs[side].exitcode})") from None
        if status != "ok":
            raise WorkerError(f"the {side} worker failed on {msg[0]!r}:\n{reply}")
        return reply

    def close(self):
        for side in SIDES:
            try:
                self.conns[side].send(("quit",))
                self.conns[side].recv()
            except (OSError, EOFError):
                pass
            self.procs[side].join(5)
            if self.procs[side].is_alive():
                self.procs[side].kill()
                self.procs[side].join()


def _short(value, limit=600):
    text = repr(value)
    return text if len(text) <= limit else text[:limit] + "..."


def measure(bench_cls, cfg, workers, rounds, progress=None):
    """Checks both outputs, then times both sides alternately.  Returns
    {side: [sample, ...]} with one sample dict per timed run, and
    {side: peak RSS growth in MiB from setup to the end}."""
    where = (bench_cls.__module__, bench_cls.__name__)
    try:
        for side in SIDES:
            workers.call(side, "setup", *where, cfg)
        outputs = {side: workers.call(side, "check") for side in SIDES}
        if outputs["kelpie"] != outputs["baseline"]:
            raise OutputMismatch(
                f"{bench_cls.name}: kelpie and the baseline produce different output\n"
                f"  kelpie:   {_short(outputs['kelpie'])}\n"
                f"  baseline: {_short(outputs['baseline'])}"
            )
        for side in SIDES:  # warm-up, discarded
            workers.call(side, "run")
        samples = {side: [] for side in SIDES}
        for r in range(rounds):
            order = SIDES if r % 2 == 0 else SIDES[::-1]
            for side in order:
                samples[side].append(workers.call(side, "run"))
            if progress:
                progress(r + 1, rounds)
    finally:
        growth = {}
        for side in SIDES:
            try:
                growth[side] = workers.call(side, "teardown")
            except WorkerError:
                pass
    return samples, growth


# ---- the table -------------------------------------------------------------------------

_UNIT_SCALE = {"ns": 1e9, "us": 1e6, "ms": 1e3, "s": 1.0}


def _fmt(v):
    if v >= 100:
        return f"{v:.0f}"
    if v >= 10:
        return f"{v:.1f}"
    return f"{v:.2f}"


def summarize(bench_cls, cfg, samples):
    """Rows of the table for one benchmark: one per metric."""
    rows = []
    ops = bench_cls.ops_of(cfg)
    scale = _UNIT_SCALE[bench_cls.unit] / ops
    for metric in bench_cls.metrics:
        vals = {side: [s[metric] * scale for s in samples[side]] for side in SIDES}
        med = {side: statistics.median(vals[side]) for side in SIDES}
        ratio = med["kelpie"] / med["baseline"] if med["baseline"] > 0 else float("inf")
        # the runs of one round are next to each other in time: the median of
        # the per-round ratios is less sensitive to drift in the machine's load
        paired = statistics.median(k / b for k, b in zip(vals["kelpie"], vals["baseline"]) if b > 0)
        rows.append(
            {
                "name": bench_cls.name,
                "metric": metric,
                "unit": bench_cls.unit + ("/op" if bench_cls.ops_key else ""),
                "kelpie": med["kelpie"],
                "baseline": med["baseline"],
                "ratio": ratio,
                "paired": paired,
                "kelpie_range": (min(vals["kelpie"]), max(vals["kelpie"])),
                "baseline_range": (min(vals["baseline"]), max(vals["baseline"])),
                "target": bench_cls.target,
                "ok": ratio <= bench_cls.target,
                "rounds": len(vals["kelpie"]),
            }
        )
    return rows


def format_table(rows):
    head = ["benchmark", "metric", "unit", "kelpie", "baseline", "ratio", "paired", "kelpie min–max",
            "baseline min–max", "target", "result"]
    lines = []
    for r in rows:
        lines.append(
            [
                r["name"],
                r["metric"],
                r["unit"],
                _fmt(r["kelpie"]),
                _fmt(r["baseline"]),
                f"{r['ratio']:.3f}",
                f"{r['paired']:.3f}",
                f"{_fmt(r['kelpie_range'][0])}–{_fmt(r['kelpie_range'][1])}",
                f"{_fmt(r['baseline_range'][0])}–{_fmt(r['baseline_range'][1])}",
                f"≤ {r['target']:g}" if r["target"] is not None else "-",
                "-" if r["target"] is None else "OK" if r["ok"] else "MISS",
            ]
        )
    widths = [max(len(h), *(len(l[i]) for l in lines)) if lines else len(h) for i, h in enumerate(head)]
    numeric = {3, 4, 5, 6}

    def fmt_line(cells):
        return "  ".join(c.rjust(w) if i in numeric else c.ljust(w) for i, (c, w) in enumerate(zip(cells, widths)))

    out = [fmt_line(head), "  ".join("-" * w for w in widths)]
    out += [fmt_line(l) for l in lines]
    return "\n".join(out)


def client_and_server_cpus(requested=None):
    cpus = sorted(os.sched_getaffinity(0))
    client = requested if requested is not None else cpus[-1]
    others = [c for c in cpus if c != client]
    server = others[0] if others else client
    return client, server


def eprint(*a):
    print(*a, file=sys.stderr, flush=True)
