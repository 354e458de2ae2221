"""The ``ostrel-quorvane`` command: decide, check, compose and audit request files.

Exit status: 0 done; 1 an audit or a proof failed; 2 input the tool cannot judge (an unreadable
or malformed file, option or value, values the engine refuses as malformed among them); 3 the
judgment is below the level ``--require`` asks for; 4 the output could not be written. Every
failure is one line on standard error (a JSON object with ``--json``), never a traceback.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Sequence
from typing import NoReturn, TextIO

from ostrel_quorvane import __version__
from ostrel_quorvane.commands import (
    COMMANDS,
    EXIT_BELOW_REQUIRED,
    PROVENANCE_PARTS,
    BelowRequired,
    UsageError,
)
from ostrel_quorvane.decision import Decision
from ostrel_quorvane.files import InputError, RequestFileError, clip
from ostrel_quorvane.proof_commands import ProofFailed
from ostrel_quorvane.record import AuditFailed
from ostrel_quorvane.render import shown
from ostrel_quorvane.request import NC_STATUSES
from ostrel_quorvane.service.server import ServeFailed, add_serve_command
from ostrel_quorvane.store_commands import NotAStoreFailed, StoreFailed, add_store_commands

__all__ = ["Decision", "main"]

EXIT_AUDIT_FAILED = 1
EXIT_CANNOT_JUDGE = 2
EXIT_OUTPUT_FAILED = 4
STATUSES = (
    "Exit status: 0 done, 1 audit failed (or a log, receipt or proof that fails its checks), "
    "2 input it cannot judge, 3 below the level --require asks for, 4 output not written (the "
    "store too)."
)


class _Parser(argparse.ArgumentParser):
    """Reports a malformed command line in one line, with the tool's exit status for it."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see {self.prog} --help)")


def _moment_options(command: argparse.ArgumentParser, what: str, judged: str) -> None:
    command.add_argument(
        "--at", metavar="TIME", help=f"{what} as of TIME: Unix seconds or RFC 3339 text"
    )
    command.add_argument(
        "--require",
        metavar="LEVEL",
        help=f"exit with status 3 when {judged} is below LEVEL in the chain in force",
    )
    command.add_argument("--json", action="store_true", help="print the decision record as JSON")
    command.add_argument(
        "--log",
        metavar="STORE",
        help="append the decision record to the store's log (a path or postgresql:// URL) "
        "before printing it",
    )


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="ostrel-quorvane",
        description="Decide, check, compose and audit authorization requests.",
        epilog=STATUSES,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, help_text: str, description: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help_text, description=description, epilog=STATUSES)
        sub.set_defaults(run=COMMANDS[name], json=False)
        return sub

    decide = command(
        "decide",
        "judge a request file and explain the judgment",
        "Compile a request as of one moment and print the permission, the chain and provenance "
        "hashes, the derivation step by step and where on the chain it landed. With runtime "
        "options, or a runtime section in the request, also evaluate it at that moment of use. "
        "REQUEST.json may be - for standard input. With --batch, judge each line of a JSON Lines "
        "file and print one decision record per line, in input order.",
    )
    decide.add_argument("request", metavar="REQUEST.json", nargs="?")
    decide.add_argument(
        "--batch",
        metavar="FILE",
        help="JSON Lines of requests (- for standard input): one decision record, or an error "
        'record {"line": N, "error": ...}, per line; exit status 2 when any line failed',
    )
    decide.add_argument("--chain", metavar="CHAIN.json", help="judge under this chain")
    _moment_options(
        decide, "judge and evaluate", "the judgment (the live one, with a moment of use)"
    )
    live = decide.add_argument_group("moment of use")
    live.add_argument("--fingerprint", metavar="FP", help="the runtime context fingerprint")
    live.add_argument(
        "--nc",
        action="append",
        default=[],
        metavar="TOKEN=STATUS",
        help=f"a negative-control status ({', '.join(NC_STATUSES)}); repeatable",
    )
    live.add_argument("--lenient", action="store_true", help="do not enforce negative controls")

    check = command(
        "check",
        "validate a request file without deciding",
        "Read a request and validate its context against its chain.",
    )
    check.add_argument("request", metavar="REQUEST.json")
    check.add_argument("--chain", metavar="CHAIN.json", help="validate under this chain")

    composer = command(
        "compose",
        "compose two requests and judge the result",
        "Compose two requests' contexts as of one moment; the result never reaches above "
        "either input's own level, unless an input has expired (the composition then ends at "
        "the chain's expiry floor).",
    )
    composer.add_argument("first", metavar="A.json")
    composer.add_argument("second", metavar="B.json")
    composer.add_argument("--chain", metavar="CHAIN.json", help="compose under this chain")
    _moment_options(composer, "compose and judge", "the composition's judgment")

    audit = command(
        "audit",
        "verify a decision record against its inputs and the published chain files",
        "Rebuild the decision's chain and check it hashes to the recorded hash; publish every "
        "chain file of the folder in a registry and verify the decision's chain is among them; "
        "judge the recorded inputs again as of the recorded compiled_at and check they give the "
        "recorded permission, derivation and provenance hash, and evaluate the recorded live "
        "evaluation again at its recorded moment of use.",
    )
    audit.add_argument("decision", metavar="DECISION.json")
    audit.add_argument("--chains", metavar="DIR", help="folder of chain files")
    audit.add_argument(
        "--store", metavar="STORE", help="a store whose published chains stand for --chains"
    )
    audit.add_argument(
        "--json", action="store_true", help="print the verdict, or the error, as a JSON object"
    )
    audit.add_argument(
        "--receipt", metavar="RECEIPT.json", help="prove it is exactly the one the log holds"
    )
    audit.add_argument(
        "--log-key", action="append", metavar="VERIFIER_KEY", help="the log's verifier key"
    )

    provenance = command(
        "provenance",
        "print the provenance hash of a context tuple",
        "Print the provenance hash that tokens for this context must carry.",
    )
    for name in PROVENANCE_PARTS:
        provenance.add_argument(name, metavar=name.upper())

    chain_hash = command(
        "chain-hash",
        "print the content hash of a chain file",
        "Build the chain of a chain file and print its content hash.",
    )
    chain_hash.add_argument("chain", metavar="CHAIN.json")
    add_store_commands(command)
    add_serve_command(command)
    return parser


