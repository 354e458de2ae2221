"""The command-line tool, through its outputs: the shipped examples, decision records and audit,
and every way a request can be refused."""

import io
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

cli = pytest.importorskip("ostrel_quorvane.cli")

EXAMPLES = Path(__file__).parents[1] / "examples"
DEFAULT_HASH = "d2727b9e0edf84eec52108084b53d22c1a2350059ae5f21c7deb5ab645b2c491"

# Each example folder, and the command its expected.txt shows.
SHOWN = {
    "agent-tool-run": ["decide", "request.json"],
    "provenance-mismatch": ["decide", "request.json"],
    "composed-pair": ["compose", "a.json", "b.json"],
    "custom-chain": ["decide", "request.json", "--chain", "../chains/data-access.json"],
}


def run(*argv, cwd=None):
    """Runs the tool in a child process, as a user would: (status, stdout, stderr)."""
    done = subprocess.run(
        [sys.executable, "-m", "ostrel_quorvane", *map(str, argv)],
        cwd=cwd, capture_output=True, text=True,
    )  # fmt: skip
    return done.returncode, done.stdout, done.stderr


def call(*argv, capsys):
    """Runs the tool in this process, leaving its logging alone: (status, stdout, stderr)."""
    out = io.StringIO()
    status = cli.main([str(arg) for arg in argv], out, engine_reasons=False)
    return status, out.getvalue(), capsys.readouterr().err


@pytest.mark.parametrize("example", sorted(SHOWN))
def test_examples_print_their_expected_output(example):
    status, out, err = run(*SHOWN[example], cwd=EXAMPLES / example)
    assert (status, err) == (0, "")
    out = re.sub(r"(?m)^(compiled at ).*$", r"\1<compiled_at>", out)
    assert out == (EXAMPLES / example / "expected.txt").read_text()


@pytest.mark.parametrize(
    ("argv", "compiled", "live", "reason"),
    [
        (["--at", "2100-01-01T00:00:00Z"], "EXP", "EXP", "judgment expired; returning ExpiryFloor"),
        (["--fingerprint", "elsewhere"], "ALR", "OOC", "fingerprint mismatch; returning Bottom"),
        (["--nc", "tok-canary=Stale"], "ALR", "REF", "negative-control not live; flooring to Refused"),
        (["--nc", "tok-canary=Stale", "--lenient"], "ALR", "ALR", "live permission read"),
    ],
)  # fmt: skip
def test_runtime_options_override_the_request_and_explain_the_live_answer(
    argv, compiled, live, reason
):
    status, out, _ = run("decide", "request.json", "--json", *argv, cwd=EXAMPLES / "agent-tool-run")
    record = json.loads(out)
    assert status == 0 and record["permission"] == compiled
    assert record["live"]["permission"] == live and reason in record["live"]["reason"]
    assert record["compiled_at"] == record["live"]["now"]  # one moment for both


@pytest.mark.parametrize("example", sorted(SHOWN))
def test_a_decision_record_audits_against_the_published_chains(
    example, tmp_path, capsys, monkeypatch
):
    monkeypatch.chdir(EXAMPLES / example)
    status, out, _ = call(*SHOWN[example], "--json", capsys=capsys)
    record = json.loads(out)
    assert status == 0 and "\x1b" not in out
    shown = (EXAMPLES / example / "expected.txt").read_text()
    assert f"\npermission  {record['permission']}\n" in shown
    decision = tmp_path / "decision.json"
    decision.write_text(out)
    status, out, _ = call("audit", decision, "--chains", EXAMPLES / "chains", capsys=capsys)
    assert status == 0 and record["chain_hash"] in out

    empty = tmp_path / "none"
    empty.mkdir()
    status, _, err = call("audit", decision, "--chains", empty, capsys=capsys)
    assert status == 1
    assert f"chain hash {record['chain_hash']} is not published in the registry" in err

    # A record that says other than its inputs give, in any part, fails the audit.
    for part, forged, complaint in [
        ("permission", "AAA", 'permission: recorded "AAA"'),
        ("provenance_hash", "0" * 64, 'provenance_hash: recorded "000'),
        ("derivation", record["derivation"][:-1] + [], "derivation: recorded"),
        (
            "chain",
            {**record["chain"], "levels": ["forged", *record["chain"]["levels"][1:]]},
            "chain_hash: the recorded chain hashes to",
        ),
    ]:
        decision.write_text(json.dumps({**record, part: forged}))
        status, _, err = call("audit", decision, "--chains", EXAMPLES / "chains", capsys=capsys)
        assert status == 1 and complaint in err, part


