"""The Merkle tree over the decision log: leaf i is entry i + 1's canonical record, and the table
``tree`` keeps the hash of every complete subtree of two leaves or more under its in-order key
(odd keys; a leaf's key is even), written in the transaction that appends the entries. A leaf's
hash is made again from its entry when a proof needs it, which is at most a few times a proof. A
root, an inclusion proof and a consistency proof each read O(log n) rows; the hashing is the
engine's."""

from __future__ import annotations

from collections.abc import Callable, Iterable, Sequence
from typing import TYPE_CHECKING, Any

from _ostrel_quorvane import (
    _merkle_append,
    _merkle_frontier,
    _merkle_leaf,
    _merkle_plan,
    _merkle_prove,
)

if TYPE_CHECKING:
    from ostrel_quorvane.store.base import Store

__all__ = ["Edge", "TreeIncomplete", "build_tree", "extend", "prove", "subtrees"]

# Entries read a page at a time when a tree is built from a log.
PAGE = 2000
# The hashes of the complete subtrees that make up a tree of some size, by key: what the next
# append needs.
Edge = dict[int, bytes]


class TreeIncomplete(Exception):
    """The tree lacks subtrees its entries make: it was not kept with them."""


def _in(store: Store, cursor: Any, query: str, keys: list[int]) -> dict[int, Any]:
    marks = ", ".join("?" * len(keys))
    rows = cursor.execute(store._sql(query.format(marks=marks)), keys).fetchall()
    return {int(key): value for key, value in rows}


def subtrees(store: Store, cursor: Any, keys: Sequence[int]) -> list[bytes]:
    """The hashes of the subtrees ``keys``, in their order."""
    if not keys:
        return []
    unique = sorted(set(keys))
    nodes = [key for key in unique if key & 1]
    found = {key: bytes(digest) for key, digest in _in(
        store, cursor, "SELECT node, hash FROM tree WHERE node IN ({marks})", nodes
    ).items()} if nodes else {}  # fmt: skip
    leaves = [key // 2 + 1 for key in unique if not key & 1]
    if leaves:
        records = _in(store, cursor, "SELECT sequence, record FROM decisions "
                      "WHERE sequence IN ({marks})", leaves)  # fmt: skip
        found.update({2 * (sequence - 1): _merkle_leaf(record)
                      for sequence, record in records.items()})  # fmt: skip
    missing = [key for key in keys if key not in found]
    if missing:
        raise TreeIncomplete(f"the log's tree lacks {len(missing)} of the subtrees asked for")
    return [found[key] for key in keys]


def extend(
    store: Store, cursor: Any, size: int, records: Sequence[str], edge: Edge | None = None
) -> Edge:
    """Adds leaves for ``records`` to the tree of the log's first ``size`` entries, whose
    frontier is ``edge`` when the caller knows it (else it is read); returns the frontier of the
    tree it makes."""
    keys = _merkle_frontier(size)
    if edge is None or set(edge) != set(keys):
        edge = dict(zip(keys, subtrees(store, cursor, keys), strict=True))
    made = _merkle_append(size, [edge[key] for key in keys], records)
    cursor.executemany(store._sql("INSERT INTO tree (node, hash) VALUES (?, ?)"), interior(made))
    known = {**edge, **dict(made)}
    return {key: known[key] for key in _merkle_frontier(size + len(records))}


def prove(store: Store, cursor: Any, kind: str, a: int, b: int = 0) -> list[bytes]:
    """The root of ``a`` entries (kind "root"; a list of one), the inclusion proof of leaf
    ``a`` in the tree of ``b`` ("inclusion"), or the consistency proof from ``a`` entries to
    ``b`` ("consistency")."""
    return _merkle_prove(kind, a, b, subtrees(store, cursor, _merkle_plan(kind, a, b)))


def build_tree(store: Store, cursor: Any, progress: Callable[[int], None] | None = None) -> int:
    """Builds the tree of a log written before there was one, in the transaction that upgrades
    it; returns the number of leaves."""
    cursor.execute("DELETE FROM tree")
    size, after, edge = 0, 0, None
    query = store._sql("SELECT sequence, record FROM decisions WHERE sequence > ? "
                       "ORDER BY sequence LIMIT ?")  # fmt: skip
    while True:
        rows = cursor.execute(query, (after, PAGE)).fetchall()
        if not rows:
            return size
        edge = extend(store, cursor, size, [record for _, record in rows], edge)
        size, after = size + len(rows), int(rows[-1][0])
        if progress is not None:
            progress(size)


def interior(made: Iterable[tuple[int, bytes]]) -> list[tuple[int, bytes]]:
    """The subtrees of ``made`` that the table keeps: those of two leaves or more."""
    return [(key, digest) for key, digest in made if key & 1]
