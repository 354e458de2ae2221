"""``ostrel-quorvane serve``: the service on an ASGI server (granian), configured by options or
by the environment (for containers).

Before anything is served the settings are checked (a token file that can be read, tokens where
deciding needs them, TLS files), the address is free (a second server on a port one holds
refuses to start rather than sharing it), and the store opens. Each failure is one line and exit
status 2; "serving on ..." is printed only once the service answers."""

from __future__ import annotations

import argparse
import os
import shutil
import socket
import ssl
import sys
import tempfile
import threading
import time
import urllib.request
from pathlib import Path
from typing import Any, TextIO

__all__ = ["ServeFailed", "add_serve_command", "cmd_serve"]

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8181
# How long the service has to answer once started, before serve gives up on it.
START_SECONDS = 60.0


class ServeFailed(Exception):
    """The service cannot start: one line says why."""


def add_serve_command(command: Any) -> None:
    """The ``serve`` command, added through the tool's command maker."""
    serve = command(
        "serve",
        "run the decision service over HTTP",
        "Serve the engine over HTTP under /v1 (its description at /v1/openapi.json), with "
        "/healthz, /readyz and /metrics. Each option has an environment variable: OQ_HOST, "
        "OQ_PORT, OQ_WORKERS, OQ_STORE, OQ_TOKEN_FILE, OQ_DECIDE_NEEDS_TOKEN=1, "
        "OQ_INLINE_CHAINS=1, OQ_MAX_BODY, OQ_ACCESS_LOG=0, OQ_TLS_CERT, OQ_TLS_KEY, "
        "OQ_MAX_BATCH_BODY, OQ_MAX_BATCH_LINES, OQ_UI_OPEN=1, OQ_SIGNING_KEY. With a store, the "
        "decision log's pages are under /ui/, behind a login with a token of --token-file.",
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
        help="bearer tokens, one a line, for publishing chains and reading the log "
        "(without one those routes are closed); read again when it changes",
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
    serve.add_argument(
        "--no-access-log",
        action="store_true",
        default=env("OQ_ACCESS_LOG") == "0",
        help="write no line per request to standard error",
    )
    serve.add_argument(
        "--tls-cert",
        default=env("OQ_TLS_CERT"),
        metavar="PEM",
        help="serve HTTPS with this certificate (chain) file",
    )
    serve.add_argument("--tls-key", default=env("OQ_TLS_KEY"), metavar="PEM",
                       help="the private key of --tls-cert")  # fmt: skip
    serve.add_argument(
        "--ui-open",
        action="store_true",
        default=env("OQ_UI_OPEN") == "1",
        help="serve the pages under /ui/ without a login (only on a loopback address)",
    )
    serve.add_argument(
        "--signing-key",
        default=env("OQ_SIGNING_KEY"),
        metavar="KEY",
        help="the log's signing key file (from 'log keygen'): the service signs checkpoints "
        "and hands out receipts",
    )


def _check_settings(args: argparse.Namespace) -> None:
    from ostrel_quorvane.service.auth import read_tokens

    tokens: tuple[str, ...] = ()
    if args.token_file:
        try:
            tokens = read_tokens(Path(args.token_file))
        except (OSError, UnicodeDecodeError) as error:
            raise ServeFailed(f"--token-file {args.token_file}: cannot be read ({error})") from None
    if args.decide_needs_token and not tokens:
        raise ServeFailed("--decide-needs-token needs at least one token in --token-file")
    if (args.tls_cert is None) != (args.tls_key is None):
        raise ServeFailed("--tls-cert and --tls-key go together")
    if args.tls_cert is not None:
        try:
            ssl.create_default_context(ssl.Purpose.CLIENT_AUTH).load_cert_chain(
                args.tls_cert, args.tls_key
            )
        except (OSError, ssl.SSLError) as error:
            raise ServeFailed(f"--tls-cert/--tls-key: cannot be used ({error})") from None
    if args.workers < 1:
        raise ServeFailed("--workers: expected at least 1")
    if args.signing_key:
        from ostrel_quorvane.files import UsageError
        from ostrel_quorvane.proof_commands import read_signing_key

        if not args.store:
            raise ServeFailed("--signing-key signs the log's checkpoints: it needs --store")
        try:
            read_signing_key(args.signing_key)
        except (OSError, UsageError) as error:
            raise ServeFailed(f"--signing-key: {error}") from None
    if args.ui_open:
        from ostrel_quorvane.service.ui.session import is_loopback

        if not is_loopback(args.host):
            raise ServeFailed(f"--ui-open: the pages are served without a login only on a "
                              f"loopback address, not on {args.host}")  # fmt: skip
        if not args.store:
            raise ServeFailed("--ui-open: the pages read the decision log, and need --store")


def _check_address(host: str, port: int) -> None:
    """Refuses an address something listens on already, a server of this tool's own included:
    its workers share their port among themselves only, so a second server is kept out here."""
    try:
        infos = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)
    except socket.gaierror as error:
        raise ServeFailed(f"cannot listen on {host}:{port}: {error.strerror}") from None
    family, kind, proto, _, address = infos[0]
    with socket.socket(family, kind, proto) as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind(address)
        except OSError as error:
            raise ServeFailed(f"cannot listen on {host}:{port}: {error.strerror}") from None


