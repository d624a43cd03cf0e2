"""What the tests need to know of the differences between the CPython
versions they run on (3.10 to 3.15)."""

import asyncio
import sys

import pytest


def asyncio_iscoroutinefunction(fn):
    """asyncio.iscoroutinefunction(fn), the question code written for 3.13
    and earlier asks.  From 3.14 on it is deprecated in favour of
    inspect.iscoroutinefunction and warns; the warning must come, and the
    answer is still given."""
    if sys.version_info < (3, 14):
        return asyncio.iscoroutinefunction(fn)
    with pytest.warns(DeprecationWarning, match="iscoroutinefunction"):
        return asyncio.iscoroutinefunction(fn)


# Source text for a child interpreter that starts a sub-interpreter: the
# private module that does it was renamed in 3.13, and reports a failure in
# another way from then on.
SUBINTERPRETERS = r'''
def run_in_another_interpreter(code, legacy=False):
    """Runs code in a new sub-interpreter of this process: "" when it ran,
    else "ExceptionName: message" of the exception it ended with.  A legacy
    one shares the main interpreter's GIL and loads any extension module; an
    isolated one (3.12 and later) only those declaring they may."""
    import re, sys
    try:
        import _interpreters as interpreters  # 3.13 and later
    except ImportError:
        import _xxsubinterpreters as interpreters  # up to 3.12
    if legacy and interpreters.__name__ == "_interpreters":
        other = interpreters.create("legacy")
    elif legacy and sys.version_info >= (3, 12):
        other = interpreters.create(isolated=False)
    else:
        other = interpreters.create()  # before 3.12, always a legacy one
    try:
        try:
            failure = interpreters.run_string(other, code)
        except Exception as exc:
            # Up to 3.12 the failure is raised here, as
            # RunFailedError("<class 'ImportError'>: message").
            match = re.fullmatch(r"<class '(?:\w+\.)*(\w+)'>: (.*)", str(exc), re.S)
            if type(exc).__name__ != "RunFailedError" or match is None:
                raise
            return f"{match[1]}: {match[2]}"
        # From 3.13 on it is returned: a snapshot of the exception, or None.
        return "" if failure is None else f"{failure.type.__name__}: {failure.msg}"
    finally:
        interpreters.destroy(other)
'''

# What an interpreter other than the module's owner is told on import.
REFUSED_BY_OWNER = ("ImportError: Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.")


def refused_when_isolated(module):
    """What an isolated sub-interpreter is told on import: the interpreter's
    own refusal from 3.12 on, as the module declares it cannot be shared."""
    if sys.version_info >= (3, 12):
        return f"ImportError: module {module} does not support loading in subinterpreters"
    return REFUSED_BY_OWNER
