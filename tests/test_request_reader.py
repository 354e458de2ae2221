"""The native request reader on what only it can get wrong: bytes that are not JSON, documents cut
short, files that are not regular, and requests written into decision records and read back."""

import io
import json
import os
from pathlib import Path

import _ostrel_quorvane as oq
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from ostrel_quorvane import cli
from ostrel_quorvane.batch import decide_many
from ostrel_quorvane.decision import decide
from ostrel_quorvane.files import InputError, RequestFileError, read_document
from ostrel_quorvane.record import steps_of
from ostrel_quorvane.request import (
    load_json,
    load_request,
    loads_request,
    read_chain,
    read_request,
)

EXAMPLES = Path(__file__).parents[1] / "examples"
BASE = (EXAMPLES / "agent-tool-run" / "request.json").read_bytes()


def refusal(data):
    """(path, detail) of the reader's refusal of ``data``."""
    with pytest.raises(InputError) as info:
        loads_request(data)
    return info.value.path, info.value.detail


MALFORMED_BYTES = [
    (b'{"claim_id": "\xff"}', "position 14: invalid start byte"),
    (b'{"claim_id": "\xc3"}', "position 14: invalid continuation byte"),
    (b'{"claim_id": "\xed\xa0\x80"}', "position 14: invalid continuation byte"),
    (b'{"claim_id": "\xf4\x90\x80\x80"}', "position 14: invalid continuation byte"),
    (b'{"claim_id": "\xc0\xaf"}', "position 14: invalid start byte"),
    (b'{"a": 1}\xe2\x82', "unexpected end of data"),
    (b"\xef\xbb\xbf{}", "Unexpected UTF-8 BOM"),
    (b'{"a": "b\x01"}', "Invalid control character at line 1 column 9"),
    (b'{"a": "\\x"}', "Invalid \\escape"),
    (b'{"a": "\\u12g4"}', "Invalid \\escape"),
    (b'{"a" 1}', "Expecting ':' delimiter at line 1 column 6"),
    (b"{1: 2}", "Expecting property name enclosed in double quotes at line 1 column 2"),
    (b"[1 2]", "Expecting ',' delimiter at line 1 column 4"),
    (b"[1,]", "Expecting value at line 1 column 4"),
    (b"{} {}", "Extra data at line 1 column 4"),
    (b'"\\ud800" 1', "Extra data at line 1 column 10"),
    (b"\n\n  ", "Expecting value at line 3 column 3"),
    # Words and numbers that only start like JSON's.
    (b'{"gaps": nope}', "Expecting value at line 1 column 10"),
    (b'{"description": nul}', "Expecting value"),
    (b'{"tokens": [{"details": [nan]}]}', "Expecting value"),
    (b'{"chain": {"roles": {"Top": 01}}}', "Expecting value"),
    (b'{"a": [-01, -]}', "Expecting value at line 1 column 8"),
    (b'{"a": -a}', "Expecting value"),
    (b'{"a": 1-1}', "Expecting value"),
    (b'{"a": truex}', "Expecting value"),
]


@pytest.mark.parametrize(
    ("data", "complaint"), MALFORMED_BYTES, ids=[c for _, c in MALFORMED_BYTES]
)
def test_bytes_that_are_not_strict_json_are_refused_at_the_root(data, complaint):
    path, detail = refusal(data)
    assert path == "$" and complaint in detail


# Faults of one value of well-formed JSON text: each is named at the value's own path.
VALUE_FAULTS = [
    (b"[" * 501 + b"]" * 501, "$" + "[0]" * 500, "expected at most 500 levels of nested arrays"),
    (b'{"a": Infinity}', "$.a", "expected finite numbers, got Infinity"),
    (b'{"a": [1e999]}', "$.a[0]", "expected finite numbers, got 1e999"),
    (b'{"a": {"b": ' + b"1" * 4301 + b"}}", "$.a.b", "an integer of at most 4300 digits"),
    (b'{"\\u00e9": 1, "\xc3\xa9": 2}', "$", 'duplicated key "\\u00e9"'),
    (b'{"tokens": [{"details": {"k": 1, "k": 2}}]}', "$.tokens[0].details", 'duplicated key "k"'),
    (b'{"x": {"\\udc00": {"k": 1, "k": 2}}}', '$.x["\\udc00"]', 'duplicated key "k"'),
]


