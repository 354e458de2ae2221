"""The decision log's form: a record's canonical text, its content hash, the hash that links an
entry to the one before it, and the entries themselves."""

from __future__ import annotations

import hashlib
import json
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from _ostrel_quorvane import _canonical_json

__all__ = ["GENESIS", "LogEntry", "LogFault", "canonical_record", "content_hash", "entry_hash"]

# The previous hash of the first entry.
GENESIS = "0" * 64


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


def entry_hash(previous: str, sequence: int, content: str) -> str:
    """The hash of a log entry: SHA-256 of ``previous:sequence:content``, in hex."""
    return hashlib.sha256(f"{previous}:{sequence}:{content}".encode()).hexdigest()


@dataclass(frozen=True)
class LogEntry:
    """One decision in the log."""

    sequence: int
    record: str  # canonical form
    content_hash: str
    previous_hash: str
    entry_hash: str
    logged_at: float

    def decision(self) -> dict[str, Any]:
        """The decision record, parsed."""
        parsed: dict[str, Any] = json.loads(self.record)
        return parsed


@dataclass(frozen=True)
class LogFault:
    """The first entry at which the log's chain breaks, and how."""

    sequence: int
    reason: str
