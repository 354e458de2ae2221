"""What the pages show of the log, read into plain values for the templates: a row of the
listing, one decision with its audit and the picture of its chain, the chains with how often
each was used, and the state of the log. Nothing here writes; every value from a record is
left as text for the templates to escape."""

from __future__ import annotations

import json
import threading
import time
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

from _ostrel_quorvane import PermissionChain, QuorvaneError

from ostrel_quorvane.files import InputError
from ostrel_quorvane.receipts import ProofInvalid, verify_receipt
from ostrel_quorvane.record import AuditFailed, audit, chain_registry, read_record
from ostrel_quorvane.request import chain_document
from ostrel_quorvane.store import LogEntry, LogFault, Store

__all__ = [
    "ChainUses",
    "Checked",
    "DecisionRow",
    "chain_levels",
    "decision_page",
    "level_class",
    "time_text",
]

# The engine's reason when every check of a live evaluation passed.
LIVE_PASSED = "live permission read"
# The roles in the order a chain's table lists them under a level.
ROLES = ("Bottom", "ExpiryFloor", "Refused", "Unsatisfied", "DisallowedUsesCeiling",
         "BlockerThreshold", "Top")  # fmt: skip
_DEFAULT: dict[str, Any] = {}


def default_document() -> dict[str, Any]:
    if not _DEFAULT:
        _DEFAULT.update(chain_document(PermissionChain.default_chain()))
    return _DEFAULT


def time_text(seconds: float | None) -> str:
    """A moment as a person reads it, in UTC."""
    if seconds is None:
        return ""
    try:
        return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(seconds))
    except (OverflowError, OSError, ValueError):
        return repr(seconds)


def level_class(chain: Any, level: Any) -> str:
    """How a level stands in a chain (its document form): "allow" at or above the blocker
    threshold, "refuse" at or below Refused, "between" otherwise, "unknown" when the chain does
    not hold it."""
    if not isinstance(chain, Mapping) or not isinstance(level, str):
        return "unknown"
    levels, roles = chain.get("levels"), chain.get("roles")
    if not isinstance(levels, list) or not isinstance(roles, Mapping) or level not in levels:
        return "unknown"
    rank = levels.index(level)
    threshold, refused = roles.get("BlockerThreshold"), roles.get("Refused")
    if isinstance(threshold, int) and rank >= threshold:
        return "allow"
    if isinstance(refused, int) and rank <= refused:
        return "refuse"
    return "between"


def _parsed(entry: LogEntry) -> dict[str, Any]:
    try:
        record = json.loads(entry.record)
    except ValueError:
        return {}
    return record if isinstance(record, dict) else {}


def _live(record: Mapping[str, Any]) -> Mapping[str, Any] | None:
    live = record.get("live")
    return live if isinstance(live, Mapping) else None


def _final_class(record: Mapping[str, Any], level: Any) -> str:
    """The class of the level a decision answered: a live answer that a check floored is a level
    of the default chain."""
    live = _live(record)
    floored = live is not None and live.get("reason") not in (None, LIVE_PASSED)
    chain = default_document() if floored else record.get("chain")
    found = level_class(chain, level)
    return level_class(default_document(), level) if found == "unknown" else found


@dataclass
class DecisionRow:
    """One line of the listing."""

    sequence: int
    logged: str
    claim_id: str | None
    candidate_id: str | None
    context_id: str | None
    permission: str | None
    css: str
    chain_hash: str | None
    judged: str | None  # the compiled level, when a moment of use answered otherwise

    @classmethod
    def of(cls, entry: LogEntry) -> DecisionRow:
        record = _parsed(entry)
        live, judged = _live(record), record.get("permission")
        changed = live is not None and live.get("permission") != judged
        chain_hash = record.get("chain_hash")
        return cls(
            entry.sequence,
            time_text(entry.logged_at),
            entry.claim_id,
            entry.candidate_id,
            entry.context_id,
            entry.permission,
            _final_class(record, entry.permission),
            chain_hash if isinstance(chain_hash, str) else None,
            str(judged) if changed else None,
        )


@dataclass
class Level:
    """One level of a chain as a page draws it."""

    name: str
    css: str
    roles: list[str]
    steps: list[int] = field(default_factory=list)
    final: bool = False


def chain_levels(document: Any, final: Any = None, passed: list[Any] | None = None) -> list[Level]:
    """A chain's levels bottom first, each with its roles, its class, the steps of a derivation
    that left the judgment at it and whether it is the level answered."""
    if not isinstance(document, Mapping) or not isinstance(document.get("levels"), list):
        return []
    roles = document.get("roles")
    roles = roles if isinstance(roles, Mapping) else {}
    levels = []
    for rank, name in enumerate(document["levels"]):
        held = [role for role in ROLES if roles.get(role) == rank]
        steps = [n for n, level in enumerate(passed or [], 1) if level == name]
        levels.append(Level(str(name), level_class(document, name), held, steps, name == final))
    return levels


