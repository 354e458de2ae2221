"""Request and chain files: JSON documents that map one to one onto the engine's constructors.

A request file describes one :class:`~ostrel_quorvane.ProofContext` (its constructor arguments,
with gaps, profiles and tokens as nested objects), optionally the chain to judge it under and the
moment of use to evaluate it at. A chain file holds a chain's ``levels`` and ``roles``. The JSON
Schema of both ships beside this module as ``request.schema.json``.

Reading is strict: an unknown field, a value of the wrong JSON type, a duplicated key or a
non-finite number raises :class:`RequestFileError`, which names the file, the JSON path of the
bad value and what was expected there. Values that are well typed but that the engine refuses
(an unknown gap status, a chain that breaks its ordering rules) raise :class:`EngineRefusal`
with the engine's own message and the path of the value it came from.
"""

from __future__ import annotations

import json
import math
import re
from collections.abc import Callable, Mapping
from dataclasses import dataclass, replace
from datetime import datetime
from pathlib import Path
from typing import Any, NoReturn, TypeVar

from _ostrel_quorvane import (
    ChainRole,
    Expiry,
    GapRecord,
    GapRequirement,
    Membership,
    NegativeControlStatus,
    Permission,
    PermissionChain,
    Profile,
    ProofContext,
    ProofToken,
    QuorvaneError,
    RuntimeContext,
    Scope,
    _moment,
)

from ostrel_quorvane.files import EngineRefusal, InputError, RequestFileError, read_document

__all__ = [
    "EngineRefusal",
    "InputError",
    "Request",
    "RequestFileError",
    "Runtime",
    "chain_document",
    "load_chain",
    "load_json",
    "load_request",
    "parse_time",
    "read_chain",
    "read_request",
    "schema_path",
]

JSON = Any
T = TypeVar("T")

ROLE_NAMES: tuple[str, ...] = (
    "Bottom",
    "ExpiryFloor",
    "Refused",
    "Unsatisfied",
    "DisallowedUsesCeiling",
    "BlockerThreshold",
    "Top",
)
MEMBERSHIPS: tuple[str, ...] = (
    "InClass",
    "OutOfClassExact",
    "OutOfClassAuthorizedDeterministicWrite",
    "OutOfClassNoConsequentialUse",
)
NC_STATUSES: tuple[str, ...] = ("Live", "Stale", "Failed", "Missing")
TIME = "Unix seconds or RFC 3339 text with a UTC offset"
REPRESENTABLE = "years -262143 to 262142"
_RFC3339 = re.compile(
    r"\d{4}-\d{2}-\d{2}[Tt]\d{2}:\d{2}:\d{2}(?:\.\d+)?(?:[Zz]|[+-]\d{2}:\d{2})", re.ASCII
)


@dataclass(frozen=True)
class Runtime:
    """The moment of use a request may carry; absent fields are filled in when evaluating."""

    now: float | None = None
    context_fingerprint: str | None = None
    negative_control_states: Mapping[str, NegativeControlStatus] | None = None
    strict_mode: bool = True

    def filled(self, fingerprint: str, now: float) -> Runtime:
        """This moment of use with ``fingerprint`` and ``now`` standing in for absent fields."""
        return replace(
            self,
            now=self.now if self.now is not None else now,
            context_fingerprint=fingerprint
            if self.context_fingerprint is None
            else self.context_fingerprint,
        )

    def runtime_context(self) -> RuntimeContext:
        """The engine's runtime context; the fields must be filled."""
        assert self.now is not None and self.context_fingerprint is not None
        return RuntimeContext(
            self.now,
            self.context_fingerprint,
            dict(self.negative_control_states or {}),
            self.strict_mode,
        )


@dataclass(frozen=True)
class Request:
    """One request file, read: the context, the chain it named and its moment of use."""

    source: str
    document: Mapping[str, JSON]
    context: ProofContext
    chain: PermissionChain | None
    runtime: Runtime | None

    @property
    def fingerprint(self) -> str:
        """The fingerprint the context is used under: its own, or else its context id."""
        own = self.document.get("context_fingerprint")
        return own if isinstance(own, str) else self.context.context_id


def schema_path() -> Path:
    """The JSON Schema of request and chain files."""
    return Path(__file__).with_name("request.schema.json")


