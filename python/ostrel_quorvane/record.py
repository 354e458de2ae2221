"""Decision records: what a decision was made from and what it gave, in a form that can be
audited for as long as it is kept.

A record holds the request documents, the chain, the moment the judgment was made as of
(``compiled_at``), the judgment with its derivation and, when the decision was evaluated at a
moment of use, that evaluation. :func:`audit` judges the recorded inputs again as of the recorded
moments and names the first recorded field that differs.
"""

from __future__ import annotations

import json
from collections.abc import Mapping
from dataclasses import dataclass, replace
from typing import Any

from _ostrel_quorvane import (
    InMemoryChainRegistry,
    Judgment,
    NegativeControlStatus,
    PermissionChain,
    ProofContext,
    QuorvaneError,
    RuntimeContext,
    _evaluate_live,
    _utc_text,
    verify_published,
)

from ostrel_quorvane.asof import compile_at, compile_static_at, compose_at, unix_seconds
from ostrel_quorvane.decision import RECORD_FORMAT
from ostrel_quorvane.files import RequestFileError, clip, judged
from ostrel_quorvane.request import (
    NC_STATUSES,
    parse_time,
    read_chain,
    read_request,
)

__all__ = [
    "RECORD_FORMAT",
    "AuditFailed",
    "Live",
    "Recorded",
    "audit",
    "chain_registry",
    "evaluate_live",
    "read_record",
    "steps_of",
    "utc_text",
]

# The engine's reason when every check of a live evaluation passed.
LIVE_PASSED = "live permission read"


class AuditFailed(Exception):
    """A record that its inputs, judged again, do not give; ``field`` is the first that differs."""

    def __init__(self, field: str, message: str) -> None:
        super().__init__(f"audit failed: {field}: {message}")
        self.field = field


@dataclass
class Live:
    """A live evaluation: the moment of use, its answer and the engine's reason."""

    now: float
    context_fingerprint: str
    negative_control_states: dict[str, str]
    strict_mode: bool
    permission: str
    reason: str | None

    @property
    def floored(self) -> bool:
        """Whether a check replaced the compiled level by a floor (which may bear its name)."""
        return self.reason != LIVE_PASSED

    def runtime(self) -> RuntimeContext:
        states = {
            k: getattr(NegativeControlStatus, v) for k, v in self.negative_control_states.items()
        }
        return RuntimeContext(self.now, self.context_fingerprint, states, self.strict_mode)


def steps_of(judgment: Judgment) -> list[dict[str, Any]]:
    """A judgment's derivation as the decision record holds it."""
    return [
        {
            "phase": step.phase,
            "permission_after": step.permission_after.as_str(),
            "note": step.note,
            "token_ids": step.token_ids,
        }
        for step in judgment.derivation.steps
    ]


def utc_text(seconds: float) -> str:
    """Unix seconds as a decision record writes them: RFC 3339 text in UTC, or the number itself
    beyond what that text holds."""
    text: str = _utc_text(seconds)
    return text


def evaluate_live(context: ProofContext, chain: PermissionChain, at: float, moment: Live) -> Live:
    """``moment`` (its permission and reason ignored) evaluated again for ``context`` compiled as
    of ``at``, with the engine's reason: the fixed message of the check that decided."""
    permission, reason = _evaluate_live(compile_at(context, at, chain), moment.runtime())
    return replace(moment, permission=permission, reason=reason)


# -- audit ----------------------------------------------------------------------------------


@dataclass
class Recorded:
    """A decision record read back: the record, where it came from, and the context and chain
    its inputs give, rebuilt by the engine."""

    record: dict[str, Any]
    source: str
    context: ProofContext
    chain: PermissionChain


def read_record(record: Any, source: str) -> Recorded:
    """Reads a decision record (as parsed JSON) and rebuilds its inputs; RequestFileError or
    EngineRefusal for a record that cannot be read."""
    context, chain = _rebuild(record, source)
    return Recorded(record, source, context, chain)


def chain_registry(key: object, published: PermissionChain | None) -> InMemoryChainRegistry:
    """A registry of the chain a record names by ``key``: the default chain when it is that
    chain's hash, else ``published`` when one is given; empty otherwise."""
    registry = InMemoryChainRegistry()
    default = PermissionChain.default_chain()
    if key == default.chain_hash().to_hex():
        registry.publish(default)
    elif published is not None:
        registry.publish(published)
    return registry