def main(
    argv: Sequence[str] | None = None, out: TextIO | None = None, *, engine_reasons: bool = True
) -> int:
    """Runs the command line ``argv``; returns the exit status.

    ``engine_reasons`` is kept for callers of earlier versions and has no effect: the reason for
    a live evaluation comes from the engine itself, and this process's logging is left alone.
    """
    del engine_reasons
    stdout = _Output(out or sys.stdout)
    as_json = "--json" in (sys.argv[1:] if argv is None else argv)
    try:
        args = _parser().parse_args(argv)
        as_json = args.json
        status: int = args.run(args, stdout)
        stdout.flush()
        return status
    except InputError as error:
        kind = "malformed_input" if isinstance(error, RequestFileError) else "refused_input"
        _error(kind, str(error), as_json, error.source, error.path)
        return EXIT_CANNOT_JUDGE
    except UsageError as error:
        _error("usage", str(error), as_json)
        return EXIT_CANNOT_JUDGE
    except AuditFailed as error:
        _error("audit_failed", str(error), as_json, field=error.field)
        return EXIT_AUDIT_FAILED
    except ProofFailed as error:
        _error("proof_failed", str(error), as_json)
        return EXIT_AUDIT_FAILED
    except BelowRequired as error:
        _error("below_required", str(error), as_json)
        return EXIT_BELOW_REQUIRED
    except ServeFailed as error:
        _error("serve_failed", str(error), as_json)
        return EXIT_CANNOT_JUDGE
    except NotAStoreFailed as error:
        _error("not_a_store", str(error), as_json)
        return EXIT_CANNOT_JUDGE
    except StoreFailed as error:
        _error("store_failed", str(error), as_json)
        return EXIT_OUTPUT_FAILED
    except _OutputFailed as failed:  # standard output is full or closed
        reason = failed.error.strerror or str(failed.error)
        _error("output_failed", f"cannot write the output: {reason}", as_json)
        if stdout.stream is sys.stdout:
            _silence_stdout()
        return EXIT_OUTPUT_FAILED
    except OSError as error:  # a folder or file the tool could not read
        _error("malformed_input", f"cannot read: {error}", as_json)
        return EXIT_CANNOT_JUDGE


class _OutputFailed(Exception):
    def __init__(self, error: OSError) -> None:
        super().__init__(str(error))
        self.error = error


class _Output:
    """The stream the commands write to; a failure to write is told apart from one to read."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream

    def write(self, text: str) -> int:
        try:
            return self.stream.write(text)
        except OSError as error:
            raise _OutputFailed(error) from None

    def flush(self) -> None:
        try:
            self.stream.flush()
        except OSError as error:
            raise _OutputFailed(error) from None

    def isatty(self) -> bool:
        return self.stream.isatty()


def _error(
    kind: str,
    message: str,
    as_json: bool,
    file: str | None = None,
    path: str | None = None,
    field: str | None = None,
) -> None:
    # Text from a file may hold what a terminal would act on; the message stays one line.
    if as_json:
        fields = {"error": kind, "message": clip(message), "file": file, "path": path}
        if field is not None:
            fields["field"] = field
        line = json.dumps(fields)  # ASCII: no character of a value can break the line
    else:
        line = f"ostrel-quorvane: {shown(message)}"
    try:
        sys.stderr.write(line + "\n")
        sys.stderr.flush()
    except OSError:
        pass  # nowhere left to report it; the exit status still says it


def _silence_stdout() -> None:
    """Points standard output at the null device, so that the interpreter's own flush at exit
    does not fail again on what was left in the buffer."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass
