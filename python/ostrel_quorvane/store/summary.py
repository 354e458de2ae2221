"""Counts over the decision log for a reader's overview, each read through an index or a range
of sequence numbers rather than by reading every record: the decisions each chain judged, and the
levels answered between moments."""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from ostrel_quorvane.store.base import Store

__all__ = ["chain_uses", "first_logged", "levels_between"]

# A record's chain hash, read from its canonical text without parsing it: keys are sorted, so
# the top-level "chain_hash" follows only the chain itself, whose levels and roles hold no such
# key (and a quote inside a string is always escaped).
CHAIN_KEY = '"chain_hash":"'


def chain_uses(store: Store, after: int, through: int) -> dict[str, int]:
    """How many of the entries numbered after ``after`` up to ``through`` each chain hash
    judged. The log only grows, so a reader keeps the counts and asks only for what is new."""
    find = "strpos" if store._backend.placeholder == "%s" else "instr"
    start = f"{find}(record, '{CHAIN_KEY}')"
    query = store._sql(
        f"SELECT CASE WHEN {start} > 0 THEN substr(record, {start} + {len(CHAIN_KEY)}, 64) END "
        "AS chain, COUNT(*) FROM decisions WHERE sequence > ? AND sequence <= ? GROUP BY chain"
    )
    rows: list[Any] = store._run(
        False, lambda cursor: cursor.execute(query, (after, through)).fetchall()
    )
    return {str(chain): int(count) for chain, count in rows if chain is not None}


def first_logged(store: Store, moments: Sequence[float]) -> list[int]:
    """For each moment, the sequence number of the first entry logged at or after it (one past
    the head when there is none), found through the index on the time of logging. Entries are
    numbered in the order they were logged, so the entries logged between two moments are the
    numbers between these."""
    query = store._sql(
        "SELECT sequence FROM decisions WHERE logged_at >= ? AND sequence >= 1 "
        "ORDER BY logged_at, sequence LIMIT 1"
    )

    def read(cursor: Any) -> list[int]:
        found = []
        cursor.execute("SELECT COALESCE(MAX(sequence), 0) FROM decisions")
        past = int(cursor.fetchone()[0]) + 1
        for moment in moments:
            row = cursor.execute(query, (moment,)).fetchone()
            found.append(past if row is None else int(row[0]))
        return found

    numbers: list[int] = store._run(False, read)
    return numbers


def levels_between(
    store: Store, bounds: Sequence[int], levels: Iterable[str]
) -> list[dict[str, int]]:
    """For each range of sequence numbers [bounds[i], bounds[i+1]), how many entries answered
    each of ``levels``, counted in the index on the level; what the others answered (another
    level, or none) is counted under "". Sequence numbers are dense, so a range holds as many
    entries as it spans."""
    ranges = len(bounds) - 1
    counts: list[dict[str, int]] = [{} for _ in range(max(ranges, 0))]
    if ranges < 1:
        return counts
    cases = " ".join(f"WHEN sequence < {int(bound)} THEN {i}" for i, bound in
                     enumerate(bounds[1:]))  # fmt: skip
    query = store._sql(
        f"SELECT CASE {cases} END AS slot, COUNT(*) FROM decisions "
        "WHERE permission = ? AND sequence >= ? AND sequence < ? GROUP BY slot"
    )
    wanted = list(dict.fromkeys(levels))

    def read(cursor: Any) -> None:
        for level in wanted:
            for slot, count in cursor.execute(query, (level, bounds[0], bounds[-1])).fetchall():
                counts[int(slot)][level] = int(count)

    store._run(False, read)
    for i, found in enumerate(counts):
        rest = max(0, bounds[i + 1] - bounds[i] - sum(found.values()))
        if rest:
            found[""] = rest
    return counts
