"""The module frame: registration, exceptions, shared class properties, the shared object."""

import shutil
import subprocess
import sys
import textwrap

import _ostrel_quorvane as oq
import pytest

REGISTRATION_ORDER = [
    "QuorvaneError", "ExpiredError", "CompositionError", "ProvenanceError", "ChainError",
    "AuditError", "NegativeControlStatus", "DerivationStep", "Derivation", "Permission", "Scope",
    "GapRecord", "GapRequirement", "Profile", "ProofToken", "Expiry", "Membership",
    "ProofContext", "Judgment", "RuntimeContext", "LiveJudgment", "ChainRole", "ChainHash",
    "PermissionChain", "InMemoryChainRegistry", "compile", "compile_static", "compose",
    "compute_provenance_hash", "init_tracing", "verify_published",
]  # fmt: skip

CLASSES = [
    name for name in REGISTRATION_ORDER if isinstance(getattr(oq, name, None), type)
    and not issubclass(getattr(oq, name), BaseException)
]  # fmt: skip


def test_all_follows_registration_order():
    assert oq.__all__ == [name for name in REGISTRATION_ORDER if hasattr(oq, name)]
    assert {"Permission", "ChainRole", "ChainHash", "PermissionChain"} <= set(oq.__all__)
    assert oq.__doc__ == ""


@pytest.mark.parametrize(
    "name, base, doc",
    [
        ("QuorvaneError", Exception, "Base Quorvane error."),
        ("ExpiredError", oq.QuorvaneError, "Judgment has expired."),
        ("CompositionError", oq.QuorvaneError, "Composition failed."),
        ("ProvenanceError", oq.QuorvaneError, "Provenance mismatch."),
        ("ChainError", oq.QuorvaneError, "Permission chain construction or use failed."),
        (
            "AuditError",
            oq.QuorvaneError,
            "Chain audit verification failed (chain not published or hash mismatch).",
        ),
    ],
)
def test_exception_classes(name, base, doc):
    cls = getattr(oq, name)
    assert cls.__bases__ == (base,)
    assert cls.__module__ == "_ostrel_quorvane"
    assert cls.__name__ == name
    assert cls.__doc__ == doc
    with pytest.raises(cls, match="^boom$"):
        raise cls("boom")


def panic_class():
    chain = oq.PermissionChain.new(["FOO", "BAR"], roles_at(0, top=1))
    try:
        chain.parse("FOO") < oq.Permission.AAA  # noqa: B015
    except BaseException as exc:  # noqa: BLE001 - the panic class is what we are after
        return type(exc)
    raise AssertionError("no panic")


def roles_at(index, top):
    roles = {role: index for role in ALL_ROLES}
    roles[oq.ChainRole.Top] = top
    roles[oq.ChainRole.BlockerThreshold] = top
    return roles


ALL_ROLES = [
    oq.ChainRole.Bottom, oq.ChainRole.ExpiryFloor, oq.ChainRole.Refused, oq.ChainRole.Unsatisfied,
    oq.ChainRole.DisallowedUsesCeiling, oq.ChainRole.BlockerThreshold, oq.ChainRole.Top,
]  # fmt: skip


def test_panic_exception_escapes_except_exception():
    cls = panic_class()
    assert cls.__bases__ == (BaseException,)
    assert not issubclass(cls, Exception)
    assert "PanicException" not in oq.__all__
    assert not hasattr(oq, "PanicException")
    assert cls.__doc__


@pytest.mark.parametrize("name", CLASSES)
def test_shared_class_properties(name):
    cls = getattr(oq, name)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert repr(cls) == f"<class 'builtins.{name}'>"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.extra = 1


def test_no_constructor_and_no_instance_attributes():
    with pytest.raises(TypeError, match="^No constructor defined$"):
        oq.Permission()
    with pytest.raises(TypeError, match="^No constructor defined$"):
        oq.PermissionChain(["A"], {})
    level = oq.Permission.AAA
    with pytest.raises(AttributeError):
        level.foo = 1
    assert not hasattr(level, "__dict__")


