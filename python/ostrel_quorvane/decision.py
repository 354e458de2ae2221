"""One decision: the one way a request becomes an answered, loggable record.

:func:`decide` takes one request document as bytes (or text), :func:`compose` two; each is one
call into the engine, which reads the documents once, compiles once (the pair composed first),
evaluates the moment of use on that same judgment, and writes the decision record in the decision
log's canonical form with its SHA-256. The tool's ``decide``, ``compose`` and ``decide --batch``
and the service's ``/v1/decide``, ``/v1/decide/batch`` and ``/v1/compose`` all decide here, and
nothing else assembles a decision. The rules live in this one call:

- the chain in force: the one given, else the requests' own (which must agree), else the
  default chain;
- the moment: ``at``, else the first request's own moment of use (``runtime.now``), else one
  reading of the clock, in whole seconds;
- the moment of use: for one request, evaluated when a moment is given, when the request
  describes one, or when ``use`` says anything of it; for a composed pair only when ``use``
  does (each request's own describes its own use). Its fingerprint, token states and mode are
  ``use``'s, else the request's, else the context's own fingerprint, no states and strict mode.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from datetime import datetime

from _ostrel_quorvane import Judgment, PermissionChain, _decide, _reformat_json

from ostrel_quorvane import __version__
from ostrel_quorvane.asof import unix_seconds
from ostrel_quorvane.files import EngineRefusal, InputError, RequestFileError
from ostrel_quorvane.request import InlineChainRefused, parse_time
from ostrel_quorvane.store.writer import Appending

__all__ = [
    "RECORD_FORMAT",
    "ChainsDiffer",
    "Decision",
    "Live",
    "UnknownControl",
    "Use",
    "compose",
    "decide",
]

RECORD_FORMAT = "ostrel-quorvane.decision/1"
TOOL = f"ostrel-quorvane {__version__}"

Document = bytes | bytearray | memoryview | str
Moment = float | int | str | datetime


class ChainsDiffer(InputError):
    """Two requests that name different chains, where none was given to choose."""

    def __init__(self, first: str, later: str) -> None:
        super().__init__(later, "$.chain", f"names a chain other than {first}'s")
        self.first, self.later = first, later


class UnknownControl(InputError):
    """A token state given for a token that is no negative-control token of the request."""

    def __init__(self, source: str, token_id: str, known: list[str]) -> None:
        super().__init__(source, token_id, "names no negative-control token of the request")
        self.token_id, self.known = token_id, known


@dataclass(frozen=True)
class Use:
    """What a caller says of the moment of use, over what the request says."""

    fingerprint: str | None = None
    negative_control_states: Mapping[str, str] = field(default_factory=dict)  # id -> status
    lenient: bool = False


@dataclass(frozen=True)
class Live:
    """The evaluation at the moment of use: its level, the engine's reason, and whether a check
    replaced the compiled level by a floor (which may bear its name)."""

    permission: str
    reason: str
    floored: bool


@dataclass(frozen=True)
class Decision:
    """A decision: its record in the log's canonical form and that record's SHA-256, the chain
    it was judged under, the level judged and the live evaluation, if any."""

    record: str
    digest: str
    chain: PermissionChain
    chain_hash: str  # the chain's hash in hex, what it is published under
    chain_given: bool
    judged: str
    live: Live | None
    sources: tuple[str, ...]
    ids: tuple[str, str, str]  # the (first) request's claim, candidate and context ids
    judgment: Judgment | None = None

    @property
    def permission(self) -> str:
        """The level answered: the live one where there is a moment of use."""
        return self.live.permission if self.live is not None else self.judged

    def text(self, indent: int = 0) -> str:
        """The record: as the log keeps it, or indented by ``indent`` spaces."""
        return self.record if indent == 0 else _reformat_json(self.record, indent)

    def appending(self, request_id: str | None = None) -> Appending:
        """The record on its way to the log: its digest computed already, and what the log is
        listed by."""
        return Appending(self.record, self.digest, request_id, self.permission, *self.ids)


def decide(
    data: Document,
    *,
    source: str = "request",
    chain: PermissionChain | None = None,
    at: Moment | None = None,
    use: Use | None = None,
    inline_chain: bool = True,
    judgment: bool = False,
) -> Decision:
    """The decision on one request document. Raises InputError (RequestFileError, EngineRefusal,
    InlineChainRefused, UnknownControl) naming ``source`` and the JSON path; ``judgment`` keeps
    the Judgment too, for showing it."""
    return _decided([data], (source,), chain, at, use, inline_chain, judgment)


def compose(
    first: Document,
    second: Document,
    *,
    sources: tuple[str, str] = ("first", "second"),
    chain: PermissionChain | None = None,
    at: Moment | None = None,
    use: Use | None = None,
    inline_chain: bool = True,
    judgment: bool = False,
) -> Decision:
    """The decision on two request documents composed; as :func:`decide`, ChainsDiffer too."""
    return _decided([first, second], sources, chain, at, use, inline_chain, judgment)


def _decided(
    documents: list[Document],
    sources: Sequence[str],
    chain: PermissionChain | None,
    at: Moment | None,
    use: Use | None,
    inline_chain: bool,
    judgment: bool,
) -> Decision:
    moment = None if at is None else _seconds(at)
    use = use or Use()
    controls = list(use.negative_control_states.items()) or None
    ok, result = _decide(
        documents, list(sources), RECORD_FORMAT, TOOL, chain, moment, use.fingerprint, controls,
        use.lenient, inline_chain, judgment,
    )  # fmt: skip
    if not ok:
        _refuse(sources, *result)
    record, digest, in_force, key, given, judged, live, kept, ids = result
    return Decision(
        record,
        digest,
        in_force,
        key,
        given,
        judged,
        None if live is None else Live(*live),
        tuple(sources),
        ids,
        kept,
    )


def _seconds(at: Moment) -> float:
    """``at`` as Unix seconds: a number as it is (the engine truncates it, and refuses one it
    cannot hold), RFC 3339 text read, a datetime converted."""
    if isinstance(at, bool):
        raise TypeError("a moment is Unix seconds, RFC 3339 text or a datetime, not a bool")
    if isinstance(at, int | float):
        return float(at)
    if isinstance(at, datetime):
        return unix_seconds(at)
    return parse_time(at, "at", "$")


def _refuse(sources: Sequence[str], kind: str, input: int | None, path: str, detail: str) -> None:
    source = sources[input] if input is not None else " + ".join(sources)
    if kind == "engine":
        raise EngineRefusal(source, path, detail)
    if kind == "inline":
        raise InlineChainRefused(source, path, detail)
    if kind == "chains":
        raise ChainsDiffer(sources[0], source)
    if kind == "control":
        raise UnknownControl(source, path, detail.split(", ") if detail else [])
    raise RequestFileError(source, path, detail if kind == "format" else f"expected {detail}")
