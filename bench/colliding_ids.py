"""Identifiers chosen to collide in hash tables, shared by
bench/reliability_bench.py and the reliability tests.

crafted_ids: integers that all land in one slot of an identifier table
hashed with the MurmurHash3 64-bit finaliser, for any table of up to 2^20
slots, found by inverting the finaliser (tests/python/test_reliability_crafted_ids.py).

colliding_texts: text identifiers (TREC query and document ids) that all
have the same std::hash value under 64-bit libstdc++
(tests/python/test_reliability_trec_input.py)."""

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


# --- text identifiers that collide under libstdc++'s std::hash ---------------
#
# std::hash<std::string_view> on 64-bit libstdc++ is MurmurHash64A with the
# seed 0xc70f6907: per 8-byte block, h = (h ^ mix(block)) * MUL with an
# invertible mix, then a bijective finish. So for any state before a pair of
# blocks and any target state after it, each first block has exactly one
# second block that reaches the target; about one try in 3,000 gives one of
# printable ASCII. Pairs crafted for the same target leave every identifier
# in the same state, so identifiers made of several such pairs, each pair
# chosen independently, all have the same hash: `count` of them from about
# count ** (1 / pairs) crafted pairs per position.

_MUL = (0xC6A4A793 << 32) + 0x5BD1E995
_INVERSE_MUL = pow(_MUL, -1, 1 << 64)
_LIBSTDCXX_SEED = 0xC70F6907
_PRINTABLE = bytes(range(0x21, 0x7F))


def _shift_mix(value: int) -> int:
    return value ^ (value >> 47)  # its own inverse: 47 >= 32


def _block_mix(block: int) -> int:
    return (_shift_mix((block * _MUL) & MASK) * _MUL) & MASK


def _block_unmix(value: int) -> int:
    return (_shift_mix((value * _INVERSE_MUL) & MASK) * _INVERSE_MUL) & MASK


def libstdcxx_hash(data: bytes) -> int:
    """std::hash<std::string_view> of `data` as 64-bit libstdc++ computes it."""
    length = len(data)
    whole = length & ~7
    state = _LIBSTDCXX_SEED ^ ((length * _MUL) & MASK)
    for start in range(0, whole, 8):
        state = ((state ^ _block_mix(int.from_bytes(data[start:start + 8], "little"))) * _MUL) & MASK
    if length & 7:
        state = ((state ^ int.from_bytes(data[whole:], "little")) * _MUL) & MASK
    state = (_shift_mix(state) * _MUL) & MASK
    return _shift_mix(state)


def _pairs_to(state: int, target: int, count: int, rng) -> list[bytes]:
    """`count` distinct printable 16-byte strings taking `state` to `target`."""
    needed = (target * _INVERSE_MUL) & MASK
    found: set[bytes] = set()
    while len(found) < count:
        first = bytes(rng.choice(_PRINTABLE) for _ in range(8))
        after_first = ((state ^ _block_mix(int.from_bytes(first, "little"))) * _MUL) & MASK
        second = _block_unmix(needed ^ after_first).to_bytes(8, "little")
        if all(0x21 <= byte < 0x7F for byte in second):
            found.add(first + second)
    return sorted(found)


def colliding_texts(count: int, *, pairs: int = 2, seed: int = 1) -> list[str]:
    """`count` distinct printable identifiers of 16 * `pairs` bytes, all with
    one std::hash value (as 64-bit libstdc++ computes it), so they share a
    bucket of any std::unordered_map and a slot of any table indexed by
    hash bits."""
    import random

    rng = random.Random(seed)
    per_pair = 1
    while per_pair ** pairs < count:
        per_pair += 1
    state = _LIBSTDCXX_SEED ^ ((16 * pairs * _MUL) & MASK)
    choices = []
    for _ in range(pairs):
        target = rng.getrandbits(64)
        choices.append(_pairs_to(state, target, per_pair, rng))
        state = target
    texts = []
    for index in range(count):
        parts = []
        for options in choices:
            index, pick = divmod(index, per_pair)
            parts.append(options[pick])
        texts.append(b"".join(parts).decode("ascii"))
    return texts