BASE = json.loads((EXAMPLES / "provenance-mismatch" / "request.json").read_text())


def edited(path, value):
    """The base request with the value at ``path`` (a tuple of keys) replaced or removed."""
    document = json.loads(json.dumps(BASE))
    *parents, last = path
    target = document
    for key in parents:
        target = target[key]
    if value is KeyError:
        del target[last]
    else:
        target[last] = value
    return json.dumps(document)


REFUSED_FILES = [
        ('{"claim_id": ', 2, "$: expected valid JSON (Expecting value at line 1 column 14)"),
        ('{"a": 1, "a": 2}', 2, '$: expected an object without duplicated key "a"'),
        ('{"a": NaN}', 2, "$.a: expected finite numbers, got NaN"),
    ('{"a": -1e400}', 2, "$.a: expected finite numbers, got -1e400"),
    (edited(("gaps", 1, "bound_value"), 10**400), 2, "$.gaps[1].bound_value: expected a number within the range of a double"),
    (edited(("context_id",), "ctx-\ud800"), 2, "$.context_id: expected Unicode text"),
    (edited(("expiry",), {"at": "2099-01-01T00:00Z"}), 2, "$.expiry.at: expected Unix seconds or RFC 3339"),
    ("[" * 100_000 + "]" * 100_000, 2, "[0][0]: expected at most 500 levels of nested arrays and objects"),
    (edited(("tokens", 0, "details"), {"x": ["\ud800"]}), 2, "$.tokens[0].details.x[0]: expected Unicode text"),
    (edited(("runtime",), {"negative_control_states": {"\ud800": "Live"}}), 2, '$.runtime.negative_control_states["\\ud800"]: expected Unicode text'),
    (edited(("chain",), {"levels": ["A", "B"], "roles": {"Top": 1e300}}), 2, "$.chain.roles.Top: expected a level index (an integer from 0), got 1e+300"),
        ("[]", 2, "$: expected an object, got []"),
        (edited(("claim_id",), KeyError), 2, "$.claim_id: missing required field"),
        (edited(("claim_id",), 7), 2, "$.claim_id: expected a string, got 7"),
        (edited(("colour",), "red"), 2, "$.colour: unknown field; expected one of claim_id,"),
        (edited(("tokens", 0, "issued_at"), "2026-12-08 08:00"), 2, "$.tokens[0].issued_at: expected Unix seconds or RFC 3339 text with a UTC offset"),
        (edited(("tokens", 0, "issued_at"), True), 2, "$.tokens[0].issued_at: expected Unix seconds"),
        (edited(("gaps", 1, "bound_value"), "0.5"), 2, '$.gaps[1].bound_value: expected a number, got "0.5"'),
        (edited(("profiles", 0, "permission"), "alr"), 2, '$.profiles[0].permission: expected a level of the chain (OOC, EXP,'),
        (edited(("profiles", 1, "required_gaps", 0), {"any_of": [{"gap_id": "sandbox"}]}), 2, "$.profiles[1].required_gaps[0].any_of[0].minimum_status: missing required field"),
        (edited(("membership",), "InClassy"), 2, '$.membership: expected "InClass" or'),
        (edited(("expiry",), {"at": None}), 2, "$.expiry.at: expected Unix seconds"),
        (edited(("runtime",), {"negative_control_states": {"t 1": "live"}}), 2, '$.runtime.negative_control_states["t 1"]: expected "Live" or'),
        (edited(("chain",), {"levels": ["A"], "roles": {}}), 2, "$.chain: chain has too few levels: 1 (minimum 2)"),
        (edited(("chain",), {"levels": ["A", "B"], "roles": {"Top": -1}}), 2, "$.chain.roles.Top: expected a level index"),
        (edited(("gaps", 0, "status"), "Open"), 2, "$.gaps[0]: Unknown gap status: Open"),
        (edited(("gaps", 1, "gap_id"), "identity"), 2, "request.json: $: malformed context: duplicate gap_id 'identity'"),
        (edited(("allowed_use",), ""), 2, "malformed context: allowed_use must not be empty"),
]  # fmt: skip