@pytest.mark.parametrize(("data", "path", "complaint"), VALUE_FAULTS)
def test_a_fault_of_one_value_is_named_at_its_own_path(data, path, complaint):
    found, detail = refusal(data)
    assert (found, complaint in detail) == (path, True)
    assert "sys." not in detail


def test_details_past_the_engine_s_bounds_are_named_where_they_are():
    document = json.loads(BASE)
    token = document["tokens"][0]
    token["details"] = {"a": [{"b": 1}]}
    text = json.dumps(document)
    big = text.replace('{"b": 1}', "1" + "0" * 400)
    assert refusal(big.encode()) == (
        "$.tokens[0].details.a[0]",
        "expected a number details can hold, got an integer of 401 digits",
    )
    deep = text.replace('{"b": 1}', "[" * 130 + "]" * 130)
    path, detail = refusal(deep.encode())
    assert path.startswith("$.tokens[0].details.a[0]") and "at most 128 levels" in detail


def test_numbers_too_small_for_a_double_read_as_zero_and_negative_zero_as_zero():
    document = json.loads(BASE)
    document["gaps"][3]["bound_value"] = 0.5
    text = json.dumps(document).replace('"bound_value": 0.5', '"bound_value": 1e-400')
    assert oq._check_json(text) is None
    loads_request(text)
    document["chain"] = json.loads((EXAMPLES / "chains" / "default.json").read_text())
    text = json.dumps(document).replace('"Bottom": 0', '"Bottom": -0')
    assert loads_request(text).chain == oq.PermissionChain.default_chain()


def test_json_faults_come_before_faults_of_shape_wherever_they_are():
    # An unknown field first, a duplicated key deep inside: the document is not JSON at all.
    data = b'{"colour": 1, "tokens": [{"details": {"k": [1, {"x": 1, "x": 2}]}}]}'
    assert refusal(data) == (
        "$.tokens[0].details.k[1]",
        'expected an object without duplicated key "x"',
    )
    # A lone surrogate is named where it is, also in a key, after any fault of the JSON itself.
    assert refusal(b'{"colour": ["\\udc00"]}') == (
        "$.colour[0]",
        "expected Unicode text (a lone surrogate escape is not)",
    )
    assert refusal(b'{"a": {"\\ud800x": 1}}')[0] == '$.a["\\ud800x"]'
    assert refusal(b'{"a": "\\ud800", "b": NaN}')[1] == "expected finite numbers, got NaN"


def test_a_request_cut_short_anywhere_is_refused_with_a_path():
    for cut in range(len(BASE.rstrip())):
        with pytest.raises(InputError) as info:
            loads_request(BASE[:cut])
        assert info.value.path.startswith("$"), cut


def test_escaped_text_reads_as_the_text_it_spells():
    document = json.loads(BASE)
    document["claim_id"] = 'claim \u00e9\u2028"quoted"\\\U0001f600\t'
    escaped = json.dumps(document, ensure_ascii=True).encode()
    assert b"\\u00e9" in escaped
    plain = loads_request(json.dumps(document, ensure_ascii=False))
    assert loads_request(escaped).context.provenance_hash() == plain.context.provenance_hash()
    names = json.dumps({**document, "claim\\u005fid": "x"}).replace(
        "claim\\\\u005fid", "claim\\u005fid"
    )
    assert refusal(names.encode())[1].startswith("expected an object without duplicated key")


