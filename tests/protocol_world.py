"""A scripted stand-in for aiohttp, driven by hand, for comparing kelpie's
coroutines and asynchronous generators with the same code written with
``async def`` (tests/model.py).

Every await the body makes suspends exactly once and passes a label out, so a
driver that calls send/throw/close by hand decides what happens at each
suspension.  Each side gets a World of its own with the same settings; the
worlds log what the body did (contexts entered and left, with the exception
types handed to the exits) so that two runs can be compared line by line.

A World can also run an action at a named place where the body runs user
code synchronously (`hook`), to re-enter the running object from inside it,
and can make any object it created point back at the body's object (a
reference cycle through that object only), to check that the collector frees
a suspended body.
"""

import gc
import sys
import types
import weakref

import kelpie.courier as courier
from tests import model
from tests.odd_objects import Boom

plain = model.fresh()  # a copy of its own: a World is put in its aiohttp


class JsonError(ValueError):
    pass


# ---- the awaitables, in the three forms `await` accepts -----------------------------------------------


class Pause:
    """An object with __await__: suspends once with its label."""

    def __init__(self, world, label, value):
        self.world, self.label, self.value = world, label, value
        world.made(self)

    def __await__(self):
        self.world.hook(self.label + ".__await__")
        return self.world.suspend(self.label, self.value)


@types.coroutine
def _gencoro(world, label, value):
    return (yield from world.suspend(label, value))


async def _native(world, label, value):
    return await Pause(world, label, value)


# ---- the stand-in for aiohttp -------------------------------------------------------------------------------


class World:
    """One side's aiohttp.  flavour: what its async methods return
    ("await": objects with __await__, "gencoro": generator-based coroutines,
    "native": async def coroutines).  status: the response status.
    json_fails: response.json() raises.  items: what the body's iteration
    gives, chunk by chunk or line by line."""

    def __init__(self, flavour="await", status=200, json_fails=False, items=(b"data: one\n", b"data: two\n")):
        self.flavour, self.status, self.json_fails, self.items = flavour, status, json_fails, list(items)
        self.log = []
        self.objects = []  # every object made, in order, for the cycle checks
        self.hooks = {}  # place -> action, run once
        self.hook_results = []
        self.cycle_from = None  # index into objects: that one points back at `owner`
        self.owner = None

    # the module-level names the bodies look up
    def ClientSession(self, *args, **kwargs):
        self.hook("ClientSession")
        return Session(self)

    def FormData(self):
        return WorldForm(self)

    def made(self, obj):
        self.objects.append(obj)

    def hook(self, place):
        action = self.hooks.pop(place, None)
        if action is not None:
            self.hook_results.append((place, outcome(action)))

    def awaitable(self, label, value):
        self.log.append(("await", label))
        if self.flavour == "gencoro":
            return _gencoro(self, label, value)
        if self.flavour == "native":
            return _native(self, label, value)
        return Pause(self, label, value)

    def suspend(self, label, value):
        sent = yield label
        self.log.append(("resumed", label, sent))
        if isinstance(value, BaseException):
            raise value
        return value

    def leave(self, what, et, ev, tb):
        """The exit of the session's or the response's context."""
        self.hook(what + ".__aexit__")
        self.log.append((what + "_exit", et and et.__name__, sys.exc_info()[1] is ev, body_entries(tb)))
        return self.awaitable(what + "_exit", False)

    def link(self):
        """The reference cycle of a collection check: the chosen object
        points back at the body's object."""
        if self.cycle_from is not None and self.cycle_from < len(self.objects):
            self.objects[self.cycle_from].back = self.owner


class Made:
    """An object of the World's, kept in its list of the objects it made."""

    def __init__(self, world):
        self.world = world
        world.made(self)


class Session(Made):
    def __aenter__(self):
        self.world.hook("session.__aenter__")
        return self.world.awaitable("session_enter", self)

    def __aexit__(self, et, ev, tb):
        return self.world.leave("session", et, ev, tb)

    def post(self, url, **kwargs):
        self.world.hook("post")
        self.world.log.append(("post", url, sorted(kwargs)))
        return Request(self.world)


class Request(Made):
    def __aenter__(self):
        return self.world.awaitable("response_enter", Response(self.world))

    def __aexit__(self, et, ev, tb):
        return self.world.leave("response", et, ev, tb)