@pytest.mark.parametrize(
    ("text", "status", "message"), REFUSED_FILES, ids=[case[2][:48] for case in REFUSED_FILES]
)
def test_check_names_the_file_the_path_and_what_was_expected(
    text, status, message, tmp_path, capsys
):
    request = tmp_path / "request.json"
    request.write_text(text)
    code, out, err = call("check", request, capsys=capsys)
    assert (code, out) == (status, "")
    assert err.startswith(f"ostrel-quorvane: {request}")
    assert message in err and "Traceback" not in err


def test_check_accepts_each_example(capsys):
    for request in sorted(EXAMPLES.glob("*/request.json")) + sorted(EXAMPLES.glob("*/[ab].json")):
        if "chain" in request.parent.name:
            continue  # judged only under its own chain, given with --chain
        status, out, err = call("check", request, capsys=capsys)
        assert (status, err) == (0, ""), request
        assert "a well-formed request" in out


@pytest.mark.parametrize(
    ("argv", "status", "message"),
    [
        (["decide", "missing.json"], 2, "missing.json: $: expected a readable UTF-8 file (No such file or directory)"),
        (["decide", "agent-tool-run/request.json", "--nc", "tok-canary"], 2, "--nc tok-canary: expected TOKEN=STATUS"),
        (["decide", "agent-tool-run/request.json", "--nc", "tok-gone=Live"], 2, "--nc tok-gone=Live: tok-gone names no negative-control token of the request (it has: tok-canary)"),
        (["decide", "agent-tool-run/request.json", "--at", "tomorrow"], 2, '--at: $: expected Unix seconds or RFC 3339 text with a UTC offset, got "tomorrow"'),
        (["decide", "agent-tool-run/request.json", "--chain", "chains/data-access.json"], 2, "$.authority_ceiling: expected a level of the chain (deny,"),
        (["compose", "composed-pair/a.json", "custom-chain/request.json", "--chain", "chains/data-access.json"], 2, "composed-pair/a.json: $.authority_ceiling"),
        (["compose", "composed-pair/a.json", "provenance-mismatch/request.json"], 0, ""),
        (["audit", "chains/default.json", "--chains", "chains"], 2, 'chains/default.json: $.format: expected "ostrel-quorvane.decision/1"'),
        (["audit", "chains/default.json", "--chains", "nowhere"], 2, "$.format"),
        (["decide", "agent-tool-run/request.json", "--at", "nan"], 2, "--at: $: expected a finite number"),
        (["decide", "agent-tool-run/request.json", "--fingerprint", "fp\udcff"], 2, "--fingerprint fp\\u{dcff}: expected Unicode text"),
        (["audit", "chains/default.json", "--chains", "chains/default.json"], 2, '$.format: expected'),
        (["chain-hash", "agent-tool-run/request.json"], 2, '$.claim_id: unknown field; expected one of levels, roles'),
    ],
)  # fmt: skip
def test_command_errors(argv, status, message, capsys, monkeypatch):
    monkeypatch.chdir(EXAMPLES)
    code, _, err = call(*argv, capsys=capsys)
    assert code == status and message in err


def test_compose_refuses_incompatible_uses(tmp_path, capsys):
    other = tmp_path / "other.json"
    other.write_text(edited(("allowed_use",), "run_tool:terraform_apply"))
    status, _, err = call("compose", EXAMPLES / "composed-pair" / "a.json", other, capsys=capsys)
    assert status == 2
    assert "composition failed: use conflict: contexts have incompatible allowed_use sets" in err


