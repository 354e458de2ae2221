"""The Merkle tree over the decision log: leaf i is entry i + 1's canonical record, and the table
``tree`` keeps the hash of every complete subtree under its in-order key, written in the
transaction that appends the entries. A root, an inclusion proof and a consistency proof each
read O(log n) rows; the hashing is the engine's."""

from __future__ import annotations

from collections.abc import Callable, Iterable, Sequence
from typing import TYPE_CHECKING, Any

from _ostrel_quorvane import _merkle_append, _merkle_frontier, _merkle_plan, _merkle_prove

if TYPE_CHECKING:
    from ostrel_quorvane.store.base import Store

__all__ = ["TreeIncomplete", "build_tree", "extend", "prove", "subtrees"]

# Entries read a page at a time when a tree is built from a log.
PAGE = 2000


class TreeIncomplete(Exception):
    """The tree lacks subtrees its entries make: it was not kept with them."""


def subtrees(store: Store, cursor: Any, keys: Sequence[int]) -> list[bytes]:
    """The hashes of the subtrees ``keys``, in their order."""
    if not keys:
        return []
    unique = sorted(set(keys))
    marks = ", ".join("?" * len(unique))
    rows = cursor.execute(
        store._sql(f"SELECT node, hash FROM tree WHERE node IN ({marks})"), unique
    ).fetchall()
    found = {int(node): bytes(digest) for node, digest in rows}
    missing = [key for key in keys if key not in found]
    if missing:
        raise TreeIncomplete(f"the log's tree lacks {len(missing)} of the subtrees asked for")
    return [found[key] for key in keys]


def extend(store: Store, cursor: Any, size: int, records: Iterable[str]) -> None:
    """Adds leaves for ``records`` to the tree of the log's first ``size`` entries."""
    edge = subtrees(store, cursor, _merkle_frontier(size))
    made = _merkle_append(size, edge, records)
    cursor.executemany(store._sql("INSERT INTO tree (node, hash) VALUES (?, ?)"), made)


def prove(store: Store, cursor: Any, kind: str, a: int, b: int = 0) -> list[bytes]:
    """The root of ``a`` entries (kind "root"; a list of one), the inclusion proof of leaf
    ``a`` in the tree of ``b`` ("inclusion"), or the consistency proof from ``a`` entries to
    ``b`` ("consistency")."""
    return _merkle_prove(kind, a, b, subtrees(store, cursor, _merkle_plan(kind, a, b)))


def build_tree(store: Store, cursor: Any, progress: Callable[[int], None] | None = None) -> int:
    """Builds the tree of a log written before there was one, in the transaction that upgrades
    it; returns the number of leaves."""
    cursor.execute("DELETE FROM tree")
    size, after = 0, 0
    query = store._sql("SELECT sequence, record FROM decisions WHERE sequence > ? "
                       "ORDER BY sequence LIMIT ?")  # fmt: skip
    while True:
        rows = cursor.execute(query, (after, PAGE)).fetchall()
        if not rows:
            return size
        extend(store, cursor, size, [record for _, record in rows])
        size, after = size + len(rows), int(rows[-1][0])
        if progress is not None:
            progress(size)
