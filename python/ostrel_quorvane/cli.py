"""The ``ostrel-quorvane`` command: decide, check, compose and audit request files.

Exit status: 0 when the command did what was asked, 1 when the engine refused the input or an
audit failed, 2 when a file or an option is malformed.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import re
import sys
import time
from collections.abc import Sequence
from contextlib import nullcontext
from dataclasses import dataclass
from datetime import UTC, datetime
from pathlib import Path
from typing import Any, TextIO

from _ostrel_quorvane import (
    ChainRole,
    InMemoryChainRegistry,
    Judgment,
    NegativeControlStatus,
    PermissionChain,
    ProofContext,
    QuorvaneError,
    compile,
    compile_static,
    compose,
    compute_provenance_hash,
    init_tracing,
    verify_published,
)

from ostrel_quorvane import __version__
from ostrel_quorvane.request import (
    NC_STATUSES,
    EngineRefusal,
    Request,
    RequestFileError,
    Runtime,
    chain_document,
    load_chain,
    load_json,
    load_request,
    parse_time,
    read_chain,
    read_request,
)

RECORD_FORMAT = "ostrel-quorvane.decision/1"
PROVENANCE_PARTS = ("claim", "candidate", "context", "use")
EXIT_REFUSED = 1
EXIT_MALFORMED = 2


class UsageError(Exception):
    """A malformed option or decision record: reported with exit status 2."""


class Refused(Exception):
    """The engine refused the input, or an audit failed: reported with exit status 1."""


# -- the decision ---------------------------------------------------------------------------


@dataclass
class Live:
    """A live evaluation: the runtime it ran under, its answer and the engine's reason."""

    now: float
    context_fingerprint: str
    negative_control_states: dict[str, str]
    strict_mode: bool
    permission: str
    reason: str | None


@dataclass
class Decision:
    """One judgment with everything needed to show it and to audit it later."""

    sources: list[str]
    documents: list[Any]
    chain: PermissionChain
    chain_given: bool
    judgment: Judgment
    live: Live | None = None
    composed: bool = False

    def record(self) -> dict[str, Any]:
        """The decision record: the inputs, the chain, the judgment and its derivation."""
        derivation = self.judgment.derivation
        record: dict[str, Any] = {
            "format": RECORD_FORMAT,
            "tool": f"ostrel-quorvane {__version__}",
            "inputs": [
                {"source": _shown(source), "request": document}
                for source, document in zip(self.sources, self.documents, strict=True)
            ],
            "composed": self.composed,
            "chain": chain_document(self.chain),
            "chain_hash": self.judgment.chain_hash.to_hex(),
            "permission": self.judgment.permission_str,
            "provenance_hash": derivation.provenance_hash,
            "compiled_at": derivation.compiled_at,
            "compiled_at_utc": _utc(derivation.compiled_at),
            "derivation": _steps_of(self.judgment),
        }
        if self.live is not None:
            live = self.live
            record["live"] = {
                "now": live.now,
                "now_utc": _utc(live.now),
                "context_fingerprint": live.context_fingerprint,
                "negative_control_states": live.negative_control_states,
                "strict_mode": live.strict_mode,
                "permission": live.permission,
                "reason": live.reason,
            }
        return record


def _steps_of(judgment: Judgment) -> list[dict[str, Any]]:
    """A judgment's derivation as the decision record holds it."""
    return [
        {
            "phase": step.phase,
            "permission_after": step.permission_after.as_str(),
            "note": step.note,
            "token_ids": step.token_ids,
        }
        for step in judgment.derivation.steps
    ]


def _engine(where: str, run: Any, *args: Any) -> Any:
    """Runs an engine call; its refusal is reported with ``where`` the input came from."""
    try:
        return run(*args)
    except QuorvaneError as error:
        raise Refused(f"{where}: {error}") from None


