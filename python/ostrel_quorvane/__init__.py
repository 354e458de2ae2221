"""An authorization-judgment engine.

A request is described as a :class:`ProofContext` and compiled against an ordered,
content-addressed :class:`PermissionChain` into a judgment: one permission level, a step-by-step
derivation of why, and a provenance hash that binds the judgment to the request. The engine is
the extension module ``_ostrel_quorvane``; this package re-exports its names and adds the request
file format (:mod:`ostrel_quorvane.request`) and the command-line tool (``ostrel-quorvane``).
"""

from _ostrel_quorvane import (
    AuditError,
    ChainError,
    ChainHash,
    ChainRole,
    CompositionError,
    Derivation,
    DerivationStep,
    ExpiredError,
    Expiry,
    GapRecord,
    GapRequirement,
    InMemoryChainRegistry,
    Judgment,
    LiveJudgment,
    Membership,
    NegativeControlStatus,
    Permission,
    PermissionChain,
    Profile,
    ProofContext,
    ProofToken,
    ProvenanceError,
    QuorvaneError,
    RuntimeContext,
    Scope,
    compile,
    compile_static,
    compose,
    compute_provenance_hash,
    init_tracing,
    verify_published,
)

__version__ = "0.2.0"

__all__ = [
    "QuorvaneError",
    "ExpiredError",
    "CompositionError",
    "ProvenanceError",
    "ChainError",
    "AuditError",
    "NegativeControlStatus",
    "DerivationStep",
    "Derivation",
    "Permission",
    "Scope",
    "GapRecord",
    "GapRequirement",
    "Profile",
    "ProofToken",
    "Expiry",
    "Membership",
    "ProofContext",
    "Judgment",
    "RuntimeContext",
    "LiveJudgment",
    "ChainRole",
    "ChainHash",
    "PermissionChain",
    "InMemoryChainRegistry",
    "compile",
    "compile_static",
    "compose",
    "compute_provenance_hash",
    "init_tracing",
    "verify_published",
    "__version__",
]
