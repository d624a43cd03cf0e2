"""Odd objects for the hostile-input tests (and the argument checks of the
benchmarks): subclasses of the built-in types, objects one of whose special
methods or attributes raises Boom, and stand-ins that record what they are
handed.  Nothing here imports kelpie or pytest."""


class Boom(Exception):
    """Raised on purpose by the odd objects."""


class StrSub(str):
    pass


class ListSub(list):
    pass


class DictSub(dict):
    pass


class IntSub(int):
    pass


def _raising(name, method, message=None, *, lookup=False, **attributes):
    """A class whose `method` raises Boom(message or method) when called, or
    already when it is looked up (`lookup`), with `attributes` besides."""

    def fail(self, *args, **kwargs):
        raise Boom(message or method)

    attributes[method] = property(fail) if lookup else fail
    attributes.setdefault("__hash__", object.__hash__)  # also for the one whose __eq__ raises
    return type(name, (), attributes)


BadBool = _raising("BadBool", "__bool__")
BadStr = _raising("BadStr", "__str__")
BadFormat = _raising("BadFormat", "__format__")
BadLen = _raising("BadLen", "__len__")
BadIndex = _raising("BadIndex", "__index__")
BadInt = _raising("BadInt", "__int__")
BadFspath = _raising("BadFspath", "__fspath__")
BadEq = _raising("BadEq", "__eq__")
# a mapping of one entry whose items() raises, and one whose items cannot be looked up
BadItems = _raising("BadItems", "items", __len__=lambda self: 1)
BadItemsLookup = _raising("BadItemsLookup", "items", "items lookup", lookup=True)
# a file-like object whose read attribute cannot be looked up, and one whose read() raises
BadRead = _raising("BadRead", "read", "read lookup", lookup=True)
BadReader = _raising("BadReader", "read")
# a sequence of two whose iteration raises
BadIter = _raising("BadIter", "__iter__", __len__=lambda self: 2)


class NotStrBool(str):
    """A str subclass whose truth and containment raise."""

    def __bool__(self):
        raise Boom("__bool__ of a str subclass")

    def __contains__(self, item):
        raise Boom("__contains__")


class RecordingForm:
    """Stands in for aiohttp.FormData.  Each form keeps what it was made with
    (`init`) and every add_field (`calls`, the objects themselves); the class
    keeps one `log` of every form's steps, texts by value and anything else
    by identity (a converted text is a new object each time), for comparing
    two runs whose objects are not the same."""

    log = []

    def __init__(self, *args, **kwargs):
        self.init, self.calls = (args, kwargs), []
        RecordingForm.log.append(("FormData", len(args), sorted(kwargs)))

    def add_field(self, *args, **kwargs):
        self.calls.append((args, list(kwargs.items())))
        RecordingForm.log.append(("add_field", [self.seen(a) for a in args],
                                  [(k, self.seen(v)) for k, v in kwargs.items()]))

    @staticmethod
    def seen(value):
        if type(value) is str:
            return "str", value
        return type(value).__name__, id(value)


class RecordingAiohttp:
    """An aiohttp module as far as the form builder sees it."""

    FormData = RecordingForm


class CallRecorder:
    """A callable put in place of a function: records every call, then
    raises `error` or returns `result`."""

    def __init__(self, result=None, error=None):
        self.calls, self.result, self.error = [], result, error

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error:
            raise self.error
        return self.result
