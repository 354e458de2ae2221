"""Reading request, chain and decision files: bounded in size, regular files or standard input
only, and the errors that name the file and the JSON path of what is wrong in it."""

from __future__ import annotations

import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any, NoReturn, TypeVar

from _ostrel_quorvane import QuorvaneError, _read_file

__all__ = [
    "MAX_DOCUMENT_BYTES",
    "STDIN",
    "EngineRefusal",
    "InputError",
    "RequestFileError",
    "clip",
    "judged",
    "read_document",
    "read_padded",
]

T = TypeVar("T")

# The largest file the tool reads. Far above any request a person writes (the shipped examples are
# a few kilobytes), and high enough for machine-made requests of a hundred thousand tokens.
MAX_DOCUMENT_BYTES = 128 << 20
# The file name that stands for standard input.
STDIN = "-"
# How much of a value, or of a message that echoes one, the tool shows before cutting it.
MAX_SHOWN = 1000


class InputError(Exception):
    """Input the tool cannot judge: ``source: path: detail``, with the file and the JSON path."""

    def __init__(self, source: str, path: str, detail: str) -> None:
        super().__init__(f"{source}: {path}: {detail}")
        self.source = source
        self.path = path
        self.detail = detail


class UsageError(Exception):
    """A malformed option, or options that contradict each other."""


class RequestFileError(InputError):
    """A file that does not follow its format: ``source: path: what was expected``."""

    def __init__(self, source: str, path: str, expected: str) -> None:
        super().__init__(source, path, expected)
        self.expected = expected


class EngineRefusal(InputError):
    """A well-formed value that the engine refused, with the engine's own message."""

    def __init__(self, source: str, path: str, message: str) -> None:
        super().__init__(source, path, message)
        self.message = message


def judged(source: str, path: str, run: Callable[..., T], *args: Any) -> T:
    """``run(*args)``, an engine call on input read from ``source``; its refusal becomes an
    EngineRefusal naming ``source`` and ``path``."""
    try:
        return run(*args)
    except QuorvaneError as error:
        raise EngineRefusal(source, path, str(error)) from None


def clip(text: str, limit: int = MAX_SHOWN) -> str:
    """``text``, or its start and end around a marker that says how much was cut."""
    if len(text) <= limit:
        return text
    head, tail = limit * 2 // 3, limit // 3
    cut = len(text) - head - tail
    return f"{text[:head]}[... {cut:,} characters cut ...]{text[-tail:]}"


def read_document(path: str | Path) -> bytes:
    """The bytes of a regular file, or of standard input for ``-``, at most MAX_DOCUMENT_BYTES.

    A directory, a device, a FIFO or a socket is refused rather than opened: reading one could
    block or never end."""
    data, size = read_padded(path, 0)
    return data if size == len(data) else data[:size]


def read_padded(path: str | Path, padding: int) -> tuple[bytes, int]:
    """As read_document, as ``(buffer, size)``: the document is the buffer's first ``size``
    bytes, and a file's buffer has ``padding`` zero bytes after it, so that a reader that reads
    past a document's end can read it in place rather than copy it."""
    source = str(path)
    if source == STDIN:
        stdin = getattr(sys.stdin, "buffer", None)
        if stdin is None:
            raise RequestFileError(source, "$", "expected a readable UTF-8 file (no input)")
        try:
            data = _bounded(stdin.read(MAX_DOCUMENT_BYTES + 1), source)
        except OSError as error:
            reason = error.strerror or str(error)
            raise RequestFileError(
                source, "$", f"expected a readable UTF-8 file ({reason})"
            ) from None
        return data, len(data)
    ok, read = _read_file(source, MAX_DOCUMENT_BYTES, padding)
    if not ok:
        raise RequestFileError(source, read[1], read[2])
    return read  # type: ignore[no-any-return]


def _too_large(source: str) -> NoReturn:
    limit = f"{MAX_DOCUMENT_BYTES:,} bytes ({MAX_DOCUMENT_BYTES >> 20} MiB)"
    raise RequestFileError(source, "$", f"expected at most {limit}")


def _bounded(data: bytes, source: str) -> bytes:
    if len(data) > MAX_DOCUMENT_BYTES:
        _too_large(source)
    return data