def test_text_from_a_request_cannot_act_on_the_terminal(tmp_path, capsys):
    request = tmp_path / "request.json"
    forged = "tok\x1b[31m\npermission  AAA\u202e"
    request.write_text(edited(("tokens", 1, "token_id"), forged))
    status, out, _ = call("decide", request, capsys=capsys)
    assert status == 0 and "\x1b" not in out and "\u202e" not in out
    assert [line for line in out.splitlines() if line.startswith("permission")] == [
        "permission  REF"
    ]
    assert "tok\\u{1b}[31m\\u{a}permission  AAA\\u{202e}" in out


def test_hashes(capsys):
    assert call("chain-hash", EXAMPLES / "chains" / "default.json", capsys=capsys)[1] == (
        DEFAULT_HASH + "\n"
    )
    tuple_ = (
        "claim-deploy-7731",
        "agent-build-runner",
        "ctx-ci-2026-12-09",
        "run_tool:terraform_plan",
    )
    status, out, _ = call("provenance", *tuple_, capsys=capsys)
    assert (status, out) == (0, BASE["tokens"][1]["provenance_hash"] + "\n")


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize(("no_color", "json_out"), [(False, False), (True, False), (False, True)])
def test_colour_only_on_a_terminal_and_never_in_json(no_color, json_out, monkeypatch):
    monkeypatch.chdir(EXAMPLES / "provenance-mismatch")
    monkeypatch.delenv("NO_COLOR", raising=False)
    monkeypatch.setenv("TERM", "xterm")
    if no_color:
        monkeypatch.setenv("NO_COLOR", "1")
    out = Terminal()
    argv = ["decide", "request.json", *(["--json"] if json_out else [])]
    assert cli.main(argv, out, engine_reasons=False) == 0
    assert ("\x1b[" in out.getvalue()) == (not no_color and not json_out)


@pytest.mark.parametrize(
    "command", ["decide", "check", "compose", "audit", "provenance", "chain-hash"]
)
def test_every_command_has_help(command, capsys):
    with pytest.raises(SystemExit) as exit_:
        cli.main([command, "--help"])
    assert exit_.value.code == 0 and f"usage: ostrel-quorvane {command}" in capsys.readouterr().out


def test_console_script_and_version():
    script = Path(sys.executable).with_name("ostrel-quorvane")
    if not script.exists():
        pytest.skip("the package is not installed in this interpreter's environment")
    done = subprocess.run([script, "--version"], capture_output=True, text=True, check=True)
    import ostrel_quorvane

    assert done.stdout == f"ostrel-quorvane {ostrel_quorvane.__version__}\n"


def test_package_reexports_the_engine():
    import _ostrel_quorvane
    import ostrel_quorvane

    own = {"__version__", "compile_at", "compile_static_at", "compose_at"}
    assert set(ostrel_quorvane.__all__) == own | set(_ostrel_quorvane.__all__)
    assert all(
        getattr(ostrel_quorvane, name) is getattr(_ostrel_quorvane, name)
        for name in _ostrel_quorvane.__all__
    )


def test_audit_reads_only_regular_chain_files(tmp_path, capsys, monkeypatch):
    chains = tmp_path / "chains"
    chains.mkdir()
    os.mkfifo(chains / "a-pipe.json")  # opening it to read would block
    (chains / "zero.json").symlink_to("/dev/zero")  # reading it would never end
    (chains / "default.json").write_text((EXAMPLES / "chains" / "default.json").read_text())
    monkeypatch.chdir(EXAMPLES / "provenance-mismatch")
    decision = tmp_path / "decision.json"
    decision.write_text(call("decide", "request.json", "--json", capsys=capsys)[1])
    status, out, _ = call("audit", decision, "--chains", chains, capsys=capsys)
    assert status == 0 and "default.json" in out
