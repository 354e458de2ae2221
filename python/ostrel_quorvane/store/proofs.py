"""The verifiable log, as a store serves it: roots and proofs read from the tree in one snapshot,
checkpoints signed with the log's key and kept, the log's origin, and the keys that have signed
for it (a new key takes over from some checkpoint on; the old one's checkpoints stay valid)."""

from __future__ import annotations

import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from _ostrel_quorvane import (
    _log_checkpoint,
    _log_sign,
    _log_verifier,
    _merkle_verify,
)

from ostrel_quorvane.receipts import Receipt, stated
from ostrel_quorvane.store import tree
from ostrel_quorvane.store.base import StoreError
from ostrel_quorvane.store.log import LogEntry
from ostrel_quorvane.store.verify import meta_value

if TYPE_CHECKING:
    from ostrel_quorvane.store.base import Store

__all__ = ["Inclusion", "LogKey", "LogProofs", "NoCheckpoint"]


class NoCheckpoint(Exception):
    """No signed checkpoint covers what was asked for, and no key was given to sign one."""


@dataclass(frozen=True)
class Inclusion:
    """A logged entry, its leaf index and its inclusion proof in the tree of ``size`` entries."""

    entry: LogEntry
    leaf_index: int
    size: int
    proof: list[bytes]


@dataclass(frozen=True)
class LogKey:
    """A key that has signed checkpoints of the log: its verifier key, and the size and time of
    its first checkpoint."""

    verifier: str
    first_size: int
    first_at: float


def _size(cursor: Any) -> int:
    row = cursor.execute("SELECT MAX(sequence) FROM decisions").fetchone()
    return int(row[0] or 0)


