"""Checking what the verifiable decision log hands out, offline, with no store: a signed
checkpoint (the log's size and root hash, signed by the log's key), a receipt (a record's place in
the log and the inclusion proof that ties it to a checkpoint's root), and a consistency proof
(that a newer checkpoint's log extends an older one's).

A receipt that verifies shows that the record, byte for byte in its canonical form, is the entry
at its place in the log the checkpoint describes; so every field of it is covered, not only those
the judgment depends on. What it cannot show is that the log's key was not stolen, or that the
log showed everyone the same checkpoints: keep the checkpoints you were given, and check that
each newer one extends them."""

from __future__ import annotations

import base64
import binascii
import hashlib
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from _ostrel_quorvane import _log_open, _log_read_checkpoint, _merkle_leaf, _merkle_verify

from ostrel_quorvane.files import InputError, clip
from ostrel_quorvane.request import loads_json
from ostrel_quorvane.store.log import canonical_record, is_hex_digest

__all__ = [
    "RECEIPT_FORMAT",
    "Checkpoint",
    "ProofInvalid",
    "Receipt",
    "open_checkpoint",
    "proof_json",
    "read_proof",
    "verify_extension",
    "verify_receipt",
]

# What a receipt's "format" member says; a later format will say something else.
RECEIPT_FORMAT = "ostrel-quorvane receipt 1"
# More hashes than a proof in a tree of 2^64 leaves can hold.
LONGEST_PROOF = 128


# The root of a log with no entries: the hash of no bytes.
EMPTY_ROOT = hashlib.sha256(b"").digest()


class ProofInvalid(Exception):
    """A checkpoint, receipt or proof that does not show what it claims; the message says why."""


def _strict_json(data: str | bytes, what: str) -> Any:
    """``data`` read by the rules request files are read by (at most 512 levels, no duplicated
    key); ProofInvalid for anything else."""
    try:
        return loads_json(data, what)
    except InputError as error:
        raise ProofInvalid(f"the {what} is not JSON as a record is read: {clip(error.path, 80)}: "
                           f"{error.detail}") from None  # fmt: skip
    except (ValueError, RecursionError) as error:
        raise ProofInvalid(f"the {what} is not JSON ({error})") from None


@dataclass(frozen=True)
class Checkpoint:
    """A signed checkpoint whose signature was checked: the log's origin, its size then, its
    root hash, the note itself and the verifier key that signed it."""

    origin: str
    size: int
    root: bytes
    note: str
    signer: str


def stated(note: str) -> tuple[str, int, bytes]:
    """What the checkpoint in ``note`` states (origin, size, root), its signature unchecked:
    for notes a store signed and keeps itself. ValueError for a note that holds none."""
    blank = note.rfind("\n\n")
    if blank < 0:
        raise ValueError("not a signed note: it has no signature")
    return _log_read_checkpoint(note[: blank + 1])


def open_checkpoint(note: str, log_keys: Sequence[str]) -> Checkpoint:
    """Checks the signed checkpoint ``note`` against the verifier keys ``log_keys`` (one of them
    must have signed it, and every signature by one of them must verify) and reads it."""
    if not log_keys:
        raise ProofInvalid("no verifier key was given to check the checkpoint against")
    try:
        text, signer = _log_open(note, list(log_keys))
        origin, size, root = _log_read_checkpoint(text)
    except ValueError as error:
        raise ProofInvalid(str(error)) from None
    return Checkpoint(origin, size, root, note, log_keys[signer])


def proof_json(proof: Sequence[bytes]) -> list[str]:
    """A proof's hashes as a receipt and the service write them: base64, in order."""
    return [base64.b64encode(digest).decode() for digest in proof]


def read_proof(value: Any, where: str = "proof") -> tuple[bytes, ...]:
    """A proof's hashes read from their JSON form: base64, in order."""
    if not isinstance(value, list) or len(value) > LONGEST_PROOF:
        raise ProofInvalid(f"{where} must be a list of at most {LONGEST_PROOF} hashes")
    out = []
    for i, item in enumerate(value):
        try:
            digest = base64.b64decode(item, validate=True) if isinstance(item, str) else b""
        except (binascii.Error, ValueError):
            digest = b""
        if len(digest) != 32:
            raise ProofInvalid(f"{where}[{i}] is not a base64 hash of 32 bytes")
        out.append(digest)
    return tuple(out)


