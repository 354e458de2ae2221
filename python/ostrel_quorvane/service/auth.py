"""Bearer tokens: read from the token file, read again when it changes, and checked in constant
time. A service with no token is closed: the routes that need one answer 401."""

from __future__ import annotations

import hmac
import os
import threading
import time
from pathlib import Path

from starlette.requests import Request

from ostrel_quorvane.service.answers import Refused

__all__ = ["TokenFile", "read_tokens"]

# How often, at most, the file is looked at again for a change.
RECHECK_SECONDS = 1.0


def read_tokens(path: Path) -> tuple[str, ...]:
    """The tokens of a token file: one a line, blank lines skipped."""
    lines = path.read_text().splitlines()
    return tuple(line.strip() for line in lines if line.strip())


class TokenFile:
    """The tokens a service accepts; with a file, those it holds now (an edit, or a new file
    moved into place, takes effect within a second; so does SIGHUP, which starts new workers)."""

    def __init__(self, path: str | None, tokens: tuple[str, ...] = ()) -> None:
        self.path = Path(path) if path else None
        self._tokens = tokens
        self._seen: tuple[int, int, int] | None = None
        self._checked = 0.0
        self._lock = threading.Lock()
        if self.path is not None:
            self._reload()

    def tokens(self) -> tuple[str, ...]:
        if self.path is not None and time.monotonic() - self._checked >= RECHECK_SECONDS:
            with self._lock:
                self._reload()
        return self._tokens

    def _reload(self) -> None:
        assert self.path is not None
        self._checked = time.monotonic()
        try:
            status = os.stat(self.path)
            seen = (status.st_ino, status.st_mtime_ns, status.st_size)
            if seen != self._seen:
                self._tokens, self._seen = read_tokens(self.path), seen
        except (OSError, UnicodeDecodeError):
            pass  # a file being replaced, gone for a moment or unreadable: the last tokens hold

    def authorize(self, request: Request) -> None:
        """Refuses a request without one of the tokens: 401 with none given (or none to match,
        when the service has none), 403 with a wrong one."""
        tokens = self.tokens()
        if not tokens:
            raise Refused(401, "unauthorized", "this route needs a bearer token, and the service "
                          "has none configured (--token-file)")  # fmt: skip
        given = request.headers.get("authorization", "")
        scheme, _, token = given.partition(" ")
        if scheme.lower() != "bearer" or not token:
            raise Refused(401, "unauthorized", "a bearer token is required")
        # Every configured token is compared, each in constant time.
        matched = False
        for known in tokens:
            matched |= hmac.compare_digest(token.encode(), known.encode())
        if not matched:
            raise Refused(403, "forbidden", "the bearer token is not accepted")
