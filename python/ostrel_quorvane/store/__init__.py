"""A durable store: the chain registry and a tamper-evident decision log.

A store is named by a file path (SQLite, the embedded default) or a ``postgresql://`` URL (for
several processes and machines sharing one store). Both keep the same schema and behave the same:

- **Chains** are published under their hash; publishing the same chain twice, or from two
  processes at once, leaves one entry. A chain read back is rebuilt by the engine and must hash to
  its key; a row that does not is reported as corrupt, never served.
- **The decision log** keeps decision records in one hash chain: each entry holds the record's
  content hash and the hash of the entry before it, so that removing, reordering or editing any
  entry breaks the chain at that entry (:meth:`Store.verify` names it). Appends from many threads
  are written in shared transactions (group commit); an append returns only once its transaction
  has committed. Appends from several processes serialize through the database.

The content hash of a record is the SHA-256 of its canonical form: the record's JSON with object
keys sorted, no insignificant whitespace, non-ASCII characters as themselves, in UTF-8. An
entry's hash is the SHA-256 of ``"<previous entry hash>:<sequence number>:<content hash>:<logged
at>"`` (the first entry's previous hash is 64 zeros), so that it covers every column the entry
has; entries written by a store of schema version 1 keep their hash without the time. The log
stores each record in its canonical form, so verifying it needs no JSON parsing.

A Merkle tree over the log (RFC 9162's hashing: a leaf is SHA-256 of a 0 byte and a record's
canonical form) is kept in the same transactions as the entries; :attr:`Store.proofs` gives its
roots, inclusion and consistency proofs, checkpoints signed with the log's key, and receipts,
which :mod:`ostrel_quorvane.receipts` checks with no store.

Verification (:meth:`Store.verify`) opens nothing for writing and reads every row as it is
stored: the entries are numbered exactly 1 to N, each matches its hashes and follows the one
before, the head recorded beside them names entry N, and the tree holds exactly the subtrees
its entries make.
"""

from ostrel_quorvane.store.base import CorruptChain, NotAStore, Store, StoreError, open_store
from ostrel_quorvane.store.log import (
    LogEntry,
    LogFault,
    canonical_record,
    content_hash,
    entry_hash,
)

__all__ = [
    "CorruptChain",
    "LogEntry",
    "LogFault",
    "NotAStore",
    "Store",
    "StoreError",
    "canonical_record",
    "content_hash",
    "entry_hash",
    "open_store",
]