class LogProofs:
    """Roots, proofs, checkpoints and receipts of one store's log."""

    def __init__(self, store: Store) -> None:
        self._store = store

    def _read(self, work: Any) -> Any:
        return self._store._run("snapshot", self._tree(work))

    def _tree(self, work: Any) -> Any:
        """``work``, once the store is known to keep a tree."""
        self._require_tree()
        return work

    def _require_tree(self) -> None:
        if self._store._version < 3:
            raise StoreError(f"{self._store.name}: the store was written before the log kept a "
                             "Merkle tree (schema version 2); open it for writing once (any "
                             "append, or 'log checkpoint') and its tree is built")  # fmt: skip

    def _bounded(self, cursor: Any, size: int | None) -> int:
        current = _size(cursor)
        if size is None:
            return current
        if not 0 <= size <= current:
            raise ValueError(f"the log holds {current} entries, not {size}")
        return size

    def root(self, size: int | None = None) -> tuple[int, bytes]:
        """The log's size (``size``, else all of it) and the root hash of its tree then."""

        def read(cursor: Any) -> tuple[int, bytes]:
            n = self._bounded(cursor, size)
            return n, tree.prove(self._store, cursor, "root", n)[0]

        result: tuple[int, bytes] = self._read(read)
        return result

    def inclusion(self, digest: str, size: int | None = None) -> Inclusion | None:
        """The inclusion proof of the first entry whose record has content hash ``digest``, in
        the tree of the first ``size`` entries (else of all); None when no entry of those holds
        it."""

        def read(cursor: Any) -> Inclusion | None:
            n = self._bounded(cursor, size)
            entry = self._store.find(digest, cursor)
            if entry is None or entry.sequence > n:
                return None
            proof = tree.prove(self._store, cursor, "inclusion", entry.sequence - 1, n)
            return Inclusion(entry, entry.sequence - 1, n, proof)

        result: Inclusion | None = self._read(read)
        return result

    def consistency(self, old: int, size: int | None = None) -> tuple[int, list[bytes]]:
        """The consistency proof from the log's first ``old`` entries to its first ``size`` (else
        all of it), with that size."""

        def read(cursor: Any) -> tuple[int, list[bytes]]:
            n = self._bounded(cursor, size)
            if old > n:
                raise ValueError(f"the log of {n} entries cannot extend one of {old}")
            return n, tree.prove(self._store, cursor, "consistency", old, n)

        result: tuple[int, list[bytes]] = self._read(read)
        return result

    def origin(self) -> str | None:
        """The origin line of the log's checkpoints, set by its first."""
        return self._store._run(False, self._tree(lambda c: _meta(self._store, c, "origin")))  # type: ignore[no-any-return]

    def sign(self, key: str, origin: str | None = None) -> str:
        """A checkpoint of the log as it is, signed with the signing key ``key`` and kept. The
        first checkpoint sets the log's origin (``origin``, else the key's name); a key not used
        before is recorded as signing from this checkpoint on."""
        verifier = _log_verifier(key)  # ValueError for what is not a signing key
        name = verifier.split("+", 1)[0]
        if origin is not None and (not origin.strip() or any(ord(c) < 0x20 for c in origin)):
            raise ValueError(f"an origin is one line of text, not {origin!r}")
        store = self._store

        def sign(cursor: Any) -> str:
            size = _size(cursor)
            stored = _meta(store, cursor, "origin")
            if stored is None:
                stored = origin or name
                cursor.execute(
                    store._sql("INSERT INTO meta (key, value) VALUES (?, ?)"), ("origin", stored)
                )
            elif origin is not None and origin != stored:
                raise ValueError(f"the log's origin is {stored!r}, not {origin!r}")
            root = tree.prove(store, cursor, "root", size)[0]
            self._extends_newest(cursor, size, root)
            note = _log_sign(_log_checkpoint(stored, size, root), key)
            now = time.time()
            cursor.execute(
                store._sql("INSERT INTO checkpoints (size, signer, note, made_at) "
                           "VALUES (?, ?, ?, ?) ON CONFLICT (size, signer) DO NOTHING"),
                (size, verifier, note, now),
            )  # fmt: skip
            cursor.execute(
                store._sql("INSERT INTO log_keys (verifier, first_size, first_at) "
                           "VALUES (?, ?, ?) ON CONFLICT (verifier) DO NOTHING"),
                (verifier, size, now),
            )  # fmt: skip
            return note

        note: str = store._run(True, self._tree(sign))
        return note

    def _extends_newest(self, cursor: Any, size: int, root: bytes) -> None:
        """Refuses to sign a log that does not extend the newest checkpoint kept: a log never
        signs two checkpoints that contradict each other."""
        note = _newest_note(self._store, cursor)
        if note is None:
            return
        try:
            _, old_size, old_root = stated(note)
        except ValueError:
            raise StoreError(f"{self._store.name}: its newest kept checkpoint cannot be read; "
                             "nothing was signed") from None  # fmt: skip
        proof = tree.prove(self._store, cursor, "consistency", old_size, size) if (
            old_size <= size) else []  # fmt: skip
        if old_size > size or not _merkle_verify(
            "consistency", old_size, size, old_root, proof, root
        ):
            raise StoreError(f"{self._store.name}: the log no longer extends its newest "
                             f"checkpoint, of {old_size} entries: it was cut back or rewritten; "
                             "nothing was signed")  # fmt: skip

    def latest(self) -> str | None:
        """The newest signed checkpoint kept, or None."""
        return self.covering(0)

    def covering(self, sequence: int) -> str | None:
        """The newest kept checkpoint whose log holds entry ``sequence``, or None."""
        note: str | None = self._store._run(
            False, self._tree(lambda cursor: _newest_note(self._store, cursor, sequence))
        )
        return note

    def keys(self) -> list[LogKey]:
        """Every key that has signed a checkpoint of the log, in the order they began."""
        rows = self._store._run(
            False,
            self._tree(lambda cursor: cursor.execute(
                "SELECT verifier, first_size, first_at FROM log_keys ORDER BY first_at, verifier"
            ).fetchall()),
        )  # fmt: skip
        return [LogKey(str(v), int(size), float(at)) for v, size, at in rows]

    def receipt(self, digest: str, key: str | None = None) -> Receipt | None:
        """The receipt of the first entry with content hash ``digest``: its inclusion proof
        against a checkpoint signed now with ``key``, else against the newest kept checkpoint
        that holds it (NoCheckpoint when there is none). None when no entry holds it."""
        self._require_tree()
        entry = self._store.find(digest)
        if entry is None:
            return None
        note = self.sign(key) if key is not None else self.covering(entry.sequence)
        if note is None:
            raise NoCheckpoint(f"no signed checkpoint holds entry {entry.sequence} yet: sign one "
                               "with 'log checkpoint --key KEY'")  # fmt: skip
        return self.receipt_for(entry, note)

    def receipt_for(self, entry: LogEntry, note: str) -> Receipt:
        """The receipt of ``entry`` against the kept checkpoint ``note`` (one that holds it)."""
        size = stated(note)[1]

        def read(cursor: Any) -> list[bytes]:
            return tree.prove(self._store, cursor, "inclusion", entry.sequence - 1, size)

        proof: list[bytes] = self._read(read)
        return Receipt(entry.content_hash, entry.sequence - 1, size, tuple(proof), note)


def _newest_note(store: Store, cursor: Any, at_least: int = 0) -> str | None:
    """The newest kept checkpoint of at least ``at_least`` entries, or None."""
    row = cursor.execute(
        store._sql("SELECT note FROM checkpoints WHERE size >= ? "
                   "ORDER BY size DESC, made_at DESC LIMIT 1"),
        (at_least,),
    ).fetchone()  # fmt: skip
    return None if row is None else str(row[0])


def _meta(store: Store, cursor: Any, key: str) -> str | None:
    value = meta_value(store, cursor, key)
    return None if value is None else str(value)