def _whole(value: Any, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 0 or value >= 2**63:
        raise ProofInvalid(f"the receipt's {name} is not a whole number")
    return value


@dataclass(frozen=True)
class Receipt:
    """Where a logged record stands in the log, and the proof of it against a signed
    checkpoint: its content hash, its leaf index (its sequence number less one), the tree size
    the proof is for, the inclusion proof and the checkpoint."""

    content_hash: str
    leaf_index: int
    tree_size: int
    proof: tuple[bytes, ...]
    checkpoint: str

    def as_json(self) -> dict[str, Any]:
        return {
            "format": RECEIPT_FORMAT,
            "content_hash": self.content_hash,
            "leaf_index": self.leaf_index,
            "tree_size": self.tree_size,
            "inclusion_proof": proof_json(self.proof),
            "checkpoint": self.checkpoint,
        }

    @classmethod
    def from_json(cls, data: str | bytes | Mapping[str, Any]) -> Receipt:
        """A receipt read from its JSON form; ProofInvalid for anything else."""
        if isinstance(data, str | bytes):
            data = _strict_json(data, "receipt")
        if not isinstance(data, Mapping):
            raise ProofInvalid("the receipt is not a JSON object")
        if data.get("format") != RECEIPT_FORMAT:
            raise ProofInvalid(f"the receipt's format is not {RECEIPT_FORMAT!r}")
        known = {"format", "content_hash", "leaf_index", "tree_size", "inclusion_proof",
                 "checkpoint"}  # fmt: skip
        unknown = sorted(set(data) - known)
        if unknown:
            raise ProofInvalid(f"the receipt has a member its format does not: {unknown[0]!r}")
        digest, note = data.get("content_hash"), data.get("checkpoint")
        if not is_hex_digest(digest):
            raise ProofInvalid("the receipt's content_hash is not 64 lower-case hex digits")
        if not isinstance(note, str):
            raise ProofInvalid("the receipt's checkpoint is not text")
        return cls(
            digest,
            _whole(data.get("leaf_index"), "leaf_index"),
            _whole(data.get("tree_size"), "tree_size"),
            read_proof(data.get("inclusion_proof"), "the receipt's inclusion_proof"),
            note,
        )


def verify_receipt(
    record: str | bytes | Mapping[str, Any],
    receipt: Receipt | str | bytes | Mapping[str, Any],
    log_keys: Sequence[str],
) -> Checkpoint:
    """Checks, offline, that ``record`` is the entry ``receipt`` places in the log whose signed
    checkpoint it carries, signed by one of ``log_keys``; returns that checkpoint. ProofInvalid
    says what does not hold."""
    if not isinstance(receipt, Receipt):
        receipt = Receipt.from_json(receipt)
    checkpoint = open_checkpoint(receipt.checkpoint, log_keys)
    if checkpoint.size != receipt.tree_size:
        raise ProofInvalid(f"the receipt's proof is for {receipt.tree_size} entries, its "
                           f"checkpoint for {checkpoint.size}")  # fmt: skip
    if isinstance(record, str | bytes):
        _strict_json(record, "record")  # what a reader could take two ways is no record
    try:
        canonical = canonical_record(record)
        data = canonical.encode()
    except (ValueError, TypeError) as error:
        raise ProofInvalid(f"the record is not JSON ({error})") from None
    except UnicodeEncodeError:
        raise ProofInvalid("the record holds text that is not Unicode (a lone surrogate): no "
                           "log holds it") from None  # fmt: skip
    if hashlib.sha256(data).hexdigest() != receipt.content_hash:
        raise ProofInvalid("the record is not the one the receipt is for: its content hash differs")
    if receipt.leaf_index >= receipt.tree_size:
        raise ProofInvalid("the receipt places the record past the end of the log it proves")
    leaf = _merkle_leaf(canonical)
    proof = list(receipt.proof)
    if not _merkle_verify("inclusion", receipt.leaf_index, receipt.tree_size, leaf, proof,
                          checkpoint.root):  # fmt: skip
        raise ProofInvalid(f"the inclusion proof does not tie the record to entry "
                           f"{receipt.leaf_index + 1} of the checkpoint's log")  # fmt: skip
    return checkpoint


def verify_extension(old: Checkpoint, new: Checkpoint, proof: Sequence[bytes | str]) -> None:
    """Checks that the log of checkpoint ``new`` extends that of ``old``: same origin, no fewer
    entries, and a consistency proof that ties their roots. The proof's hashes may be bytes or
    base64, as the service answers them. ProofInvalid says what does not hold."""
    hashes = [h for h in proof if isinstance(h, bytes)]
    if len(hashes) != len(proof):
        hashes = list(read_proof(list(proof), "the proof"))
    if old.size == 0 and old.root != EMPTY_ROOT:
        raise ProofInvalid("the older checkpoint holds no entries but not the empty tree's root")
    if old.origin != new.origin:
        raise ProofInvalid(f"the checkpoints are of different logs ({old.origin!r} and "
                           f"{new.origin!r})")  # fmt: skip
    if new.size < old.size:
        raise ProofInvalid(f"the newer checkpoint has {new.size} entries, fewer than the "
                           f"{old.size} of the older: the log was cut back")  # fmt: skip
    if not _merkle_verify("consistency", old.size, new.size, old.root, hashes, new.root):
        raise ProofInvalid(f"the log of {new.size} entries does not extend the checkpoint of "
                           f"{old.size}: its first {old.size} entries were changed")  # fmt: skip
