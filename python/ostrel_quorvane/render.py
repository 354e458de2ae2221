"""How the command-line tool shows a decision on a terminal: a summary, the derivation as a
table, and the chain with each step marked where it left the judgment."""

from __future__ import annotations

import json
import os
import re
from typing import TextIO

from _ostrel_quorvane import ChainRole, PermissionChain

from ostrel_quorvane.decision import Decision
from ostrel_quorvane.files import clip
from ostrel_quorvane.record import utc_text

__all__ = ["Style", "show_decision", "shown"]


class Style:
    """ANSI styling, only on a terminal and never when NO_COLOR is set."""

    def __init__(self, stream: TextIO) -> None:
        self.on = (
            stream.isatty() and "NO_COLOR" not in os.environ and os.environ.get("TERM") != "dumb"
        )

    def __call__(self, text: str, *codes: int) -> str:
        if not self.on or not codes:
            return text
        return f"\x1b[{';'.join(map(str, codes))}m{text}\x1b[0m"


BOLD, DIM, RED, GREEN, YELLOW, CYAN = 1, 2, 31, 32, 33, 36


def _verdict_colour(chain: PermissionChain, level: str) -> int:
    """Green at or above the blocker threshold, red at or below Refused, yellow between."""
    parsed = chain.parse(level)
    rank = chain.rank(parsed) if parsed is not None else None
    if rank is None:
        return RED
    if rank >= (chain.rank(chain.role(ChainRole.BlockerThreshold)) or 0):
        return GREEN
    if rank <= (chain.rank(chain.role(ChainRole.Refused)) or 0):
        return RED
    return YELLOW


def _table(rows: list[list[str]], header: list[str], style: Style) -> list[str]:
    widths = [max(len(row[i]) for row in [header, *rows]) for i in range(len(header))]

    def line(cells: list[str]) -> str:
        padded = [cell.ljust(width) for cell, width in zip(cells, widths, strict=True)]
        return "  " + "  ".join(padded).rstrip()

    return [style(line(header), BOLD), *(line(row) for row in rows)]


def _chain_picture(
    chain: PermissionChain, passed: list[str], final: str, style: Style, width: int = 96
) -> list[str]:
    """The chain bottom to top, the final level in brackets, each step's number under the
    level it left the judgment at."""
    marks: dict[str, list[str]] = {}
    for number, level in enumerate(passed, 1):
        marks.setdefault(level, []).append(str(number))
    cells = []
    for level in (p.as_str() for p in chain.ascending()):
        name = f"[{level}]" if level == final else f" {level} "
        mark = ",".join(marks.get(level, []))
        cell_width = max(len(name), len(mark) + 1)
        cells.append((name.ljust(cell_width), (" " + mark).ljust(cell_width), level))
    lines: list[str] = []
    row_names, row_marks, used = "chain ", "steps ", 6
    for name, mark, level in cells:
        if used + len(name) > width and used > 6:
            lines += [row_names.rstrip(), row_marks.rstrip()]
            row_names, row_marks, used = "      ", "      ", 6
        colour = (
            (BOLD, _verdict_colour(chain, final))
            if level == final
            else ((CYAN,) if level in marks else (DIM,))
        )
        row_names += style(name, *colour)
        row_marks += style(mark, CYAN)
        used += len(name)
    lines += [row_names.rstrip(), row_marks.rstrip()]
    return [line for line in lines if line.strip()]


# Characters that would act on a terminal rather than show: controls, line and paragraph
# separators, bidirectional overrides, and the lone surrogates that undecodable bytes of a file
# name or option become.
_UNSAFE = re.compile(
    "[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u2028\u2029\u202a-\u202e\u2066-\u2069\ud800-\udfff]"
)


def shown(text: str) -> str:
    """`text` safe to print: each character that would act rather than show is escaped, and a
    text too long to read is cut to its start and end."""
    return clip(_UNSAFE.sub(lambda match: f"\\u{{{ord(match.group()):x}}}", text))


def _unique(ids: list[str]) -> list[str]:
    return list(dict.fromkeys(ids))


def show_decision(decision: Decision, out: TextIO) -> None:
    """The decision drawn for a terminal: what it was made from, the derivation as a table, the
    chain with the level each step left it at, and the live evaluation. ``decision`` keeps its
    judgment (``judgment=True``)."""
    style = Style(out)
    judgment = decision.judgment
    assert judgment is not None, "a decision is shown from its judgment"
    derivation = judgment.derivation
    final = judgment.permission_str
    chain_hash = judgment.chain_hash.to_hex()
    chain_note = "" if decision.chain_given else "  (default chain)"
    head = [
        (
            "request" if len(decision.sources) == 1 else "requests",
            shown(" + ".join(decision.sources)),
        ),
        ("permission", style(final, BOLD, _verdict_colour(decision.chain, final))),
        ("chain", chain_hash + chain_note),
        ("provenance", derivation.provenance_hash),
        ("compiled at", utc_text(derivation.compiled_at)),
    ]
    lines = [f"{label:<12}{value}" for label, value in head]
    steps = derivation.steps
    rows = [
        [
            str(number),
            step.phase,
            step.permission_after.as_str(),
            shown(step.note),
            shown(", ".join(_unique(step.token_ids))),
        ]
        for number, step in enumerate(steps, 1)
    ]
    lines += ["", "derivation"]
    lines += _table(rows, ["#", "phase", "after", "note", "token ids"], style)
    lines += [""]
    lines += _chain_picture(
        decision.chain, [step.permission_after.as_str() for step in steps], final, style
    )
    if decision.live is not None:
        live = decision.live
        moment = json.loads(decision.record)["live"]  # the moment of use, as recorded
        mode = "strict" if moment["strict_mode"] else "lenient"
        # A live answer is the compiled level or one of the default chain's floors.
        judged_on = PermissionChain.default_chain() if live.floored else decision.chain
        colour = _verdict_colour(judged_on, live.permission)
        fingerprint = json.dumps(moment["context_fingerprint"], ensure_ascii=False)
        lines += [
            "",
            f"{'live':<12}{style(live.permission, BOLD, colour)} at {moment['now_utc']}"
            f" (fingerprint {shown(fingerprint)}, {mode})",
        ]
        if live.reason:
            lines.append(f"{'':<12}{live.reason}")
    out.write("\n".join(lines) + "\n")
