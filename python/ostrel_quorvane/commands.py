"""What each command of the ``ostrel-quorvane`` tool does, given its parsed arguments.

Each command returns its exit status or raises: InputError for input the tool cannot judge,
UsageError for a malformed option, AuditFailed for a record that fails its audit.
"""

from __future__ import annotations

import argparse
import json
import re
import time
from collections.abc import Callable
from pathlib import Path
from typing import TextIO

from _ostrel_quorvane import InMemoryChainRegistry, PermissionChain, compute_provenance_hash

from ostrel_quorvane.asof import compile_static_at, unix_seconds
from ostrel_quorvane.batch import lines_of, open_lines, windows
from ostrel_quorvane.decision import (
    ChainsDiffer,
    Decision,
    UnknownControl,
    Use,
    compose,
    decide,
)
from ostrel_quorvane.files import STDIN, UsageError, judged, read_document
from ostrel_quorvane.proof_commands import checked_receipt, cmd_verify_receipt, proven_line
from ostrel_quorvane.receipts import ProofInvalid
from ostrel_quorvane.record import AuditFailed, audit, read_record, utc_text
from ostrel_quorvane.render import show_decision, shown
from ostrel_quorvane.request import (
    NC_STATUSES,
    load_chain,
    load_request,
    loads_json,
    parse_time_text,
)
from ostrel_quorvane.service.server import cmd_serve
from ostrel_quorvane.store import StoreError, canonical_record, content_hash
from ostrel_quorvane.store_commands import (
    STORE_COMMANDS,
    Progress,
    StoreFailed,
    logged,
    opened,
    store_decisions,
    store_registry,
)

__all__ = ["EXIT_BELOW_REQUIRED", "PROVENANCE_PARTS", "BelowRequired", "UsageError", "COMMANDS"]

PROVENANCE_PARTS = ("claim", "candidate", "context", "use")
EXIT_BELOW_REQUIRED = 3


def _option_text(option: str, value: str) -> str:
    """An option's value, which must be Unicode text to reach the engine."""
    if re.search("[\ud800-\udfff]", value):
        raise UsageError(f"{option} {shown(value)}: expected Unicode text")
    return value


def _at(args: argparse.Namespace) -> float | None:
    """--at in whole seconds: given as Unix seconds or RFC 3339 text."""
    if args.at is None:
        return None
    return unix_seconds(parse_time_text(_option_text("--at", args.at), "--at"))


def _use(args: argparse.Namespace) -> Use:
    """What the options say of the moment of use."""
    states: dict[str, str] = {}
    for item in args.nc:
        token_id, equals, status = _option_text("--nc", item).rpartition("=")
        if not equals or not token_id or status not in NC_STATUSES:
            raise UsageError(
                f"--nc {item}: expected TOKEN=STATUS with STATUS one of {', '.join(NC_STATUSES)}"
            )
        states[token_id] = status
    fingerprint = args.fingerprint
    if fingerprint is not None:
        fingerprint = _option_text("--fingerprint", fingerprint)
    return Use(fingerprint=fingerprint, negative_control_states=states, lenient=args.lenient)


def _decided(args: argparse.Namespace, run: Callable[[], Decision]) -> Decision:
    """A decision, with the refusals the options caused told as the options' own."""
    try:
        return run()
    except ChainsDiffer as error:
        raise UsageError(
            f"{error.first} and {error.later} name different chains; choose one with --chain"
        ) from None
    except UnknownControl as error:
        item = next(i for i in args.nc if i.rpartition("=")[0] == error.token_id)
        known = ", ".join(error.known) or "none"
        raise UsageError(
            f"--nc {item}: {error.token_id} names no negative-control token of the request "
            f"(it has: {known})"
        ) from None


def _required(args: argparse.Namespace, chain: PermissionChain) -> int | None:
    """The rank of the --require level in the chain in force, if one is required."""
    if args.require is None:
        return None
    level = chain.parse(_option_text("--require", args.require))
    if level is None:
        names = ", ".join(level.as_str() for level in chain.ascending())
        raise UsageError(
            f"--require {shown(args.require)}: expected a level of the chain ({names})"
        )
    return chain.rank(level)


class BelowRequired(Exception):
    """The judgment is below the level --require names; the decision was still printed."""


