"""Every callable the module exposes, called with hostile arguments one parameter at a time."""

import ctypes
import functools
import gc
import inspect
import logging
import math
import os
import pickle
import resource
import subprocess
import sys
import textwrap

import _ostrel_quorvane as oq
import hostile as h
import pytest

P, R, M, E = oq.Permission, oq.ChainRole, oq.Membership, oq.Expiry
Chain = oq.PermissionChain
ROLES = [R.Bottom, R.ExpiryFloor, R.Refused, R.Unsatisfied, R.DisallowedUsesCeiling, R.BlockerThreshold, R.Top]  # fmt: skip
TESTS = os.path.dirname(os.path.abspath(__file__))
ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
DOCUMENTED = (TypeError, ValueError, OverflowError, oq.QuorvaneError, h.HookError)
PROCESS_WIDE = {"init_tracing"}  # installs a process-wide logging bridge: called in a child only
SPRAYED = "X" * 16  # what a stale pointer reads after `release`
# The one documented panic for caller input: a bounded gap whose bound is NaN.
DOCUMENTED_PANICS = {"numeric bound value must not be NaN"}


def text(s):
    """A str object of its own, so that dropping its last reference really frees it."""
    return (s + "!")[:-1]


def roles(n):
    return {role: 0 for role in ROLES} | {R.BlockerThreshold: n - 1, R.Top: n - 1}


def requirement():
    return oq.GapRequirement(text("gap"), text("bounded"))


def token():
    return oq.ProofToken(text("tok"), "attest", "1", "valid", [text("gap")], [], "h", 1e9, "iss")


def context():
    return oq.ProofContext(
        text("claim"), text("cand"), text("ctx"), text("read"), M.other(text("why")), P.AAA,
        E.at(4e9), [oq.GapRecord(text("gap"), "t")], [oq.Profile(P.AAA, [requirement()])],
        [token()], [text("delete")], oq.Scope([text("cand")]), text("fp"),
    )  # fmt: skip


def registry():
    published = oq.InMemoryChainRegistry()
    published.publish(Chain.default_chain())
    return published


# Valid example values: instances to call methods on, by class name; parameters by name, or by
# "Callable.name" where a name means something else there. A callable entry is called for a fresh
# value and a str is copied, so that no two calls share an argument object.
EXAMPLES = {
    "Permission": P.AAA, "ChainRole": R.Top, "Membership": lambda: M.other(text("why")),
    "ChainHash": lambda: Chain.default_chain().chain_hash(), "Expiry": lambda: E.at(4e9),
    "PermissionChain": Chain.default_chain,
    "Scope": lambda: oq.Scope([text("c")], [text("/p")], [text("tool")], [text("res")]),
    "GapRecord": lambda: oq.GapRecord(text("gap"), text("type"), "bounded", 0.5),
    "GapRequirement": requirement, "Profile": lambda: oq.Profile(P.AAA, [requirement()]),
    "ProofToken": token, "ProofContext": context, "Judgment": lambda: oq.compile_static(context()),
    "LiveJudgment": lambda: oq.compile(context()), "Derivation": lambda: EXAMPLES["Judgment"]().derivation,
    "DerivationStep": lambda: EXAMPLES["Derivation"]().steps[0],
    "NegativeControlStatus": oq.NegativeControlStatus.Live, "InMemoryChainRegistry": registry,
    "RuntimeContext": lambda: oq.RuntimeContext(2e9, text("fp"), {text("tok"): oq.NegativeControlStatus.Live}),
    "s": "AAA", "ChainHash.from_hex.s": Chain.default_chain().chain_hash().to_hex(),
    "other": P.OOC, "a": P.AAA, "b": P.REF, "p": P.ESC, "role": R.Top, "name": "AAA",
    "levels": lambda: [text("LOW"), text("MID"), text("HIGH")], "roles": lambda: roles(3),
    "allowed_candidates": lambda: [text("cand")], "allowed_paths": lambda: [text("/p")],
    "allowed_tools": lambda: [text("tool")], "allowed_resources": lambda: [text("res")],
    "gap_id": "gap", "gap_type": "type", "status": "bounded", "ProofToken.status": "valid",
    "bound_value": 0.5, "minimum_status": "bounded", "arms": lambda: [requirement(), requirement()],
    "permission": P.AAA, "required_gaps": lambda: [requirement()],
    "token_id": "tok", "token_type": "attest", "schema_version": "1", "issuer": "iss",
    "closes_gaps": lambda: [text("gap")], "bounds_gaps": lambda: [text("other")],
    "provenance_hash": "hash", "issued_at": 1e9, "expires_at": 4e9, "is_negative_control": False,
    "details": '{"k": [1, 2.5, "v", null]}', "reason": "why", "deadline_unix": 4e9, "now_unix": 2e9,
    "claim_id": "claim", "candidate_id": "cand", "context_id": "ctx", "allowed_use": "read",
    "membership": M.InClass, "authority_ceiling": P.AAA, "expiry": E.never,
    "gaps": lambda: [oq.GapRecord(text("gap"), text("t"))], "profiles": lambda: [oq.Profile(P.AAA, [])],
    "tokens": lambda: [token()], "disallowed_uses": lambda: [text("delete")],
    "scope": lambda: oq.Scope([text("cand")]), "context_fingerprint": "fp",
    "ctx": context, "chain": Chain.default_chain, "g1": context, "g2": context,
    "runtime": lambda: EXAMPLES["RuntimeContext"](), "strict_mode": False,
    "negative_control_states": lambda: {text("tok"): oq.NegativeControlStatus.Stale},
    "judgment": lambda: EXAMPLES["Judgment"](), "registry": registry,
    "hash": lambda: EXAMPLES["ChainHash"](),
}  # fmt: skip


