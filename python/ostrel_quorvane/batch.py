"""Decisions in batches: JSON Lines of requests in, JSON Lines of decision records out.

Lines are read, judged and written a window of a hundred at a time, so a batch of any length runs
in the memory a hundred lines take. A line that cannot be judged gives an error record at its
position, and the batch goes on.
"""

from __future__ import annotations

import json
import os
import stat
import sys
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, BinaryIO

from _ostrel_quorvane import PermissionChain

from ostrel_quorvane.asof import unix_seconds
from ostrel_quorvane.decision import Decision, decide
from ostrel_quorvane.files import MAX_DOCUMENT_BYTES, STDIN, InputError, RequestFileError, clip
from ostrel_quorvane.request import parse_time
from ostrel_quorvane.store.writer import GROUP_LIMIT

__all__ = ["Window", "decide_many", "error_line", "lines_of", "open_lines", "utf8_json", "windows"]


def decide_many(
    lines: Iterable[bytes | str],
    chain: PermissionChain | None = None,
    at: float | str | None = None,
    source: str = "<batch>",
) -> Iterator[str]:
    """Decides each line of JSON Lines input and yields, in input order, one JSON line (without
    its line break) per request: the decision record, or for a line that cannot be judged
    ``{"line": N, "error": KIND, "message": ..., "path": ...}`` with KIND ``malformed_input`` or
    ``refused_input``. Blank lines are skipped and counted.

    Level names resolve in ``chain``, else the line's own chain, else the default chain. Each
    request is judged as of ``at`` (Unix seconds or RFC 3339 text), else its own moment of use,
    else the time it is read; one with a moment of use is also evaluated at it."""
    for window in windows(lines, chain, at, source):
        yield from window.answers


@dataclass
class Window:
    """Up to GROUP_LIMIT lines of a batch, decided: each line's answer (its record or its error
    line), the decisions among them, to be logged before the answers are given, and the errors."""

    answers: list[str] = field(default_factory=list)
    numbers: list[int] = field(default_factory=list)  # each answer's line number
    decided: list[bool] = field(default_factory=list)  # whether each answer is a record
    decisions: list[Decision] = field(default_factory=list)
    errors: list[InputError] = field(default_factory=list)

    def text(self, unstored: str | None = None) -> bytes:
        """The window's answer, each line ended; with ``unstored``, the message of a log that
        failed, each record replaced by an error line of kind ``store_unavailable``."""
        lines = (
            error_line(number, unstored, "store_unavailable") if unstored and decided else answer
            for number, answer, decided in zip(
                self.numbers, self.answers, self.decided, strict=True
            )
        )
        return "".join(line + "\n" for line in lines).encode()


def windows(
    lines: Iterable[bytes | str],
    chain: PermissionChain | None = None,
    at: float | str | None = None,
    source: str = "<batch>",
    inline_chain: bool = True,
) -> Iterator[Window]:
    """The lines of a batch decided a window at a time, in order. A caller that logs gives a
    window's answers only once its decisions are stored: whatever happens to a later line, every
    logged decision is answered."""
    moment = None if at is None else unix_seconds(parse_time(at, "at", "$"))
    window = Window()
    for number, line in enumerate(lines, 1):
        if _blank(line):
            continue
        try:
            if len(line) > MAX_DOCUMENT_BYTES:
                limit = f"{MAX_DOCUMENT_BYTES:,} bytes ({MAX_DOCUMENT_BYTES >> 20} MiB)"
                raise RequestFileError(f"{source}:{number}", "$", f"expected at most {limit}")
            decision = decide(_without_break(line), source=f"{source}:{number}", chain=chain,
                              at=moment, inline_chain=inline_chain)  # fmt: skip
        except InputError as error:
            window.answers.append(error_line(number, error))
            window.errors.append(error)
            window.decided.append(False)
        else:
            window.answers.append(decision.record)
            window.decisions.append(decision)
            window.decided.append(True)
        window.numbers.append(number)
        if len(window.answers) == GROUP_LIMIT:
            yield window
            window = Window()
    if window.answers:
        yield window


def _blank(line: bytes | str) -> bool:
    """Whether ``line`` holds JSON's whitespace only."""
    if isinstance(line, bytes):
        return not line.strip(b" \t\r\n")
    return not line.strip(" \t\r\n")


def _without_break(line: bytes | str) -> bytes | str:
    if isinstance(line, bytes):
        return line.rstrip(b"\r\n")
    return line.rstrip("\r\n")


def error_line(number: int, error: InputError | str, kind: str | None = None) -> str:
    """The error record of line ``number``: for an error of its input, or ``kind`` with a
    message."""
    if isinstance(error, str):
        fields = {"line": number, "error": kind, "message": clip(error), "path": None}
        return utf8_json(fields)
    kind = "malformed_input" if isinstance(error, RequestFileError) else "refused_input"
    fields = {"line": number, "error": kind, "message": clip(error.detail), "path": error.path}
    return utf8_json(fields)


def utf8_json(value: Any) -> str:
    """``value`` as JSON text that encodes as UTF-8 whatever it holds: characters as themselves,
    or all escaped where one (a lone surrogate) is not text UTF-8 can carry."""
    text = json.dumps(value, ensure_ascii=False)
    try:
        text.encode()
    except UnicodeEncodeError:
        return json.dumps(value)
    return text


def open_lines(path: str | Path) -> BinaryIO:
    """A batch file opened for reading line by line, or standard input for ``-``. Only a
    regular file is opened: a directory, a device or a socket could block or never end."""
    source = str(path)
    if source == STDIN:
        stdin = getattr(sys.stdin, "buffer", None)
        if stdin is None:
            raise RequestFileError(source, "$", "expected a readable UTF-8 file (no input)")
        stream: BinaryIO = stdin
        return stream
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        mode = os.fstat(descriptor).st_mode
        if not stat.S_ISREG(mode):
            os.close(descriptor)
            raise RequestFileError(source, "$", "expected a regular file")
        os.set_blocking(descriptor, True)
        return open(descriptor, "rb")  # noqa: SIM115  (the caller closes it)
    except OSError as error:
        reason = error.strerror or str(error)
        raise RequestFileError(source, "$", f"expected a readable UTF-8 file ({reason})") from None


def lines_of(stream: BinaryIO) -> Iterator[bytes]:
    """The lines of ``stream``; a line longer than MAX_DOCUMENT_BYTES is cut one byte past the
    bound (so that it is refused) and the rest of it skipped unread into memory."""
    while True:
        line = stream.readline(MAX_DOCUMENT_BYTES + 1)
        if not line:
            return
        if len(line) > MAX_DOCUMENT_BYTES and not line.endswith(b"\n"):
            while True:
                rest = stream.readline(1 << 20)
                if not rest or rest.endswith(b"\n"):
                    break
        yield line