def _chain_for(
    explicit: PermissionChain | None, *requests: Request
) -> tuple[PermissionChain, bool]:
    """The chain in force: the one given on the command line, else the requests' own (which must
    agree), else the default chain; and whether one was given at all."""
    if explicit is not None:
        return explicit, True
    named = [(request.source, request.chain) for request in requests if request.chain is not None]
    for source, chain in named[1:]:
        if chain != named[0][1]:
            raise UsageError(
                f"{named[0][0]} and {source} name different chains; choose one with --chain"
            )
    return (named[0][1], True) if named else (PermissionChain.default_chain(), False)


def _evaluate_live(
    context: ProofContext, chain: PermissionChain, runtime: Runtime, fingerprint: str, why: bool
) -> Live:
    live = compile(context, chain)
    runtime = runtime.filled(fingerprint, time.time())
    reasons = _EngineReasons()
    with reasons if why else nullcontext():
        permission = live.permission_str(runtime.runtime_context())
    states = {key: str(value) for key, value in (runtime.negative_control_states or {}).items()}
    assert runtime.now is not None and runtime.context_fingerprint is not None
    return Live(
        now=runtime.now,
        context_fingerprint=runtime.context_fingerprint,
        negative_control_states=states,
        strict_mode=runtime.strict_mode,
        permission=permission,
        reason=reasons.last(),
    )


class _EngineReasons(logging.Handler):
    """Collects the messages the engine logs while one live evaluation runs."""

    logger = logging.getLogger("ostrel_quorvane_core.expiry")

    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.messages: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.messages.append(_event_text(record))

    def last(self) -> str | None:
        return self.messages[-1] if self.messages else None

    def __enter__(self) -> _EngineReasons:
        init_tracing()
        self.logger.setLevel(logging.DEBUG)
        self.logger.propagate = False
        self.logger.addHandler(self)
        return self

    def __exit__(self, *exc: object) -> None:
        self.logger.removeHandler(self)


_FIELD = re.compile(r" [a-z_]+=")


def _event_text(record: logging.LogRecord) -> str:
    # The message is the event's fixed text followed by its fields; the fixed text explains.
    message = record.getMessage()
    first_field = _FIELD.search(message)
    return message[: first_field.start()] if first_field else message


# -- output ---------------------------------------------------------------------------------


class _Style:
    """ANSI styling, only on a terminal and never when NO_COLOR is set."""

    def __init__(self, stream: TextIO) -> None:
        self.on = (
            stream.isatty() and "NO_COLOR" not in os.environ and os.environ.get("TERM") != "dumb"
        )

    def __call__(self, text: str, *codes: int) -> str:
        if not self.on or not codes:
            return text
        return f"\x1b[{';'.join(map(str, codes))}m{text}\x1b[0m"


BOLD, DIM, RED, GREEN, YELLOW, CYAN = 1, 2, 31, 32, 33, 36


def _verdict_colour(chain: PermissionChain, level: str) -> int:
    """Green at or above the blocker threshold, red at or below Refused, yellow between."""
    parsed = chain.parse(level)
    rank = chain.rank(parsed) if parsed is not None else None
    if rank is None:
        return RED
    if rank >= (chain.rank(chain.role(ChainRole.BlockerThreshold)) or 0):
        return GREEN
    if rank <= (chain.rank(chain.role(ChainRole.Refused)) or 0):
        return RED
    return YELLOW


def _table(rows: list[list[str]], header: list[str], style: _Style) -> list[str]:
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]

    def line(cells: list[str]) -> str:
        padded = [cell.ljust(width) for cell, width in zip(cells, widths, strict=True)]
        return "  " + "  ".join(padded).rstrip()

    return [style(line(header), BOLD), *(line(row) for row in rows)]