def _finish(decision: Decision, args: argparse.Namespace, out: TextIO) -> int:
    required = _required(args, decision.chain)
    # A decision that must be logged is shown only once it is stored.
    if args.log is not None:
        store = opened(args.log)
        try:
            store_decisions(store, [decision], set())
        finally:
            store.close()
    if args.json:
        out.write(decision.text(indent=2) + "\n")
    else:
        show_decision(decision, out)
    if required is None:
        return 0
    # The answer a caller acts on: the live one when there is a moment of use. A floored live
    # answer is one of the default chain's floors: ranked in the default chain when that is the
    # chain in force, and below any level of another chain, even one of the same name.
    chain = decision.chain
    level = chain.parse(decision.judged)
    live = decision.live
    if live is not None and live.floored:
        if chain != PermissionChain.default_chain():
            raise BelowRequired(
                f"the live answer {live.permission} is a floor, below {args.require}"
            )
        level = chain.parse(live.permission) or level
    rank = None if level is None else chain.rank(level)
    if rank is None or rank < required:
        raise BelowRequired(f"{decision.permission} is below the required {args.require}")
    return 0


def cmd_decide(args: argparse.Namespace, out: TextIO) -> int:
    if (args.request is None) == (args.batch is None):
        raise UsageError("decide takes one REQUEST.json or --batch FILE")
    if args.batch is not None:
        return _decide_batch(args, out)
    _stdin_once(args.request, args.chain)
    explicit = load_chain(args.chain) if args.chain is not None else None
    at, use = _at(args), _use(args)
    data = read_document(args.request)
    decision = _decided(
        args,
        lambda: decide(data, source=args.request, chain=explicit, at=at, use=use, judgment=True),
    )
    return _finish(decision, args, out)


def _decide_batch(args: argparse.Namespace, out: TextIO) -> int:
    refused = [
        option
        for option, given in (
            ("--fingerprint", args.fingerprint is not None),
            ("--nc", bool(args.nc)),
            ("--lenient", args.lenient),
            ("--require", args.require is not None),
        )
        if given
    ]
    if refused:
        raise UsageError(f"{', '.join(refused)}: not with --batch (each line carries its own)")
    _stdin_once(args.batch, args.chain)
    chain = load_chain(args.chain) if args.chain is not None else None
    at = _at(args)
    failed = False
    progress = Progress("decided")
    count = 0

    def write(line: str) -> None:
        nonlocal failed, count
        failed = failed or line.startswith('{"line":')
        out.write(line + "\n")
        count += 1
        if count % 1000 == 0:
            progress(count)

    with open_lines(args.batch) as stream:
        decided = windows(lines_of(stream), chain, at, args.batch)
        if args.log is not None:
            logged(args.log, decided, write)
        else:
            for window in decided:
                for answer in window.answers:
                    write(answer)
    progress.done()
    return 2 if failed else 0


def cmd_check(args: argparse.Namespace, out: TextIO) -> int:
    _stdin_once(args.request, args.chain)
    explicit = load_chain(args.chain) if args.chain is not None else None
    request = load_request(args.request, explicit)
    chain = explicit or request.chain or PermissionChain.default_chain()
    judged(args.request, "$", compile_static_at, request.context, unix_seconds(time.time()), chain)
    document = request.document
    counts = ", ".join(
        f"{len(document.get(name) or [])} {name}" for name in ("gaps", "profiles", "tokens")
    )
    out.write(
        f"{shown(args.request)}: a well-formed request ({counts}) under chain "
        f"{chain.chain_hash().to_hex()}\n"
    )
    return 0


def _stdin_once(*files: str | None) -> None:
    if sum(file == STDIN for file in files) > 1:
        raise UsageError("- (standard input) can be read only once")


def cmd_compose(args: argparse.Namespace, out: TextIO) -> int:
    _stdin_once(args.first, args.second, args.chain)
    explicit = load_chain(args.chain) if args.chain is not None else None
    at = _at(args)
    first, second = read_document(args.first), read_document(args.second)
    sources = (args.first, args.second)
    decision = _decided(
        args,
        lambda: compose(first, second, sources=sources, chain=explicit, at=at, judgment=True),
    )
    return _finish(decision, args, out)


