"""Type stubs for the authorization-judgment engine."""

from collections.abc import Mapping, Sequence
from os import PathLike
from typing import Any, ClassVar, TypeAlias, final

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
]

class QuorvaneError(Exception): ...
class ExpiredError(QuorvaneError): ...
class CompositionError(QuorvaneError): ...
class ProvenanceError(QuorvaneError): ...
class ChainError(QuorvaneError): ...
class AuditError(QuorvaneError): ...

@final
class Permission:
    OOC: ClassVar[Permission]
    EXP: ClassVar[Permission]
    REF: ClassVar[Permission]
    UNS: ClassVar[Permission]
    ETA: ClassVar[Permission]
    ESC: ClassVar[Permission]
    ROL: ClassVar[Permission]
    DIA: ClassVar[Permission]
    REV: ClassVar[Permission]
    AEX: ClassVar[Permission]
    ALR: ClassVar[Permission]
    AAA: ClassVar[Permission]
    def as_str(self) -> str: ...
    @staticmethod
    def from_str(s: str) -> Permission: ...
    def meet(self, other: Permission) -> Permission: ...
    def __lt__(self, value: Permission, /) -> bool: ...
    def __le__(self, value: Permission, /) -> bool: ...
    def __gt__(self, value: Permission, /) -> bool: ...
    def __ge__(self, value: Permission, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class ChainRole:
    Bottom: ClassVar[ChainRole]
    ExpiryFloor: ClassVar[ChainRole]
    Refused: ClassVar[ChainRole]
    Unsatisfied: ClassVar[ChainRole]
    DisallowedUsesCeiling: ClassVar[ChainRole]
    BlockerThreshold: ClassVar[ChainRole]
    Top: ClassVar[ChainRole]
    def __hash__(self) -> int: ...

@final
class ChainHash:
    def to_hex(self) -> str: ...
    @staticmethod
    def from_hex(s: str) -> ChainHash: ...
    def __hash__(self) -> int: ...

@final
class PermissionChain:
    @staticmethod
    def new(levels: Sequence[str], roles: Mapping[ChainRole, int]) -> PermissionChain: ...
    @staticmethod
    def default_chain() -> PermissionChain: ...
    def role(self, role: ChainRole) -> Permission: ...
    def parse(self, name: str) -> Permission | None: ...
    def rank(self, p: Permission) -> int | None: ...
    def meet(self, a: Permission, b: Permission) -> Permission: ...
    def ascending(self) -> list[Permission]: ...
    def descending(self) -> list[Permission]: ...
    def contains(self, p: Permission) -> bool: ...
    def chain_hash(self) -> ChainHash: ...
    def __len__(self) -> int: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class GapRecord:
    def __new__(
        cls,
        gap_id: str,
        gap_type: str,
        status: str = "open",
        bound_value: float | None = None,
    ) -> GapRecord: ...
    @property
    def gap_id(self) -> str: ...
    @property
    def gap_type(self) -> str: ...
    @property
    def status(self) -> str: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class GapRequirement:
    def __new__(cls, gap_id: str, minimum_status: str) -> GapRequirement: ...
    @staticmethod
    def any_of(arms: Sequence[GapRequirement]) -> GapRequirement: ...
    @property
    def gap_id(self) -> str: ...
    @property
    def minimum_status(self) -> str: ...
    @property
    def is_any_of(self) -> bool: ...

@final
class Profile:
    def __new__(
        cls, permission: Permission, required_gaps: Sequence[GapRequirement]
    ) -> Profile: ...
    @property
    def permission(self) -> Permission: ...

@final
class ProofToken:
    def __new__(
        cls,
        token_id: str,
        token_type: str,
        schema_version: str,
        status: str,
        closes_gaps: Sequence[str],
        bounds_gaps: Sequence[str],
        provenance_hash: str,
        issued_at: float,
        issuer: str,
        expires_at: float | None = None,
        details: str | None = None,
        is_negative_control: bool = False,
    ) -> ProofToken: ...
    @property
    def token_id(self) -> str: ...
    @property
    def token_type(self) -> str: ...
    @property
    def schema_version(self) -> str: ...
    @property
    def status(self) -> str: ...
    @property
    def closes_gaps(self) -> list[str]: ...
    @property
    def bounds_gaps(self) -> list[str]: ...
    @property
    def provenance_hash(self) -> str: ...
    @property
    def issuer(self) -> str: ...
    @property
    def details(self) -> str | None: ...
    @property
    def is_negative_control(self) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Membership:
    InClass: ClassVar[Membership]
    OutOfClassExact: ClassVar[Membership]
    OutOfClassAuthorizedDeterministicWrite: ClassVar[Membership]
    OutOfClassNoConsequentialUse: ClassVar[Membership]
    @staticmethod
    def other(reason: str) -> Membership: ...
    def is_in_class(self) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Scope:
    def __new__(
        cls,
        allowed_candidates: Sequence[str] | None = None,
        allowed_paths: Sequence[str] | None = None,
        allowed_tools: Sequence[str] | None = None,
        allowed_resources: Sequence[str] | None = None,
    ) -> Scope: ...
    @property
    def allowed_candidates(self) -> list[str]: ...
    @property
    def allowed_paths(self) -> list[str]: ...
    @property
    def allowed_tools(self) -> list[str]: ...
    @property
    def allowed_resources(self) -> list[str]: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Expiry:
    @staticmethod
    def never() -> Expiry: ...
    @staticmethod
    def at(deadline_unix: float) -> Expiry: ...
    def fired(self, now_unix: float) -> bool: ...

@final
class ProofContext:
    def __new__(
        cls,
        claim_id: str,
        candidate_id: str,
        context_id: str,
        allowed_use: str,
        membership: Membership,
        authority_ceiling: Permission,
        expiry: Expiry,
        gaps: Sequence[GapRecord] | None = None,
        profiles: Sequence[Profile] | None = None,
        tokens: Sequence[ProofToken] | None = None,
        disallowed_uses: Sequence[str] | None = None,
        scope: Scope | None = None,
        context_fingerprint: str | None = None,
    ) -> ProofContext: ...
    @property
    def claim_id(self) -> str: ...
    @property
    def candidate_id(self) -> str: ...
    @property
    def context_id(self) -> str: ...
    @property
    def allowed_use(self) -> str: ...
    @property
    def authority_ceiling(self) -> Permission: ...
    def provenance_hash(self) -> str: ...

def compute_provenance_hash(
    claim_id: str, candidate_id: str, context_id: str, allowed_use: str
) -> str: ...

@final
class NegativeControlStatus:
    Live: ClassVar[NegativeControlStatus]
    Stale: ClassVar[NegativeControlStatus]
    Failed: ClassVar[NegativeControlStatus]
    Missing: ClassVar[NegativeControlStatus]

@final
class DerivationStep:
    @property
    def phase(self) -> str: ...
    @property
    def permission_after(self) -> Permission: ...
    @property
    def note(self) -> str: ...
    @property
    def token_ids(self) -> list[str]: ...

@final
class Derivation:
    @property
    def steps(self) -> list[DerivationStep]: ...
    @property
    def provenance_hash(self) -> str: ...
    @property
    def compiled_at(self) -> float: ...

@final
class Judgment:
    @property
    def permission(self) -> Permission: ...
    @property
    def permission_str(self) -> str: ...
    @property
    def expiry(self) -> Expiry: ...
    @property
    def derivation(self) -> Derivation: ...
    @property
    def chain_hash(self) -> ChainHash: ...

@final
class RuntimeContext:
    def __new__(
        cls,
        now_unix: float,
        context_fingerprint: str,
        negative_control_states: Mapping[str, NegativeControlStatus] | None = None,
        strict_mode: bool = True,
    ) -> RuntimeContext: ...
    @property
    def strict_mode(self) -> bool: ...

@final
class LiveJudgment:
    def permission(self, runtime: RuntimeContext) -> Permission: ...
    def permission_str(self, runtime: RuntimeContext) -> str: ...
    @property
    def chain_hash(self) -> ChainHash: ...

@final
class InMemoryChainRegistry:
    def __new__(cls) -> InMemoryChainRegistry: ...
    def publish(self, chain: PermissionChain) -> ChainHash: ...
    def lookup(self, hash: ChainHash) -> PermissionChain | None: ...
    def __len__(self) -> int: ...

def compile(ctx: ProofContext, chain: PermissionChain | None = None) -> LiveJudgment: ...
def compile_static(ctx: ProofContext, chain: PermissionChain | None = None) -> Judgment: ...
def _compile_at(
    ctx: ProofContext, at: float, chain: PermissionChain | None = None
) -> LiveJudgment: ...
def _compile_static_at(
    ctx: ProofContext, at: float, chain: PermissionChain | None = None
) -> Judgment: ...
def _compose_at(
    g1: ProofContext, g2: ProofContext, at: float, chain: PermissionChain | None = None
) -> ProofContext: ...
def _moment(at: float) -> float: ...
def _evaluate_live(judgment: LiveJudgment, runtime: RuntimeContext) -> tuple[str, str]: ...
def _state(obj: object) -> tuple[str, tuple[object, ...]]: ...
def _restore(kind: str, state: tuple[object, ...]) -> object: ...
def compose(
    g1: ProofContext, g2: ProofContext, chain: PermissionChain | None = None
) -> ProofContext: ...
def init_tracing() -> None: ...
def verify_published(judgment: Judgment, registry: InMemoryChainRegistry) -> None: ...

_JsonData: TypeAlias = bytes | bytearray | memoryview | str

# Each returns (True, result), or (False, (kind, path, detail)) with kind "format",
# "engine" or (from _read_request) "inline".
# _read_request's result: (context, own chain or None, moment of use or None, fingerprint), the
# moment being (now, context_fingerprint, [(token_id, status)] or None, strict_mode).
def _read_request(
    data: _JsonData,
    chain: PermissionChain | None = None,
    root: str = "$",
    size: int | None = None,
    inline_chain: bool = True,
) -> tuple[bool, Any]: ...
def _read_chain(data: _JsonData, root: str = "$", size: int | None = None) -> tuple[bool, Any]: ...
def _read_time(data: _JsonData, root: str = "$") -> tuple[bool, Any]: ...
def _read_file(path: str | PathLike[str], limit: int, padding: int) -> tuple[bool, Any]: ...
def _check_json(data: _JsonData) -> tuple[str, str, str] | None: ...
def _read_members(data: _JsonData, names: Sequence[str]) -> tuple[bool, Any]: ...

# (True, (record, digest, chain, chain hash, chain_given, judged level, live, judgment, ids)),
# live being
# (permission, reason, floored) or None, judgment None unless asked for, and ids the (first)
# request's (claim_id, candidate_id, context_id); or
# (False, (kind, input index or None, path, detail)).
def _decide(
    documents: Sequence[_JsonData],
    sources: Sequence[str],
    format: str,
    tool: str,
    chain: PermissionChain | None = None,
    at: float | None = None,
    fingerprint: str | None = None,
    controls: Sequence[tuple[str, str]] | None = None,
    lenient: bool = False,
    inline_chain: bool = True,
    judgment: bool = False,
) -> tuple[bool, Any]: ...
def _reformat_json(text: str, indent: int) -> str: ...
def _utc_text(seconds: float) -> str: ...
def _canonical_json(data: _JsonData) -> str | None: ...