@dataclass
class Audited:
    """What auditing a record gave: passed, or why not."""

    passed: bool
    message: str


def audit_entry(record: dict[str, Any], published: PermissionChain | None) -> Audited:
    """Audits a logged record against the chain published under its hash (or the default
    chain), as the audit route does."""
    registry = chain_registry(record.get("chain_hash"), published)
    if len(registry) == 0:
        return Audited(False, "its chain is not published in this store")
    try:
        judgment = audit(read_record(record, "record"), registry)
    except AuditFailed as failed:
        return Audited(False, str(failed))
    except InputError as error:
        return Audited(False, f"the record cannot be read: {error.path}: {error.detail}")
    except QuorvaneError as error:
        return Audited(False, f"the engine refused the record's inputs: {error}")
    return Audited(True, f"judged again as {judgment.permission_str}")


def decision_page(entry: LogEntry, published: PermissionChain | None) -> dict[str, Any]:
    """Everything the page of one decision shows."""
    record = _parsed(entry)
    steps = [s for s in record.get("derivation") or [] if isinstance(s, Mapping)]
    inputs = []
    for item in record.get("inputs") or []:
        request = item.get("request") if isinstance(item, Mapping) else None
        request = request if isinstance(request, Mapping) else {}
        inputs.append({
            "source": item.get("source") if isinstance(item, Mapping) else None,
            "ids": [(name, request.get(name)) for name in ("claim_id", "candidate_id",
                    "context_id", "allowed_use", "authority_ceiling") if name in request],
            "text": json.dumps(request, indent=2, ensure_ascii=False, sort_keys=True),
        })  # fmt: skip
    live = _live(record)
    judged = record.get("permission")
    chain = record.get("chain")
    return {
        "entry": entry,
        "logged": time_text(entry.logged_at),
        "record": record,
        "readable": bool(record),
        "final_css": _final_class(record, entry.permission),
        "judged": judged,
        "judged_css": level_class(chain, judged),
        "compiled": record.get("compiled_at_utc"),
        "inputs": inputs,
        "steps": [
            {
                "phase": step.get("phase"),
                "after": step.get("permission_after"),
                "css": level_class(chain, step.get("permission_after")),
                "note": step.get("note"),
                "tokens": ", ".join(dict.fromkeys(map(str, step.get("token_ids") or []))),
            }
            for step in steps
        ],
        "levels": chain_levels(chain, judged, [step.get("permission_after") for step in steps]),
        "live": live,
        "live_css": _final_class(record, live.get("permission")) if live else "unknown",
        "live_changed": live is not None and live.get("permission") != judged,
        "audit": audit_entry(record, published) if record else Audited(False, "not JSON"),
        "text": json.dumps(record, indent=2, ensure_ascii=False, sort_keys=True),
    }


class ChainUses:
    """How many logged decisions each chain judged, counted once and then only for what was
    logged since (the log only grows). A page counts for at most ``budget`` seconds and says
    how far it got; the next one goes on from there."""

    def __init__(self, step: int = 50_000, budget: float = 1.0) -> None:
        self.step, self.budget = step, budget
        self.through = 0
        self.counts: dict[str, int] = {}
        self._lock = threading.Lock()

    def refresh(self, store: Store) -> tuple[dict[str, int], int, int]:
        """The counts, the last entry counted and the log's head."""
        with self._lock:
            head, _ = store.head()
            if head < self.through:  # another log under the same name: start again
                self.through, self.counts = 0, {}
            deadline = time.monotonic() + self.budget
            while self.through < head and time.monotonic() < deadline:
                upto = min(head, self.through + self.step)
                for key, count in store.chain_uses(self.through, upto).items():
                    self.counts[key] = self.counts.get(key, 0) + count
                self.through = upto
            return dict(self.counts), self.through, head


@dataclass
class Checked:
    """The last verification of the log this worker ran."""

    at: float
    fault: LogFault | None
    entries: int
    head: str


def receipt_status(store: Store, entry: LogEntry) -> str:
    """Where the entry stands in the verifiable log, checked as a receipt is: by the newest
    signed checkpoint that holds it, its key being one the log has used."""
    if store._version < 3:
        return "the store was written before the log kept a Merkle tree"
    note = store.proofs.covering(entry.sequence)
    if note is None:
        return "no signed checkpoint holds this entry yet"
    receipt = store.proofs.receipt_for(entry, note)
    keys = [key.verifier for key in store.proofs.keys()]
    try:
        checkpoint = verify_receipt(entry.record, receipt, keys)
    except ProofInvalid as error:
        return f"its receipt does not verify: {error}"
    signer = "+".join(checkpoint.signer.split("+")[:2])
    return (f"proven: entry {entry.sequence:,} of the signed checkpoint of "
            f"{checkpoint.size:,} entries of {checkpoint.origin}, signed by {signer}")  # fmt: skip
