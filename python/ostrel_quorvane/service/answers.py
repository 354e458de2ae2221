"""The service's answers other than success: a status, a stable code, a message and a path."""

from __future__ import annotations

from _ostrel_quorvane import QuorvaneError

from ostrel_quorvane.files import EngineRefusal, InputError, RequestFileError
from ostrel_quorvane.record import AuditFailed
from ostrel_quorvane.request import InlineChainRefused
from ostrel_quorvane.store import StoreError

__all__ = ["Refused", "refusal"]


class Refused(Exception):
    """An answer other than success: its status, stable code, message and JSON path."""

    def __init__(self, status: int, code: str, message: str, path: str | None = None) -> None:
        super().__init__(message)
        self.status, self.code, self.path = status, code, path


def refusal(error: Exception) -> Refused:
    """The HTTP answer to an error the package raises."""
    if isinstance(error, InlineChainRefused):
        return Refused(403, "inline_chain_refused", error.detail, error.path)
    if isinstance(error, RequestFileError):
        return Refused(400, "malformed_input", error.detail, error.path)
    if isinstance(error, EngineRefusal):
        return Refused(422, "refused_input", error.detail, error.path)
    if isinstance(error, QuorvaneError):
        return Refused(422, "refused_input", str(error))
    if isinstance(error, StoreError):
        return Refused(503, "store_unavailable", str(error))
    if isinstance(error, AuditFailed):
        return Refused(422, "audit_failed", str(error), error.field)
    if isinstance(error, InputError):  # two requests naming different chains, among others
        return Refused(400, "malformed_input", f"{error.source}: {error.detail}", error.path)
    raise error