def test_extension_exports_only_its_init_function():
    nm = shutil.which("nm")
    readelf = shutil.which("readelf")
    if not nm or not readelf:
        pytest.skip("binutils not installed")
    symbols = subprocess.run(
        [nm, "-D", "--defined-only", oq.__file__], check=True, capture_output=True, text=True
    ).stdout.split("\n")
    assert [line.split()[-1] for line in symbols if line.strip()] == ["PyInit__ostrel_quorvane"]
    dynamic = subprocess.run(
        [readelf, "-d", oq.__file__], check=True, capture_output=True, text=True
    ).stdout
    assert "libpython" not in dynamic


def test_second_interpreter_is_refused():
    script = textwrap.dedent(
        """
        import _ostrel_quorvane
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            print("SKIP")
            raise SystemExit
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import _ostrel_quorvane")
        except Exception as exc:
            print(type(exc).__name__, exc)
        import importlib, sys
        assert sys.modules["_ostrel_quorvane"] is _ostrel_quorvane
        # The first interpreter's module goes on working.
        oq = _ostrel_quorvane
        ctx = oq.ProofContext("c", "d", "x", "u", oq.Membership.InClass, oq.Permission.AAA,
                              oq.Expiry.never(), profiles=[oq.Profile(oq.Permission.ALR, [])])
        assert str(oq.compile_static(ctx).permission) == "ALR"
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, check=True
    )
    if result.stdout.strip() == "SKIP":
        pytest.skip("this interpreter cannot create subinterpreters")
    assert "ImportError" in result.stdout
    assert "subinterpreters" in result.stdout


@pytest.mark.parametrize(
    "obj, signature",
    [
        (oq.Permission.as_str, "($self)"),
        (oq.Permission.from_str, "(s)"),
        (oq.Permission.meet, "($self, other)"),
        (oq.PermissionChain.new, "(levels, roles)"),
        (oq.PermissionChain.default_chain, "()"),
        (oq.PermissionChain.role, "($self, role)"),
        (oq.PermissionChain.meet, "($self, a, b)"),
        (oq.PermissionChain.chain_hash, "($self)"),
        (oq.ChainHash.from_hex, "(s)"),
        (oq.ChainHash.to_hex, "($self)"),
        (oq.GapRecord, '(gap_id, gap_type, status="open", bound_value=None)'),
        (oq.GapRequirement.any_of, "(arms)"),
        (oq.compute_provenance_hash, "(claim_id, candidate_id, context_id, allowed_use)"),
    ],
)
def test_text_signatures(obj, signature):
    assert obj.__text_signature__ == signature


@pytest.mark.parametrize(
    "obj, doc",
    [
        (oq.Permission, None),
        (oq.PermissionChain, None),
        (oq.GapRecord, ""),
        (oq.ProofContext, ""),
        (oq.PermissionChain.parse, "Parse a level name. Returns None if the name is not in this chain."),
        (oq.compute_provenance_hash, "Compute the provenance hash for a context tuple."),
    ],
)  # fmt: skip
def test_docstrings_follow_the_signature_line(obj, doc):
    assert obj.__doc__ == doc


def test_functions_belong_to_the_module():
    assert oq.compute_provenance_hash.__module__ == "_ostrel_quorvane"


def test_reimport_returns_the_same_module():
    script = textwrap.dedent(
        """
        import sys
        import _ostrel_quorvane as first
        del sys.modules["_ostrel_quorvane"]
        import _ostrel_quorvane as second
        assert first is second and first.Permission is second.Permission
        """
    )
    subprocess.run([sys.executable, "-c", script], check=True)


def test_stubs_name_every_export():
    import ast
    from pathlib import Path

    stub = Path(__file__).parents[1] / "python" / "_ostrel_quorvane-stubs" / "__init__.pyi"
    tree = ast.parse(stub.read_text())
    exported = next(
        node.value for node in tree.body
        if isinstance(node, ast.Assign) and node.targets[0].id == "__all__"
    )  # fmt: skip
    assert ast.literal_eval(exported) == oq.__all__
    defined = {node.name for node in tree.body if isinstance(node, ast.ClassDef | ast.FunctionDef)}
    assert set(oq.__all__) <= defined
