"""Judging as of a moment: compilation on a clock that reads a given time.

``compile`` and ``compile_static`` read the system clock for the compile time and for every
deadline and token-expiry check, and ``compose`` reads it to judge each input's own level.
:func:`compile_at`, :func:`compile_static_at` and :func:`compose_at` take the moment instead, so
that a decision can be made, replayed or audited as of any time, and the same arguments always
give the same result.
"""

from __future__ import annotations

from datetime import datetime

from _ostrel_quorvane import (
    Judgment,
    LiveJudgment,
    PermissionChain,
    ProofContext,
    _compile_at,
    _compile_static_at,
    _compose_at,
    _moment,
)

__all__ = ["Moment", "compile_at", "compile_static_at", "compose_at", "unix_seconds"]

Moment = float | int | datetime


def unix_seconds(at: Moment) -> float:
    """``at`` as the engine reads a moment: whole Unix seconds, truncated toward zero. A number
    is taken as Unix seconds and an aware datetime converted; a naive datetime, a bool or a time
    outside the representable range (years -262143 to 262142) is refused with ValueError or
    TypeError."""
    if isinstance(at, datetime):
        if at.tzinfo is None or at.utcoffset() is None:
            raise ValueError("a moment given as a datetime must carry a UTC offset")
        return _moment(at.timestamp())
    if isinstance(at, bool) or not isinstance(at, int | float):
        raise TypeError(f"a moment is Unix seconds or a datetime, not {type(at).__name__!r}")
    try:
        return _moment(at)
    except OverflowError:  # an int beyond any double
        raise ValueError(f"time {at!r} is outside the representable range") from None


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


def compose_at(
    g1: ProofContext, g2: ProofContext, at: Moment, chain: PermissionChain | None = None
) -> ProofContext:
    """``compose(g1, g2, chain)`` as if the clock read ``at``: the inputs' own levels, which
    bound the composition, are judged at that moment."""
    return _compose_at(g1, g2, unix_seconds(at), chain)
