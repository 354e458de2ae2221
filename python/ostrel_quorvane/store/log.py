"""The decision log's form: a record's canonical text, its content hash, the hash that links an
entry to the one before it, and the entries themselves."""

from __future__ import annotations

import hashlib
import json
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from _ostrel_quorvane import _canonical_json

__all__ = [
    "CURRENT_RULE",
    "GENESIS",
    "LogEntry",
    "LogFault",
    "canonical_record",
    "content_hash",
    "entry_hash",
]

# The previous hash of the first entry.
GENESIS = "0" * 64
# How an entry's hash is made. Rule 1 (stores of schema version 1) covers the link, the sequence
# number and the content hash; rule 2 covers every column an entry has, its logging time and the
# id of the request that logged it too.
# Each entry keeps the rule it was written under, so that older entries verify as they were made.
CURRENT_RULE = 2


def canonical_record(record: str | bytes | Mapping[str, Any]) -> str:
    """A decision record's canonical form: its JSON with object keys sorted, no insignificant
    whitespace and non-ASCII characters as themselves."""
    if isinstance(record, str | bytes):
        canonical = _canonical_json(record)
        if canonical is not None:
            return canonical
        record = json.loads(record)  # what the native form leaves: a fault, or a huge integer
    return json.dumps(record, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def content_hash(canonical: str) -> str:
    """The SHA-256, in hex, of a record's canonical form in UTF-8."""
    return hashlib.sha256(canonical.encode()).hexdigest()


def entry_hash(
    previous: str,
    sequence: int,
    content: str,
    logged_at: float = 0.0,
    request_id: str | None = None,
    rule: int = CURRENT_RULE,
) -> str:
    """The hash of a log entry, in hex: SHA-256 of ``previous:sequence:content`` under rule 1,
    of ``previous:sequence:content:logged_at:request_id`` under rule 2 (the time as Python's
    repr of the float writes it, which reads back as the same number; no request id is empty)."""
    if rule == 1:
        text = f"{previous}:{sequence}:{content}"
    else:
        text = f"{previous}:{sequence}:{content}:{float(logged_at)!r}:{request_id or ''}"
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

    def decision(self) -> dict[str, Any]:
        """The decision record, parsed."""
        parsed: dict[str, Any] = json.loads(self.record)
        return parsed

    def fault(self) -> str | None:
        """What is wrong with this entry on its own (its record against its content hash, its
        columns against its entry hash), or None. Its link to the entry before is not checked."""
        if content_hash(self.record) != self.content_hash:
            return "its record does not match its content hash"
        again = entry_hash(self.previous_hash, self.sequence, self.content_hash, self.logged_at,
                           self.request_id, self.rule)  # fmt: skip
        if again != self.entry_hash:
            return "its entry hash does not match its contents"
        return None


@dataclass(frozen=True)
class LogFault:
    """The first entry at which the log's chain breaks, and how."""

    sequence: int
    reason: str
