"""The commands that use a store: publishing and reading chains, verifying and auditing the
decision log, and logging decisions as they are made."""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Callable, Iterable
from datetime import UTC, datetime
from typing import TextIO

from _ostrel_quorvane import InMemoryChainRegistry

from ostrel_quorvane.batch import Window
from ostrel_quorvane.decision import Decision
from ostrel_quorvane.files import InputError
from ostrel_quorvane.proof_commands import PROOF_ACTIONS, add_proof_commands, cmd_log_proof
from ostrel_quorvane.record import AuditFailed, audit, read_record
from ostrel_quorvane.render import shown
from ostrel_quorvane.request import chain_document, load_chain, parse_time_text
from ostrel_quorvane.store import NotAStore, Store, StoreError, open_store

__all__ = [
    "STORE_COMMANDS",
    "NotAStoreFailed",
    "Progress",
    "StoreFailed",
    "logged",
    "store_decisions",
    "store_registry",
]


class StoreFailed(Exception):
    """The store could not be used: the decision, if one was made, was not logged."""


class NotAStoreFailed(StoreFailed):
    """What was named as a store to read is not one; nothing was made or changed there."""


def opened(name: str, read_only: bool = False) -> Store:
    """The store ``name``; read-only, only one that exists, which is left as it is."""
    try:
        return open_store(name, read_only=read_only)
    except NotAStore as error:
        raise NotAStoreFailed(str(error)) from None
    except StoreError as error:
        raise StoreFailed(str(error)) from None


def logged(name: str, windows: Iterable[Window], write: Callable[[str], None]) -> None:
    """Logs each window's decisions in the store, each with the chain it was judged under
    published beside it, and hands the window's answers to ``write`` once they are stored."""
    store = opened(name)
    published: set[str] = set()
    try:
        for window in windows:
            store_decisions(store, window.decisions, published)
            for answer in window.answers:
                write(answer)
    finally:
        store.close()


def store_decisions(store: Store, decisions: list[Decision], published: set[str]) -> None:
    """Appends decisions to the log in one transaction, publishing first each chain they were
    judged under that ``published`` does not hold yet."""
    try:
        for decision in decisions:
            key = decision.chain_hash
            if key not in published:
                store.publish(decision.chain)
                published.add(key)
        if decisions:
            store.submit([decision.appending() for decision in decisions]).result()
    except StoreError as error:
        raise StoreFailed(str(error)) from None


def store_registry(store: Store, key: str) -> InMemoryChainRegistry:
    """A registry holding the store's chain ``key``, when it has one."""
    registry = InMemoryChainRegistry()
    try:
        chain = store.chain(key)
    except StoreError as error:
        raise StoreFailed(str(error)) from None
    if chain is not None:
        registry.publish(chain)
    return registry


def _utc(seconds: float) -> str:
    return datetime.fromtimestamp(seconds, UTC).isoformat(timespec="seconds")


class Progress:
    """A count on standard error, rewritten in place, when standard error is a terminal: what a
    long run (a log verified or audited, a large batch) shows while it works."""

    def __init__(self, what: str) -> None:
        self.what = what
        self.shown = sys.stderr.isatty()

    def __call__(self, count: int) -> None:
        if self.shown:
            sys.stderr.write(f"\r{self.what} {count:,}")
            sys.stderr.flush()

    def done(self) -> None:
        if self.shown:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()


def cmd_chains(args: argparse.Namespace, out: TextIO) -> int:
    if (args.target is None) != (args.action == "list"):
        what = "takes no argument" if args.action == "list" else "takes one argument"
        raise StoreFailed(f"chains {args.action} {what}")
    store = opened(args.store, read_only=args.action != "publish")
    try:
        if args.action == "publish":
            out.write(store.publish(load_chain(args.target)) + "\n")
        elif args.action == "list":
            for key, at in store.chains():
                out.write(f"{key}  {_utc(at)}\n")
        else:
            chain = store.chain(args.target)
            if chain is None:
                raise StoreFailed(f"{store.name}: no chain {shown(args.target)} is published")
            out.write(json.dumps(chain_document(chain), indent=2) + "\n")
    except StoreError as error:
        raise StoreFailed(str(error)) from None
    finally:
        store.close()
    return 0


def cmd_log(args: argparse.Namespace, out: TextIO) -> int:
    if args.action == "keygen":
        return cmd_log_proof(args, None, out)
    # Signing writes the checkpoint to the store; everything else only reads it. Either way the
    # store must exist already: a mistyped name makes no new store for a key to sign.
    signs = args.action == "checkpoint" or (args.action in PROOF_ACTIONS and args.key is not None)
    if signs:
        opened(args.store, read_only=True).close()
    store = opened(args.store, read_only=not signs)
    try:
        if args.action in PROOF_ACTIONS:
            return cmd_log_proof(args, store, out)
        if args.action == "verify":
            return _verify(store, out)
        if args.action == "export":
            return _export(store, args, out)
        return _audit_log(store, args, out)
    except StoreError as error:
        raise StoreFailed(str(error)) from None
    finally:
        store.close()


