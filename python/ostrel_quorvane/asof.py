"""Judging as of a moment: compilation on a clock that reads a given time.

``compile`` and ``compile_static`` read the system clock for the compile time and for every
deadline and token-expiry check. :func:`compile_at` and :func:`compile_static_at` take the
moment instead, so that a decision can be made, replayed or audited as of any time, and the same
arguments always give the same judgment.
"""

from __future__ import annotations

import math
from datetime import datetime

from _ostrel_quorvane import (
    Judgment,
    LiveJudgment,
    PermissionChain,
    ProofContext,
    _compile_at,
    _compile_static_at,
)

__all__ = ["Moment", "compile_at", "compile_static_at", "unix_seconds"]

Moment = float | int | datetime


def unix_seconds(at: Moment) -> float:
    """``at`` as Unix seconds: a number as it is, an aware datetime converted; a naive datetime,
    a bool or a non-finite number is refused with ValueError or TypeError."""
    if isinstance(at, datetime):
        if at.tzinfo is None or at.utcoffset() is None:
            raise ValueError("a moment given as a datetime must carry a UTC offset")
        return at.timestamp()
    if isinstance(at, bool) or not isinstance(at, int | float):
        raise TypeError(f"a moment is Unix seconds or a datetime, not {type(at).__name__!r}")
    seconds = float(at)
    if not math.isfinite(seconds):
        raise ValueError(f"time {at!r} is outside the representable range")
    return seconds


def compile_at(
    context: ProofContext, at: Moment, chain: PermissionChain | None = None
) -> LiveJudgment:
    """``compile(context, chain)`` as if the clock read ``at``: the compile time, the context's
    deadline and every token's expiry are judged at that moment."""
    return _compile_at(context, unix_seconds(at), chain)


def compile_static_at(
    context: ProofContext, at: Moment, chain: PermissionChain | None = None
) -> Judgment:
    """``compile_static(context, chain)`` as if the clock read ``at``."""
    return _compile_static_at(context, unix_seconds(at), chain)