class Response(Made):
    @property
    def status(self):
        self.world.hook("status")
        return self.world.status

    @property
    def content(self):
        self.world.hook("content")
        return Content(self.world)

    def json(self):
        self.world.hook("json")
        value = JsonError("not JSON") if self.world.json_fails else {"answer": 42}
        if isinstance(value, BaseException):
            self.world.made(value)
        return self.world.awaitable("json", value)

    def text(self):
        return self.world.awaitable("text", "the text")


class Content(Made):
    def __aiter__(self):
        self.world.hook("__aiter__")
        return Items(self.world)

    def iter_any(self):
        self.world.hook("iter_any")
        return Items(self.world)


class Items(Made):
    def __init__(self, world):
        super().__init__(world)
        self.left = list(world.items)

    def __aiter__(self):
        return self

    def __anext__(self):
        self.world.hook("__anext__")
        if not self.left:
            return self.world.awaitable("item", StopAsyncIteration())
        return self.world.awaitable("item", self.left.pop(0))


class WorldForm(Made):
    """The World's aiohttp.FormData: one of the objects the cycle checks can use."""

    def __init__(self, world):
        super().__init__(world)
        self.fields = []

    def add_field(self, *args, **kwargs):
        self.fields.append((args, sorted(kwargs.items())))


class Loud:
    """A form value whose str() runs a hook of the world."""

    def __init__(self, world):
        self.world = world

    def __str__(self):
        self.world.hook("__str__")
        return "loud"


# ---- the two sides --------------------------------------------------------------------------------------------

FUNCTIONS = {
    "call": lambda m, w: m.async_call_api("http://x/", payload={"p": 1}),
    "call-form": lambda m, w: m.async_call_api("http://x/", data={"k": Loud(w)}, use_form=True),
    "call-404": lambda m, w: m.async_call_api("http://x/"),
    "llm": lambda m, w: m.async_llm_api("hi", "http://x/", "key"),
    "chunks": lambda m, w: m.async_call_api_stream("http://x/", data={"k": Loud(w)}, use_form=True),
    "sse": lambda m, w: m.async_call_api_stream("http://x/", sse=True),
    "stream-404": lambda m, w: m.async_call_api_stream("http://x/", sse=True),
}

WORLD_OPTIONS = {"call-404": {"status": 404}, "stream-404": {"status": 500}, "call-form": {"json_fails": True}}


class Side:
    """kelpie.courier or the plain models, with `world` as their aiohttp."""

    def __init__(self, name, world):
        self.name, self.world = name, world
        self.module = courier if name == "kelpie" else plain

    def __enter__(self):
        self.saved = self.module.aiohttp
        self.module.aiohttp = self.world
        return self

    def __exit__(self, *exc):
        self.module.aiohttp = self.saved

    def make(self, function):
        return FUNCTIONS[function](self.module, self.world)


def world_for(function, **options):
    return World(**{**WORLD_OPTIONS.get(function, {}), **options})


# ---- what an operation gave ------------------------------------------------------------------------------------


BODY_FILES = ("kelpie/courier", model.__file__)


def body_entries(tb):
    """The entries of a traceback that are a body's own (kelpie's functions,
    or the plain models' frames), or None without a traceback.  Walked by
    hand: the traceback module would read source lines through linecache,
    which warns about the models' copy (a module without __spec__) on 3.15."""
    if tb is None:
        return None
    count = 0
    while tb is not None:
        count += tb.tb_frame.f_code.co_filename in BODY_FILES
        tb = tb.tb_next
    return count


def outcome(op):
    """What calling op() gave, in a form two sides can be compared by."""
    try:
        value = op()
    except StopIteration as e:
        # 3.14 raises a returned or yielded value's StopIteration without a context
        context = e.__context__
        return ("StopIteration", shown(e.value), len(e.args), None if context is None else type(context).__name__)
    except BaseException as e:  # noqa: B036 - every answer is compared, including BaseException subclasses
        context = e.__context__
        context = None if context is None else (type(context).__name__, body_entries(context.__traceback__))
        # kelpie's types carry their module in their name ("kelpie.coroutine")
        return ("raise", type(e).__name__, str(e).replace("kelpie.", ""), context, body_entries(e.__traceback__))
    return ("ok", shown(value))


def shown(value):
    if value is None or isinstance(value, (str, bytes, int, tuple, dict)):
        return value
    return type(value).__name__


def collected(make_cycle):
    """True if the object made by make_cycle() (which returns a weak
    reference to it after dropping every strong one) is freed by the
    collector."""
    ref = make_cycle()
    for _ in range(3):
        gc.collect()
    return ref() is None


__all__ = ["Boom", "World", "Side", "FUNCTIONS", "world_for", "outcome", "collected", "weakref", "plain"]