def load_json(path: str | Path) -> JSON:
    """Parses a JSON file (``-`` for standard input) strictly: no duplicated keys, no NaN or
    Infinity, at most MAX_DOCUMENT_BYTES."""
    source = str(path)
    try:
        text = read_document(path).decode("utf-8")
    except UnicodeDecodeError as error:
        expected = f"expected a readable UTF-8 file ({_reason(error)})"
        raise RequestFileError(source, "$", expected) from None
    try:
        document = json.loads(
            text, object_pairs_hook=_unique_keys, parse_constant=_no_constant, parse_float=_finite
        )
    except json.JSONDecodeError as error:
        where = f"line {error.lineno} column {error.colno}"
        raise RequestFileError(
            source, "$", f"expected valid JSON ({error.msg} at {where})"
        ) from None
    except _DuplicateKey as error:
        expected = f"expected an object without duplicated key {error}"
        raise RequestFileError(source, "$", expected) from None
    except _NonFinite as error:
        raise RequestFileError(source, "$", f"expected finite numbers, got {error}") from None
    except ValueError as error:  # an integer too long to convert, for one
        raise RequestFileError(source, "$", f"expected valid JSON ({error})") from None
    except RecursionError:
        raise RequestFileError(source, "$", "expected less deeply nested values") from None
    surrogate_at = _lone_surrogate(document)
    if surrogate_at is not None:
        expected = "Unicode text (a lone surrogate escape is not)"
        raise RequestFileError(source, surrogate_at, f"expected {expected}")
    return document


def load_request(path: str | Path, chain: PermissionChain | None = None) -> Request:
    """Reads a request file; level names resolve in ``chain``, else the file's own, else the
    default chain."""
    return read_request(load_json(path), str(path), chain)


def load_chain(path: str | Path) -> PermissionChain:
    """Reads a chain file: an object with ``levels`` and ``roles``."""
    return read_chain(load_json(path), str(path))


def read_request(
    document: JSON,
    source: str = "<request>",
    chain: PermissionChain | None = None,
    path: str = "$",
) -> Request:
    """Builds a request from a parsed JSON document found at ``path`` in ``source``."""
    return _bounded(source, path, lambda: _Reader(source).request(document, chain, path))


def read_chain(document: JSON, source: str = "<chain>", path: str = "$") -> PermissionChain:
    """Builds a chain from a parsed JSON document found at ``path`` in ``source``."""
    return _bounded(source, path, lambda: _Reader(source).chain(document, path))


def _bounded(source: str, path: str, read: Callable[[], T]) -> T:
    # Nesting deep enough to exhaust the interpreter's stack is refused like any other shape.
    try:
        return read()
    except RecursionError:
        raise RequestFileError(source, path, "expected less deeply nested values") from None


def chain_document(chain: PermissionChain) -> dict[str, JSON]:
    """The chain file form of ``chain``: its level names bottom first, and each role's rank."""
    roles = {name: chain.rank(chain.role(getattr(ChainRole, name))) for name in ROLE_NAMES}
    return {"levels": [level.as_str() for level in chain.ascending()], "roles": roles}


def parse_time(value: JSON, source: str = "<value>", path: str = "$") -> float:
    """Unix seconds (a JSON number) or RFC 3339 text with a UTC offset, as Unix seconds."""
    return _Reader(source).time(value, path)


