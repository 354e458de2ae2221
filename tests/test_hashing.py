"""Hash values of the hashable classes, checked against an independent SipHash-1-3."""

import struct

import _ostrel_quorvane as oq
from hypothesis import given
from hypothesis import strategies as st

MASK = (1 << 64) - 1


def _rotl(x, b):
    return ((x << b) | (x >> (64 - b))) & MASK


def siphash13_zero_key(data: bytes) -> int:
    v0, v1, v2, v3 = 0x736F6D6570736575, 0x646F72616E646F6D, 0x6C7967656E657261, 0x7465646279746573

    def sip_round():
        nonlocal v0, v1, v2, v3
        v0 = (v0 + v1) & MASK
        v1 = _rotl(v1, 13) ^ v0
        v0 = _rotl(v0, 32)
        v2 = (v2 + v3) & MASK
        v3 = _rotl(v3, 16) ^ v2
        v0 = (v0 + v3) & MASK
        v3 = _rotl(v3, 21) ^ v0
        v2 = (v2 + v1) & MASK
        v1 = _rotl(v1, 17) ^ v2
        v2 = _rotl(v2, 32)

    tail = len(data) % 8
    padded = data[: len(data) - tail] + data[len(data) - tail :].ljust(7, b"\0")
    padded += bytes([len(data) & 0xFF])
    for (m,) in struct.iter_unpack("<Q", padded):
        v3 ^= m
        sip_round()
        v0 ^= m
    v2 ^= 0xFF
    for _ in range(3):
        sip_round()
    return v0 ^ v1 ^ v2 ^ v3


def python_hash(value: int) -> int:
    signed = value - (1 << 64) if value >= 1 << 63 else value
    return -2 if signed == -1 else signed


def minimal_roles(n):
    roles = {getattr(oq.ChainRole, r): 0 for r in ("Bottom", "ExpiryFloor", "Refused",
                                                  "Unsatisfied", "DisallowedUsesCeiling")}  # fmt: skip
    return roles | {oq.ChainRole.BlockerThreshold: n - 1, oq.ChainRole.Top: n - 1}


def test_reference_matches_the_published_vector():
    assert python_hash(siphash13_zero_key(b"AAA\xff")) == 3099773850204345921
    assert hash(oq.Permission.AAA) == 3099773850204345921


NAMES = st.text(alphabet="ABCXYZabcxyz0189_-", min_size=1, max_size=64).filter(
    lambda s: s[0] != "-"
)


@given(st.lists(NAMES, min_size=2, max_size=8, unique=True))
def test_level_and_chain_hashes(names):
    chain = oq.PermissionChain.new(names, minimal_roles(len(names)))
    for level in chain.ascending():
        expected = python_hash(siphash13_zero_key(level.as_str().encode() + b"\xff"))
        assert hash(level) == expected
    digest = bytes.fromhex(chain.chain_hash().to_hex())
    assert hash(chain.chain_hash()) == python_hash(
        siphash13_zero_key(struct.pack("<Q", 32) + digest)
    )


def test_role_hashes_are_name_hashes():
    for name in ("Bottom", "ExpiryFloor", "Refused", "Unsatisfied", "DisallowedUsesCeiling",
                 "BlockerThreshold", "Top"):  # fmt: skip
        role = getattr(oq.ChainRole, name)
        assert hash(role) == python_hash(siphash13_zero_key(name.encode() + b"\xff"))
