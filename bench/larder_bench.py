"""Larder benchmarks: save_txt, read_json and main(), files in /dev/shm."""

import gc
import hashlib
import io
import json
import os
import random
import shutil
import sys

from glue import outcomes
from harness import Benchmark, side_module


def _file_sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(1 << 20):
            h.update(block)
    return h.hexdigest()


def mixed_elements(n, seed=31337):
    rnd = random.Random(seed)
    out = []
    for i in range(n):
        k = rnd.randrange(20)
        if k < 8:
            out.append(f"line {i} of the file")
        elif k < 10:
            out.append(f"ligne {i} — données ✓")
        elif k < 14:
            out.append(rnd.randrange(-10**9, 10**9))
        elif k < 16:
            out.append(rnd.random() * 1000)
        elif k == 16:
            out.append(None)
        elif k == 17:
            out.append(bool(i & 1))
        elif k == 18:
            out.append((i, "t"))
        else:
            out.append("")
    return out


class _Larder(Benchmark):
    unit = "ms"
    rounds = 7
    context = ("workdir",)
    scratch = None  # a file or directory of each side's own in the work directory, as "name-{side}"

    def __init__(self, side, cfg):
        super().__init__(side, cfg)
        self.mod = side_module(side, "larder")
        if self.scratch:
            self.path = os.path.join(cfg["workdir"], self.scratch.format(side=side))


class SaveTxt(_Larder):
    key = "L-save_txt"
    name = "save_txt 1M elements"
    target = 0.9
    sizes = {"n": (50_000, 1_000_000)}
    scratch = "save-{side}.txt"

    def __init__(self, side, cfg):
        super().__init__(side, cfg)
        self.items = mixed_elements(cfg["n"])

    def output(self):
        save = self.mod.save_txt
        refused = outcomes(lambda: save([], None), lambda: save([], b"x"), lambda: save([]), lambda: save([], "x", 1))
        self.mod.save_txt(self.items, self.path)
        return {"bytes": os.path.getsize(self.path), "sha256": _file_sha256(self.path), "refused": refused}

    def run(self):
        self.mod.save_txt(self.items, self.path)

    def close(self):
        os.remove(self.path)


def write_json_document(path, target_bytes, seed=4242):
    """A JSON array of records with nested containers, about target_bytes long."""
    rnd = random.Random(seed)
    words = ["kelpie", "larder", "courier", "seal", "otter", "kelp", "tide", "reef"]
    with open(path, "w", encoding="utf-8") as f:
        f.write("[")
        size = 1
        i = 0
        while size < target_bytes:
            record = {
                "id": i,
                "name": f"{rnd.choice(words)}-{i}",
                "score": round(rnd.random() * 100, 3),
                "active": bool(i % 3),
                "tags": rnd.sample(words, 3),
                "owner": {"id": rnd.randrange(10**6), "name": rnd.choice(words), "roles": ["r", "w"]},
                "history": [{"t": i + k, "v": k} for k in range(2)],
                "note": None if i % 5 else "ünïcode ✓",
            }
            text = ("," if i else "") + json.dumps(record, ensure_ascii=False)
            f.write(text)
            size += len(text.encode("utf-8"))
            i += 1
        f.write("]")


class ReadJson(_Larder):
    key = "L-read_json"
    name = "read_json 50 MB"
    target = 0.7

    @classmethod
    def configure(cls, ctx):
        path = os.path.join(ctx.workdir, "document.json")
        write_json_document(path, (2 if ctx.quick else 50) * 1000 * 1000)
        return {"path": path}

    def output(self):
        read = self.mod.read_json
        refused = outcomes(lambda: read(None), lambda: read(b"x"), lambda: read(), lambda: read("x", "y"))
        data = read(self.cfg["path"])
        text = json.dumps(data, ensure_ascii=False)
        return {"records": len(data), "sha256": hashlib.sha256(text.encode("utf-8")).hexdigest(), "refused": refused}

    def run(self):
        self.data = self.mod.read_json(self.cfg["path"])
        # The collection of the young generation that the call leaves due is
        # paid by the caller's next allocation: it is counted here, on both
        # sides, by collecting that generation at once.
        gc.collect(0)

    def after_run(self):
        self.data = None


class MainSkeleton(_Larder):
    key = "L-main"
    name = "main() skeleton x200"
    target = 1.0
    sizes = {"count": (20, 200)}
    scratch = "main-{side}"  # a directory, made with the first project in it
    runs = 0

    def output(self):
        main = self.mod.main
        refused = outcomes(lambda: main(None), lambda: main("p", None), lambda: main(), lambda: main("p", "d", "x"))
        root = os.path.join(self.path, "check")
        os.makedirs(root)
        captured = io.StringIO()
        saved = sys.stdout
        sys.stdout = captured
        try:
            self.mod.main("proj", root)
        finally:
            sys.stdout = saved
        tree = []
        for dirpath, dirnames, filenames in os.walk(root):
            dirnames.sort()
            rel = os.path.relpath(dirpath, root)
            tree.append((rel, sorted(filenames), [os.path.getsize(os.path.join(dirpath, n)) for n in sorted(filenames)]))
        shutil.rmtree(root)
        return {"console": captured.getvalue().replace(root, "<dir>"), "tree": tree, "refused": refused}

    def before_run(self):
        self.runs += 1
        self.dir = os.path.join(self.path, f"r{self.runs}")
        os.makedirs(self.dir)
        self.devnull = open(os.devnull, "w")

    def run(self):
        main = self.mod.main
        d = self.dir
        saved = sys.stdout
        sys.stdout = self.devnull
        try:
            for i in range(self.cfg["count"]):
                main(f"proj{i}", d)
            self.devnull.flush()
        finally:
            sys.stdout = saved

    def after_run(self):
        self.devnull.close()
        shutil.rmtree(self.dir)

    def close(self):
        shutil.rmtree(self.path, ignore_errors=True)


LARDER = [SaveTxt, ReadJson, MainSkeleton]
