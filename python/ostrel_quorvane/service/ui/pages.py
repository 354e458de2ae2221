"""The pages' routes: the login, the overview with its chart, the listing of decisions, one
decision, the chains and the log. Every page is read-only (verifying the log changes nothing),
rendered on the server, and answered with a page of its own for every error: never a traceback.
"""

from __future__ import annotations

import logging
import time
from collections.abc import Awaitable, Callable
from importlib import resources
from typing import Any
from urllib.parse import parse_qsl, quote

import jinja2
from _ostrel_quorvane import QuorvaneError
from starlette.requests import Request
from starlette.responses import RedirectResponse, Response
from starlette.routing import Route
from starlette.templating import Jinja2Templates

from ostrel_quorvane.files import InputError, clip
from ostrel_quorvane.record import AuditFailed
from ostrel_quorvane.request import chain_document, parse_time_text
from ostrel_quorvane.service.access import request_state
from ostrel_quorvane.service.answers import Refused, refusal
from ostrel_quorvane.service.requests import LARGEST, body, whole_number
from ostrel_quorvane.service.state import ServiceState
from ostrel_quorvane.service.ui.chart import WINDOWS, Counted, chart
from ostrel_quorvane.service.ui.session import Sessions, same_origin
from ostrel_quorvane.service.ui.views import (
    ChainUses,
    Checked,
    DecisionRow,
    chain_levels,
    decision_page,
    default_document,
    receipt_status,
    time_text,
)
from ostrel_quorvane.store import Store, StoreError
from ostrel_quorvane.store.log import is_hex_digest

__all__ = ["Pages"]

LOGGER = logging.getLogger("ostrel_quorvane.service")
Handler = Callable[[Request], Awaitable[Response]]
PAGE = 50
# No script but the pages' own file, nothing from another origin, no framing.
POLICY = ("default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
          "form-action 'self'; frame-ancestors 'none'; base-uri 'none'")  # fmt: skip
HEADERS = {
    "content-security-policy": POLICY,
    "x-content-type-options": "nosniff",
    "referrer-policy": "same-origin",
    "x-frame-options": "DENY",
    "cache-control": "no-store",
}
STATIC = {"ui.css": "text/css; charset=utf-8", "ui.js": "text/javascript; charset=utf-8"}
FILTERS = ("permission", "since", "until", "claim_id", "candidate_id", "context_id")


def _static(name: str) -> bytes:
    return resources.files("ostrel_quorvane.service.ui").joinpath("static", name).read_bytes()