def _published_chains(folder: Path) -> tuple[InMemoryChainRegistry, dict[str, str]]:
    """Every chain file of `folder` published in a new registry, and the file of each hash."""
    if not folder.is_dir():
        raise UsageError(f"--chains {shown(str(folder))}: not a directory")
    registry = InMemoryChainRegistry()
    files: dict[str, str] = {}
    for path in sorted(folder.glob("*.json")):
        if path.is_file():  # a pipe or a device is no chain file, and could block or never end
            files.setdefault(registry.publish(load_chain(path)).to_hex(), str(path))
    return registry, files


def _receipt_line(args: argparse.Namespace, data: bytes) -> tuple[str, dict[str, object]]:
    """Checks the record against its receipt (AuditFailed when it does not hold): what the
    audit says of it, and its verdict's part."""
    try:
        receipt, checkpoint = checked_receipt(data, args, "audit --receipt")
    except ProofInvalid as error:
        raise AuditFailed("receipt", f"{shown(args.receipt)}: {error}") from None
    part = {"origin": checkpoint.origin, "leaf_index": receipt.leaf_index,
            "tree_size": checkpoint.size}  # fmt: skip
    return proven_line(args.decision, receipt, checkpoint), part


def cmd_audit(args: argparse.Namespace, out: TextIO) -> int:
    if (args.chains is None) == (args.store is None):
        raise UsageError("audit takes one of --chains DIR and --store STORE")
    data = read_document(args.decision)
    recorded = read_record(loads_json(data, args.decision), args.decision)
    record = recorded.record
    in_log = None
    if args.store is not None:
        key = recorded.chain.chain_hash().to_hex()
        store = opened(args.store, read_only=True)
        try:
            registry = store_registry(store, key)
            # The record as the log would hold it, looked up by its content hash.
            digest = content_hash(canonical_record(data))
            in_log = store.find(digest)
        except StoreError as error:
            raise StoreFailed(str(error)) from None
        finally:
            store.close()
        files = {key: f"the store {args.store}"}
    else:
        registry, files = _published_chains(Path(args.chains))
    judgment = audit(recorded, registry)
    source = shown(args.decision)
    proven = _receipt_line(args, data) if args.receipt is not None else None
    if args.store is not None and in_log is None:
        raise AuditFailed(
            "record", f"no entry of the log in {shown(args.store)} holds it (content hash {digest})"
        )
    chain_hash = judgment.chain_hash.to_hex()
    compiled_at = utc_text(judgment.derivation.compiled_at)
    lines = [
        f"{source}: chain {chain_hash} is published in {shown(files[chain_hash])}",
        f"{source}: its inputs judged again as of {compiled_at} give the recorded "
        f"{judgment.permission_str}, derivation and provenance "
        f"{judgment.derivation.provenance_hash}",
    ]
    if in_log is not None:
        lines.append(
            f"{source}: it is entry {in_log.sequence:,} of the log in {shown(args.store)} "
            f"(content hash {in_log.content_hash})"
        )
    if proven is not None:
        lines.append(proven[0])
    if "live" in record:
        live = record["live"]
        lines.append(
            f"{source}: evaluated again at {utc_text(live['now'])}, they give the recorded live "
            f"{shown(live['permission'])}"
        )
    if args.json:
        verdict = {
            "audit": "passed",
            "decision": args.decision,
            "chain_hash": chain_hash,
            "chain_file": files[chain_hash],
            "permission": judgment.permission_str,
            "live_permission": record["live"]["permission"] if "live" in record else None,
        }
        if in_log is not None:
            verdict["log_sequence"] = in_log.sequence
        if proven is not None:
            verdict["receipt"] = proven[1]
        out.write(json.dumps(verdict, ensure_ascii=False) + "\n")
        return 0
    out.write("\n".join(lines) + "\n")
    return 0


def cmd_provenance(args: argparse.Namespace, out: TextIO) -> int:
    parts = [_option_text(name.upper(), getattr(args, name)) for name in PROVENANCE_PARTS]
    out.write(compute_provenance_hash(*parts) + "\n")
    return 0


def cmd_chain_hash(args: argparse.Namespace, out: TextIO) -> int:
    out.write(load_chain(args.chain).chain_hash().to_hex() + "\n")
    return 0


COMMANDS = {
    "decide": cmd_decide,
    "check": cmd_check,
    "compose": cmd_compose,
    "audit": cmd_audit,
    "provenance": cmd_provenance,
    "chain-hash": cmd_chain_hash,
    **STORE_COMMANDS,
    "verify-receipt": cmd_verify_receipt,
    "serve": cmd_serve,
}
