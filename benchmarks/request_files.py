"""Request files of a chosen size, for timing the request path."""

import json

HASH = "2d83fd3cbe190f01986de3ec08ee002057db750e494bfe3d7a41525c1f4b6731"


def token(i, gap):
    return {
        "token_id": f"tok-{i}",
        "token_type": "attestation",
        "schema_version": "1",
        "status": "valid",
        "closes_gaps": [gap] if i % 2 == 0 else [],
        "bounds_gaps": [] if i % 2 == 0 else [gap],
        "provenance_hash": HASH,
        "issued_at": "2026-12-09T08:00:00Z",
        "expires_at": 4_000_000_000,
        "issuer": "https://token.ci.example",
        "details": {"subject": f"repo:infra/terraform:run:{i}", "audience": "ci", "n": i},
    }


def request(tokens, gaps=8, profiles=6):
    """A W1-shaped request: `gaps` gaps, `profiles` profiles over them, `tokens` tokens."""
    gap_ids = [f"g{i}" for i in range(gaps)]
    levels = ["AAA", "ALR", "ESC", "EXP", "AEX", "REV"]
    return {
        "claim_id": "claim-7",
        "candidate_id": "agent-7",
        "context_id": "ctx-42",
        "allowed_use": "tool:run",
        "membership": "InClass",
        "authority_ceiling": "ALR",
        "expiry": {"at": 4_000_000_000},
        "gaps": [
            {"gap_id": g, "gap_type": "evidence", "status": ["open", "bounded", "closed"][i % 3]}
            for i, g in enumerate(gap_ids)
        ],
        "profiles": [
            {
                "permission": levels[p % len(levels)],
                "required_gaps": [
                    {"gap_id": gap_ids[p % gaps], "minimum_status": "bounded"},
                    {
                        "any_of": [
                            {"gap_id": gap_ids[(p + 1) % gaps], "minimum_status": "closed"},
                            {"gap_id": gap_ids[(p + 2) % gaps], "minimum_status": "bounded"},
                        ]
                    },
                ],
            }
            for p in range(profiles)
        ],
        "tokens": [token(i, gap_ids[i % gaps]) for i in range(tokens)],
        "disallowed_uses": ["tool:delete", "tool:admin"],
    }


def text(tokens, **shape):
    """The request as a machine writes it: one line, with a space after each separator."""
    return json.dumps(request(tokens, **shape)).encode()


if __name__ == "__main__":
    import sys

    sys.stdout.buffer.write(text(int(sys.argv[1])))
