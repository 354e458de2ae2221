"""Verifying the decision log as someone who distrusts the database would: every row read as it
is stored, whatever its type, in one snapshot, and every fault named by the first entry it
touches.

What holds for a log that verifies: its entries are numbered exactly 1 to N, each entry's record
matches its content hash, each entry's columns match its entry hash (under the rule it was
written by), each entry links to the one before, the head recorded beside the entries names
entry N and its hash, the Merkle tree holds exactly the subtrees its entries make, and every
checkpoint kept is signed by its key and states the log's root at its size. Nothing here changes
the database.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any

from _ostrel_quorvane import _log_open, _log_read_checkpoint, _merkle_append, _merkle_frontier

from ostrel_quorvane.files import clip
from ostrel_quorvane.store.log import GENESIS, LABELS, LogEntry, LogFault
from ostrel_quorvane.store.tree import interior, prove

if TYPE_CHECKING:
    from ostrel_quorvane.store.base import Store

__all__ = ["verify_log"]

# Rows read a page at a time.
PAGE = 1000


class _Broken(Exception):
    def __init__(self, sequence: int, reason: str) -> None:
        super().__init__(reason)
        self.fault = LogFault(sequence, reason)


def verify_log(store: Store, progress: Callable[[int], None] | None = None) -> LogFault | None:
    """The first fault of the store's log, or None for a log that holds from entry 1 to its
    recorded head. The whole log is read in one snapshot, so that entries appended meanwhile
    are not mistaken for a fault."""
    try:
        fault: LogFault | None = store._run(
            "snapshot", lambda cursor: _verify(store, cursor, progress)
        )
        return fault
    except _Broken as broken:
        return broken.fault


def _whole(value: Any) -> bool:
    """Whether ``value`` is text of ASCII digits."""
    return isinstance(value, str) and value.isascii() and value.isdigit()


def _verify(store: Store, cursor: Any, progress: Callable[[int], None] | None) -> LogFault | None:
    tables = store._backend.table_names(cursor)
    if "decisions" not in tables:
        raise _Broken(1, "the store's table of entries is gone")
    if "meta" not in tables:
        rows = _row_count(cursor)
        raise _Broken(1 if rows else 0, "the store's meta table is gone: its head is lost")
    version = meta_value(store, cursor, "schema_version")
    if not _whole(version):
        shown = "missing" if version is None else clip(repr(version), 80)
        raise _Broken(1, f"the store's schema version is {shown}: it cannot be read")
    head = _recorded_head(meta_value(store, cursor, "head"))
    expected, previous, newest_rule, seen = 1, GENESIS, 1, 0
    tree = _TreeCheck(store, cursor) if int(version) >= 3 else None
    for row in _rows(store, cursor, int(version)):
        entry = _entry(row, expected)
        seen += 1
        if entry.sequence < expected:
            why = "sequence numbers start at 1" if expected == 1 else "it appears twice"
            raise _Broken(entry.sequence, why)
        if entry.sequence > expected:
            raise _Broken(expected, f"entry {expected} is missing (the next is {entry.sequence})")
        if entry.rule < newest_rule:
            raise _Broken(entry.sequence, "it is written under an older rule than the entry before")
        reason = entry.fault()
        if reason is not None:
            raise _Broken(entry.sequence, reason)
        if entry.previous_hash != previous:
            raise _Broken(entry.sequence, "it does not follow the entry before it")
        previous, expected, newest_rule = entry.entry_hash, expected + 1, entry.rule
        if tree is not None:
            tree.add(entry.record)
        if progress is not None and entry.sequence % 1000 == 0:
            progress(entry.sequence)
    last = expected - 1
    total = _row_count(cursor)
    if total != seen:
        raise _Broken(last + 1, f"the log holds {total:,} rows for its {seen:,} entries")
    if head is None:
        if last:
            raise _Broken(last, "the log has entries but no recorded head: its end is unchecked")
    else:
        count, digest = head
        if count > last:
            raise _Broken(last + 1, f"entries {last + 1} to {count} are missing at the end")
        if count < last or digest != previous:
            raise _Broken(max(count, 1), "the log does not end where its recorded head says")
    if tree is not None:
        tree.finish()
        _check_checkpoints(store, cursor, last)
    return None


def _check_checkpoints(store: Store, cursor: Any, size: int) -> None:
    """Every checkpoint the store keeps must be signed by the key it names and state the log as
    it is: its origin, and the root of the tree (just found to match the entries) at its size."""
    if "checkpoints" not in store._backend.table_names(cursor):
        raise _Broken(1, "the store's table of checkpoints is gone")
    origin = meta_value(store, cursor, "origin")
    rows = cursor.execute("SELECT size, signer, note FROM checkpoints ORDER BY size").fetchall()
    for kept, signer, note in rows:
        where = max(min(int(kept), size), 1) if isinstance(kept, int) else 1
        try:
            text, _ = _log_open(str(note), [str(signer)])
            named, stated, root = _log_read_checkpoint(text)
        except ValueError as error:
            raise _Broken(where, f"a kept checkpoint does not read as one ({error})") from None
        if stated != kept or named != origin or stated > size:
            shown = clip(repr(origin), 80)
            raise _Broken(where, f"the kept checkpoint of {stated:,} entries is not of this log "
                          f"as it is ({size:,} entries, origin {shown})")  # fmt: skip
        if prove(store, cursor, "root", stated)[0] != root:
            raise _Broken(where, f"the kept checkpoint of {stated:,} entries states another root: "
                          "the log was rewritten after it was signed")  # fmt: skip


class _TreeCheck:
    """Rebuilds the Merkle tree from the entries as they are read, a page at a time, and
    compares every complete subtree it keeps (of two leaves or more) with the one stored; at the
    end, the stored tree must hold no other."""

    def __init__(self, store: Store, cursor: Any) -> None:
        self._store, self._cursor = store, cursor
        self._size = 0
        self._edge: dict[int, bytes] = {}
        self._records: list[str] = []
        self._made = 0
        tables = store._backend.table_names(cursor)
        if "tree" not in tables:
            raise _Broken(1, "the store's Merkle tree table is gone")

    def add(self, record: str) -> None:
        self._records.append(record)
        if len(self._records) == PAGE:
            self._flush()

    def _flush(self) -> None:
        if not self._records:
            return
        keys = _merkle_frontier(self._size)
        made = _merkle_append(self._size, [self._edge[key] for key in keys], self._records)
        self._size += len(self._records)
        self._records = []
        known = dict(made)
        kept = interior(made)
        self._made += len(kept)
        for start in range(0, len(kept), 500):
            chunk = [key for key, _ in kept[start : start + 500]]
            marks = ", ".join("?" * len(chunk))
            rows = self._cursor.execute(
                self._store._sql(f"SELECT node, hash FROM tree WHERE node IN ({marks})"), chunk
            ).fetchall()
            stored = {int(node): value for node, value in rows}
            for key in chunk:
                value = stored.get(key)
                if not isinstance(value, bytes) or value != known[key]:
                    first, last = _entries_under(key)
                    what = "missing" if key not in stored else "not the hash of those entries"
                    raise _Broken(first, f"the Merkle tree's node {key}, over entries {first} "
                                  f"to {last}, is {what}")  # fmt: skip
        self._edge = {key: known.get(key) or self._edge[key]
                      for key in _merkle_frontier(self._size)}  # fmt: skip

    def finish(self) -> None:
        self._flush()
        total = int(self._cursor.execute("SELECT COUNT(*) FROM tree").fetchone()[0])
        if total != self._made:
            raise _Broken(max(self._size, 1), f"the Merkle tree holds {total:,} nodes where its "
                          f"{self._size:,} entries make {self._made:,}")  # fmt: skip


def _entries_under(key: int) -> tuple[int, int]:
    """The sequence numbers of the first and last entries under the tree node ``key``."""
    level = 0
    while key >> level & 1:
        level += 1
    start = (key - (1 << level) + 1) // 2
    return start + 1, start + (1 << level)


def meta_value(store: Store, cursor: Any, key: str) -> Any:
    """The value the store's meta table holds under ``key``, as stored, or None."""
    cursor.execute(store._sql("SELECT value FROM meta WHERE key = ?"), (key,))
    row = cursor.fetchone()
    return None if row is None else row[0]


