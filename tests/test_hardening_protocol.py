"""kelpie's coroutines and asynchronous generators against the same code
written with async def, driven by hand through the same call sequences,
wrong ones included: every answer, exception, message, warning and
unraisable error compared, and every suspended body freed by the collector
whatever object a reference cycle goes through.

The drives run in child interpreters, so that a crash fails the test with
its output instead of ending the run."""

import gc
import inspect
import itertools
import random
import re
import sys
import warnings
import weakref

import pytest

from tests.hardening_support import run_child
from tests.protocol_world import Boom, Side, outcome, world_for

ASYNC_GEN_FUNCTIONS = ["chunks", "sse", "stream-404"]
COROUTINE_FUNCTIONS = ["call", "call-form", "call-404", "llm"]
FLAVOURS = ["await", "gencoro", "native"]


class Observed:
    """Warnings and unraisable errors while a drive runs, names of
    functions masked (the plain models' coroutines have other names)."""

    def __enter__(self):
        self.items = []
        self.saved_hook = sys.unraisablehook
        sys.unraisablehook = lambda u: self.items.append(("unraisable", type(u.exc_value).__name__,
                                                          str(u.exc_value)))
        self.catcher = warnings.catch_warnings(record=True)
        self.caught = self.catcher.__enter__()
        warnings.simplefilter("always")
        return self

    def __exit__(self, *exc):
        gc.collect()
        self.catcher.__exit__(*exc)
        sys.unraisablehook = self.saved_hook
        self.items += [("warning", w.category.__name__, re.sub(r"'[^']*'", "'f'", str(w.message)))
                       for w in self.caught]


def introspected(obj):
    """What inspect and asyncio's reprs read off a coroutine or an
    asynchronous generator."""
    if hasattr(obj, "cr_frame"):
        state = inspect.getcoroutinestate(obj)
        return (state, type(obj.cr_await).__name__, obj.cr_frame is None, type(obj.cr_code).__name__,
                obj.cr_running, getattr(obj, "cr_suspended", None), obj.cr_origin)
    state = inspect.getasyncgenstate(obj) if hasattr(inspect, "getasyncgenstate") else None
    return (state, type(obj.ag_await).__name__, obj.ag_frame is None, type(obj.ag_code).__name__, obj.ag_running,
            getattr(obj, "ag_suspended", None))


def driven(side_name, world, body, *kept):
    """Runs body(side, out), which makes one object, drives it (appending
    what each step gave to out) and returns it; then the object must be
    freed once the last reference to it is dropped.  The steps, what `kept`
    holds, the world's log and what was observed."""
    out = []
    with Observed() as seen, Side(side_name, world) as side:
        obj = body(side, out)
        world.hooks.clear()
        world.objects.clear()  # an exception kept there may reach the driver's frames
        ref = weakref.ref(obj)
        del obj
        gc.collect()
        out.append(("freed", ref() is None))
    return out + [*kept, world.log, seen.items]


def handling(op):
    """op() while the driver handles an exception of its own, which what is
    raised may take as its context."""
    def run(obj):
        try:
            raise LookupError("the driver's")
        except LookupError:
            return op(obj)

    return run


def drain(send, out, limit=12):
    """Sends None until the object answers with anything but a value (while
    the driver handles an exception)."""
    for _ in range(limit):
        r = outcome(lambda: handling(lambda _: send())(None))
        out.append(r)
        if r[0] != "ok":
            return


# ---- asynchronous generators: two step objects of one generator ---------------------------------------------

STEP_KINDS = {
    "anext": lambda g: g.__anext__(),
    "asend": lambda g: g.asend("v"),
    "athrow": lambda g: g.athrow(Boom("athrown")),
    "aclose": lambda g: g.aclose(),
}
STEP_OPS = {
    "send": lambda s: s.send(None),
    "throw": lambda s: s.throw(Boom("thrown")),
    "close": lambda s: s.close(),
}
STEP_OPS["throw-handling"] = handling(STEP_OPS["throw"])
PAIR_OPS = [(which, op) for which in (0, 1) for op in STEP_OPS]


def pair_drive(side_name, function, prelude, kinds, ops, flavour="await", ending="aclose"):
    """ending "aclose": the generator is closed to the end; "aclose dropped":
    the loop's hooks are installed, and aclose() is advanced once (into the
    exits of the contexts) and dropped, then the generator is dropped."""
    def body(side, out):
        if ending == "aclose dropped":
            saved = sys.get_asyncgen_hooks()
            sys.set_asyncgen_hooks(firstiter=lambda g: out.append("firstiter"),
                                   finalizer=lambda g: out.append("finalizer"))
        agen = side.make(function)
        if prelude == "parked":
            first = agen.__anext__()
            drain(lambda: first.send(None), out)
            del first
        steps = [STEP_KINDS[k](agen) for k in kinds]
        for which, op in ops:
            out.append(outcome(lambda: STEP_OPS[op](steps[which])))
            out.append(introspected(agen))
        for step in steps:
            drain(lambda: step.send(None), out)
        closing = agen.aclose()
        if ending == "aclose dropped":
            out.append(outcome(lambda: closing.send(None)))
            del closing
            sys.set_asyncgen_hooks(*saved)
        else:
            drain(lambda: closing.send(None), out)
        return agen

    return driven(side_name, world_for(function, flavour=flavour), body)


