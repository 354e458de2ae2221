"""Who may read the pages: a login with one of the service's bearer tokens sets a cookie that
any worker can check without shared state (a time and a keyed hash of it under that token), so
that a token taken out of the token file ends its sessions too. With ``--ui-open`` the pages
need no login, and are served only to the loopback address they are bound to."""

from __future__ import annotations

import hashlib
import hmac
import ipaddress
import time
from urllib.parse import urlsplit

from starlette.requests import Request
from starlette.responses import Response

from ostrel_quorvane.service.auth import TokenFile

__all__ = ["COOKIE", "SESSION_SECONDS", "Sessions", "is_loopback"]

COOKIE = "oq_ui"
# How long a login lasts.
SESSION_SECONDS = 12 * 3600
# What a session's hash is made of, beside its end: a cookie means nothing to anything else.
PURPOSE = b"ostrel-quorvane pages session:"


def is_loopback(host: str | None) -> bool:
    """Whether ``host`` (an address, or ``localhost``) is a loopback address."""
    if not host:
        return False
    if host.strip("[]").lower() == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


def _mark(token: str, ends: int) -> str:
    """A session's keyed hash under ``token``: keyed BLAKE2b, which Python computes itself (a
    worker forked while another thread of its parent held OpenSSL's locks cannot use them)."""
    key = hashlib.blake2b(token.encode(), digest_size=64).digest()
    return hashlib.blake2b(PURPOSE + str(ends).encode(), key=key, digest_size=32).hexdigest()


class Sessions:
    """Logins to the pages, checked against the service's tokens as they are now."""

    def __init__(self, tokens: TokenFile, open_: bool) -> None:
        self.tokens = tokens
        self.open = open_

    def allowed(self, request: Request) -> bool:
        """Whether ``request`` may see the pages: it carries a session cookie that one of the
        tokens made and that has not ended, or the pages are open and it comes from loopback."""
        if self.open:
            return is_loopback(request.client.host if request.client else None)
        given = request.cookies.get(COOKIE, "")
        ends_text, _, mark = given.partition(".")
        if not (ends_text.isascii() and ends_text.isdigit()) or len(ends_text) > 12 or not mark:
            return False
        ends = int(ends_text)
        if ends < time.time():
            return False
        matched = False
        for token in self.tokens.tokens():  # each compared, in constant time
            matched |= hmac.compare_digest(mark.encode(), _mark(token, ends).encode())
        return matched

    def log_in(self, given: str, response: Response, secure: bool) -> bool:
        """Sets the session cookie on ``response`` when ``given`` is one of the tokens."""
        matched = ""
        for token in self.tokens.tokens():
            if hmac.compare_digest(given.encode(), token.encode()):
                matched = token
        if not matched:
            return False
        ends = int(time.time()) + SESSION_SECONDS
        value = f"{ends}.{_mark(matched, ends)}"
        response.set_cookie(COOKIE, value, max_age=SESSION_SECONDS, path="/ui", httponly=True,
                            samesite="strict", secure=secure)  # fmt: skip
        return True

    @staticmethod
    def log_out(response: Response, secure: bool) -> None:
        response.delete_cookie(COOKIE, path="/ui", httponly=True, samesite="strict", secure=secure)


def same_origin(request: Request) -> bool:
    """Whether a form was sent from the pages themselves: a browser says where a request comes
    from (Sec-Fetch-Site), or at least names the page's origin on a form it sends; a client that
    says neither is taken as it is, since it carries no cookie a browser would add for another
    site."""
    site = request.headers.get("sec-fetch-site")
    if site is not None:
        return site in ("same-origin", "none")
    origin = request.headers.get("origin")
    if origin is None:
        return True
    parts = urlsplit(origin)
    return parts.netloc == request.headers.get("host", "") and parts.scheme == request.url.scheme
