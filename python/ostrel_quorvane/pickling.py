"""Pickling for the engine's value classes, registered with :mod:`copyreg` on import.

The classes report ``__module__ == "builtins"``, so pickle cannot find them by name; each is
reduced instead to the extension's ``_restore`` and a state of plain values that the extension
gives and checks again when rebuilding. A judgment keeps its derivation, a composed context its
ceilings and expected chain hash, a token its exact times; a level outside the default chain
keeps its name. A state is checked before it is used, so a damaged one is refused; a judgment is
not compiled again, so, as with any pickle, only load what you trust.
"""

from __future__ import annotations

import copyreg
from typing import Any

import _ostrel_quorvane as engine
from _ostrel_quorvane import _restore, _state

__all__ = ["PICKLED_CLASSES"]

PICKLED_CLASSES: tuple[type, ...] = (
    engine.Permission,
    engine.ChainRole,
    engine.ChainHash,
    engine.PermissionChain,
    engine.NegativeControlStatus,
    engine.Membership,
    engine.Scope,
    engine.Expiry,
    engine.GapRecord,
    engine.GapRequirement,
    engine.Profile,
    engine.ProofToken,
    engine.ProofContext,
    engine.RuntimeContext,
    engine.Judgment,
    engine.LiveJudgment,
    engine.Derivation,
    engine.DerivationStep,
)


def _reduce(value: Any) -> tuple[Any, tuple[str, Any]]:
    return _restore, _state(value)


for _cls in PICKLED_CLASSES:
    copyreg.pickle(_cls, _reduce)