def pair_cases():
    for prelude in ("fresh", "parked"):
        for kinds in itertools.product(STEP_KINDS, repeat=2):
            for n in (1, 2, 3):
                for ops in itertools.product(PAIR_OPS, repeat=n):
                    yield ("chunks", prelude, kinds, ops)
        for function, flavour in itertools.product(ASYNC_GEN_FUNCTIONS, FLAVOURS):
            yield (function, prelude, (), (), flavour, "aclose dropped")


# ---- coroutines: sequences of send/throw/close ------------------------------------------------------------------

CORO_OPS = {
    "send": lambda c: c.send(None),
    "send1": lambda c: c.send(1),
    "throw": lambda c: c.throw(Boom("thrown")),
    "exit": lambda c: c.throw(GeneratorExit()),
    "kbi": lambda c: c.throw(KeyboardInterrupt()),
    "close": lambda c: c.close(),
    "next": lambda c: next(c),
    "await": lambda c: c.__await__().send(None),
    "collect": lambda c: [gc.collect(), None][1],
}
CORO_OPS["throw-handling"] = handling(CORO_OPS["throw"])
CORO_OPS["close-handling"] = handling(CORO_OPS["close"])


def coro_drive(side_name, function, ops, flavour="await"):
    def body(side, out):
        coro = side.make(function)
        for op in ops:
            out.append(outcome(lambda: CORO_OPS[op](coro)))
            out.append(introspected(coro))
        drain(lambda: coro.send(None), out)
        out.append(outcome(coro.close))
        return coro

    return driven(side_name, world_for(function, flavour=flavour), body)


def coro_cases():
    rng = random.Random(1234)
    for function in COROUTINE_FUNCTIONS:
        for n in (0, 1, 2, 3):
            for ops in itertools.product(CORO_OPS, repeat=n):
                yield (function, ops, "await")
        for _ in range(300):
            ops = tuple(rng.choice(list(CORO_OPS)) for _ in range(rng.randint(4, 9)))
            yield (function, ops, rng.choice(FLAVOURS))


# ---- re-entry from every place the body runs user code ----------------------------------------------------------

PLACES = ["ClientSession", "session.__aenter__", "session_enter.__await__", "post", "status", "json",
          "json.__await__", "content", "__aiter__", "iter_any", "__anext__", "item.__await__", "__str__",
          "response.__aexit__", "session.__aexit__"]

GEN_ACTIONS = {
    "step-send": lambda g, s: s.send(None),
    "step-next": lambda g, s: next(s),
    "step-throw": lambda g, s: s.throw(Boom("re-entered")),
    "step-close": lambda g, s: s.close(),
    "anext": lambda g, s: g.__anext__().send(None),
    "asend": lambda g, s: g.asend(1).send(None),
    "athrow": lambda g, s: g.athrow(Boom("re-entered")).send(None),
    "aclose": lambda g, s: g.aclose().send(None),
}
CORO_ACTIONS = {
    "send": lambda c, s: c.send(None),
    "throw": lambda c, s: c.throw(Boom("re-entered")),
    "close": lambda c, s: c.close(),
    "await": lambda c, s: c.__await__().send(None),
    "next": lambda c, s: next(c),
}


def reentry_drive(side_name, function, place, action):
    world = world_for(function)

    def body(side, out):
        obj = side.make(function)
        target = {}
        if function in ASYNC_GEN_FUNCTIONS:
            world.hooks[place] = lambda: GEN_ACTIONS[action](obj, target["step"])
            for _ in range(6):
                target["step"] = step = obj.__anext__()
                drain(lambda: step.send(None), out)
            del step
            closing = obj.aclose()
            drain(lambda: closing.send(None), out)
            del closing
        else:
            world.hooks[place] = lambda: CORO_ACTIONS[action](obj, None)
            drain(lambda: obj.send(None), out, limit=20)
            out.append(outcome(obj.close))
        target.clear()
        return obj

    return driven(side_name, world, body, world.hook_results)


def reentry_cases():
    for function in ASYNC_GEN_FUNCTIONS + COROUTINE_FUNCTIONS:
        actions = GEN_ACTIONS if function in ASYNC_GEN_FUNCTIONS else CORO_ACTIONS
        for place in PLACES:
            for action in actions:
                if action == "step-throw" and sys.version_info[:2] == (3, 12):
                    continue  # CPython 3.12 itself crashes on some of these (its async generators are the control)
                yield (function, place, action)


# ---- the collector: a cycle through each object a suspended body holds -----------------------------------------


