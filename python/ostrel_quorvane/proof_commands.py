"""The commands of the verifiable log: making a log key, signing checkpoints, proving a record's
place in the log and the log's growth, and checking a receipt offline."""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Callable
from typing import TextIO

from _ostrel_quorvane import _log_keygen, _log_verifier

from ostrel_quorvane.files import UsageError, read_document
from ostrel_quorvane.receipts import (
    Checkpoint,
    ProofInvalid,
    Receipt,
    open_checkpoint,
    verify_extension,
    verify_receipt,
)
from ostrel_quorvane.render import shown
from ostrel_quorvane.store import Store
from ostrel_quorvane.store.proofs import NoCheckpoint

__all__ = [
    "PROOF_ACTIONS",
    "ProofFailed",
    "add_proof_commands",
    "checked_receipt",
    "cmd_log_proof",
    "read_log_keys",
    "read_receipt",
]

# What `log` does beyond verify, audit and export.
PROOF_ACTIONS = ("keygen", "checkpoint", "prove", "consistency", "keys")


class ProofFailed(Exception):
    """A receipt or checkpoint that does not show what it claims, or a record the log does not
    hold (exit status 1)."""


def _key_error(message: str, source: str) -> UsageError:
    return UsageError(f"{shown(source)}: {message}")


def read_signing_key(path: str) -> str:
    """The signing key in the file ``path``."""
    text = read_document(path).decode("utf-8", "replace").lstrip("\ufeff").strip()
    try:
        _log_verifier(text)
        if not text.startswith("PRIVATE+KEY+"):
            raise ValueError("it holds a verifier key, not a signing key")
    except ValueError as error:
        raise _key_error(f"not a signing key: {error}", path) from None
    return text


def read_log_keys(values: list[str] | None) -> list[str]:
    """The verifier keys given: each either a key in its own form or a file of them, one to a
    line."""
    keys: list[str] = []
    for value in values or []:
        lines = [value]
        if not _is_verifier(value):
            lines = [line.strip() for line in read_document(value).decode("utf-8", "replace")
                     .splitlines() if line.strip()]  # fmt: skip
        for line in lines:
            if not _is_verifier(line):
                raise _key_error("not a verifier key (NAME+ID+KEY)", value)
            keys.append(line)
    return keys


def _is_verifier(text: str) -> bool:
    if text.startswith("PRIVATE+KEY+"):
        return False
    try:
        _log_verifier(text)
    except ValueError:
        return False
    return True


def read_receipt(path: str) -> Receipt:
    try:
        return Receipt.from_json(read_document(path))
    except ProofInvalid as error:
        raise ProofFailed(f"{path}: {error}") from None


def cmd_log_proof(args: argparse.Namespace, store: Store | None, out: TextIO) -> int:
    if args.action == "keygen":
        return _keygen(args, out)
    assert store is not None
    try:
        if args.action == "checkpoint":
            if args.key is None:
                raise UsageError("log checkpoint takes --key KEY")
            out.write(store.proofs.sign(read_signing_key(args.key), args.origin))
            return 0
        if args.action == "prove":
            return _prove(args, store, out)
        if args.action == "consistency":
            return _consistency(args, store, out)
        for key in store.proofs.keys():
            out.write(f"{key.verifier}  from {key.first_size:,} entries\n")
        return 0
    except ValueError as error:
        raise UsageError(f"{store.name}: {error}") from None


