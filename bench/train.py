"""The training run of a profile-guided build of kelpie.

    python bench/train.py               every training drive (about a minute)
    python bench/train.py --rounds 1    each drive once

Runs kelpie's side of the glue, end-to-end and larder benchmarks in this
process, at their quick sizes: the drives whose speed the benchmarks judge
are the paths the profile should favour.  Nothing is timed or compared; an
instrumented build (`-Ccmake.define.KELPIE_PGO=generate`, see .ci/pythons)
writes its counts when this process exits.  The benchmark server of the
end-to-end drives runs in a process of its own, as in run.py.
"""

import argparse
import os
import shutil
import sys
import tempfile
import types

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import harness  # noqa: E402
from e2e import E2E  # noqa: E402
from glue import GLUE, G2Floor  # noqa: E402
from larder_bench import LARDER  # noqa: E402
from run import Server  # noqa: E402

# The floor row is hand-written C, not kelpie: nothing of kelpie's to train.
DRIVES = [cls for cls in GLUE + E2E + LARDER if cls is not G2Floor]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3, help="runs of each drive (default 3)")
    args = parser.parse_args(argv)

    harness.quiet_kelpie_import()
    workdir = tempfile.mkdtemp(prefix="kelpie-train-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    ctx = types.SimpleNamespace(quick=True, callgrind=False, workdir=workdir, server=None)
    server = None
    try:
        for cls in DRIVES:
            missing = cls.prepare(ctx)
            if missing:
                raise SystemExit(f"training drive {cls.key} cannot run here: {missing}")
            if cls in E2E and server is None:
                server = Server(harness.client_and_server_cpus()[1])
                ctx.server = server.url
            bench = cls("kelpie", cls.configure(ctx))
            try:
                bench.output()
                for _ in range(args.rounds):
                    harness.timed_run(bench)
            finally:
                bench.close()
            print(f"train: {cls.key}", flush=True)
    finally:
        if server is not None:
            server.close()
        shutil.rmtree(workdir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
