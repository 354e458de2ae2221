"""Decisions in batches: JSON Lines of requests in, JSON Lines of decision records out.

Each line is read, judged and written before the next is read, so a batch of any length runs in
the memory one line takes. A line that cannot be judged gives an error record at its position,
and the batch goes on.
"""

from __future__ import annotations

import json
import os
import stat
import sys
import time
from collections.abc import Iterable, Iterator
from pathlib import Path
from typing import Any, BinaryIO

from _ostrel_quorvane import PermissionChain

from ostrel_quorvane.asof import compile_static_at, unix_seconds
from ostrel_quorvane.files import (
    MAX_DOCUMENT_BYTES,
    STDIN,
    InputError,
    RequestFileError,
    clip,
    judged,
)
from ostrel_quorvane.record import Decision, Live, evaluate_live
from ostrel_quorvane.request import Runtime, loads_request, parse_time

__all__ = ["decide_line", "decide_many", "decided_lines", "decision_of", "lines_of", "open_lines"]


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
    for line, _ in decided_lines(lines, chain, at, source):
        yield line


def decided_lines(
    lines: Iterable[bytes | str],
    chain: PermissionChain | None = None,
    at: float | str | None = None,
    source: str = "<batch>",
) -> Iterator[tuple[str, PermissionChain | None]]:
    """decide_many's lines, each with the chain its decision was judged under (None for an
    error line), so that logging them needs no second reading of the records."""
    moment = None if at is None else unix_seconds(parse_time(at, "at", "$"))
    for number, line in enumerate(lines, 1):
        if _blank(line):
            continue
        where = f"{source}:{number}"
        try:
            decision = decision_of(_without_break(line), where, chain, moment)
        except InputError as error:
            yield error_line(number, error), None
            continue
        yield decision.record_text(), decision.chain


def decide_line(
    line: bytes | str,
    source: str,
    chain: PermissionChain | None,
    moment: float | None,
    inline_chain: bool = True,
) -> str:
    """The decision record of one request line, on one line; InputError for one that cannot be
    judged."""
    return decision_of(line, source, chain, moment, inline_chain).record_text()


def decision_of(
    line: bytes | str,
    source: str,
    chain: PermissionChain | None,
    moment: float | None,
    inline_chain: bool = True,
) -> Decision:
    """The decision on one request's JSON text, judged as decide_many judges a line."""
    if len(line) > MAX_DOCUMENT_BYTES:
        limit = f"{MAX_DOCUMENT_BYTES:,} bytes ({MAX_DOCUMENT_BYTES >> 20} MiB)"
        raise RequestFileError(source, "$", f"expected at most {limit}")
    request = loads_request(line, source, chain, inline_chain=inline_chain)
    in_force = chain or request.chain or PermissionChain.default_chain()
    runtime = request.runtime
    # As decide does: a moment given is a moment of use too.
    if moment is not None and runtime is None:
        runtime = Runtime()
    if moment is None:
        now = runtime.now if runtime is not None and runtime.now is not None else time.time()
        moment = unix_seconds(now)
    judgment = judged(source, "$", compile_static_at, request.context, moment, in_force)
    given = chain is not None or request.chain is not None
    decision = Decision([source], [request], in_force, given, judgment)
    if runtime is not None:
        use = Live(
            now=moment,
            context_fingerprint=request.fingerprint
            if runtime.context_fingerprint is None
            else runtime.context_fingerprint,
            negative_control_states={
                token: str(status)
                for token, status in (runtime.negative_control_states or {}).items()
            },
            strict_mode=runtime.strict_mode,
            permission="",
            reason=None,
        )
        decision.live = evaluate_live(request.context, in_force, moment, use)
    return decision


def _blank(line: bytes | str) -> bool:
    """Whether ``line`` holds JSON's whitespace only."""
    if isinstance(line, bytes):
        return not line.strip(b" \t\r\n")
    return not line.strip(" \t\r\n")


def _without_break(line: bytes | str) -> bytes | str:
    if isinstance(line, bytes):
        return line.rstrip(b"\r\n")
    return line.rstrip("\r\n")


def error_line(number: int, error: InputError) -> str:
    """The error record of line ``number``."""
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