def items(base):
    return list(base) if isinstance(base, list | tuple) else [base]


def mapping(base):
    return dict(base) if isinstance(base, dict) else {"key": base}


def with_last(base, bad):
    """The example container with its last item (or value) replaced by `bad`."""
    if isinstance(base, dict):
        return {**base, list(base)[-1]: bad} if base else {"key": bad}
    return items(base)[:-1] + [bad]


MUTATES, RISKY = "mutates", "risky"  # the hostile value changes itself; it frees other arguments
# id -> (hostile value made from the valid example, flags)
HOSTILE = {
    "None": (lambda b: None, ""), "int": (lambda b: 7, ""), "float": (lambda b: 1.5, ""),
    "bytes": (lambda b: b"AAA", ""), "object": (lambda b: object(), ""),
    "surrogate": (lambda b: "\ud800", ""), "nul": (lambda b: "a\0b", ""),
    "nan": (lambda b: math.nan, ""), "inf": (lambda b: math.inf, ""), "-inf": (lambda b: -math.inf, ""),
    "10**400": (lambda b: 10**400, ""), "-10**400": (lambda b: -(10**400), ""),
    "2**64": (lambda b: 2**64, ""),
    "str-hooks": (lambda b: h.TextHooks(b if isinstance(b, str) else "AAA"), ""),
    "list-lies": (lambda b: h.ListLies(items(b)), ""),
    "list-grows": (lambda b: h.ListGrows(items(b)), MUTATES),
    "list-clears": (lambda b: h.ListClears(items(b)), MUTATES),
    "dict-hooks": (lambda b: h.DictHooks(mapping(b)), ""),
    "float-raises": (lambda b: h.FloatRaises(h.HookError("float")), ""),
    "index-raises": (lambda b: h.IndexRaises(h.HookError("index")), ""),
    "number-hooks": (lambda b: h.NumberHooks(), ""),
    "number-hooks-inside": (lambda b: with_last(b, h.NumberHooks()), ""),
    "str-releases": (lambda b: h.TextReleases(b if isinstance(b, str) else "AAA"), RISKY),
    "list-releases": (lambda b: h.ListReleases(items(b)), RISKY),
    "dict-releases": (lambda b: h.DictReleases(mapping(b)), RISKY),
    "number-releases": (lambda b: h.NumberReleases(), RISKY),
    "number-releases-inside": (lambda b: with_last(b, h.NumberReleases()), RISKY),
}  # fmt: skip


def discover():
    """name -> (callable, receiver class or None, parameter list or None when unknown)."""
    found = {}
    for name in oq.__all__:
        obj = getattr(oq, name)
        if isinstance(obj, type) and issubclass(obj, BaseException):
            continue  # the module's exception classes run none of its code
        found[name] = (obj, None, parameters(obj))
        for attr, member in vars(obj).items() if isinstance(obj, type) else ():
            if attr == "__new__" or not callable(member):
                continue  # the constructor is the class itself, above
            bound = getattr(obj, attr)  # static and class methods come bound, others need `obj`
            fn, receiver = (bound, None) if hasattr(bound, "__self__") else (member, obj)
            found[f"{name}.{attr}"] = (fn, receiver, parameters(fn))
    return found