def _check_store(name: str) -> None:
    from ostrel_quorvane.store import StoreError, open_store

    try:
        open_store(name, timeout=5.0).close()
    except StoreError as error:
        raise ServeFailed(str(error)) from None


def _announce(
    url: str, workers: int, out: TextIO, started: threading.Event, context: ssl.SSLContext | None
) -> None:
    """Prints "serving" once the service answers its health check."""
    deadline = time.monotonic() + START_SECONDS
    while time.monotonic() < deadline:
        try:
            with urllib.request.urlopen(f"{url}/healthz", timeout=2, context=context) as answer:
                if answer.status == 200:
                    out.write(f"serving on {url} with {workers} worker(s)\n")
                    out.flush()
                    started.set()
                    return
        except OSError:
            time.sleep(0.1)


def cmd_serve(args: argparse.Namespace, out: TextIO) -> int:
    try:
        from granian import Granian
        from granian.constants import Interfaces
    except ImportError:
        raise ServeFailed(
            "serve needs the service's packages: pip install 'ostrel-quorvane[service]'"
        ) from None
    _check_settings(args)
    _check_address(args.host, args.port)
    if args.store:
        _check_store(args.store)
    if not args.token_file:
        sys.stderr.write(
            "ostrel-quorvane: no --token-file: publishing chains and reading the log are closed\n"
        )
    # Each worker builds the application from the environment; the counts of all workers are
    # kept in one folder, made new for this server.
    metrics = tempfile.mkdtemp(prefix="ostrel-quorvane-metrics-")
    os.environ.update({
        "OQ_STORE": args.store or "",
        "OQ_TOKEN_FILE": os.path.abspath(args.token_file) if args.token_file else "",
        "OQ_DECIDE_NEEDS_TOKEN": "1" if args.decide_needs_token else "",
        "OQ_INLINE_CHAINS": "1" if args.inline_chains else "",
        "OQ_MAX_BODY": str(args.max_body),
        "OQ_ACCESS_LOG": "0" if args.no_access_log else "1",
        "OQ_UI_OPEN": "1" if args.ui_open else "",
        "OQ_SIGNING_KEY": os.path.abspath(args.signing_key) if args.signing_key else "",
        "OQ_SERVE_PID": str(os.getpid()),
        "PROMETHEUS_MULTIPROC_DIR": metrics,
    })  # fmt: skip
    scheme = "https" if args.tls_cert else "http"
    host = f"[{args.host}]" if ":" in args.host else args.host
    started = threading.Event()
    # The workers are forked while this thread asks for the health check: it must not be inside
    # the crypto library then (a lock it held would stay held in every worker, and the first
    # checkpoint a worker signs would wait for it forever). Its TLS context is made here, before
    # any fork, and a plain HTTP check uses none.
    context = None
    if args.tls_cert:
        context = ssl.create_default_context()
        context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
    threading.Thread(
        target=_announce,
        args=(f"{scheme}://{host}:{args.port}", args.workers, out, started, context),
        daemon=True,
    ).start()
    tls: dict[str, Any] = {}
    if args.tls_cert:
        tls = {"ssl_cert": Path(args.tls_cert), "ssl_key": Path(args.tls_key)}
    try:
        # A worker that dies is started again; the others go on serving meanwhile. SIGTERM or
        # SIGINT stops taking requests, answers those in flight and drains each worker's log
        # writer; SIGHUP starts new workers, which read the token file again.
        Granian(
            "ostrel_quorvane.service.app:app_from_environment",
            address=args.host,
            port=args.port,
            interface=Interfaces.ASGI,
            workers=args.workers,
            factory=True,
            log_level="warning",  # type: ignore[arg-type]
            respawn_failed_workers=True,
            workers_kill_timeout=30,
            **tls,
        ).serve()
    except SystemExit as stopped:
        if not started.is_set() and stopped.code:
            raise ServeFailed(f"the service did not start on {args.host}:{args.port}") from None
        raise
    except Exception as error:  # the server's own failure to start, in one line
        raise ServeFailed(f"cannot serve on {args.host}:{args.port}: {error}") from None
    finally:
        shutil.rmtree(metrics, ignore_errors=True)
    return 0