class Pages:
    def __init__(self, state: ServiceState) -> None:
        self.state = state
        self.sessions = Sessions(state.tokens, state.config.ui_open)
        loader = jinja2.PackageLoader("ostrel_quorvane.service.ui", "templates")
        env = jinja2.Environment(loader=loader, autoescape=True, undefined=jinja2.StrictUndefined)
        env.globals["time_text"] = time_text
        self.templates = Jinja2Templates(env=env)
        self.uses = ChainUses()
        self.counted = Counted()
        self.checked: Checked | None = None
        self.files = {name: _static(name) for name in STATIC}

    def routes(self) -> list[Route]:
        table: list[tuple[str, str, str, Handler, bool]] = [
            ("/ui", "GET", "ui_root", self.root, False),
            ("/ui/login", "GET", "ui_login", self.login_form, False),
            ("/ui/login", "POST", "ui_login", self.log_in, False),
            ("/ui/logout", "POST", "ui_logout", self.log_out, False),
            ("/ui/static/{name}", "GET", "ui_static", self.static, False),
            ("/ui/", "GET", "ui_overview", self.overview, True),
            ("/ui/decisions", "GET", "ui_decisions", self.decisions, True),
            ("/ui/decisions/{sequence}", "GET", "ui_decision", self.decision, True),
            ("/ui/chains", "GET", "ui_chains", self.chains, True),
            ("/ui/log", "GET", "ui_log", self.log, True),
            ("/ui/log/verify", "POST", "ui_verify", self.verify, True),
        ]  # fmt: skip
        return [
            Route(path, self._guarded(name, run, login), methods=[method])
            for path, method, name, run, login in table
        ]

    # ----- what every page shares -----

    def _guarded(self, route: str, handler: Handler, login: bool) -> Handler:
        async def run(request: Request) -> Response:
            request_state(request.scope)["route"] = route
            try:
                try:
                    if login and not self.sessions.allowed(request):
                        return self._login_page(request, 401, None, request.url.path)
                    return await handler(request)
                except (InputError, QuorvaneError, StoreError, AuditFailed) as error:
                    answer = refusal(error)
                    if answer.status == 503:
                        await self.state.forget_store()
                    raise answer from None
            except Refused as refused:
                return self.page(request, "error.html", {"status": refused.status,
                                 "message": str(refused)}, refused.status)  # fmt: skip
            except Exception:  # a fault of the service's own: said to the operator
                LOGGER.exception("%s %s failed", request.method, route)
                return self.page(request, "error.html",
                                 {"status": 500, "message": "the service failed"}, 500)  # fmt: skip

        return run

    def page(
        self, request: Request, name: str, context: dict[str, Any], status: int = 200
    ) -> Response:
        context = {"open": self.sessions.open, "path": request.url.path, **context}
        return self.templates.TemplateResponse(request, name, context, status, HEADERS)

    def _login_page(self, request: Request, status: int, error: str | None, goal: str) -> Response:
        return self.page(request, "login.html", {"error": error, "next": goal}, status)

    async def _documents(self) -> dict[str, dict[str, Any]]:
        """Every published chain's document by hash, the default chain's among them."""
        documents = {}
        for key, _ in await self.state.in_thread(Store.chains):
            chain = await self.state.published(key)
            if chain is not None:
                documents[key] = chain_document(chain)
        return documents

    # ----- login -----

    async def root(self, request: Request) -> Response:
        return RedirectResponse("/ui/", 303)

    async def login_form(self, request: Request) -> Response:
        goal = _goal(request.query_params.get("next"))
        if self.sessions.allowed(request):
            return RedirectResponse(goal, 303)
        return self._login_page(request, 200, None, goal)

    async def log_in(self, request: Request) -> Response:
        if not same_origin(request):
            raise Refused(403, "forbidden", "a login is taken only from the login page")
        form = dict(parse_qsl((await body(self.state, request, 8192)).decode("utf-8", "replace")))
        goal = _goal(form.get("next"))
        answer = RedirectResponse(goal, 303)
        if self.sessions.log_in(form.get("token", "").strip(), answer, _secure(request)):
            return answer
        if not self.state.tokens.tokens():
            error = "the service has no tokens (serve --token-file)"
        else:
            error = "that token is not accepted"
        return self._login_page(request, 401, error, goal)

    async def log_out(self, request: Request) -> Response:
        if not same_origin(request):
            raise Refused(403, "forbidden", "a logout is taken only from the pages")
        answer = RedirectResponse("/ui/login", 303)
        self.sessions.log_out(answer, _secure(request))
        return answer

    async def static(self, request: Request) -> Response:
        name = request.path_params["name"]
        if name not in STATIC:
            raise Refused(404, "not_found", "no such file")
        headers = {**HEADERS, "cache-control": "max-age=300"}
        return Response(self.files[name], media_type=STATIC[name], headers=headers)

    # ----- the pages -----

    async def overview(self, request: Request) -> Response:
        window = request.query_params.get("window", "24h")
        if window not in WINDOWS:
            raise Refused(400, "malformed_input", f"window: expected one of {', '.join(WINDOWS)}")
        documents = [default_document(), *(await self._documents()).values()]
        drawn = await self.state.in_thread(chart, documents, window, self.counted)
        count, head = await self.state.in_thread(Store.head)
        return self.page(request, "overview.html", {"chart": drawn, "windows": list(WINDOWS),
                         "count": count, "head": head})  # fmt: skip

    async def decisions(self, request: Request) -> Response:
        query = request.query_params
        wanted = query.get("hash", "").strip()
        if wanted:
            entry = await self.state.in_thread(Store.find, wanted)
            if entry is None:
                raise Refused(404, "decision_not_found", f"no decision {clip(wanted, 80)}")
            return RedirectResponse(f"/ui/decisions/{entry.sequence}", 303)
        chosen: dict[str, Any] = {}
        shown = {name: query.get(name, "").strip() for name in FILTERS}
        for name in ("permission", "claim_id", "candidate_id", "context_id"):
            if shown[name]:
                chosen[name] = shown[name]
        cursor: dict[str, int] = {}
        for name, least in (("before", 1), ("after", 0)):
            if name in query:
                number = whole_number(query[name], least, LARGEST)
                if number is None:
                    raise Refused(400, "malformed_input", f"{name}: expected an entry number")
                cursor[name] = number
        low, high = await self._logged_between(shown["since"], shown["until"])
        if "after" in cursor:
            after, before = max(cursor["after"], low), high
            listed = await self.state.in_thread(
                lambda s: s.decisions(**chosen, **_range(after, before), limit=PAGE + 1)
            )
            newer = listed[PAGE - 1].sequence if len(listed) > PAGE else None
            listed = listed[:PAGE][::-1]
            older = listed[-1].sequence if listed and listed[-1].sequence > 1 else None
        else:
            after, before = low, min(cursor.get("before", LARGEST), high)
            listed = await self.state.in_thread(
                lambda s: s.decisions(
                    **chosen, **_range(after, before), newest_first=True, limit=PAGE + 1
                )  # fmt: skip
            )
            older = listed[PAGE - 1].sequence if len(listed) > PAGE else None
            listed = listed[:PAGE]
            newer = listed[0].sequence if "before" in cursor and listed else None
        documents = await self._documents()
        levels = list(dict.fromkeys(lv for d in documents.values() for lv in d["levels"]))
        kept = "".join(f"&{name}={quote(value, safe='')}" for name, value in shown.items() if value)
        return self.page(request, "decisions.html", {
            "rows": [DecisionRow.of(entry) for entry in listed], "filters": shown,
            "levels": levels or default_document()["levels"], "older": older, "newer": newer,
            "kept": kept, "paged": bool(cursor),
        })  # fmt: skip

    async def _logged_between(self, since: str, until: str) -> tuple[int, int]:
        """The entry numbers (after, before) that bound those logged in [since, until), found
        through the index on the time of logging. The log numbers its entries in the order it
        logs them, so a page of a time range is then read by number, however much of the log
        the range holds."""
        moments = [parse_time_text(text, name) for name, text in (("since", since),
                   ("until", until)) if text]  # fmt: skip
        if not moments:
            return 0, LARGEST
        first = await self.state.in_thread(Store.first_logged, moments)
        low = first.pop(0) - 1 if since else 0
        high = first[0] if until else LARGEST
        return low, high

    async def decision(self, request: Request) -> Response:
        sequence = whole_number(request.path_params["sequence"], 1, LARGEST)
        if sequence is None:
            raise Refused(400, "malformed_input", "expected an entry number")
        entry = await self.state.in_thread(Store.find_sequence, sequence)
        if entry is None:
            raise Refused(404, "decision_not_found", f"no decision {sequence} is logged")
        key = _chain_key(entry.record)
        published = await self.state.published(key) if key else None
        shown = decision_page(entry, published)
        shown["receipt"] = await self.state.in_thread(receipt_status, entry)
        return self.page(request, "decision.html", shown)

    async def chains(self, request: Request) -> Response:
        documents = await self._documents()
        published = dict(await self.state.in_thread(Store.chains))
        counts, through, head = await self.state.in_thread(self.uses.refresh)
        listed = [
            {"hash": key, "published": time_text(published.get(key)), "used": counts.get(key, 0),
             "levels": chain_levels(document)[::-1]}
            for key, document in documents.items()
        ]  # fmt: skip
        return self.page(request, "chains.html",
                         {"chains": listed, "through": through, "head": head})  # fmt: skip

    async def log(self, request: Request) -> Response:
        count, head = await self.state.in_thread(Store.head)
        checkpoint = await self.state.in_thread(Store.latest_checkpoint)
        return self.page(request, "log.html", {"count": count, "head": head,
                         "checkpoint": checkpoint, "checked": self.checked})  # fmt: skip

    async def verify(self, request: Request) -> Response:
        if not same_origin(request):
            raise Refused(403, "forbidden", "verification is asked for only from the pages")
        fault = await self.state.in_thread(Store.verify)
        count, head = await self.state.in_thread(Store.head)
        self.checked = Checked(time.time(), fault, count, head)
        return RedirectResponse("/ui/log", 303)


def _range(after: int, before: int) -> dict[str, int]:
    """The bounds of entry numbers to ask the store for, only those that bound anything."""
    bounds = {"after": after} if after > 0 else {}
    return {**bounds, "before": before} if before < LARGEST else bounds


def _goal(given: str | None) -> str:
    """Where a login leads: a page of these, never another site."""
    if given and given.startswith("/ui/") and "//" not in given and "\\" not in given:
        return given
    return "/ui/"


def _secure(request: Request) -> bool:
    return request.url.scheme == "https"


def _chain_key(record: str) -> str | None:
    start = record.find('"chain_hash":"')
    key = record[start + 14 : start + 78] if start >= 0 else ""
    return key if is_hex_digest(key) else None
