"""Identifiers that all land in one slot of an identifier table hashed with
the MurmurHash3 64-bit finaliser, for any table of up to 2^20 slots: found
by inverting the finaliser. Shared by bench/reliability_bench.py and the
reliability tests (tests/python/test_reliability_crafted_ids.py)."""

MASK = (1 << 64) - 1
# The inverses modulo 2^64 of the finaliser's two odd multipliers.
_INVERSE_FIRST = pow(0xFF51AFD7ED558CCD, -1, 1 << 64)
_INVERSE_SECOND = pow(0xC4CEB93FE53EC4F9, -1, 1 << 64)


def unmix(value: int) -> int:
    """The inverse of the MurmurHash3 64-bit finaliser."""
    value ^= value >> 33
    value = (value * _INVERSE_SECOND) & MASK
    value ^= value >> 33
    value = (value * _INVERSE_FIRST) & MASK
    value ^= value >> 33
    return value


def crafted_ids(count: int, offset: int = 0) -> list[int]:
    """`count` distinct identifiers whose finalised hashes have 20 low zero bits."""
    return [unmix((offset + i + 1) << 20) for i in range(count)]
