"""How a service runs: its settings, from options or from the environment."""

from __future__ import annotations

import os
from dataclasses import dataclass

__all__ = ["ServiceConfig"]


@dataclass(frozen=True)
class ServiceConfig:
    """How a service runs. Every field has an environment variable, for containers."""

    store: str | None = None  # OQ_STORE: a path or postgresql:// URL
    token_file: str | None = None  # OQ_TOKEN_FILE: one bearer token per line, read as it changes
    tokens: tuple[str, ...] = ()  # tokens given directly (an embedding, a test), beside the file
    decide_needs_token: bool = False  # OQ_DECIDE_NEEDS_TOKEN=1
    max_body: int = 1 << 20  # OQ_MAX_BODY: bytes of one request body
    max_batch_body: int = 64 << 20  # OQ_MAX_BATCH_BODY: bytes of one batch
    max_batch_lines: int = 10_000  # OQ_MAX_BATCH_LINES
    body_seconds: float = 10.0  # OQ_BODY_SECONDS: time a client has to send its body
    inline_chains: bool = False  # OQ_INLINE_CHAINS=1: accept a request's own chain
    access_log: bool = True  # OQ_ACCESS_LOG=0: no line per request on standard error
    ui_open: bool = False  # OQ_UI_OPEN=1: the pages without a login (serve allows it on loopback)
    signing_key: str | None = None  # OQ_SIGNING_KEY: the log key file that signs checkpoints

    @classmethod
    def from_environment(cls, env: dict[str, str] | None = None) -> ServiceConfig:
        env = dict(os.environ if env is None else env)
        return cls(
            store=env.get("OQ_STORE") or None,
            token_file=env.get("OQ_TOKEN_FILE") or None,
            decide_needs_token=env.get("OQ_DECIDE_NEEDS_TOKEN") == "1",
            max_body=int(env.get("OQ_MAX_BODY", cls.max_body)),
            max_batch_body=int(env.get("OQ_MAX_BATCH_BODY", cls.max_batch_body)),
            max_batch_lines=int(env.get("OQ_MAX_BATCH_LINES", cls.max_batch_lines)),
            body_seconds=float(env.get("OQ_BODY_SECONDS", cls.body_seconds)),
            inline_chains=env.get("OQ_INLINE_CHAINS") == "1",
            access_log=env.get("OQ_ACCESS_LOG", "1") != "0",
            ui_open=env.get("OQ_UI_OPEN") == "1",
            signing_key=env.get("OQ_SIGNING_KEY") or None,
        )