class _Reader:
    """Walks one document, tracking the JSON path of every value it reads."""

    def __init__(self, source: str) -> None:
        self.source = source

    def fail(self, path: str, expected: str, got: JSON = None, show: bool = True) -> NoReturn:
        raise RequestFileError(
            self.source, path, f"expected {expected}" + (f", got {_show(got)}" if show else "")
        )

    def engine(self, path: str, build: Callable[[], T]) -> T:
        try:
            return build()
        except (ValueError, OverflowError, QuorvaneError) as error:
            raise EngineRefusal(self.source, path, str(error)) from None

    def fields(
        self, value: JSON, path: str, required: tuple[str, ...], optional: tuple[str, ...] = ()
    ) -> dict[str, JSON]:
        if not isinstance(value, dict):
            self.fail(path, "an object", value)
        for name in value:
            if name not in required and name not in optional:
                known = ", ".join(required + optional)
                raise RequestFileError(
                    self.source, _member(path, name), f"unknown field; expected one of {known}"
                )
        for name in required:
            if name not in value:
                raise RequestFileError(self.source, f"{path}.{name}", "missing required field")
        return value

    def text(self, value: JSON, path: str) -> str:
        if not isinstance(value, str):
            self.fail(path, "a string", value)
        if not _is_unicode(value):
            self.fail(path, "Unicode text (a lone surrogate escape is not)", value)
        return value

    def number(self, value: JSON, path: str) -> float:
        if isinstance(value, bool) or not isinstance(value, int | float):
            self.fail(path, "a number", value)
        return self.finite(value, path)

    def finite(self, value: int | float, path: str) -> float:
        try:
            number = float(value)
        except OverflowError:
            self.fail(path, "a number within the range of a double", value)
        if not math.isfinite(number):
            self.fail(path, "a finite number", value)
        return number

    def flag(self, value: JSON, path: str) -> bool:
        if not isinstance(value, bool):
            self.fail(path, "true or false", value)
        return value

    def array(self, value: JSON, path: str) -> list[JSON]:
        if not isinstance(value, list):
            self.fail(path, "an array", value)
        return value

    def texts(self, value: JSON, path: str) -> list[str]:
        return [self.text(item, f"{path}[{i}]") for i, item in enumerate(self.array(value, path))]

    def optional(
        self, fields: dict[str, JSON], name: str, path: str, read: Callable[..., T]
    ) -> T | None:
        value = fields.get(name)
        return None if value is None else read(value, f"{path}.{name}")

    def time(self, value: JSON, path: str) -> float:
        if isinstance(value, str):
            if not _RFC3339.fullmatch(value):
                self.fail(path, TIME, value)
            try:
                return datetime.fromisoformat(value.upper()).timestamp()
            except (ValueError, OverflowError):
                self.fail(path, TIME, value)
        if isinstance(value, bool) or not isinstance(value, int | float):
            self.fail(path, TIME, value)
        seconds = self.finite(value, path)
        try:
            _moment(seconds)  # the engine would put the current time in place of one it cannot hold
        except ValueError:
            self.fail(path, f"a time the engine can represent ({REPRESENTABLE})", value)
        return seconds

    def level(self, value: JSON, path: str, chain: PermissionChain) -> Permission:
        name = self.text(value, path)
        level = chain.parse(name)
        if level is None:
            names = ", ".join(level.as_str() for level in chain.ascending())
            self.fail(path, f"a level of the chain ({names})", value)
        return level

    def chain(self, value: JSON, path: str) -> PermissionChain:
        fields = self.fields(value, path, ("levels", "roles"), _ANNOTATIONS)
        self.annotations(fields, path)
        levels = self.texts(fields["levels"], f"{path}.levels")
        roles_at = f"{path}.roles"
        named = self.fields(fields["roles"], roles_at, (), ROLE_NAMES)
        roles: dict[ChainRole, int] = {}
        for name, given in named.items():
            index = int(given) if isinstance(given, float) and given.is_integer() else given
            if isinstance(index, bool) or not isinstance(index, int) or not 0 <= index < 2**64:
                self.fail(f"{roles_at}.{name}", "a level index (an integer from 0)", given)
            roles[getattr(ChainRole, name)] = index
        return self.engine(path, lambda: PermissionChain.new(levels, roles))

    def annotations(self, fields: dict[str, JSON], path: str) -> None:
        for name in _ANNOTATIONS:
            self.optional(fields, name, path, self.text)

    def membership(self, value: JSON, path: str) -> Membership:
        expected = " or ".join(f'"{name}"' for name in MEMBERSHIPS) + ' or {"other": reason}'
        if isinstance(value, str):
            if value not in MEMBERSHIPS:
                self.fail(path, expected, value)
            membership: Membership = getattr(Membership, value)
            return membership
        if not isinstance(value, dict):
            self.fail(path, expected, value)
        reason = self.text(self.fields(value, path, ("other",))["other"], f"{path}.other")
        return self.engine(path, lambda: Membership.other(reason))

    def expiry(self, value: JSON, path: str) -> Expiry:
        if value == "never":
            return Expiry.never()
        if not isinstance(value, dict):
            self.fail(path, '"never" or {"at": time}', value)
        deadline = self.time(self.fields(value, path, ("at",))["at"], f"{path}.at")
        return self.engine(path, lambda: Expiry.at(deadline))

    def gap(self, value: JSON, path: str) -> GapRecord:
        fields = self.fields(value, path, ("gap_id", "gap_type"), ("status", "bound_value"))
        gap_id = self.text(fields["gap_id"], f"{path}.gap_id")
        gap_type = self.text(fields["gap_type"], f"{path}.gap_type")
        status = self.optional(fields, "status", path, self.text)
        status = "open" if status is None else status
        bound = self.optional(fields, "bound_value", path, self.number)
        return self.engine(path, lambda: GapRecord(gap_id, gap_type, status, bound))

    def requirement(self, value: JSON, path: str) -> GapRequirement:
        if isinstance(value, dict) and "any_of" in value:
            arms_at = f"{path}.any_of"
            arms = self.array(self.fields(value, path, ("any_of",))["any_of"], arms_at)
            read = [self.requirement(arm, f"{arms_at}[{i}]") for i, arm in enumerate(arms)]
            return self.engine(path, lambda: GapRequirement.any_of(read))
        fields = self.fields(value, path, ("gap_id", "minimum_status"))
        gap_id = self.text(fields["gap_id"], f"{path}.gap_id")
        minimum = self.text(fields["minimum_status"], f"{path}.minimum_status")
        return self.engine(path, lambda: GapRequirement(gap_id, minimum))

    def profile(self, value: JSON, path: str, chain: PermissionChain) -> Profile:
        fields = self.fields(value, path, ("permission", "required_gaps"))
        level = self.level(fields["permission"], f"{path}.permission", chain)
        gaps_at = f"{path}.required_gaps"
        required = self.array(fields["required_gaps"], gaps_at)
        requirements = [
            self.requirement(item, f"{gaps_at}[{i}]") for i, item in enumerate(required)
        ]
        return self.engine(path, lambda: Profile(level, requirements))

    def token(self, value: JSON, path: str) -> ProofToken:
        fields = self.fields(
            value,
            path,
            ("token_id", "token_type", "schema_version", "status", "closes_gaps", "bounds_gaps")
            + ("provenance_hash", "issued_at", "issuer"),
            ("expires_at", "details", "is_negative_control"),
        )
        text = {
            name: self.text(fields[name], f"{path}.{name}")
            for name in ("token_id", "token_type", "schema_version", "status", "provenance_hash")
            + ("issuer",)
        }
        closes = self.texts(fields["closes_gaps"], f"{path}.closes_gaps")
        bounds = self.texts(fields["bounds_gaps"], f"{path}.bounds_gaps")
        issued = self.time(fields["issued_at"], f"{path}.issued_at")
        expires = self.optional(fields, "expires_at", path, self.time)
        details = fields.get("details")
        details_text = None if details is None else json.dumps(details)
        negative = self.optional(fields, "is_negative_control", path, self.flag) or False
        return self.engine(
            path,
            lambda: ProofToken(
                text["token_id"],
                text["token_type"],
                text["schema_version"],
                text["status"],
                closes,
                bounds,
                text["provenance_hash"],
                issued,
                text["issuer"],
                expires,
                details_text,
                negative,
            ),
        )

    def scope(self, value: JSON, path: str) -> Scope:
        names = ("allowed_candidates", "allowed_paths", "allowed_tools", "allowed_resources")
        fields = self.fields(value, path, (), names)
        lists = [self.optional(fields, name, path, self.texts) for name in names]
        return self.engine(path, lambda: Scope(*lists))

    def runtime(self, value: JSON, path: str) -> Runtime:
        names = ("now", "context_fingerprint", "negative_control_states", "strict_mode")
        fields = self.fields(value, path, (), names)
        states = self.optional(fields, "negative_control_states", path, self.nc_states)
        strict = self.optional(fields, "strict_mode", path, self.flag)
        return Runtime(
            now=self.optional(fields, "now", path, self.time),
            context_fingerprint=self.optional(fields, "context_fingerprint", path, self.text),
            negative_control_states=states,
            strict_mode=True if strict is None else strict,
        )

    def nc_states(self, value: JSON, path: str) -> dict[str, NegativeControlStatus]:
        if not isinstance(value, dict):
            self.fail(path, "an object mapping token ids to statuses", value)
        states: dict[str, NegativeControlStatus] = {}
        for token_id, status in value.items():
            states[self.text(token_id, _member(path, token_id))] = self.nc_status(
                status, _member(path, token_id)
            )
        return states

    def nc_status(self, value: JSON, path: str) -> NegativeControlStatus:
        if value not in NC_STATUSES:
            self.fail(path, " or ".join(f'"{name}"' for name in NC_STATUSES), value)
        status: NegativeControlStatus = getattr(NegativeControlStatus, value)
        return status

    def request(self, document: JSON, chain: PermissionChain | None, root: str) -> Request:
        fields = self.fields(
            document,
            root,
            ("claim_id", "candidate_id", "context_id", "allowed_use", "membership")
            + ("authority_ceiling", "expiry"),
            ("gaps", "profiles", "tokens", "disallowed_uses", "scope", "context_fingerprint")
            + ("chain", "runtime")
            + _ANNOTATIONS,
        )
        self.annotations(fields, root)
        own = self.optional(fields, "chain", root, self.chain)
        levels = chain or own or PermissionChain.default_chain()
        ids = {
            name: self.text(fields[name], f"{root}.{name}")
            for name in ("claim_id", "candidate_id", "context_id", "allowed_use")
        }
        membership = self.membership(fields["membership"], f"{root}.membership")
        ceiling = self.level(fields["authority_ceiling"], f"{root}.authority_ceiling", levels)
        expiry = self.expiry(fields["expiry"], f"{root}.expiry")
        gaps = [
            self.gap(item, f"{root}.gaps[{i}]")
            for i, item in enumerate(self.optional(fields, "gaps", root, self.array) or [])
        ]
        profiles = [
            self.profile(item, f"{root}.profiles[{i}]", levels)
            for i, item in enumerate(self.optional(fields, "profiles", root, self.array) or [])
        ]
        tokens = [
            self.token(item, f"{root}.tokens[{i}]")
            for i, item in enumerate(self.optional(fields, "tokens", root, self.array) or [])
        ]
        disallowed = self.optional(fields, "disallowed_uses", root, self.texts)
        scope = self.optional(fields, "scope", root, self.scope)
        fingerprint = self.optional(fields, "context_fingerprint", root, self.text)
        context = self.engine(
            root,
            lambda: ProofContext(
                ids["claim_id"],
                ids["candidate_id"],
                ids["context_id"],
                ids["allowed_use"],
                membership,
                ceiling,
                expiry,
                gaps,
                profiles,
                tokens,
                disallowed,
                scope,
                fingerprint,
            ),
        )
        runtime = self.optional(fields, "runtime", root, self.runtime)
        return Request(self.source, fields, context, own, runtime)