def parameters(fn):
    if getattr(fn, "__text_signature__", None) is None:
        return None
    params = list(inspect.signature(fn).parameters.values())
    return params[1:] if params and params[0].name in ("self", "$self") else params


CALLABLES = discover()
POSITIONS = [(name, i) for name, (_, _, params) in CALLABLES.items() for i in range(len(params or ()))]  # fmt: skip
POSITION_IDS = [f"{name}-{CALLABLES[name][2][i].name}" for name, i in POSITIONS]
SAFE = [k for k, (_, flags) in HOSTILE.items() if flags != RISKY]
RELEASING = [k for k, (_, flags) in HOSTILE.items() if flags == RISKY]


def example(key):
    for candidate in (key, key.split(".")[-1]):
        if candidate in EXAMPLES:
            value = EXAMPLES[candidate]
            return value() if callable(value) else text(value) if isinstance(value, str) else value
    raise AssertionError(f"no example value for {key!r}: add one to EXAMPLES in {__file__}")


def baseline(name):
    """The function, positional and keyword arguments of a valid call of `name`."""
    fn, receiver, params = CALLABLES[name]
    assert params is not None, f"{name} has no __text_signature__ to learn its parameters from"
    owner = receiver.__name__ if receiver else None
    args, kwargs = [example(owner)] if receiver else [], {}
    for p in params:
        assert p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD), f"{name}: {p} unsupported"
        # A comparison's operand is another instance of the class.
        value = example(owner if p.name == "value" and owner else f"{name}.{p.name}")
        if p.kind == p.POSITIONAL_ONLY:
            args.append(value)
        else:
            kwargs[p.name] = value
    return fn, args, kwargs


def state(value):
    """The value of an argument, read without running any of its own hooks."""
    kind = next((k for k in (str, list, dict, int, float, bytes) if isinstance(value, k)), None)
    return kind.__repr__(value) if kind else repr(value)


def run_case(name, position, hostile, check_arguments=True):
    """None when the call ends soundly, else what went wrong."""
    fn, args, kwargs = baseline(name)
    param = CALLABLES[name][2][position]
    make, flags = HOSTILE[hostile]
    if param.kind == param.POSITIONAL_ONLY:
        at = len(args) - sum(p.kind == p.POSITIONAL_ONLY for p in CALLABLES[name][2]) + position
        args[at] = bad = make(args[at])
    else:
        kwargs[param.name] = bad = make(kwargs[param.name])
    # Unchecked, the arguments are left to the call alone, so that releasing them frees them.
    held = [v for v in (*args, *kwargs.values()) if check_arguments and not (flags == MUTATES and v is bad)]  # fmt: skip
    before = [state(v) for v in held]
    try:
        outcome = repr(fn(*args, **kwargs))
    except DOCUMENTED as exc:
        outcome = str(exc)
    except Exception as exc:  # noqa: BLE001 - anything else is the fault being looked for
        return f"undocumented {type(exc).__name__}: {exc}"
    except BaseException as exc:  # noqa: BLE001 - a panic escapes as a BaseException
        if str(exc) not in DOCUMENTED_PANICS:
            return f"panic {type(exc).__name__}: {exc}"
        outcome = str(exc)
    if SPRAYED in outcome:
        return f"read freed memory: {outcome[:200]}"
    if before != [state(v) for v in held]:
        return f"arguments changed: {before} -> {[state(v) for v in held]}"
    return None


@pytest.mark.parametrize("name", CALLABLES)
def test_valid_call(name):
    fn, _, params = CALLABLES[name]
    if isinstance(fn, type) and params is None:
        with pytest.raises(TypeError, match="^No constructor defined$"):
            fn()
    elif name not in PROCESS_WIDE:
        fn, args, kwargs = baseline(name)
        repr(fn(*args, **kwargs))


# Each test runs every hostile value in one parameter: thousands of separate tests would spend
# most of their time in the test runner.
@pytest.mark.parametrize("name, position", POSITIONS, ids=POSITION_IDS)
def test_hostile_argument(name, position):
    problems = {hostile: run_case(name, position, hostile) for hostile in SAFE}
    assert {hostile: p for hostile, p in problems.items() if p} == {}