@pytest.mark.parametrize(
    ("text", "seconds"),
    [
        ("2026-12-09T08:00:00Z", 1796803200.0),
        ("2026-12-09t08:00:00.1234567z", 1796803200.123456),
        ("2026-12-09T08:00:00-23:59", 1796889540.0),
        ("2024-02-29T00:00:00+00:00", 1709164800.0),
        ("0001-01-01T00:00:00+01:00", -62135600400.0),
        ("9999-12-31T23:59:59.9999999+00:00", 253402300800.0),
    ],
)
def test_rfc3339_times_read_as_python_reads_them(text, seconds):
    assert oq._read_time(json.dumps(text)) == (True, seconds)


def test_times_after_2255_read_as_pythons_datetime_reads_them():
    from datetime import datetime

    for text in [
        "7510-06-09T20:53:33.861557Z",
        "9999-12-31T23:59:59.999999Z",
        "2300-01-01T00:00:00.000001-05:30",
    ]:
        assert oq._read_time(json.dumps(text)) == (
            True,
            datetime.fromisoformat(text.upper()).timestamp(),
        )


def test_a_time_is_refused_at_its_own_path():
    assert oq._read_time(json.dumps("\ud800"), "--at") == (
        False, ("format", "--at", "expected Unicode text (a lone surrogate escape is not)")
    )  # fmt: skip


@pytest.mark.parametrize(
    "text",
    ["2026-12-09T08:00:60Z", "2026-02-29T00:00:00Z", "0000-01-01T00:00:00Z", "2026-12-09T24:00:00Z",
     "2026-12-09T08:00:00+24:00", "2026-12-09T08:00:00", "2026-12-09 08:00:00Z", "2026-12-09T08:00:00.Z",
     "+2026-12-09T08:00:00Z", "2026-12-09T08:00:00Z "],
)  # fmt: skip
def test_times_that_are_not_strict_rfc3339_are_refused(text):
    ok, (kind, path, detail) = oq._read_time(json.dumps(text))
    assert (ok, kind, path) == (False, "format", "$")
    assert detail.startswith("expected Unix seconds or RFC 3339 text with a UTC offset, got")