def _member(path: str, name: str) -> str:
    """The JSON path of member ``name`` of the object at ``path``."""
    if name.isidentifier():
        return f"{path}.{name}"
    return f"{path}[{json.dumps(name, ensure_ascii=False)}]"


_ANNOTATIONS = ("$schema", "description")


def _lone_surrogate(document: JSON) -> str | None:
    """The JSON path of the first string or key holding a lone surrogate, if any."""
    pending: list[tuple[str, JSON]] = [("$", document)]
    while pending:
        path, value = pending.pop()
        if isinstance(value, str):
            if not _is_unicode(value):
                return path
        elif isinstance(value, list):
            pending.extend((f"{path}[{i}]", item) for i, item in reversed(list(enumerate(value))))
        elif isinstance(value, dict):
            for key in reversed(list(value)):
                if not _is_unicode(key):
                    return _member(path, key)
                pending.append((_member(path, key), value[key]))
    return None


def _is_unicode(text: str) -> bool:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


class _DuplicateKey(ValueError):
    pass


class _NonFinite(ValueError):
    pass


def _unique_keys(pairs: list[tuple[str, JSON]]) -> dict[str, JSON]:
    result: dict[str, JSON] = {}
    for key, value in pairs:
        if key in result:
            raise _DuplicateKey(json.dumps(key))
        result[key] = value
    return result


def _no_constant(name: str) -> NoReturn:
    raise _NonFinite(name)


def _finite(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise _NonFinite(text if len(text) <= 40 else text[:37] + "...")
    return value


def _show(value: JSON) -> str:
    text = json.dumps(value, ensure_ascii=False)
    if isinstance(value, float) and not math.isfinite(value):
        text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


def _reason(error: Exception) -> str:
    return error.strerror if isinstance(error, OSError) and error.strerror else str(error)