def audit(recorded: Recorded, registry: InMemoryChainRegistry) -> Judgment:
    """Checks a decision record against its own inputs and the published chains; returns the
    judgment its inputs give, judged again as of the recorded ``compiled_at``.

    Raises AuditFailed, naming the first field that differs, for a record that says other than
    its inputs give, and EngineRefusal for inputs the engine refuses."""
    record, source, context, chain = (
        recorded.record,
        recorded.source,
        recorded.context,
        recorded.chain,
    )
    recorded_hash = record["chain_hash"]
    actual = chain.chain_hash().to_hex()
    if actual != recorded_hash:
        raise AuditFailed(
            "chain_hash", f"the recorded chain hashes to {actual}, not to {_show(recorded_hash)}"
        )
    at = _moment_of(record, "compiled_at", source, "$")
    if at != unix_seconds(at):
        raise AuditFailed("compiled_at", f"{record['compiled_at']!r} is not a whole second")
    judgment: Judgment = judged(source, "$.inputs", compile_static_at, context, at, chain)
    try:
        verify_published(judgment, registry)
    except QuorvaneError as error:
        raise AuditFailed("chain_hash", f"{error} ({len(registry)} chain(s) published)") from None
    if not isinstance(record.get("compiled_at_utc"), str):
        raise RequestFileError(source, "$.compiled_at_utc", "expected RFC 3339 text")
    if record.get("compiled_at_utc") != utc_text(at):
        shown = _show(record.get("compiled_at_utc"))
        raise AuditFailed(
            "compiled_at", f"{at!r} is not the moment compiled_at_utc {shown} records"
        )
    # The request's identity first, then what was decided, then why.
    expected = {
        "provenance_hash": judgment.derivation.provenance_hash,
        "permission": judgment.permission_str,
        "derivation": steps_of(judgment),
    }
    for name, value in expected.items():
        _same(name, record.get(name), value)
    # A request that describes its moment of use is always evaluated at it; a composition only
    # when its decider described one.
    described = [i for i, item in enumerate(record["inputs"]) if "runtime" in item["request"]]
    if described and "live" not in record and not record["composed"]:
        raise AuditFailed("live", f"missing, though inputs[{described[0]}] has a runtime")
    if "live" in record:
        live = _recorded_live(record["live"], source)
        if live.now != unix_seconds(live.now):
            raise AuditFailed("live.now", f"{live.now!r} is not a whole second")
        again = judged(source, "$.inputs", evaluate_live, context, chain, at, live)
        if not isinstance(record["live"].get("now_utc"), str):
            raise RequestFileError(source, "$.live.now_utc", "expected RFC 3339 text")
        if record["live"].get("now_utc") != utc_text(live.now):
            shown = _show(record["live"].get("now_utc"))
            raise AuditFailed("live.now", f"{live.now!r} is not the moment now_utc {shown} records")
        _same("live.permission", live.permission, again.permission)
        if live.reason is not None:  # records written without the engine's reason hold null
            _same("live.reason", live.reason, again.reason)
    return judgment


def _same(name: str, recorded: Any, again: Any) -> None:
    if recorded == again:
        return
    if isinstance(recorded, list) and isinstance(again, list):
        for i, (mine, theirs) in enumerate(zip(recorded, again, strict=False)):
            if isinstance(mine, Mapping) and isinstance(theirs, Mapping):
                for key in theirs:
                    _same(f"{name}[{i}].{key}", mine.get(key), theirs[key])
            _same(f"{name}[{i}]", mine, theirs)
        raise AuditFailed(name, f"recorded {len(recorded)} step(s), judged again {len(again)}")
    raise AuditFailed(name, f"recorded {_show(recorded)}, judged again {_show(again)}")


def _show(value: Any) -> str:
    return clip(json.dumps(value, ensure_ascii=False), 200)


def _moment_of(record: Mapping[str, Any], name: str, source: str, at: str) -> float:
    value = record.get(name)
    if isinstance(value, bool) or not isinstance(value, int | float):
        raise RequestFileError(source, f"{at}.{name}", "expected Unix seconds")
    return parse_time(value, source, f"{at}.{name}")