def test_files_that_are_not_regular_are_never_read(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    for path, complaint in [
        (tmp_path, "expected a regular file, not a directory"),
        (fifo, "expected a regular file, not a FIFO"),
        (tmp_path / "missing", "(No such file or directory)"),
    ]:
        with pytest.raises(RequestFileError) as info:
            load_request(path)
        assert complaint in info.value.detail
    big = tmp_path / "big.json"
    big.write_bytes(b" " * 5000)
    assert oq._read_file(str(big), 4999, 64) == (
        False, ("format", "$", "expected at most 4,999 bytes (0 MiB)")
    )  # fmt: skip
    with pytest.raises(ValueError):
        oq._read_file(str(big), 100, 2**64 - 8)
    ok, (data, size) = oq._read_file(str(big), 5000, 64)
    assert ok and size == 5000 and len(data) >= 5064 and data[5000:] == bytes(len(data) - 5000)
    assert read_document(big) == b" " * 5000


def test_a_large_file_is_read_in_place_and_its_document_built_on_demand(tmp_path):
    document = json.loads(BASE)
    document["tokens"] = document["tokens"] * 2000
    for i, token in enumerate(document["tokens"]):
        token["token_id"] = f"tok-{i}"
    path = tmp_path / "large.json"
    path.write_text(json.dumps(document, indent=1))
    request = load_request(path)
    assert request._document is None and request.document == document


def test_loads_request_takes_text_and_bytes_alike():
    text = BASE.decode()
    for data in (BASE, text, bytearray(BASE), memoryview(BASE)):
        request = loads_request(data, "given")
        assert request.source == "given" and request.document == json.loads(text)
    assert refusal('{"claim_id": "\ud800"}')[1].startswith("expected a readable UTF-8 file")


def test_read_request_of_a_parsed_document_names_paths_below_its_own():
    document = json.loads(BASE)
    document["gaps"][0]["status"] = "Open"
    with pytest.raises(InputError) as info:
        read_request(document, "record.json", path="$.inputs[0].request")
    assert (info.value.path, info.value.detail) == (
        "$.inputs[0].request.gaps[0]",
        "Unknown gap status: Open",
    )
    document["gaps"][0]["bound_value"] = float("nan")
    with pytest.raises(RequestFileError) as info:
        read_request(document, "record.json", path="$.inputs[0].request")
    assert info.value.detail == "expected finite numbers"


def record_of(*argv):
    out = io.StringIO()
    assert cli.main([*map(str, argv), "--json"], out) == 0
    return out.getvalue()


@pytest.mark.parametrize(
    "argv",
    [
        ["decide", EXAMPLES / "agent-tool-run" / "request.json"],
        ["decide", EXAMPLES / "provenance-mismatch" / "request.json", "--at", "2026-12-09T10:00:00Z"],
        ["compose", EXAMPLES / "composed-pair" / "a.json", EXAMPLES / "composed-pair" / "b.json"],
        ["decide", EXAMPLES / "custom-chain" / "request.json", "--chain", EXAMPLES / "chains" / "data-access.json"],
    ],
)  # fmt: skip
def test_the_native_record_says_what_the_record_of_python_objects_says(argv):
    text = record_of(*argv)
    record = json.loads(text)
    chain = read_chain(record["chain"])
    requests = [load_request(Path(item["source"]), chain) for item in record["inputs"]]
    for item, request in zip(record["inputs"], requests, strict=True):
        assert item["request"] == request.document
        # Written into the record and read back, a request is the same context.
        again = read_request(item["request"], chain=chain)
        assert again.context.provenance_hash() == request.context.provenance_hash()
        first, second = (steps_of(oq.compile_static(r.context, chain)) for r in (request, again))
        assert first == second
    assert text == json.dumps(record, indent=2, ensure_ascii=False) + "\n"


def test_a_record_shows_every_kind_of_string_as_python_would():
    document = json.loads(BASE)
    document["claim_id"] = 'q"\\\n\x01\x7f\u2028\U0001f600'
    decision = decide(json.dumps(document), source="in\nline", at=1.8e9)
    python = json.dumps(json.loads(decision.record), sort_keys=True, separators=(",", ":"),
                        ensure_ascii=False)  # fmt: skip
    assert decision.record == python and "\n" not in decision.record
    assert json.loads(decision.record)["inputs"][0]["request"] == document


W1_LINE = json.dumps(json.loads(BASE))


def test_decide_many_yields_a_line_per_request_in_order_and_goes_on_after_a_bad_one():
    lines = [W1_LINE, "", "{", '{"claim_id": 1}', W1_LINE.encode(), b"\n"]
    out = list(decide_many(lines, at="2026-12-09T09:00:00Z", source="in"))
    assert len(out) == 4
    records = [json.loads(line) for line in out]
    assert [r.get("line") for r in records] == [None, 3, 4, None]
    assert records[1]["error"] == "malformed_input" and records[1]["path"] == "$"
    assert records[2] == {
        "line": 4, "error": "malformed_input", "path": "$.claim_id",
        "message": "expected a string, got 1",
    }  # fmt: skip
    assert (
        records[0]["inputs"][0]["source"] == "in:1" and records[3]["inputs"][0]["source"] == "in:5"
    )
    assert records[0]["compiled_at_utc"] == "2026-12-09T09:00:00+00:00"
    assert records[0]["live"]["permission"] == records[0]["permission"]


def test_a_batch_line_is_judged_as_decide_judges_its_file(tmp_path):
    document = json.loads(BASE)
    document["runtime"]["context_fingerprint"] = ""
    path = tmp_path / "request.json"
    path.write_text(json.dumps(document))
    single = io.StringIO()
    assert cli.main(["decide", str(path), "--json"], single) == 0
    batched = json.loads(next(decide_many([json.dumps(document)])))
    assert batched["live"] == json.loads(single.getvalue())["live"]
    assert batched["live"]["reason"] != "live permission read"
    del document["runtime"]
    line = next(decide_many([json.dumps(document)], at="2026-12-09T09:00:00Z"))
    assert json.loads(line)["live"]["now"] == 1796806800.0
    assert list(decide_many(["\x0b"])) != []  # not JSON whitespace: a line, refused


def test_a_line_longer_than_the_bound_is_cut_and_refused_without_reading_it_whole(monkeypatch):
    from ostrel_quorvane import batch

    monkeypatch.setattr(batch, "MAX_DOCUMENT_BYTES", 100)
    stream = io.BytesIO(b"x" * 250 + b"\n" + b"[]\n")
    lines = list(batch.lines_of(stream))
    assert [len(line) for line in lines] == [101, 3]
    out = [json.loads(line) for line in decide_many([lines[0]])]
    assert out[0]["message"] == "expected at most 100 bytes (0 MiB)"


@pytest.mark.parametrize("from_stdin", [False, True])
def test_decide_batch_writes_records_and_says_whether_any_line_failed(
    from_stdin, tmp_path, monkeypatch
):
    batch_file = tmp_path / "batch.jsonl"
    batch_file.write_text(W1_LINE + "\n" + W1_LINE + "\n")
    if from_stdin:
        monkeypatch.setattr("sys.stdin", io.TextIOWrapper(io.BytesIO(batch_file.read_bytes())))
    out = io.StringIO()
    assert cli.main(["decide", "--batch", "-" if from_stdin else str(batch_file)], out) == 0
    assert [json.loads(line)["permission"] for line in out.getvalue().splitlines()] == ["ALR"] * 2
    batch_file.write_text(W1_LINE + "\n[]\n")
    assert cli.main(["decide", "--batch", str(batch_file)], io.StringIO()) == 2


@pytest.mark.parametrize(
    ("argv", "complaint"),
    [
        (["decide"], "decide takes one REQUEST.json or --batch FILE"),
        (["decide", "r.json", "--batch", "b.jsonl"], "decide takes one REQUEST.json or --batch FILE"),
        (["decide", "--batch", "b.jsonl", "--nc", "t=Live", "--lenient"], "--nc, --lenient: not with --batch"),
        (["decide", "--batch", "-", "--chain", "-"], "can be read only once"),
    ],
)  # fmt: skip
def test_decide_batch_refuses_options_each_line_carries_itself(argv, complaint, capsys):
    assert cli.main(argv, io.StringIO()) == 2
    assert complaint in capsys.readouterr().err


@settings(max_examples=150, deadline=None)
@given(st.binary(max_size=64), st.integers(0, len(BASE)))
def test_any_bytes_spliced_into_a_request_are_read_or_refused_with_a_path(noise, at):
    data = BASE[:at] + noise + BASE[at:]
    try:
        request = loads_request(data)
    except InputError as error:
        assert error.path.startswith("$")
        return
    chain = request.chain or oq.PermissionChain.default_chain()
    try:
        oq.compile_static(request.context, chain)
    except oq.QuorvaneError as error:  # a context the engine judges malformed, say so
        assert str(error).startswith("malformed context")


def test_load_json_reads_records_by_the_same_rules(tmp_path):
    path = tmp_path / "record.json"
    path.write_bytes(b'{"a": [1, {"b": "\\udfff"}]}')
    with pytest.raises(RequestFileError) as info:
        load_json(path)
    assert info.value.path == "$.a[1].b"
    path.write_bytes(b'{"a": [1, {"b": "ok"}]}')
    assert load_json(path) == {"a": [1, {"b": "ok"}]}
