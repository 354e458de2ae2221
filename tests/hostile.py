"""Argument objects that behave badly in the ways conversion has to survive."""

import gc


class Texty(str):
    """A str subclass: accepted wherever text is."""


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Indexy:
    """Converts to 100 through __index__ only."""

    def __index__(self):
        return 100


class FloatRaises:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


class IndexRaises:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class Items:
    """A sequence without a usable length: conversion walks it by index."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        return self.items[i]


class BrokenItems:
    """A sequence whose every item access raises `exc`."""

    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        return 2

    def __getitem__(self, i):
        raise self.exc


class HookError(Exception):
    """What the hostile hooks below raise: conversion has to pass it on unchanged."""


def fail_hook(*_args):
    raise HookError("hostile hook")


# Strings allocated right after a release, so that a stale pointer reads them instead of zeros.
SPRAY = []
RELEASES = [0]  # how many references `release` dropped


def release(obj):
    """Drops everything but `obj` from each dict and list that holds it (the keyword dict of the
    call it is an argument of, the container it is an item of), then reuses the freed memory."""
    for ref in gc.get_referrers(obj):
        if isinstance(ref, dict) and any(v is obj for v in dict.values(ref)):
            for key in [k for k, v in dict.items(ref) if v is not obj]:
                dict.__delitem__(ref, key)
                RELEASES[0] += 1
        elif isinstance(ref, list) and any(v is obj for v in list.__iter__(ref)):
            RELEASES[0] += list.__len__(ref) - 1
            list.__setitem__(ref, slice(None), [obj])
    SPRAY[:] = ["X" * 40 + str(i) for i in range(2000)]


def releasing(method):
    """`method`, after releasing what shares a container with its object."""

    def hook(self, *args):
        release(self)
        return method(self, *args)

    return hook


class TextHooks(str):
    """A str whose Python-level hooks all raise; conversion has to read the string itself."""

    __hash__ = __eq__ = __len__ = __iter__ = __getitem__ = __str__ = encode = fail_hook


class TextReleases(str):
    __len__, __iter__, __getitem__, __str__, encode = map(
        releasing, (str.__len__, str.__iter__, str.__getitem__, str.__str__, str.encode)
    )


class ListLies(list):
    """Claims no items, and iterates other items than indexing returns."""

    def __len__(self):
        return 0

    def __iter__(self):
        yield from reversed(list(list.__iter__(self)))
        yield 7


class ListGrows(list):
    def __iter__(self):
        for item in list.__iter__(self):
            if list.__len__(self) < 64:
                self.append(item)
            yield item


class ListClears(list):
    def __iter__(self):
        for item in list.__iter__(self):
            self.clear()
            yield item


class ListReleases(list):
    __len__, __iter__, __getitem__ = map(releasing, (list.__len__, list.__iter__, list.__getitem__))


class DictHooks(dict):
    """Claims no items, and every other hook raises."""

    def __len__(self):
        return 0

    keys = items = values = get = __iter__ = __getitem__ = __contains__ = fail_hook


class DictReleases(dict):
    __len__, keys, items, values, __iter__, __getitem__ = map(
        releasing,
        (dict.__len__, dict.keys, dict.items, dict.values, dict.__iter__, dict.__getitem__),
    )


# Named like NumPy's boolean scalar, whose truth conversion the binding calls, so that one object
# exercises the float, index and bool conversions.
NUMPY_BOOL = "numpy.bool_"
NumberHooks = type(
    NUMPY_BOOL, (), {"__float__": fail_hook, "__index__": fail_hook, "__bool__": fail_hook}
)
NumberReleases = type(
    NUMPY_BOOL,
    (),
    {
        "__float__": releasing(lambda self: 1.0),
        "__index__": releasing(lambda self: 1),
        "__bool__": releasing(lambda self: False),
    },
)