def suspensions(side_name, function, flavour):
    """How many times a whole run of `function` suspends."""
    world = world_for(function, flavour=flavour)
    count = 0
    with Observed(), Side(side_name, world) as side:
        obj = side.make(function)
        if function in ASYNC_GEN_FUNCTIONS:
            for _ in range(10):
                step = obj.__anext__()
                while outcome(lambda: step.send(None))[0] == "ok":
                    count += 1
                count += 1  # parked at the yield (or finished)
        else:
            while outcome(lambda: obj.send(None))[0] == "ok":
                count += 1
    return count


def cycle_drive(side_name, function, flavour, stop, index):
    """Runs `function` to its suspension number `stop`, makes object number
    `index` of those its world made point back at the body's object, drops
    every other reference and collects.  None when there is no such object."""
    with Observed():
        world = world_for(function, flavour=flavour)
        side = Side(side_name, world).__enter__()
        obj = side.make(function)
        seen = 0
        step = None
        while seen < stop:
            if function in ASYNC_GEN_FUNCTIONS:
                step = step or obj.__anext__()
                if outcome(lambda: step.send(None))[0] != "ok":
                    step = None
            else:
                outcome(lambda: obj.send(None))
            seen += 1
        side.__exit__()
        if index >= len(world.objects):
            return None
        world.objects[index].back = obj
        made = type(world.objects[index]).__name__
        ref = weakref.ref(obj)
        del obj, step, world, side
        for _ in range(3):
            gc.collect()
        return (made, ref() is None)


def cycle_cases(side_name="kelpie"):
    for function in ASYNC_GEN_FUNCTIONS + COROUTINE_FUNCTIONS:
        for flavour in FLAVOURS:
            for stop in range(suspensions(side_name, function, flavour) + 1):
                for index in range(16):
                    yield (function, flavour, stop, index)


# ---- abandoned on a real loop, against a real server ---------------------------------------------------------

ABANDONED_CHILD = r"""
import asyncio, gc, sys, warnings
sys.path.insert(0, ".")
import aiohttp
import kelpie.courier as courier
from tests.hardening_support import FaultServer
from tests.protocol_world import plain

warnings.simplefilter("ignore")
sys.unraisablehook = lambda u: None

def leftovers(module, n=30):
    # n streams, each in a task waiting inside the stream for a line that
    # never comes; the loop is closed under them and everything dropped.
    faults = FaultServer()
    loop = asyncio.new_event_loop()
    firsts = []

    async def consume():
        async for item in module.async_call_api_stream(faults.url("/stall-body"), sse=True):
            firsts.append(item)

    async def main():
        for _ in range(n):
            loop.create_task(consume())
        while len(firsts) < n:
            await asyncio.sleep(0.001)

    loop.run_until_complete(main())
    loop.close()
    del loop, main, consume
    for _ in range(3):
        gc.collect()
    sessions = sum(isinstance(o, aiohttp.ClientSession) for o in gc.get_objects())
    sockets = sum(1 for o in gc.get_objects() if type(o).__name__ == "socket" and o.fileno() >= 0)
    faults.close()
    return len(firsts), sessions, sockets

print("kelpie", leftovers(courier))
print("plain", leftovers(plain))
"""


def test_streams_abandoned_on_a_closed_loop_leave_nothing_behind():
    """Tasks waiting inside streams when their loop is closed, then
    dropped: the collector frees every session and socket, as it does for
    the same streams written with async def."""
    out = run_child(ABANDONED_CHILD)
    ours = out.split("kelpie ")[1].split("\n")[0]
    theirs = out.split("plain ")[1].split("\n")[0]
    assert ours.startswith("(30, ") and ours == theirs, out


# ---- running the groups in child interpreters ----------------------------------------------------------------

DRIVES = {
    "pairs": (pair_drive, pair_cases),
    "coroutines": (coro_drive, coro_cases),
    "reentry": (reentry_drive, reentry_cases),
    "cycles": (cycle_drive, cycle_cases),
}


def child(group):
    """Runs every case of `group` on both sides and prints the differences."""
    drive, cases = DRIVES[group]
    gc.freeze()  # what is loaded already is not scanned by every collection below
    differences = compared = 0
    for case in cases():
        ours = drive("kelpie", *case)
        theirs = drive("plain", *case)
        compared += 1
        if ours != theirs:
            differences += 1
            if differences <= 12:
                print("DIFFERENT", case)
                for a, b in zip(ours, theirs):
                    if a != b:
                        print("   kelpie:", a)
                        print("   plain: ", b)
    print("compared", compared, "different", differences)


@pytest.mark.parametrize("group", list(DRIVES))
def test_same_as_async_def(group):
    out = run_child(f"from tests.test_hardening_protocol import child; child({group!r})")
    last = out.strip().splitlines()[-1].split()
    assert int(last[1]) > 0 and last[3] == "0", out[-12000:]