def _row_count(cursor: Any) -> int:
    return int(cursor.execute("SELECT COUNT(*) FROM decisions").fetchone()[0])


def _recorded_head(value: Any) -> tuple[int, str] | None:
    if value is None:
        return None
    sequence, colon, digest = str(value).partition(":")
    if not isinstance(value, str) or not colon or not _whole(sequence) or len(digest) != 64:
        raise _Broken(1, f"its recorded head {clip(repr(value), 80)} is not SEQUENCE:HASH")
    return int(sequence), digest


def _rows(store: Store, cursor: Any, version: int) -> Iterator[Any]:
    """Every row of the log in sequence order, as stored; the caller reads each as an entry
    before the next page is asked for after it."""
    select = store._backend.verify_select(version)
    after: int | None = None
    while True:
        where = "" if after is None else f"WHERE sequence > {after} "
        rows: list[Any] = cursor.execute(
            f"{select} {where}ORDER BY sequence LIMIT {PAGE}"
        ).fetchall()
        for row in rows:
            yield row
            after = row[0]
        if len(rows) < PAGE:
            return


def _entry(row: Any, expected: int) -> LogEntry:
    """A row as stored, read where entry ``expected`` is due: (sequence, record, its storage
    kind, content hash, previous hash, entry hash, logged at, rule, then its labels); text may
    come as bytes, to be decoded here."""
    sequence, record, kinds, content, previous, link, logged_at, rule, *labels = row
    if not isinstance(sequence, int) or isinstance(sequence, bool):
        shown = clip(repr(sequence), 80)
        raise _Broken(expected, f"a row stands in its place with sequence number {shown}")
    # How each text column is stored: the record and hashes as text, the labels as text or
    # null. A column of bytes that spell the same text is not that text.
    stored = str(kinds).split(",")
    names = ["record", "content hash", "previous hash", "entry hash", *LABELS]
    for number, (name, kind) in enumerate(zip(names, stored, strict=False)):
        if kind != "text" and not (number >= 4 and kind == "null"):
            raise _Broken(sequence, f"its {name.replace('_', ' ')} is stored as {kind}, not text")
    columns = (
        ("record", record),
        ("content hash", content),
        ("previous hash", previous),
        ("entry hash", link),
    )
    texts = [_text(sequence, name, value) for name, value in columns]
    if isinstance(logged_at, bool) or not isinstance(logged_at, int | float):
        raise _Broken(sequence, f"its logging time {clip(repr(logged_at), 80)} is not a number")
    if rule not in (1, 2) or isinstance(rule, bool):
        raise _Broken(sequence, f"its hash rule {clip(repr(rule), 80)} is not one this reads")
    read = [None if value is None else _text(sequence, name.replace("_", " "), value)
            for name, value in zip(LABELS, labels, strict=True)]  # fmt: skip
    return LogEntry(sequence, texts[0], texts[1], texts[2], texts[3], float(logged_at), rule,
                    *read)  # fmt: skip


def _text(sequence: int, name: str, value: Any) -> str:
    """A column's text, read from bytes where the back end gives them."""
    if isinstance(value, bytes):
        try:
            value = value.decode()
        except UnicodeDecodeError as error:
            raise _Broken(sequence, f"its {name} is not UTF-8 text ({error.reason} at byte "
                                    f"{error.start})") from None  # fmt: skip
    if not isinstance(value, str):
        raise _Broken(sequence, f"its {name} is not text")
    return value
