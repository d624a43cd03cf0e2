"""The reference-leak pass, for a debug build of the interpreter (Py_DEBUG),
where sys.gettotalrefcount() gives the exact number of references the
process holds: every public path of both modules (each call-time refusal,
the form builder, every awaited path against a real server, streams closed
early in each way, cancelled calls, objects never started, every larder
function on each of its paths) is repeated in rounds after a warm-up, and
a path whose every round leaves the total higher than it found it leaks
references.  The interpreter's own test runner judges its reference leaks
the same way (`python -m test -R`).  Skipped on a release build."""

import asyncio
import ctypes
import gc
import io
import sys

import pytest

import kelpie.courier as courier
import kelpie.larder as larder
from tests import model
from tests.hardening_support import FaultServer, aoutcome, outcome, scratch_dir, settle
from tests.test_hardening_leaks import (BINDING, FORMDATA, Sink, call_cases, cancelled_cases, closed_early_cases,
                                        fresh, larder_cases, loose)

pytestmark = [
    pytest.mark.hardening,
    pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                       reason="needs a debug build of the interpreter (sys.gettotalrefcount)"),
]

WARMUP = 3  # rounds, not measured: caches, free lists and lazy imports settle
ROUNDS = 4  # measured rounds; a leak shows in every one
PER_ROUND = 16  # calls of the path in one round
# A path leaks when every round gains at least half a reference per call:
# one reference kept per call gains PER_ROUND a round, while a cache or a
# table of the interpreter's or a library's that fills up gains a few now
# and then.
LEAK = PER_ROUND // 2


def total():
    for _ in range(2):
        gc.collect()
    return sys.gettotalrefcount()


def measured(run_round):
    before = total()
    run_round()
    return total() - before


# What measuring itself adds to the total (the int that holds the first
# reading is one reference, for one): a round that does nothing.
BIAS = min(measured(lambda: None) for _ in range(5)) if hasattr(sys, "gettotalrefcount") else 0


def leaked(deltas):
    return all(d >= LEAK for d in deltas)


def round_deltas(run_round):
    for _ in range(WARMUP):
        run_round()
    return [measured(run_round) - BIAS for _ in range(ROUNDS)]


async def round_deltas_async(run_round, twin_round=None):
    """Per measured round, the references gained; with a twin, the pair
    (gained by the round, gained by the twin's round right after it)."""
    async def measured_async(fn):
        await settle()
        before = total()
        await fn()
        await settle()
        return total() - before - BIAS

    for _ in range(WARMUP):
        await run_round()
        if twin_round is not None:
            await twin_round()
    deltas = []
    for _ in range(ROUNDS):
        own = await measured_async(run_round)
        deltas.append(own if twin_round is None else (own, await measured_async(twin_round)))
    return deltas


def checked(op, expected):
    def run_round():
        for _ in range(PER_ROUND):
            got = op()
            assert got == expected, f"{got!r} != {expected!r}"
    return run_round


def checked_async(op, expected):
    async def run_round():
        for _ in range(PER_ROUND):
            got = await op()
            assert got == expected, f"{got!r} != {expected!r}"
    return run_round


def confirmed(measure):
    """The rounds of a path, measured again when they look like a leak: the
    first path of its kind in a process can pay for the interpreter's warm-up
    (specialised instructions, type caches) over more rounds than the warm-up
    gives it, once; a leak gains again in every round of the second pass.
    A leak's deltas come back as both passes."""
    first = measure()
    if not leaked(first):
        return None
    second = measure()
    return [first, second] if leaked(second) else None


def no_leaks(cases):
    """(name, op, expected) cases: the names of those that leak, with their deltas."""
    found = {name: deltas for name, op, expected in cases
             if (deltas := confirmed(lambda: round_deltas(checked(op, expected))))}
    assert not found, f"references gained in every round, per round: {found}"


async def no_leaks_async(cases, twins=None):
    """With twins (the same paths written in plain Python), a path's rounds
    count only what they gain beyond the twin's rounds, which alternate with
    them: aiohttp and asyncio fill caches of their own on some paths for a
    long while."""
    async def measure(i, op, expected):
        if twins is None:
            return await round_deltas_async(checked_async(op, expected))
        both = await round_deltas_async(checked_async(op, expected), checked_async(twins[i], expected))
        return [own - plain for own, plain in both]

    found = {}
    for i, (name, op, expected) in enumerate(cases):
        first = await measure(i, op, expected)
        if leaked(first) and leaked(second := await measure(i, op, expected)):
            found[name] = [first, second]
    assert not found, f"references gained in every round, per round: {found}"