def releasing_main():
    """Makes the process-wide calls, then runs each releasing value: one result line each."""
    logging.getLogger().addHandler(logging.NullHandler())  # engine events, once bridged: unprinted
    for name in sorted(PROCESS_WIDE & set(CALLABLES)):
        fn, args, kwargs = baseline(name)
        fn(*args, **kwargs)
    gc.freeze()  # `release` then searches only what the cases allocate
    for name, position in POSITIONS:
        for hostile in RELEASING:
            try:
                problem = run_case(name, position, hostile, check_arguments=False)
            except AssertionError as exc:
                problem = str(exc)
            print(repr((name, position, hostile)), "|", repr(problem), flush=True)
    print("'releases' |", h.RELEASES[0])


def run_child(code, timeout=120):
    return subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)], env=os.environ,
        capture_output=True, text=True, timeout=timeout, cwd=TESTS,
    )  # fmt: skip


def run_main(name):
    """Runs the function `name` of this file in a child interpreter."""
    return run_child(f"import sys; sys.path.insert(0, {TESTS!r}); import test_hostile; test_hostile.{name}()")  # fmt: skip


@pytest.fixture(scope="module")
def released():
    child = run_main("releasing_main")
    results = dict(line.split(" | ", 1) for line in child.stdout.splitlines())
    assert child.returncode != 0 or int(results["'releases'"]) > 0, "nothing released"
    return child, results


@pytest.mark.parametrize("name, position", POSITIONS, ids=POSITION_IDS)
def test_hostile_argument_releasing_others(released, name, position):
    child, results = released
    problems = {k: results.get(repr((name, position, k)), "not reached") for k in RELEASING}
    problems = {hostile: p for hostile, p in problems.items() if p != "None"}
    assert problems == {}, f"child exited with {child.returncode}:\n{child.stderr[-3000:]}"


def test_released_arguments_keep_their_values():
    child = run_child(r"""
        import gc, _ostrel_quorvane as oq
        spray = []

        def referrers_with(key, obj):
            return [r for r in gc.get_referrers(obj) if isinstance(r, dict) and r.get(key) is obj]

        class Evil:
            def __float__(self):
                for ref in referrers_with("bound_value", self):
                    ref["status"] = None  # frees the status str
                spray.extend(("X" * 40 + str(i)) for i in range(5000))  # reuses its memory
                return 1.0

        status = "".join(["bou", "nded", "?" * 30])
        kw = {"gap_id": "g", "gap_type": "t", "status": status, "bound_value": Evil()}
        del status
        try:
            oq.GapRecord(**{k: kw.pop(k) for k in list(kw)})
        except ValueError as exc:
            print(repr(str(exc)))

        class Gaps:
            __getitem__ = None  # a sequence, walked by its iterator
            def __iter__(self):
                for ref in referrers_with("gaps", self):
                    ref["membership"] = None  # frees the only membership object
                spray.extend(("X" * 40 + str(i)) for i in range(5000))
                return iter([oq.GapRecord("g", "t")])

        kw = dict(claim_id="c", candidate_id="d", context_id="x", allowed_use="read",
                  membership=oq.Membership.other("".join(["re", "ason" * 9])),
                  authority_ceiling=oq.Permission.AAA, expiry=oq.Expiry.never(), gaps=Gaps(),
                  profiles=[oq.Profile(oq.Permission.AAA, [])])
        ctx = oq.ProofContext(**{k: kw.pop(k) for k in list(kw)})
        print([step.note for step in oq.compile_static(ctx).derivation.steps])  # names the membership
    """)
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == [
        repr("Unknown gap status: bounded" + "?" * 30),
        repr([f'out-of-class membership: OutOfClassOther("re{"ason" * 9}")']),
    ]


def newobj_ex(cls, args, kwargs):
    """A pickle that calls `cls.__new__(cls, *args, **kwargs)` with any keys, as the unpickler
    passes the keyword dict as it is."""
    op = {str: lambda v: b"X" + len(v.encode()).to_bytes(4, "little") + v.encode(),
          int: lambda v: b"K" + bytes([v])}  # fmt: skip
    pairs = b"".join(op[type(k)](k) + op[type(v)](v) for k, v in kwargs.items())
    argv = b"".join(op[type(a)](a) for a in args)
    return b"\x80\x04c_ostrel_quorvane\n%s\n(%st}(%su\x92." % (cls.encode(), argv, pairs)


