"""The tool as a gate: its exit statuses, one-line errors, the moment it judges as of, and audits
that hold for as long as a record is kept."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

cli = pytest.importorskip("ostrel_quorvane.cli")

EXAMPLES = Path(__file__).parents[1] / "examples"
AGENT = EXAMPLES / "agent-tool-run" / "request.json"
CHAINS = EXAMPLES / "chains"
DATA_ACCESS = CHAINS / "data-access.json"
BASE = json.loads(AGENT.read_text())


def request(**changes):
    """The agent example with top-level fields replaced (None removes one)."""
    document = {**BASE, **changes}
    return json.dumps({k: v for k, v in document.items() if v is not None})


# A token valid until 09:00 on the example's day; the moment of use the file carries is removed.
EXPIRING = json.loads(request(runtime=None))
EXPIRING["tokens"][0]["expires_at"] = "2026-12-09T09:00:00Z"
EXPIRING = json.dumps(EXPIRING)


def run(*argv, stdin=None, stdout=subprocess.PIPE, cwd=None):
    """The tool in a child process: (status, stdout, stderr)."""
    done = subprocess.run(
        [sys.executable, "-m", "ostrel_quorvane", *map(str, argv)],
        input=stdin, stdout=stdout, stderr=subprocess.PIPE, text=True, cwd=cwd, timeout=60,
    )  # fmt: skip
    return done.returncode, done.stdout or "", done.stderr


def written(tmp_path, text, name="request.json"):
    path = tmp_path / name
    path.write_text(text)
    return path


CASES = [
    # (name, argv with {req} for a request file holding `text`, text, status, stderr holds)
    ("decided", ["decide", "{req}"], request(), 0, None),
    ("a refusing judgment is still done", ["decide", "{req}", "--fingerprint", "x"], request(), 0, None),
    ("at the required level", ["decide", "{req}", "--require", "ALR"], request(), 0, None),
    ("below the required level", ["decide", "{req}", "--require", "AAA"], request(), 3, "ALR is below the required AAA"),
    ("the live answer is the one gated", ["decide", "{req}", "--require", "ESC", "--fingerprint", "x"], request(), 3, "OOC is below the required ESC"),
    ("a floor is ranked in the default chain", ["decide", "{req}", "--require", "OOC", "--fingerprint", "x"], request(), 0, None),
    ("compose gates too", ["compose", "{req}", "{req}", "--require", "AAA"], request(), 3, "ALR is below the required AAA"),
    ("standard input read twice", ["compose", "-", "-"], None, 2, "- (standard input) can be read only once"),
    ("a required level the chain lacks", ["decide", "{req}", "--require", "TOP"], request(), 2, "--require TOP: expected a level of the chain (OOC,"),
    ("a value the engine refuses", ["decide", "{req}"], request(allowed_use=""), 2, "$: malformed context: allowed_use must not be empty"),
    ("an unknown gap status", ["check", "{req}"], request(gaps=[{"gap_id": "g", "gap_type": "t", "status": "shut"}]), 2, "$.gaps[0]: Unknown gap status: shut"),
    ("an empty any_of", ["decide", "{req}"], request(profiles=[{"permission": "ALR", "required_gaps": [{"any_of": []}]}]), 2, "any_of requirement has zero arms"),
    ("a bad chain", ["check", "{req}"], request(chain={"levels": ["A"], "roles": {}}), 2, "$.chain: chain has too few levels"),
    ("an unknown option", ["decide", "{req}", "--colour"], request(), 2, "unrecognized arguments: --colour (see ostrel-quorvane --help)"),
    ("a moment the engine cannot represent", ["decide", "{req}", "--at", "9e12"], request(), 2, "--at: $: expected a time the engine can represent (years -262143 to 262142)"),
    ("a file time the engine cannot represent", ["decide", "{req}"], request(expiry={"at": -9e12}), 2, "$.expiry.at: expected a time the engine can represent"),
    ("a control the request lacks", ["decide", "{req}", "--nc", "nope=Live"], request(), 2, "--nc nope=Live: nope names no negative-control token"),
    ("check under another chain", ["check", "{req}", "--chain", DATA_ACCESS], request(), 2, "$.authority_ceiling: expected a level of the chain (deny,"),
    ("a directory", ["decide", EXAMPLES], None, 2, ": $: expected a regular file, not a directory"),
    ("a device", ["decide", "/dev/zero"], None, 2, "/dev/zero: $: expected a regular file, not a device"),
    ("a long value is cut", ["check", "{req}"], request(gaps=[{"gap_id": "g", "gap_type": "t", "status": "x" * 10_000_000}]), 2, "characters cut ...]"),
]  # fmt: skip


@pytest.mark.parametrize(
    ("argv", "text", "status", "message"), [c[1:] for c in CASES], ids=[c[0] for c in CASES]
)
def test_exit_statuses_and_one_line_errors(argv, text, status, message, tmp_path):
    path = written(tmp_path, text) if text is not None else None
    code, _, err = run(*[str(path) if a == "{req}" else a for a in argv])
    assert code == status, err
    if message is None:
        assert err == ""
        return
    assert message in err and err.count("\n") == 1 and err.startswith("ostrel-quorvane: ")
    assert len(err) < 2000


def test_a_floor_named_like_a_level_of_the_chain_in_force_is_still_below_it(tmp_path):
    # The chain in force calls its top level REF; a failed negative control floors the live
    # answer at the default chain's REF, which must not pass for the top.
    chain = written(tmp_path, json.dumps({
        "levels": ["deny", "expired", "refused", "pending", "read", "write", "REF"],
        "roles": {"Bottom": 0, "ExpiryFloor": 1, "Refused": 2, "Unsatisfied": 3,
                  "DisallowedUsesCeiling": 5, "BlockerThreshold": 4, "Top": 6},
    }), "chain.json")  # fmt: skip
    text = request(
        runtime=None, authority_ceiling="REF", gaps=[], disallowed_uses=None,
        profiles=[{"permission": "REF", "required_gaps": []}],
    )  # fmt: skip
    path = written(tmp_path, text)
    argv = ["decide", path, "--chain", chain, "--require", "REF"]
    assert run(*argv)[0] == 0
    code, out, err = run(*argv, "--nc", "tok-canary=Failed", "--json")
    live = json.loads(out)["live"]
    assert (code, live["permission"], live["reason"]) == (
        3,
        "REF",
        "T17: negative-control not live; flooring to Refused",
    )
    assert json.loads(err)["error"] == "below_required"
    assert run(*argv[:-1], "deny", "--nc", "tok-canary=Failed")[0] == 3  # its bottom, too


def test_a_fifo_is_refused_without_opening_it(tmp_path):
    fifo = tmp_path / "request.json"
    os.mkfifo(fifo)  # opening it to read would wait for a writer
    code, _, err = run("decide", fifo)
    assert (code, err.strip()) == (
        2,
        f"ostrel-quorvane: {fifo}: $: expected a regular file, not a FIFO",
    )


def test_standard_input_is_read_under_the_same_bound(tmp_path):
    code, out, _ = run("decide", "-", "--json", stdin=request())
    assert code == 0 and json.loads(out)["inputs"][0]["source"] == "-"
    big = tmp_path / "big.json"
    with big.open("wb") as file:
        file.truncate((128 << 20) + 1)  # sparse: nothing written, one byte past the bound
    code, _, err = run("decide", big)
    assert code == 2 and "expected at most 134,217,728 bytes (128 MiB)" in err


def test_closed_or_unreadable_standard_input_is_one_line(tmp_path):
    for stdin in (subprocess.DEVNULL, None):
        done = subprocess.run(
            [sys.executable, "-c", "import sys; sys.stdin.close(); sys.stdin = None; "
             "from ostrel_quorvane.cli import main; sys.exit(main(['decide', '-']))"],
            stdin=stdin, capture_output=True, text=True, timeout=60,
        )  # fmt: skip
        assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
    written_only = tmp_path / "out"
    with written_only.open("w") as unreadable:
        done = subprocess.run(
            [sys.executable, "-m", "ostrel_quorvane", "decide", "-"],
            stdin=unreadable, capture_output=True, text=True, timeout=60,
        )  # fmt: skip
    assert (done.returncode, done.stderr) == (
        2,
        "ostrel-quorvane: -: $: expected a readable UTF-8 file (Bad file descriptor)\n",
    )


def test_names_that_would_break_a_line_stay_on_one(tmp_path):
    odd = tmp_path / "a\u0085b\u2028c\u202ed.json"
    for json_errors in ([], ["--json"]):
        code, _, err = run("decide", odd, *json_errors)
        assert code == 2 and len(err.splitlines()) == 1, err


def test_a_full_disk_or_a_closed_pipe_is_one_line_and_a_status(tmp_path):
    with open("/dev/full", "w") as full:
        code, _, err = run("decide", AGENT, stdout=full)
    assert (code, err) == (4, "ostrel-quorvane: cannot write the output: No space left on device\n")
    # A reader that stops at once: the tool's writes meet a closed pipe.
    tool = subprocess.Popen(
        [sys.executable, "-m", "ostrel_quorvane", "decide", AGENT],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
    )  # fmt: skip
    tool.stdout.close()
    err = tool.stderr.read().decode()
    assert tool.wait(timeout=60) == 4
    assert err == "ostrel-quorvane: cannot write the output: Broken pipe\n"


@pytest.mark.parametrize(
    ("argv", "expected"),
    [
        (["decide", "{req}", "--json"], {"error": "refused_input", "path": "$"}),
        (["decide", "{bad}", "--json"], {"error": "malformed_input", "path": "$.claim_id"}),
        (["decide", "{req}", "--json", "--at", "soon"], {"error": "malformed_input", "file": "--at"}),
        (["decide", "{good}", "--json", "--require", "X"], {"error": "usage", "file": None}),
    ],
)  # fmt: skip
def test_errors_under_json_are_json_objects(argv, expected, tmp_path):
    req = written(tmp_path, request(allowed_use=""))
    bad = written(tmp_path, request(claim_id=7), "bad.json")
    good = written(tmp_path, request(), "good.json")
    names = {"{req}": str(req), "{bad}": str(bad), "{good}": str(good)}
    code, out, err = run(*[names.get(a, a) for a in argv])
    error = json.loads(err)
    assert code == 2 and out == "" and err.count("\n") == 1
    assert expected.items() <= error.items() and error["message"]


def test_input_errors_share_one_base_class():
    from ostrel_quorvane.request import EngineRefusal, InputError, RequestFileError

    assert issubclass(RequestFileError, InputError) and issubclass(EngineRefusal, InputError)


def decide(tmp_path, *argv, text=EXPIRING):
    code, out, err = run("decide", written(tmp_path, text), "--json", *argv)
    assert code == 0, err
    return json.loads(out)


def test_decide_at_a_moment_compiles_and_evaluates_as_of_it(tmp_path):
    # Valid until 09:00, decided as of 08:30: the token is evidence, not expired.
    record = decide(tmp_path, "--at", "2026-12-09T08:30:00Z", "--nc", "tok-canary=Live")
    assert record["permission"] == "ALR"
    assert record["live"]["permission"] == "ALR"
    assert record["compiled_at_utc"] == record["live"]["now_utc"] == "2026-12-09T08:30:00+00:00"
    assert decide(tmp_path, "--at", "2026-12-09T09:00:00Z")["permission"] == "EXP"
    # Without --at, one reading of the clock serves both, in the whole seconds the engine uses.
    record = decide(tmp_path, "--fingerprint", "ctx-ci-2026-12-09")
    assert record["compiled_at"] == record["live"]["now"] == int(record["compiled_at"])


def audit(tmp_path, record):
    path = written(tmp_path, json.dumps(record), "decision.json")
    return run("audit", path, "--chains", CHAINS)


def test_an_honest_record_audits_after_its_tokens_expired(tmp_path):
    record = decide(tmp_path, "--at", "2026-12-09T08:30:00Z", "--nc", "tok-canary=Live")
    code, out, err = audit(tmp_path, record)
    assert (code, err) == (0, "")
    assert "judged again as of 2026-12-09T08:30:00+00:00 give the recorded ALR" in out
    assert "give the recorded live ALR" in out
    path = written(tmp_path, json.dumps(record), "decision.json")
    code, out, _ = run("audit", path, "--chains", CHAINS, "--json")
    verdict = json.loads(out)
    assert (code, verdict["audit"], verdict["live_permission"]) == (0, "passed", "ALR")
    # A record written without the engine's reason passes; one without a required text is malformed.
    del record["live"]["reason"]
    assert audit(tmp_path, record)[0] == 0
    del record["compiled_at_utc"]
    assert audit(tmp_path, record)[0] == 2


@pytest.mark.parametrize(
    ("edit", "status", "message"),
    [
        (lambda r: r["inputs"][0]["request"].update(allowed_use=""), 2, "$.inputs: malformed context: allowed_use must not be empty"),
        (lambda r: r.pop("live"), 1, "audit failed: live: missing, though inputs[0] has a runtime"),
        (lambda r: r.update(compiled_at=r["compiled_at"] + 0.5), 1, "audit failed: compiled_at: "),
    ],
    ids=["refused by the engine", "live removed", "a fraction of a second"],
)  # fmt: skip
def test_records_the_engine_refuses_or_that_lost_a_part(edit, status, message, tmp_path):
    text = json.dumps({**json.loads(EXPIRING), "runtime": {"context_fingerprint": "fp"}})
    record = decide(tmp_path, "--at", "2026-12-09T08:30:00Z", text=text)
    edit(record)
    code, _, err = audit(tmp_path, record)
    assert code == status and message in err and err.count("\n") == 1, err


def forged(record, path, value):
    document = json.loads(json.dumps(record))
    *parents, last = path
    target = document
    for key in parents:
        target = target[key]
    target[last] = value
    return document


EDITS = [
    (("permission",), "AAA", "permission"),
    (("provenance_hash",), "0" * 64, "provenance_hash"),
    (("chain_hash",), "0" * 64, "chain_hash"),
    (("compiled_at",), 1765267200, "compiled_at"),
    (("compiled_at_utc",), "2026-12-09T08:00:00+00:00", "compiled_at"),
    (("derivation", 0, "note"), "profile satisfied at AAA", "derivation[0].note"),
    (("derivation", 0, "token_ids"), [], "derivation[0].token_ids"),
    (("inputs", 0, "request", "authority_ceiling"), "ESC", "permission"),
    (("inputs", 0, "request", "candidate_id"), "agent-other", "provenance_hash"),
    (("live", "permission"), "AAA", "live.permission"),
    (("live", "now"), 4102444800, "live.now"),
    (("live", "context_fingerprint"), "elsewhere", "live.permission"),
    (("live", "negative_control_states", "tok-canary"), "Failed", "live.permission"),
    (("live", "reason"), "fingerprint mismatch; returning Bottom", "live.reason"),
]


@pytest.mark.parametrize(
    ("path", "value", "field"), EDITS, ids=[e[2] + ":" + str(e[0][-1]) for e in EDITS]
)
def test_each_edited_field_fails_the_audit_naming_it(path, value, field, tmp_path):
    record = decide(tmp_path, "--at", "2026-12-09T08:30:00Z", "--nc", "tok-canary=Live")
    code, _, err = audit(tmp_path, forged(record, path, value))
    assert code == 1 and err.startswith(f"ostrel-quorvane: audit failed: {field}: "), err
    edited_record = written(tmp_path, json.dumps(forged(record, path, value)), "decision.json")
    code, out, err = run("audit", edited_record, "--chains", CHAINS, "--json")
    assert (code, out, json.loads(err)["error"], json.loads(err)["field"]) == (
        1,
        "",
        "audit_failed",
        field,
    )