def _keygen(args: argparse.Namespace, out: TextIO) -> int:
    if args.out is None:
        raise UsageError("log keygen takes --out KEY: the file to write the signing key to")
    try:
        signing, verifier = _log_keygen(args.store)
    except ValueError as error:
        raise UsageError(f"{shown(args.store)} cannot name a key: {error}") from None
    try:
        # Made with no permissions but its owner's, and never over a file already there.
        fd = os.open(args.out, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    except FileExistsError:
        raise UsageError(f"{shown(args.out)} exists; no key was written") from None
    except OSError as error:
        raise UsageError(f"{shown(args.out)} cannot be written ({error.strerror}); no key was "
                         "written") from None  # fmt: skip
    with os.fdopen(fd, "w") as file:
        file.write(signing + "\n")
    out.write(verifier + "\n")
    return 0


def _prove(args: argparse.Namespace, store: Store, out: TextIO) -> int:
    digest = args.target
    if digest is None:
        raise UsageError("log prove takes the content hash of a logged record")
    key = read_signing_key(args.key) if args.key is not None else None
    try:
        receipt = store.proofs.receipt(digest, key)
    except NoCheckpoint as error:
        raise ProofFailed(f"{store.name}: {error}") from None
    if receipt is None:
        raise ProofFailed(f"{store.name}: no entry of the log holds a record with content "
                          f"hash {shown(digest)}")  # fmt: skip
    out.write(json.dumps(receipt.as_json(), indent=2, ensure_ascii=False) + "\n")
    return 0


def _consistency(args: argparse.Namespace, store: Store, out: TextIO) -> int:
    if args.from_ is None:
        raise UsageError("log consistency takes --from CHECKPOINT")
    key = read_signing_key(args.key) if args.key is not None else None
    given = read_log_keys(args.log_key)
    # Without keys of the caller's own, the keys the log says it used, and the one given.
    trusted = given or [k.verifier for k in store.proofs.keys()]
    own = [_log_verifier(key)] if key is not None else []
    old_note = read_document(args.from_).decode("utf-8", "replace")
    try:
        old = open_checkpoint(old_note, [*trusted, *own])
    except ProofInvalid as error:
        raise ProofFailed(f"{args.from_}: {error}") from None
    # The log as it is must extend the older checkpoint before anything is signed: a log never
    # signs a checkpoint that contradicts one it signed before.
    size, root = store.proofs.root()
    if size < old.size:
        raise ProofFailed(f"{store.name}: the log holds {size:,} entries, fewer than the "
                          f"{old.size:,} of {shown(args.from_)}: it was cut back")  # fmt: skip
    here = Checkpoint(old.origin, size, root, "", "")
    try:
        verify_extension(old, here, store.proofs.consistency(old.size, size)[1])
    except ProofInvalid as error:
        raise ProofFailed(f"{store.name}: {error}") from None
    new_note = store.proofs.sign(key) if key is not None else store.proofs.latest()
    if new_note is None:
        raise ProofFailed(f"{store.name}: no signed checkpoint is kept; give --key KEY to sign one")
    try:
        new = open_checkpoint(new_note, [*trusted, *own])
        if new.size < old.size:
            raise ProofInvalid(f"its newest kept checkpoint, of {new.size:,} entries, is older "
                               "than the one given; give --key KEY to sign one")  # fmt: skip
        _, proof = store.proofs.consistency(old.size, new.size)
        verify_extension(old, new, proof)
    except ProofInvalid as error:
        raise ProofFailed(f"{store.name}: {error}") from None
    out.write(new.note)
    _say(f"{store.name}: the log of {new.size:,} entries extends the checkpoint of "
         f"{old.size:,} in {shown(args.from_)}")  # fmt: skip
    return 0


def _say(line: str) -> None:
    try:
        sys.stderr.write(line + "\n")
    except OSError:
        pass


def checked_receipt(
    data: bytes, args: argparse.Namespace, command: str
) -> tuple[Receipt, Checkpoint]:
    """The receipt in the file ``args.receipt`` and the checkpoint it proves the record ``data``
    in, checked against the keys ``args.log_key``; ProofInvalid when it does not hold."""
    keys = read_log_keys(args.log_key)
    if not keys:
        raise UsageError(f"{command} takes --log-key VERIFIER_KEY")
    receipt = read_receipt(args.receipt)
    return receipt, verify_receipt(data, receipt, keys)


def cmd_verify_receipt(args: argparse.Namespace, out: TextIO) -> int:
    try:
        receipt, checkpoint = checked_receipt(read_document(args.record), args, "verify-receipt")
    except ProofInvalid as error:
        raise ProofFailed(f"{args.receipt}: {error}") from None
    out.write(proven_line(args.record, receipt, checkpoint) + "\n")
    return 0


def proven_line(record: str, receipt: Receipt, checkpoint: Checkpoint) -> str:
    """What the tool says of a receipt that holds."""
    name, key_id = checkpoint.signer.split("+")[:2]
    return (f"{shown(record)}: it is entry {receipt.leaf_index + 1:,} of the log "
            f"{shown(checkpoint.origin)} of {checkpoint.size:,} entries, whose checkpoint is "
            f"signed by {name}+{key_id}")  # fmt: skip


def add_proof_commands(command: Callable[[str, str, str], argparse.ArgumentParser]) -> None:
    """The ``verify-receipt`` command."""
    verify = command(
        "verify-receipt",
        "check a logged record's receipt offline",
        "Check, with no store, that RECORD is the entry RECEIPT places in the log: the "
        "receipt's checkpoint must be signed by a --log-key and its inclusion proof must tie "
        "the record, byte for byte in its canonical form, to the checkpoint's root. Exit "
        "status 0 when it holds, 1 when it does not.",
    )
    verify.add_argument("record", metavar="RECORD.json")
    verify.add_argument("receipt", metavar="RECEIPT.json")
    verify.add_argument("--log-key", action="append", metavar="VERIFIER_KEY",
                        help="the log's verifier key, or a file of them (repeatable)")  # fmt: skip
    verify.add_argument("--json", action="store_true", help=argparse.SUPPRESS)
