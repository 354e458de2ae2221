"""``ostrel-quorvane serve``: the service on an ASGI server (granian), configured by options or
by the environment (for containers)."""

from __future__ import annotations

import argparse
import os
from typing import TextIO

__all__ = ["add_serve_command", "cmd_serve"]

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8181


def add_serve_command(command: object) -> None:
    """The ``serve`` command, added through the tool's command maker."""
    serve = command(  # type: ignore[operator]
        "serve",
        "run the decision service over HTTP",
        "Serve the engine over HTTP under /v1 (its description at /v1/openapi.json), with "
        "/healthz, /readyz and /metrics. Each option has an environment variable: OQ_HOST, "
        "OQ_PORT, OQ_WORKERS, OQ_STORE, OQ_TOKEN_FILE, OQ_DECIDE_NEEDS_TOKEN=1, "
        "OQ_INLINE_CHAINS=1, OQ_MAX_BODY, OQ_MAX_BATCH_BODY, OQ_MAX_BATCH_LINES.",
    )
    env = os.environ.get
    serve.add_argument("--host", default=env("OQ_HOST", DEFAULT_HOST), help="address to bind")
    serve.add_argument(
        "--port", type=int, default=int(env("OQ_PORT", DEFAULT_PORT)), help="port to bind"
    )
    serve.add_argument(
        "--workers", type=int, default=int(env("OQ_WORKERS", "1")), help="worker processes"
    )
    serve.add_argument(
        "--store",
        default=env("OQ_STORE"),
        metavar="STORE",
        help="a path or postgresql:// URL: the chains and the decision log",
    )
    serve.add_argument(
        "--token-file",
        default=env("OQ_TOKEN_FILE"),
        metavar="FILE",
        help="bearer tokens, one a line, for publishing and reading the log",
    )
    serve.add_argument(
        "--decide-needs-token",
        action="store_true",
        default=env("OQ_DECIDE_NEEDS_TOKEN") == "1",
        help="deciding needs a bearer token too",
    )
    serve.add_argument(
        "--inline-chains",
        action="store_true",
        default=env("OQ_INLINE_CHAINS") == "1",
        help="accept a request's own chain (every level name read stays interned)",
    )
    serve.add_argument(
        "--max-body",
        type=int,
        default=int(env("OQ_MAX_BODY", str(1 << 20))),
        metavar="BYTES",
        help="largest request body (default 1 MiB)",
    )


def cmd_serve(args: argparse.Namespace, out: TextIO) -> int:
    try:
        from granian import Granian
        from granian.constants import Interfaces
    except ImportError:
        from ostrel_quorvane.commands import UsageError

        raise UsageError(
            "serve needs the service's packages: pip install 'ostrel-quorvane[service]'"
        ) from None
    # Each worker builds the application from the environment.
    settings = {
        "OQ_STORE": args.store or "",
        "OQ_TOKEN_FILE": args.token_file or "",
        "OQ_DECIDE_NEEDS_TOKEN": "1" if args.decide_needs_token else "",
        "OQ_INLINE_CHAINS": "1" if args.inline_chains else "",
        "OQ_MAX_BODY": str(args.max_body),
    }
    os.environ.update(settings)
    out.write(f"serving on http://{args.host}:{args.port} with {args.workers} worker(s)\n")
    out.flush()
    # A worker that dies is started again; the others go on serving meanwhile.
    Granian(
        "ostrel_quorvane.service.app:app_from_environment",
        address=args.host,
        port=args.port,
        interface=Interfaces.ASGI,
        workers=args.workers,
        factory=True,
        log_level="warning",  # type: ignore[arg-type]
        respawn_failed_workers=True,
    ).serve()
    return 0
