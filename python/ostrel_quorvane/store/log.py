"""The decision log's form: a record's canonical text, its content hash, the hash that links an
entry to the one before it, and the entries themselves."""

from __future__ import annotations

import hashlib
import json
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, TypeGuard

from _ostrel_quorvane import _canonical_json

__all__ = [
    "CURRENT_RULE",
    "GENESIS",
    "LABELS",
    "LogEntry",
    "LogFault",
    "canonical_record",
    "content_hash",
    "entry_hash",
    "is_hex_digest",
]

# The columns of an entry beside its record, hash and time, each covered by its hash (rule 2).
LABELS = ("request_id", "permission", "claim_id", "candidate_id", "context_id")
# The previous hash of the first entry.
GENESIS = "0" * 64
# How an entry's hash is made. Rule 1 (stores of schema version 1) covers the link, the sequence
# number and the content hash; rule 2 covers every column an entry has: its time and its labels
# too.
# Each entry keeps the rule it was written under, so that older entries verify as they were made.
CURRENT_RULE = 2


def canonical_record(record: str | bytes | Mapping[str, Any]) -> str:
    """A decision record's canonical form: its JSON with object keys sorted, no insignificant
    whitespace and non-ASCII characters as themselves."""
    try:
        if isinstance(record, str | bytes):
            canonical = _canonical_json(record)
            if canonical is not None:
                return canonical
            record = json.loads(record)  # what the native form leaves: a fault, or a huge integer
        return json.dumps(record, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    except RecursionError:
        raise ValueError("the record is nested too deeply to be one") from None


def record_labels(canonical: str) -> tuple[str | None, ...]:
    """What the log is listed by, read from a record (None where it has none): the level
    answered, then the first request's claim, candidate and context ids."""
    try:
        record = json.loads(canonical)
    except ValueError:
        return (None, None, None, None)
    if not isinstance(record, dict):
        return (None, None, None, None)
    live = record.get("live")
    level = live.get("permission") if isinstance(live, dict) else None
    level = level if isinstance(level, str) else record.get("permission")
    inputs = record.get("inputs")
    first = inputs[0] if isinstance(inputs, list) and inputs else None
    request = first.get("request") if isinstance(first, dict) else None
    request = request if isinstance(request, dict) else {}
    ids = [request.get(name) for name in ("claim_id", "candidate_id", "context_id")]
    return tuple(value if isinstance(value, str) else None for value in (level, *ids))


def content_hash(canonical: str) -> str:
    """The SHA-256, in hex, of a record's canonical form in UTF-8."""
    return hashlib.sha256(canonical.encode()).hexdigest()


def is_hex_digest(text: object) -> TypeGuard[str]:
    """Whether ``text`` is a SHA-256 as the log writes one (a content hash, a chain's hash): 64
    lower-case hex digits."""
    return isinstance(text, str) and len(text) == 64 and not text.strip("0123456789abcdef")


def entry_hash(
    previous: str,
    sequence: int,
    content: str,
    logged_at: float = 0.0,
    labels: Sequence[str | None] = (),
    rule: int = CURRENT_RULE,
) -> str:
    """The hash of a log entry, in hex: SHA-256 of ``previous:sequence:content`` under rule 1;
    under rule 2, of ``previous:sequence:content:logged_at`` (the time as Python's repr of the
    float writes it) followed, for each of the LABELS, by ``:-`` when it is missing, else by
    ``:`` and its length in characters, ``:`` and itself: every column the entry has, each
    unambiguous whatever text it holds."""
    if rule == 1:
        text = f"{previous}:{sequence}:{content}"
    else:
        padded = list(labels) + [None] * (len(LABELS) - len(labels))
        rest = "".join(":-" if label is None else f":{len(label)}:{label}" for label in padded)
        text = f"{previous}:{sequence}:{content}:{float(logged_at)!r}{rest}"
    return hashlib.sha256(text.encode()).hexdigest()


@dataclass(frozen=True)
class LogEntry:
    """One decision in the log."""

    sequence: int
    record: str  # canonical form
    content_hash: str
    previous_hash: str
    entry_hash: str
    logged_at: float
    rule: int = CURRENT_RULE
    request_id: str | None = None  # the request of the service's that logged it
    # What the log is listed by, from the record: the level answered (the live one where there
    # is one) and the (first) request's ids. None for a record that has none, and for entries
    # of rule 1, which never had them.
    permission: str | None = None
    claim_id: str | None = None
    candidate_id: str | None = None
    context_id: str | None = None

    @property
    def labels(self) -> tuple[str | None, ...]:
        return (self.request_id, self.permission, self.claim_id, self.candidate_id,
                self.context_id)  # fmt: skip

    def as_json(self) -> str:
        """The entry as one JSON object: every column, so that its hash can be checked again
        from this alone, its record written in as the canonical text the log holds (never
        parsed again)."""
        columns = {
            "sequence": self.sequence,
            "logged_at": self.logged_at,
            "content_hash": self.content_hash,
            "previous_hash": self.previous_hash,
            "entry_hash": self.entry_hash,
            "rule": self.rule,
            **dict(zip(LABELS, self.labels, strict=True)),
        }
        return f'{json.dumps(columns)[:-1]},"record":{self.record}}}'

    def decision(self) -> dict[str, Any]:
        """The decision record, parsed."""
        parsed: dict[str, Any] = json.loads(self.record)
        return parsed

    def fault(self) -> str | None:
        """What is wrong with this entry on its own (its record against its content hash, its
        columns against its entry hash), or None. Its link to the entry before is not checked."""
        if content_hash(self.record) != self.content_hash:
            return "its record does not match its content hash"
        if self.rule == 1 and any(label is not None for label in self.labels):
            return "it holds columns its hash rule does not cover"
        again = entry_hash(self.previous_hash, self.sequence, self.content_hash, self.logged_at,
                           self.labels, self.rule)  # fmt: skip
        if again != self.entry_hash:
            return "its entry hash does not match its contents"
        return None


@dataclass(frozen=True)
class LogFault:
    """The first entry at which the log's chain breaks, and how."""

    sequence: int
    reason: str