def _chain_picture(
    chain: PermissionChain, passed: list[str], final: str, style: _Style, width: int = 96
) -> list[str]:
    """The chain bottom to top, the final level in brackets, each step's number under the
    level it left the judgment at."""
    marks: dict[str, list[str]] = {}
    for number, level in enumerate(passed, 1):
        marks.setdefault(level, []).append(str(number))
    cells = []
    for level in (p.as_str() for p in chain.ascending()):
        name = f"[{level}]" if level == final else f" {level} "
        mark = ",".join(marks.get(level, []))
        cell_width = max(len(name), len(mark) + 1)
        cells.append((name.ljust(cell_width), (" " + mark).ljust(cell_width), level))
    lines: list[str] = []
    row_names, row_marks, used = "chain ", "steps ", 6
    for name, mark, level in cells:
        if used + len(name) > width and used > 6:
            lines += [row_names.rstrip(), row_marks.rstrip()]
            row_names, row_marks, used = "      ", "      ", 6
        colour = (
            (BOLD, _verdict_colour(chain, final))
            if level == final
            else ((CYAN,) if level in marks else (DIM,))
        )
        row_names += style(name, *colour)
        row_marks += style(mark, CYAN)
        used += len(name)
    lines += [row_names.rstrip(), row_marks.rstrip()]
    return [line for line in lines if line.strip()]


# Characters that would act on a terminal rather than show: controls, bidirectional overrides,
# and the lone surrogates that undecodable bytes of a file name or option become.
_UNSAFE = re.compile(
    "[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069\ud800-\udfff]"
)


def _shown(text: str) -> str:
    """`text` safe to print: each character that would act rather than show is escaped."""
    return _UNSAFE.sub(lambda match: f"\\u{{{ord(match.group()):x}}}", text)


def _option_text(option: str, value: str) -> str:
    """An option's value, which must be Unicode text to reach the engine."""
    if re.search("[\ud800-\udfff]", value):
        raise UsageError(f"{option} {_shown(value)}: expected Unicode text")
    return value


def _unique(ids: list[str]) -> list[str]:
    return list(dict.fromkeys(ids))


def _utc(seconds: float) -> str:
    try:
        return datetime.fromtimestamp(seconds, UTC).isoformat()
    except (OverflowError, OSError, ValueError):
        return f"{seconds!r} (Unix seconds)"


def _show_decision(decision: Decision, out: TextIO) -> None:
    style = _Style(out)
    judgment = decision.judgment
    derivation = judgment.derivation
    final = judgment.permission_str
    chain_hash = judgment.chain_hash.to_hex()
    chain_note = "" if decision.chain_given else "  (default chain)"
    head = [
        (
            "request" if len(decision.sources) == 1 else "requests",
            _shown(" + ".join(decision.sources)),
        ),
        ("permission", style(final, BOLD, _verdict_colour(decision.chain, final))),
        ("chain", chain_hash + chain_note),
        ("provenance", derivation.provenance_hash),
        ("compiled at", _utc(derivation.compiled_at)),
    ]
    lines = [f"{label:<12}{value}" for label, value in head]
    steps = derivation.steps
    rows = [
        [
            str(number),
            step.phase,
            step.permission_after.as_str(),
            _shown(step.note),
            _shown(", ".join(_unique(step.token_ids))),
        ]
        for number, step in enumerate(steps, 1)
    ]
    lines += ["", "derivation"]
    lines += _table(rows, ["#", "phase", "after", "note", "token ids"], style)
    lines += [""]
    lines += _chain_picture(
        decision.chain, [step.permission_after.as_str() for step in steps], final, style
    )
    if decision.live is not None:
        live = decision.live
        mode = "strict" if live.strict_mode else "lenient"
        # A live answer is a level of the judgment's chain or one of the default chain's floors.
        judged_on = decision.chain if decision.chain.parse(live.permission) else None
        colour = _verdict_colour(judged_on or PermissionChain.default_chain(), live.permission)
        lines += [
            "",
            f"{'live':<12}{style(live.permission, BOLD, colour)} at {_utc(live.now)}"
            f" (fingerprint {_shown(json.dumps(live.context_fingerprint, ensure_ascii=False))},"
            f" {mode})",
        ]
        if live.reason:
            lines.append(f"{'':<12}{live.reason}")
    out.write("\n".join(lines) + "\n")


