"""kelpie's functions pickle and copy the way the interpreter's own functions
do: by reference, as their module and qualified name, so that copies are the
object itself and process pools can send them to their workers.

Every drive runs on each kelpie function and, as controls, on a plain Python
function and a built-in function under the same circumstances; the outcomes
must agree (with the object's repr, module and name written neutrally)."""

import concurrent.futures
import copy
import math
import multiprocessing
import pickle
import sys

import pytest

import kelpie.courier as courier
import kelpie.larder as larder

FunctionType = type(larder.read_txt)
KELPIE = [f for m in (courier, larder) for f in vars(m).values() if type(f) is FunctionType]


def plain_control(x=None):
    return x


BUILTIN_CONTROL = math.hypot

PICKLERS = {"C": (pickle.dumps, pickle.loads), "Python": (pickle._dumps, pickle._loads)}


def _outcome(f, drive):
    module, name = f.__module__, f.__qualname__
    try:
        return drive()
    except Exception as e:  # noqa: BLE001 - compared across the subjects
        def neutral(text):
            return text.replace(repr(f), "<obj>").replace(str(module), "<module>").replace(name, "<name>")

        return type(e).__name__, neutral(str(e)), [neutral(n) for n in getattr(e, "__notes__", [])]


def _drives(f):
    """Every way of copying or pickling f, with what each gave: whether each
    place that held f holds f itself afterwards, or the error."""
    def places(copied):
        return [copied[0] is f, copied[1]["again"] is f]

    outcomes = {
        "copy": _outcome(f, lambda: copy.copy(f) is f),
        "deepcopy": _outcome(f, lambda: places(copy.deepcopy([f, {"again": f}]))),
    }
    for pickler, (dumps, loads) in PICKLERS.items():
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            outcomes[f"{pickler} pickle, protocol {protocol}"] = _outcome(
                f, lambda: places(loads(dumps([f, {"again": f}], protocol))))
    return outcomes


def _module_of(f):
    return sys.modules[f.__module__]


# circumstance: how it is set up, whether a built-in function can be put in it
CIRCUMSTANCES = {
    "as defined": (lambda f, mp: None, True),
    "__module__ names a missing module": (lambda f, mp: mp.setattr(f, "__module__", "no_such_module_here"), True),
    "__module__ names a module without it": (lambda f, mp: mp.setattr(f, "__module__", "tests"), True),
    "__module__ is None": (lambda f, mp: mp.setattr(f, "__module__", None), True),
    "module attribute rebound": (lambda f, mp: mp.setattr(_module_of(f), f.__name__, len), True),
    "module attribute deleted": (lambda f, mp: mp.delattr(_module_of(f), f.__name__), True),
    "__qualname__ names nothing": (lambda f, mp: mp.setattr(f, "__qualname__", "nothing_by_this_name"), False),
}


def _under(circumstance, f):
    set_up, _ = CIRCUMSTANCES[circumstance]
    with pytest.MonkeyPatch.context() as mp:
        set_up(f, mp)
        return _drives(f)


@pytest.mark.parametrize("circumstance", CIRCUMSTANCES)
@pytest.mark.parametrize("f", KELPIE, ids=lambda f: f.__name__)
def test_copy_and_pickle_as_plain_and_builtin_functions_do(f, circumstance):
    ours = _under(circumstance, f)
    assert ours == _under(circumstance, plain_control)
    if CIRCUMSTANCES[circumstance][1]:
        assert ours == _under(circumstance, BUILTIN_CONTROL)
    if circumstance in ("as defined", "__module__ is None"):
        assert ours["copy"] is True and all(v == [True, True] for k, v in ours.items() if k != "copy")


@pytest.mark.parametrize("method", [m for m in ("spawn", "forkserver") if m in multiprocessing.get_all_start_methods()])
def test_process_pool_runs_kelpie_functions(method, tmp_path):
    text, document = tmp_path / "in.txt", tmp_path / "in.json"
    text.write_text("héllo\n", encoding="utf-8")
    document.write_text('{"a": [1, null]}')
    context = multiprocessing.get_context(method)
    with concurrent.futures.ProcessPoolExecutor(max_workers=1, mp_context=context) as pool:
        assert pool.submit(larder.read_txt, str(text)).result() == "héllo\n"
        assert list(pool.map(larder.read_json, [str(document)] * 2)) == [{"a": [1, None]}] * 2
        with pytest.raises(FileNotFoundError):
            pool.submit(larder.read_txt, str(tmp_path / "missing.txt")).result()
        # the function comes back as itself
        assert pool.submit(plain_control, larder.read_txt).result() is larder.read_txt