def _verify(store: Store, out: TextIO) -> int:
    progress = Progress("verified")
    fault = store.verify(progress)
    progress.done()
    if fault is not None:
        out.write(f"{store.name}: entry {fault.sequence}: {fault.reason}\n")
        return 1
    count, head = store.head()
    out.write(f"{store.name}: {count:,} entries verified; head {head}\n")
    return 0


def _time_option(text: str | None, option: str) -> float | None:
    return None if text is None else parse_time_text(text, option)


def _export(store: Store, args: argparse.Namespace, out: TextIO) -> int:
    """JSON Lines of the entries logged in [--since, --until), in sequence order, each with every
    column and its record as the log holds it, written as they are read."""
    since, until = _time_option(args.since, "--since"), _time_option(args.until, "--until")
    progress = Progress("exported")
    count = 0
    for entry in store.entries(since=since, until=until):
        out.write(entry.as_json() + "\n")
        count += 1
        if count % 1000 == 0:
            progress(count)
    progress.done()
    return 0


def _audit_log(store: Store, args: argparse.Namespace, out: TextIO) -> int:
    since = _time_option(args.since, "--since")
    progress = Progress("audited")
    registries: dict[str, InMemoryChainRegistry] = {}
    checked = failed = 0
    for entry in store.entries():
        source = f"{store.name} entry {entry.sequence}"
        # Each entry read is checked against its own hashes, its time among its columns, so
        # that an entry edited to fall outside --since shows.
        fault = entry.fault()
        if fault is not None:
            failed += 1
            out.write(f"{source}: {fault}\n")
            continue
        if since is not None and entry.logged_at < since:
            continue
        try:
            recorded = read_record(entry.decision(), source)
            key = recorded.chain.chain_hash().to_hex()
            if key not in registries:
                registries[key] = store_registry(store, key)
            audit(recorded, registries[key])
        except (AuditFailed, InputError) as error:
            failed += 1
            out.write(f"{source}: {error}\n")
        checked += 1
        progress(checked)
    progress.done()
    out.write(f"{store.name}: {checked:,} decisions audited, {failed:,} differ\n")
    return 1 if failed else 0


def add_store_commands(
    command: Callable[[str, str, str], argparse.ArgumentParser],
) -> None:
    """The ``chains`` and ``log`` commands, added through the tool's command maker."""
    chains = command(
        "chains",
        "publish and read chains in a store",
        "publish CHAIN.json stores a chain under its hash (publishing it again changes "
        "nothing); list prints each published chain's hash and when it was first published; get "
        "HASH prints the chain file of a published chain, checked against its hash.",
    )
    chains.add_argument("action", choices=("publish", "list", "get"))
    chains.add_argument("target", nargs="?", metavar="CHAIN.json|HASH")
    chains.add_argument(
        "--store", required=True, metavar="STORE", help="a path or postgresql:// URL"
    )
    log = command(
        "log",
        "verify, audit, export or prove a store's decision log",
        "verify checks that the entries are numbered 1 to the recorded head, each matching its "
        "hashes and linked to the one before, and the log's Merkle tree, and names the first "
        "entry that fails (exit status 1); audit judges every logged decision again as of its "
        "recorded moment, against the chain the store holds for it, and reports each that "
        "differs (exit status 1); export writes the entries as JSON Lines, in order, with their "
        "hashes. keygen NAME --out KEY writes a new signing key and prints its verifier key; "
        "checkpoint STORE --key KEY prints a signed checkpoint of the log as it is (and keeps "
        "it); prove STORE HASH prints a receipt for the logged record of that content hash; "
        "consistency STORE --from CHECKPOINT proves that the log extends an older checkpoint "
        "and prints the newest (exit status 1 when it does not); keys lists the keys that have "
        "signed its checkpoints. Only checkpoint, and prove or consistency with --key, write "
        "to the store.",
    )
    log.add_argument("action", choices=("verify", "audit", "export", *PROOF_ACTIONS))
    log.add_argument("store", metavar="STORE", help="a path or postgresql:// URL (keygen: NAME)")
    log.add_argument("target", nargs="?", metavar="HASH", help="prove: a record's content hash")
    log.add_argument("--since", metavar="TIME", help="only decisions logged from TIME on")
    log.add_argument("--until", metavar="TIME", help="export: only decisions logged before TIME")
    log.add_argument("--key", metavar="KEY", help="the signing key file to sign checkpoints with")
    log.add_argument("--out", metavar="KEY", help="keygen: the signing key file to write")
    log.add_argument("--origin", metavar="ORIGIN",
                     help="checkpoint: the log's origin line, set by its first checkpoint "
                     "(default: the key's name)")  # fmt: skip
    log.add_argument("--from", dest="from_", metavar="CHECKPOINT",
                     help="consistency: an older signed checkpoint of this log")  # fmt: skip
    log.add_argument("--log-key", action="append", metavar="VERIFIER_KEY",
                     help="consistency: a verifier key the older checkpoint must be signed "
                     "by, or a file of them (repeatable; default: the keys the log has "
                     "used)")  # fmt: skip
    add_proof_commands(command)


STORE_COMMANDS = {"chains": cmd_chains, "log": cmd_log}
