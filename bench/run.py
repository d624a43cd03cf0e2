"""Runs the kelpie benchmarks and prints one table.

    python bench/run.py                 every benchmark (a few minutes)
    python bench/run.py --quick         a short smoke run at small sizes
    python bench/run.py --only G2 --only E1-c50
                                        benchmarks whose key starts with NAME,
                                        or a whole group: glue, e2e, larder, inflight
    python bench/run.py --callgrind     instruction counts of the glue benchmarks
    python bench/run.py --callgrind --cache-sim
                                        and a second table from valgrind's cache and
                                        branch simulation: I1 and LL instruction misses,
                                        mispredicted branches, instruction cache lines run
    python bench/run.py --list          the benchmark keys
    python bench/run.py --check         exit status 1 when a row misses its target

Each row compares kelpie with the plain-Python baseline doing the same work:
medians over alternating runs, their ratio (kelpie / baseline; OK/MISS is
judged on it), the median of the per-round ratios ("paired"), the min–max of
each side and the target ratio.  "cpu" is the worker's process CPU time (user
+ system), "wall" the elapsed time.

The inflight group (inflight.py) has a table of its own: the memory each call
costs while it is suspended mid-flight, traced bytes and resident set growth
per call, each side in fresh processes; its target is on the traced bytes.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import types

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import floor  # noqa: E402
import harness  # noqa: E402
import inflight  # noqa: E402
from e2e import E2E  # noqa: E402
from glue import GLUE  # noqa: E402
from larder_bench import LARDER  # noqa: E402

INFLIGHT = inflight.INFLIGHT
GROUPS = {"glue": GLUE, "e2e": E2E, "larder": LARDER, "inflight": INFLIGHT}
ALL = GLUE + E2E + LARDER + INFLIGHT


def select(only):
    if not only:
        return list(ALL)
    chosen = []
    for cls in ALL:
        group = next(g for g, members in GROUPS.items() if cls in members)
        for name in only:
            n = name.lower()
            if n == group or cls.key.lower().startswith(n):
                chosen.append(cls)
                break
    if not chosen:
        raise SystemExit(f"no benchmark matches {only}; see --list")
    return chosen


def runnable(benchmarks, ctx):
    """The benchmarks that can run here: each one's prepare(ctx) (run once,
    in the parent) may give a reason to leave it out, printed as a note."""
    kept = []
    for cls in benchmarks:
        prepare = getattr(cls, "prepare", None)
        missing = prepare(ctx) if prepare is not None else None
        if missing:
            print(f"note: {cls.name} left out: {missing}", flush=True)
        else:
            kept.append(cls)
    if benchmarks and not kept:
        raise SystemExit("no benchmark left to run")
    return kept


class Server:
    """server.py in its own process, pinned to `cpu`."""

    def __init__(self, cpu):
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "server.py"), "--cpu", str(cpu)],
            stdout=subprocess.PIPE, text=True,
        )
        line = self.proc.stdout.readline()
        if not line.startswith("port "):
            self.close()
            raise SystemExit("the benchmark server did not start")
        self.url = f"http://127.0.0.1:{int(line.split()[1])}"

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def run_timed(benchmarks, args, ctx, client_cpu, server_cpu):
    rows = []
    rss = []
    server = None
    workers = None
    started = time.monotonic()
    try:
        for cls in benchmarks:
            if cls in E2E and server is None:
                server = Server(server_cpu)
                ctx.server = server.url
            t0 = time.monotonic()
            harness.eprint(f"[{cls.key}] {cls.name} ...")
            cfg = cls.configure(ctx)
            if workers is None or not args.quick:
                if workers is not None:
                    workers.close()
                workers = harness.Workers(client_cpu)
            rounds = args.rounds or (2 if args.quick else cls.rounds)
            samples, growth = harness.measure(cls, cfg, workers, rounds)
            new_rows = harness.summarize(cls, cfg, samples)
            rows += new_rows
            for r in new_rows:
                harness.eprint(
                    f"    {r['metric']}: kelpie {r['kelpie']:.4g} {r['unit']}, baseline {r['baseline']:.4g} "
                    f"{r['unit']}, ratio {r['ratio']:.3f} ({'OK' if r['ok'] else 'MISS'}), "
                    f"{time.monotonic() - t0:.1f} s"
                )
            if cls.track_rss:
                rss.append((cls, growth))
    finally:
        if workers is not None:
            workers.close()
        if server is not None:
            server.close()

    print()
    if args.quick:
        print("(--quick: reduced sizes and two rounds; the names give the full sizes)")
    print(harness.format_table(rows))
    if rss:
        print()
        print("Peak RSS growth of each worker from set-up to the end of its runs (limit 32 MiB):")
        for cls, growth in rss:
            verdict = "OK" if max(growth.values()) < 32 else "MISS"
            print(
                f"  {cls.name:28} kelpie {growth['kelpie']:6.1f} MiB   baseline {growth['baseline']:6.1f} MiB   "
                f"{verdict}"
            )
    missed = [r for r in rows if not r["ok"]]
    print()
    print(
        f"{len(rows) - len(missed)} of {len(rows)} rows within target; client CPU {client_cpu}, server CPU "
        f"{server_cpu}; {time.monotonic() - started:.0f} s"
    )
    return len(missed)


def own_module(cfg, side):
    """What the path of the side's own extension module contains: kelpie's
    courier, or the floor module in the floor row; None for the baseline."""
    if side != "kelpie":
        return None
    return floor.NAME if "floor" in cfg else "kelpie/courier"


def is_interpreter(path):
    """libpython, or the python executable when the interpreter is linked
    into it."""
    return re.match(r"(lib)?python\d", os.path.basename(path or "")) is not None


def cache_figures(cls, cfg, outs):
    """Per side: I1 misses, LL instruction misses, mispredicted branches (all
    per operation, None when not collected), then the distinct instruction
    cache lines run in the side's own module (None: it has none) and in the
    interpreter, over the whole collected run."""
    import callgrind

    ops = cls.ops_of(cfg)
    figures = {}
    for side in harness.SIDES:
        prof = callgrind.read_profile(outs[side])
        per_op = [prof.total(*events) for events in (("I1mr",), ("ILmr",), ("Bcm", "Bim"))]
        own = own_module(cfg, side)
        figures[side] = (
            *(None if v is None else v / ops for v in per_op),
            None if own is None else prof.code_lines(lambda path: own in (path or "")),
            prof.code_lines(is_interpreter),
        )
        if side == "kelpie" and own is not None:
            figures["parts"] = [(ir / ops, fn) for ir, fn in prof.own_ir(lambda path: own in (path or ""))]
    return figures


def print_cache_table(rows):
    def num(v, fmt):
        return "-" if v is None else format(v, fmt)

    print()
    print("Cache and branch simulation (valgrind --cache-sim=yes --branch-sim=yes): misses per operation;")
    print("the lines columns count the distinct 64-byte instruction cache lines executed over the whole")
    print("collected run of `ops` operations (not per operation), in the side's own extension module")
    print("(kelpie's courier, the floor module in the floor row) and in the interpreter (libpython or python).")
    print(
        f"{'benchmark':32} {'side':8} {'ops':>6} {'I1mr/op':>9} {'ILmr/op':>9} {'Bcm+Bim/op':>11} "
        f"{'module lines (run)':>19} {'python lines (run)':>19}"
    )
    for cls, ops, figures in rows:
        for i, side in enumerate(harness.SIDES):
            i1, il, bm, own, py = figures[side]
            print(
                f"{cls.name if i == 0 else '':32} {side:8} {ops if i == 0 else '':>6} {num(i1, '.2f'):>9} "
                f"{num(il, '.2f'):>9} {num(bm, '.2f'):>11} {num(own, ','):>19} {num(py, ','):>19}"
            )
    # Where the native side's own instructions go: each function of its
    # module (what it calls in the interpreter not included), per operation.
    for cls, ops, figures in rows:
        parts = figures.get("parts")
        if not parts:
            continue
        print()
        print(f"{cls.name}: the kelpie side's own instructions per operation, by function of its module")
        total = sum(ir for ir, _ in parts)
        for ir, fn in parts:
            if ir >= 1:
                print(f"  {ir:8,.0f}  {fn[:100]}")
        print(f"  {total:8,.0f}  in all")


def run_callgrind(benchmarks, ctx, client_cpu, server_cpu, cache_sim=False):
    import callgrind

    glue = [cls for cls in benchmarks if cls in GLUE]
    if not glue:
        raise SystemExit("--callgrind applies to the glue benchmarks (G1-G4)")
    if not shutil.which("valgrind"):
        raise SystemExit("--callgrind needs valgrind")
    ctx.callgrind = True
    outdir = os.path.join(ctx.workdir, "callgrind")
    os.makedirs(outdir)
    helper = callgrind.build_helper(outdir)
    keep = "/dev/shm/kelpie-bench-callgrind"
    shutil.rmtree(keep, ignore_errors=True)
    os.makedirs(keep)
    lines = []
    cache_rows = []
    missed = 0
    for cls in glue:
        harness.eprint(f"[{cls.key}] under callgrind ...")
        cfg = cls.configure(ctx)
        result = callgrind.run_pair(cls, cfg, outdir, helper, [client_cpu, server_cpu], cache_sim=cache_sim)
        ops = cls.ops_of(cfg)
        k, b = result["kelpie"][0] / ops, result["baseline"][0] / ops
        for side in harness.SIDES:
            shutil.copy(result[side][1], keep)
        lines.append((cls, k, b))
        if cache_sim:
            outs = {side: result[side][1] for side in harness.SIDES}
            cache_rows.append((cls, ops, cache_figures(cls, cfg, outs)))
    print()
    print(f"{'benchmark':32} {'kelpie Ir/op':>14} {'baseline Ir/op':>15} {'ratio':>7}  target  result")
    for cls, k, b in lines:
        ratio = k / b
        missed += ratio > cls.target
        print(
            f"{cls.name:32} {k:14,.0f} {b:15,.0f} {ratio:7.3f}  ≤ {cls.target:<5g} "
            f"{'OK' if ratio <= cls.target else 'MISS'}"
        )
    if cache_sim:
        print_cache_table(cache_rows)
    print()
    print(f"callgrind output files: {keep}/callgrind.<key>.<side>.out")
    print(f"  e.g. callgrind_annotate --inclusive=yes {keep}/callgrind.G2-json.kelpie.out | head -40")
    return missed


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small sizes, two rounds: a smoke run")
    parser.add_argument("--only", action="append", metavar="NAME", help="key prefix or group (repeatable)")
    parser.add_argument("--callgrind", action="store_true", help="instruction counts of G1-G4 under callgrind")
    parser.add_argument(
        "--cache-sim", action="store_true",
        help="with --callgrind: cache and branch simulation, instruction cache lines run",
    )
    parser.add_argument("--rounds", type=int, help="timed runs per side (default per benchmark)")
    parser.add_argument("--cpu", type=int, help="the CPU of both client workers (the server takes another)")
    parser.add_argument("--list", action="store_true", help="list the benchmarks and exit")
    parser.add_argument("--check", action="store_true", help="exit with status 1 when any row misses its target")
    args = parser.parse_args(argv)
    if args.cache_sim and not args.callgrind:
        parser.error("--cache-sim goes with --callgrind")

    if args.list:
        for cls in ALL:
            print(f"{cls.key:15} {cls.name:32} target ≤ {cls.target:g}")
        return 0
    benchmarks = select(args.only)
    if args.callgrind and not args.only:
        benchmarks = list(GLUE)
    client_cpu, server_cpu = harness.client_and_server_cpus(args.cpu)
    workdir = tempfile.mkdtemp(prefix="kelpie-bench-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    ctx = types.SimpleNamespace(quick=args.quick, callgrind=False, workdir=workdir, server=None)
    try:
        benchmarks = runnable(benchmarks, ctx)
        if args.callgrind:
            missed = run_callgrind(benchmarks, ctx, client_cpu, server_cpu, cache_sim=args.cache_sim)
        else:
            timed = [cls for cls in benchmarks if cls not in INFLIGHT]
            missed = run_timed(timed, args, ctx, client_cpu, server_cpu) if timed else 0
            held = [case for case in benchmarks if case in INFLIGHT]
            if held:
                missed += inflight.run(held, quick=args.quick, rounds=args.rounds)
        return 1 if args.check and missed else 0
    except (harness.OutputMismatch, harness.WorkerError) as e:
        print(f"\nABORTED: {e}", file=sys.stderr)
        return 2
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