# ---- the pass notices a leak -----------------------------------------------------------------


def test_the_pass_notices_one_reference_per_call():
    kept = fresh("kept")
    incref, decref = ctypes.pythonapi.Py_IncRef, ctypes.pythonapi.Py_DecRef
    for fn in (incref, decref):
        fn.argtypes, fn.restype = [ctypes.py_object], None
    calls = []

    def leak():
        calls.append(1)
        incref(kept)

    leaky, clean = checked(lambda: outcome(leak), ("ok", None)), checked(lambda: outcome(len, kept), ("ok", 4))
    try:
        with pytest.raises(AssertionError, match="leaky"):
            no_leaks([("leaky", lambda: outcome(leak), ("ok", None))])
        no_leaks([("clean", lambda: outcome(len, kept), ("ok", 4))])
        # beside a twin: only what the path gains beyond the twin counts
        assert leaked(beside(leaky, clean))
        assert not leaked(beside(clean, leaky))
    finally:
        for _ in calls:
            decref(kept)
    # the leaky path measured twice by the pass (the second time to confirm), once beside each twin
    assert len(calls) == 4 * (WARMUP + ROUNDS) * PER_ROUND


# ---- kelpie.courier ----------------------------------------------------------------------------


def test_courier_refusals_and_form_builder():
    cases = [(name, lambda make=make: outcome(make), None) for name, make, _ in BINDING]
    # the expected outcomes first, as a first call gives them
    cases = [(name, op, op()) for name, op, _ in cases]

    def summary(make):
        got = outcome(make)
        return ("ok", type(got[1]).__name__) if got[0] == "ok" else got

    no_leaks(cases + [(name, lambda make=make: summary(make), expected) for name, make, expected, _ in FORMDATA])


def test_courier_awaited_paths(server):
    async def one(make):
        return loose(await aoutcome(make))

    cases = [(name, lambda make=make: one(make), expected) for name, make, expected, _ in call_cases(server)]
    twins = [lambda make=make: one(make) for _, make, _, _ in call_cases(server, model)]
    asyncio.run(no_leaks_async(cases, twins))


def test_courier_closed_early_cancelled_and_never_started(server):
    faults = FaultServer()
    headers = {fresh("X-A"): fresh("b")}

    async def never_started():
        courier.async_call_api(server.url("/ok"), headers).close()
        await courier.async_call_api_stream(server.url("/ok"), headers).aclose()
        courier.async_llm_api("p", server.url("/ok"), headers).close()
        courier.async_call_api_stream(server.url("/ok"), headers)  # dropped unstarted
        return "ok", None

    cases = [(name, op, expected) for name, op, expected, _ in
             closed_early_cases(server) + cancelled_cases(server, faults)]
    try:
        asyncio.run(no_leaks_async(cases + [("never-started", never_started, ("ok", None))]))
    finally:
        faults.close()


# ---- kelpie.larder -----------------------------------------------------------------------------


# Every path beside the same path in plain Python (tests/model.py), round
# for round: on a debug build the interpreter's file objects, its json and
# PyYAML's pure-Python code gain references now and then over several
# rounds (a cache or a table filling up), as much for the plain twin as
# for kelpie; only what kelpie gains beyond its twin counts.


def same_kind(op, expected):
    """A twin's round: the outcome of the same kind as kelpie's (some of
    kelpie's messages are the interpreter's built-in ones, not a Python
    function's)."""
    def run_round():
        for _ in range(PER_ROUND):
            got = op()
            assert got[0] == expected[0], f"{got!r} is not {expected!r}"
    return run_round


def beside(own, twin):
    for _ in range(WARMUP):
        own()
        twin()
    return [measured(own) - measured(twin) for _ in range(ROUNDS)]


def test_larder_paths(server, monkeypatch):
    monkeypatch.setattr(sys, "stdout", Sink())
    monkeypatch.setattr(sys, "stdin", io.StringIO())
    with scratch_dir() as d, scratch_dir() as twin_dir:
        cases, twins = larder_cases(d, server), larder_cases(twin_dir, server, model)
        assert [c[0] for c in cases] == [t[0] for t in twins]
        found = {name: deltas for (name, op, expected, _), (_, twin, twin_expected, _) in zip(cases, twins)
                 if leaked(deltas := beside(checked(op, expected), same_kind(twin, twin_expected)))}
        assert not found, f"references gained in every round beyond plain Python's, per round: {found}"
