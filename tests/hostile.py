"""Argument objects that behave badly in the ways conversion has to survive."""


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