def _recorded_live(live: Any, source: str) -> Live:
    where = "$.live"
    if not isinstance(live, dict):
        raise RequestFileError(source, where, "expected an object")
    now = _moment_of(live, "now", source, where)
    for name, kind, expected in (
        ("context_fingerprint", str, "a string"),
        ("strict_mode", bool, "true or false"),
        ("permission", str, "a level name"),
        ("negative_control_states", dict, "an object mapping token ids to statuses"),
    ):
        if not isinstance(live.get(name), kind):
            raise RequestFileError(source, f"{where}.{name}", f"expected {expected}")
    states = live["negative_control_states"]
    for token_id, status in states.items():
        if status not in NC_STATUSES:
            path = f"{where}.negative_control_states[{json.dumps(token_id, ensure_ascii=False)}]"
            raise RequestFileError(source, path, f"expected one of {', '.join(NC_STATUSES)}")
    reason = live.get("reason")
    return Live(
        now=now,
        context_fingerprint=live["context_fingerprint"],
        negative_control_states=dict(states),
        strict_mode=live["strict_mode"],
        permission=live["permission"],
        reason=reason if isinstance(reason, str) else None,
    )


# The fields a decision record has, at each place: a record is refused with any other.
RECORD_FIELDS = (
    "format", "tool", "inputs", "composed", "chain", "chain_hash", "permission",
    "provenance_hash", "compiled_at", "compiled_at_utc", "derivation", "live",
)  # fmt: skip
INPUT_FIELDS = ("source", "request")
STEP_FIELDS = ("phase", "permission_after", "note", "token_ids")
LIVE_FIELDS = ("now", "now_utc", "context_fingerprint", "negative_control_states", "strict_mode",
               "permission", "reason")  # fmt: skip


def _known_fields(value: Any, fields: tuple[str, ...], source: str, path: str) -> None:
    if not isinstance(value, dict):
        return
    for key in value:
        if key not in fields:
            where = f"{path}.{key}" if key.isidentifier() else f"{path}[{_show(key)}]"
            raise RequestFileError(
                source, where, f"unknown field; expected one of {', '.join(fields)}"
            )


def _shape(record: dict[str, Any], source: str) -> None:
    """Refuses a record with a field its format does not have, naming the first."""
    _known_fields(record, RECORD_FIELDS, source, "$")
    for name, fields in (("inputs", INPUT_FIELDS), ("derivation", STEP_FIELDS)):
        items = record.get(name)
        for index, item in enumerate(items if isinstance(items, list) else []):
            _known_fields(item, fields, source, f"$.{name}[{index}]")
    _known_fields(record.get("live"), LIVE_FIELDS, source, "$.live")


def _rebuild(record: Any, source: str) -> tuple[ProofContext, PermissionChain]:
    """The context and chain a decision record was made from, rebuilt by the engine."""
    if not isinstance(record, dict) or record.get("format") != RECORD_FORMAT:
        raise RequestFileError(source, "$.format", f'expected "{RECORD_FORMAT}"')
    _shape(record, source)
    for name, kind, expected in (
        ("composed", bool, "true or false"),
        ("chain_hash", str, "64 hex digits"),
        ("derivation", list, "an array of steps"),
    ):
        if not isinstance(record.get(name), kind):
            raise RequestFileError(source, f"$.{name}", f"expected {expected}")
    chain = read_chain(record.get("chain"), source, "$.chain")
    inputs = record.get("inputs")
    if not isinstance(inputs, list) or len(inputs) != (2 if record["composed"] else 1):
        raise RequestFileError(source, "$.inputs", "expected one request, or two when composed")
    contexts = []
    for index, item in enumerate(inputs):
        if not isinstance(item, dict) or "request" not in item:
            raise RequestFileError(source, f"$.inputs[{index}]", 'expected {"request": ...}')
        where = f"$.inputs[{index}].request"
        contexts.append(read_request(item["request"], source, chain, where).context)
    if len(contexts) == 2:
        at = _moment_of(record, "compiled_at", source, "$")
        return judged(source, "$.inputs", compose_at, contexts[0], contexts[1], at, chain), chain
    return contexts[0], chain