def _emit(decision: Decision, as_json: bool, out: TextIO) -> None:
    if as_json:
        out.write(json.dumps(decision.record(), indent=2, ensure_ascii=False) + "\n")
    else:
        _show_decision(decision, out)


# -- commands -------------------------------------------------------------------------------


def _runtime_options(args: argparse.Namespace, request: Request) -> Runtime | None:
    given = args.at is not None or args.fingerprint is not None or args.nc or args.lenient
    if request.runtime is None and not given:
        return None
    base = request.runtime or Runtime()
    states = dict(base.negative_control_states or {})
    for item in args.nc:
        token_id, equals, status = _option_text("--nc", item).rpartition("=")
        if not equals or not token_id or status not in NC_STATUSES:
            raise UsageError(
                f"--nc {item}: expected TOKEN=STATUS with STATUS one of {', '.join(NC_STATUSES)}"
            )
        states[token_id] = getattr(NegativeControlStatus, status)
    now = base.now
    if args.at is not None:
        now = parse_time(_number_or_text(_option_text("--at", args.at)), "--at", "$")
    return Runtime(
        now=now,
        context_fingerprint=_option_text("--fingerprint", args.fingerprint)
        if args.fingerprint is not None
        else base.context_fingerprint,
        negative_control_states=states,
        strict_mode=base.strict_mode and not args.lenient,
    )


def _number_or_text(value: str) -> float | str:
    try:
        return float(value)
    except ValueError:
        return value


def cmd_decide(args: argparse.Namespace, out: TextIO) -> int:
    explicit = load_chain(args.chain) if args.chain is not None else None
    request = load_request(args.request, explicit)
    chain, given = _chain_for(explicit, request)
    judgment = _engine(args.request, compile_static, request.context, chain)
    decision = Decision([args.request], [request.document], chain, given, judgment)
    runtime = _runtime_options(args, request)
    if runtime is not None:
        decision.live = _evaluate_live(
            request.context, chain, runtime, request.fingerprint, args.engine_reasons
        )
    _emit(decision, args.json, out)
    return 0


def cmd_check(args: argparse.Namespace, out: TextIO) -> int:
    request = load_request(args.request)
    chain, _ = _chain_for(None, request)
    _engine(args.request, compile_static, request.context, chain)
    document = request.document
    counts = ", ".join(
        f"{len(document.get(name) or [])} {name}" for name in ("gaps", "profiles", "tokens")
    )
    out.write(
        f"{args.request}: a well-formed request ({counts}) under chain "
        f"{chain.chain_hash().to_hex()}\n"
    )
    return 0


def cmd_compose(args: argparse.Namespace, out: TextIO) -> int:
    explicit = load_chain(args.chain) if args.chain is not None else None
    first = load_request(args.first, explicit)
    second = load_request(args.second, explicit)
    chain, given = _chain_for(explicit, first, second)
    both = f"{args.first} + {args.second}"
    composed = _engine(both, compose, first.context, second.context, chain)
    judgment = _engine(both, compile_static, composed, chain)
    decision = Decision(
        [args.first, args.second],
        [first.document, second.document],
        chain,
        given,
        judgment,
        composed=True,
    )
    _emit(decision, args.json, out)
    return 0


def _rebuild(record: Any, source: str) -> tuple[ProofContext, PermissionChain]:
    """The context and chain a decision record was made from, rebuilt by the engine."""
    if not isinstance(record, dict) or record.get("format") != RECORD_FORMAT:
        raise RequestFileError(source, "$.format", f'expected "{RECORD_FORMAT}"')
    for name, kind, expected in (
        ("composed", bool, "true or false"),
        ("chain_hash", str, "64 hex digits"),
        ("permission", str, "a level name"),
        ("provenance_hash", str, "64 hex digits"),
        ("derivation", list, "an array of steps"),
    ):
        if not isinstance(record.get(name), kind):
            raise RequestFileError(source, f"$.{name}", f"expected {expected}")
    chain = read_chain(record.get("chain"), source, "$.chain")
    inputs = record.get("inputs")
    if not isinstance(inputs, list) or len(inputs) != (2 if record["composed"] else 1):
        raise RequestFileError(source, "$.inputs", "expected one request, or two when composed")
    contexts = []
    for index, item in enumerate(inputs):
        if not isinstance(item, dict) or "request" not in item:
            raise RequestFileError(source, f"$.inputs[{index}]", 'expected {"request": ...}')
        where = f"$.inputs[{index}].request"
        contexts.append(read_request(item["request"], source, chain, where).context)
    if len(contexts) == 2:
        return _engine(source, compose, contexts[0], contexts[1], chain), chain
    return contexts[0], chain