CONSTRUCTORS = [
    n for n, (fn, _, params) in CALLABLES.items() if isinstance(fn, type) and params is not None
]


@pytest.mark.parametrize("name", CONSTRUCTORS)
@pytest.mark.parametrize(
    "args, kwargs",
    [((), {1: "v"}), (("a",) * 20, {1: "v"}), (("g", "t"), {"gap_id": "x", 1: "v"}), ((), {"nope": "x", 1: "v"})],
)  # fmt: skip
def test_non_str_keyword_names_are_refused_first(name, args, kwargs):
    with pytest.raises(TypeError, match="^keywords must be strings$"):
        pickle.loads(newobj_ex(name, args, kwargs))


def test_keyword_pickle_reaches_the_constructor():
    with pytest.raises(TypeError, match="^keywords must be strings$"):
        pickle.loads(b"\x80\x04c_ostrel_quorvane\nGapRecord\n)})X\x01\x00\x00\x00vs\x92.")
    record = pickle.loads(newobj_ex("GapRecord", ("g",), {"gap_type": "t", "status": "closed"}))
    assert repr(record) == "GapRecord(gap_id=g, gap_type=t, status=closed)"


@pytest.mark.parametrize("fn", [oq.compute_provenance_hash, Chain.default_chain().meet])
def test_non_str_keyword_names_to_vectorcall_functions(fn):
    call = functools.partial(fn)
    call.__setstate__((fn, ("a",) * 9, {1: 2}, None))
    with pytest.raises(TypeError, match="^keywords must be strings$"):
        call()


def out_of_memory_main():
    """Runs PermissionChain.new out of memory: first with nothing left at all, then repeatedly
    while the intern table grows; then again with the limit lifted."""

    def chain(names):
        return Chain.new(names, roles(len(names)))

    libc = ctypes.CDLL(None)
    libc.malloc.restype, libc.malloc.argtypes = ctypes.c_void_p, [ctypes.c_size_t]
    libc.free.argtypes = [ctypes.c_void_p]
    blocks, count = (ctypes.c_void_p * 100_000)(), 0
    sizes = (1 << 20, 1 << 16, 1 << 12, *range(1024, 0, -8))  # every small size class too
    names, first_roles = [f"FIRST{i}" for i in range(200)], roles(200)
    with open("/proc/self/statm") as f:
        used = int(f.read().split()[0]) * resource.getpagesize()
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (used + (32 << 20), hard))
    # Take every block malloc can still give (nothing in Python allocates from here to the call),
    # so that the engine's first allocation fails with nothing left for its error path.
    for size in sizes:
        while count < len(blocks) and (block := libc.malloc(size)):
            blocks[count], count = block, count + 1
    try:
        Chain.new(names, first_roles)
        first = "built"
    except MemoryError:
        first = "MemoryError"
    for i in range(count):
        libc.free(blocks[i])
    n, failures, failed = 0, 0, None
    while failures < 50:  # once the table is full, later attempts fail inside its growth
        batch = [f"N{n + i:06d}" + "y" * 57 for i in range(200)]
        try:
            chain(batch)
        except MemoryError:
            failures, failed = failures + 1, batch
        n += 200
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print(first, len(chain(failed)), len(chain(["OOC", "AAA"])), len(chain(names)))


@pytest.mark.skipif(ASAN, reason="the address-space limit does not hold under the sanitizer")
def test_running_out_of_memory_is_a_memory_error():
    child = run_main("out_of_memory_main")
    assert (child.returncode, child.stderr) == (0, ""), child.stderr
    assert child.stdout == "MemoryError 200 2 200\n"


@pytest.mark.parametrize("sign", ["", "-"])
def test_overflowing_details_number_is_quoted_short(sign):
    with pytest.raises(ValueError) as info:
        oq.ProofToken("t", "a", "1", "valid", [], [], "h", 0, "iss", details=f"{sign}1{'0' * 10**6}")  # fmt: skip
    quoted = "..." + "0" * 40  # the last 40 bytes of the number
    assert str(info.value) == f"Invalid JSON for details: number overflow parsing '{quoted}' at line 1 column 1"  # fmt: skip