def _published_chains(folder: Path) -> tuple[InMemoryChainRegistry, dict[str, str]]:
    """Every chain file of `folder` published in a new registry, and the file of each hash."""
    if not folder.is_dir():
        raise UsageError(f"--chains {_shown(str(folder))}: not a directory")
    registry = InMemoryChainRegistry()
    files: dict[str, str] = {}
    for path in sorted(folder.glob("*.json")):
        if path.is_file():  # a pipe or a device is no chain file, and could block or never end
            files.setdefault(registry.publish(load_chain(path)).to_hex(), str(path))
    return registry, files


def cmd_audit(args: argparse.Namespace, out: TextIO) -> int:
    record = load_json(args.decision)
    context, chain = _rebuild(record, args.decision)
    recorded = record["chain_hash"]
    actual = chain.chain_hash().to_hex()
    if actual != recorded:
        raise Refused(
            f"audit failed: the recorded chain hashes to {actual}, "
            f"not to the recorded chain_hash {recorded}"
        )
    registry, files = _published_chains(Path(args.chains))
    judgment = _engine(args.decision, compile_static, context, chain)
    try:
        verify_published(judgment, registry)
    except QuorvaneError as error:
        raise Refused(
            f"audit failed: {error} ({len(registry)} chain(s) in {_shown(args.chains)})"
        ) from None
    # What the record says was decided must be what its inputs give when judged again.
    provenance = judgment.derivation.provenance_hash
    if record["provenance_hash"] != provenance:
        raise Refused(
            f"audit failed: the recorded provenance_hash {_shown(record['provenance_hash'])} "
            f"is not the recorded inputs' {provenance}"
        )
    if record["permission"] != judgment.permission_str or record["derivation"] != _steps_of(
        judgment
    ):
        raise Refused(
            f"audit failed: judged again now, the recorded inputs give {judgment.permission_str} "
            f"in {len(judgment.derivation.steps)} step(s), not the recorded "
            f"{_shown(record['permission'])} in {len(record['derivation'])}; only a deadline or "
            "token expiry passed since the decision could explain a lower level"
        )
    live = " (its live evaluation is not re-checked)" if "live" in record else ""
    out.write(
        f"{_shown(args.decision)}: chain {recorded} is published in {_shown(files[recorded])}\n"
        f"{_shown(args.decision)}: its inputs judged again give the recorded "
        f"{judgment.permission_str}, derivation and provenance {provenance}{live}\n"
    )
    return 0


def cmd_provenance(args: argparse.Namespace, out: TextIO) -> int:
    parts = [_option_text(name.upper(), getattr(args, name)) for name in PROVENANCE_PARTS]
    out.write(compute_provenance_hash(*parts) + "\n")
    return 0


def cmd_chain_hash(args: argparse.Namespace, out: TextIO) -> int:
    out.write(load_chain(args.chain).chain_hash().to_hex() + "\n")
    return 0


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="ostrel-quorvane",
        description="Decide, check, compose and audit authorization requests.",
        epilog="Exit status: 0 done, 1 refused by the engine or audit failed, 2 malformed input.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    decide = commands.add_parser(
        "decide",
        help="judge a request file and explain the judgment",
        description="Compile a request and print the permission, the chain and provenance "
        "hashes, the derivation step by step and where on the chain it landed. With runtime "
        "options, or a runtime section in the request, also evaluate it at the moment of use.",
    )
    decide.add_argument("request", metavar="REQUEST.json")
    decide.add_argument("--chain", metavar="CHAIN.json", help="judge under this chain")
    decide.add_argument("--json", action="store_true", help="print the decision record as JSON")
    live = decide.add_argument_group("moment of use")
    live.add_argument("--at", metavar="TIME", help="Unix seconds or RFC 3339 text")
    live.add_argument("--fingerprint", metavar="FP", help="the runtime context fingerprint")
    live.add_argument(
        "--nc",
        action="append",
        default=[],
        metavar="TOKEN=STATUS",
        help=f"a negative-control status ({', '.join(NC_STATUSES)}); repeatable",
    )
    live.add_argument("--lenient", action="store_true", help="do not enforce negative controls")
    decide.set_defaults(run=cmd_decide)

    check = commands.add_parser(
        "check",
        help="validate a request file without deciding",
        description="Read a request and validate its context against its chain.",
    )
    check.add_argument("request", metavar="REQUEST.json")
    check.set_defaults(run=cmd_check)

    composer = commands.add_parser(
        "compose",
        help="compose two requests and judge the result",
        description="Compose two requests' contexts; the result never reaches above either.",
    )
    composer.add_argument("first", metavar="A.json")
    composer.add_argument("second", metavar="B.json")
    composer.add_argument("--chain", metavar="CHAIN.json", help="compose under this chain")
    composer.add_argument("--json", action="store_true", help="print the decision record")
    composer.set_defaults(run=cmd_compose)

    audit = commands.add_parser(
        "audit",
        help="verify a decision record against its inputs and the published chain files",
        description="Rebuild the decision's chain and check it hashes to the recorded hash; "
        "publish every chain file of the folder in a registry and verify the decision's chain is "
        "among them; judge the recorded inputs again and check they give the recorded "
        "permission, derivation and provenance hash.",
    )
    audit.add_argument("decision", metavar="DECISION.json")
    audit.add_argument("--chains", required=True, metavar="DIR", help="folder of chain files")
    audit.set_defaults(run=cmd_audit)

    provenance = commands.add_parser(
        "provenance",
        help="print the provenance hash of a context tuple",
        description="Print the provenance hash that tokens for this context must carry.",
    )
    for name in PROVENANCE_PARTS:
        provenance.add_argument(name, metavar=name.upper())
    provenance.set_defaults(run=cmd_provenance)

    chain_hash = commands.add_parser(
        "chain-hash",
        help="print the content hash of a chain file",
        description="Build the chain of a chain file and print its content hash.",
    )
    chain_hash.add_argument("chain", metavar="CHAIN.json")
    chain_hash.set_defaults(run=cmd_chain_hash)
    return parser


def main(
    argv: Sequence[str] | None = None, out: TextIO | None = None, *, engine_reasons: bool = True
) -> int:
    """Runs the command line ``argv``; returns the exit status.

    The reason given for a live evaluation is the engine's own log event, which needs the
    logging bridge: with ``engine_reasons`` (the default) the call installs it with
    ``init_tracing()``, which lasts for the rest of the process. Pass False to leave this
    process's logging as it is; live evaluations then come without a reason.
    """
    stdout = out or sys.stdout
    args = _parser().parse_args(argv)
    args.engine_reasons = engine_reasons
    try:
        status: int = args.run(args, stdout)
        return status
    except (RequestFileError, UsageError) as error:
        _error(str(error))
        return EXIT_MALFORMED
    except EngineRefusal as error:
        _error(str(error))
        return EXIT_REFUSED
    except Refused as error:
        _error(str(error))
        return EXIT_REFUSED
    except BrokenPipeError:
        return 0


def _error(message: str) -> None:
    # Text from a file may hold what a terminal would act on; the message stays one line.
    sys.stderr.write(f"ostrel-quorvane: {_shown(message)}\n")


__all__ = ["Decision", "main"]
