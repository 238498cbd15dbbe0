"""Hostile DLPack and Arrow producers for the boundary fuzzer: shapes,
strides, byte offsets and Arrow offsets and lengths drawn from the edges of
what their types hold, over 64 bytes of real memory (hostile_producers.py in
tests/python builds them).

Each kind of producer has a fate known by how it is drawn, and its items
say what the call must then see:

- "generic": a size that cannot exist (a count past size_t, a byte offset
  past ptrdiff_t or outside the address space). The module reads the object
  item by item: its items are a few random rows (or identifiers), or none
  (its own TypeError).
- "too large": real sizes whose copy needs more than PTRDIFF_MAX bytes,
  refused before any memory is asked for: MemoryError in the readings named
  by `too_large_in` (call_model.py), item by item in any other.
- "fits": small sizes inside the memory: its items are what the memory holds
  (read_memory()), so that reading the memory and reading the items agree.

Sizes that exist but reach past the 64 bytes are never drawn: a producer
that lies about its memory cannot be told from one that does not.
"""
from hostile_producers import HostileIdentifiers, HostileList, HostileTensor

I64_MAX = 2 ** 63 - 1
# Far below any user-space address: a walk this far back leaves the address space.
BELOW_ZERO = 2 ** 56
MEMORY_BYTES = 64
SIZES = {"int8": 1, "uint8": 1, "float32": 4, "float64": 8, "int64": 8}
WIDE = ("float32", "float64", "int64")


def _items(b, rows):
    """Random rows (or identifiers, rows=False) for a producer read item by item."""
    if b.chance(0.25):
        return None
    if not rows:
        return [b.s.below(12) for _ in range(b.s.below(6))]
    d = b.s.below(5)
    return [[b.plain_float() for _ in range(d)] for _ in range(b.s.below(6))]


def _near(b, value, spread=4):
    return value + b.s.below(spread)


def _fitting_offset(b, reach_low, reach_high, size):
    """A byte offset that keeps [offset + low, offset + high + size) inside the memory, or None."""
    lowest, highest = -reach_low, MEMORY_BYTES - (reach_high + size)
    return None if highest < lowest else lowest + b.s.below(highest - lowest + 1)


def _fitting_tensor(b, ndim):
    dtype = b.pick(("int8", "uint8", "float32", "float64", "int64"))
    size = SIZES[dtype]
    for _ in range(4):
        shape = tuple(b.s.below(4 if ndim == 2 else 7) for _ in range(ndim))
        strides = None if b.chance(0.4) else tuple(b.s.below(7) - 3 for _ in range(ndim))
        effective = strides or ((shape[1], 1) if ndim == 2 else (1,))
        if 0 in shape:
            low = high = 0
        else:
            ends = [(n - 1) * s * size for n, s in zip(shape, effective)]
            low, high = sum(e for e in ends if e < 0), sum(e for e in ends if e > 0)
        offset = _fitting_offset(b, low, high, size)
        if offset is not None:
            if b.chance(0.5):
                offset -= offset % size  # aligned: float32 rows may be read in place
                if offset + low < 0:
                    offset += size
                if offset + high + size > MEMORY_BYTES:
                    continue
            tensor = HostileTensor(shape, strides, dtype, offset)
            tensor.items = tensor.read_memory()
            return tensor
    return HostileTensor((0,) * ndim, None, dtype)


def tensor_batch(b):
    """A 2-D DLPack producer."""
    kind = b.s.below(7)
    dtype = b.pick(tuple(SIZES))
    size = SIZES[dtype]
    if kind == 0:  # rows x columns past size_t, every element at one address
        rows = 3 + b.s.below(5)
        return HostileTensor((rows, _near(b, 2 ** 64 // rows + 1)), (0, 0), dtype, items=_items(b, True))
    if kind == 1:  # the compact row stride, columns x element size, past ptrdiff_t
        dtype = b.pick(WIDE)
        columns = min(I64_MAX, _near(b, (I64_MAX + 1) // SIZES[dtype]))
        return HostileTensor((b.s.below(5), columns), None, dtype, items=_items(b, True))
    if kind == 2:  # a stride in bytes past ptrdiff_t, or a walk past either end
        if b.chance(0.5):
            dtype = b.pick(WIDE)
            # One past the exact quotient: -2**63 itself is a stride ptrdiff_t holds.
            big = _near(b, (I64_MAX + 1) // SIZES[dtype] + 1) * b.pick((1, -1))
            strides = (big, 1) if b.chance(0.5) else (1, big)
            return HostileTensor((b.s.below(4), b.s.below(4)), strides, dtype, items=_items(b, True))
        if b.chance(0.5):
            strides = (_near(b, 2 ** 62), _near(b, 2 ** 62))
            sign = b.pick((1, -1))
            return HostileTensor((2 + b.s.below(3), 2 + b.s.below(3)), (sign * strides[0], sign * strides[1]),
                                 "int8", items=_items(b, True))
        return HostileTensor((2 + b.s.below(3), 1 + b.s.below(3)), (-_near(b, BELOW_ZERO), 1), "int8",
                             items=_items(b, True))
    if kind == 3:  # a byte offset past ptrdiff_t (some wrap the data pointer)
        return HostileTensor((b.s.below(3), b.s.below(3)), None, dtype,
                             byte_offset=2 ** 64 - 1 - b.s.below(2 ** 40) if b.chance(0.5) else 2 ** 63 + b.s.below(64),
                             items=_items(b, True))
    if kind == 4:  # real: its copy needs more than PTRDIFF_MAX bytes
        if b.chance(0.5):
            rows = 1 + b.s.below(7)
            shape = (rows, _near(b, 2 ** 61) if rows == 1 else _near(b, (2 ** 64 - 1) // rows - 8))
        else:
            # Rows of nothing (not float32, whose empty rows are read in place).
            dtype = b.pick(("int8", "float64"))
            shape = (_near(b, 2 ** 60 + b.s.below(2 ** 62)), 0)
        tensor = HostileTensor(shape, (0, 0), dtype, items=_items(b, True))
        tensor.too_large_in = frozenset({"batch"})
        return tensor
    return _fitting_tensor(b, 2)


def tensor_row(b, identifiers=False):
    """A 1-D DLPack producer, read as a row or as identifiers."""
    kind = b.s.below(5)
    dtype = b.pick(tuple(SIZES))
    items = _items(b, False) if identifiers else (None if b.chance(0.25) else
                                                   [b.plain_float() for _ in range(b.s.below(5))])
    if kind == 0:
        dtype = b.pick(WIDE)
        stride = _near(b, (I64_MAX + 1) // SIZES[dtype] + 1) * b.pick((1, -1))
        return HostileTensor((b.s.below(4),), (stride,), dtype, items=items)
    if kind == 1:
        if b.chance(0.5):
            return HostileTensor((3 + b.s.below(3),), (_near(b, 2 ** 62),), "int8", items=items)
        return HostileTensor((2 + b.s.below(3),), (-_near(b, BELOW_ZERO),), "int8", items=items)
    if kind == 2:
        return HostileTensor((b.s.below(4),), None, dtype, byte_offset=2 ** 63 + b.s.below(2 ** 40), items=items)
    if kind == 3:
        tensor = HostileTensor((_near(b, 2 ** 61 + b.s.below(2 ** 62)),), (0,), dtype, items=items)
        tensor.too_large_in = frozenset({"row", "identifiers"} if dtype in ("int8", "uint8", "int64") else {"row"})
        return tensor
    return _fitting_tensor(b, 1)


def arrow_batch(b):
    """An Arrow list array: fixed-size, or with int32 or int64 offsets."""
    kind = b.s.below(6)
    items = _items(b, True)
    if kind == 0:  # offset + length past int64
        length = 1 + b.s.below(4)
        return HostileList(length, offset=I64_MAX - b.s.below(length), width=1 + b.s.below(4), items=items)
    if kind == 1:  # offset x width past int64
        width = 2 + b.s.below(4)
        return HostileList(1 + b.s.below(3), offset=_near(b, (I64_MAX + 1) // width), width=width, items=items)
    if kind == 2:  # the child's values in bytes past int64
        if b.chance(0.5):
            return HostileList(1 + b.s.below(3), width=1 + b.s.below(2), child_offset=_near(b, 2 ** 60), items=items)
        return HostileList(2, offsets=[0, 2, 4], large=b.chance(0.5), child_offset=_near(b, 2 ** 60), items=items)
    if kind == 3:  # the row offsets' own position in bytes past int64
        large = b.chance(0.5)
        offset = _near(b, (I64_MAX + 1) // (8 if large else 4))
        return HostileList(2, offset=offset, offsets=[0, 1, 2], large=large, items=items)
    if kind == 4:  # real: more rows of nothing than memory holds starts of
        array = HostileList(_near(b, 2 ** 60 + b.s.below(2 ** 62)), width=0, items=items)
        array.too_large_in = frozenset({"batch"})
        return array
    return _fitting_list(b)


def _fitting_list(b):
    child_offset = b.s.below(4)
    child_length = b.s.below(17 - child_offset)
    offset = b.s.below(3)
    if b.chance(0.5):
        width = b.s.below(4)
        length = b.s.below(4)
        if child_offset + (offset + length) * width > 16:
            length = 0
        array = HostileList(length, offset=offset, width=width, child_length=child_length,
                            child_offset=child_offset)
    else:
        count = offset + b.s.below(4) + 1
        offsets = sorted(b.s.below(child_length + 1) for _ in range(count))
        array = HostileList(count - 1 - offset, offset=offset, offsets=offsets, large=b.chance(0.5),
                            child_length=child_length, child_offset=child_offset)
    array.items = array.read_memory()
    return array


def arrow_identifiers(b):
    if b.chance(0.5):
        length = 1 + b.s.below(3)
        offset = I64_MAX - b.s.below(length) if b.chance(0.5) else _near(b, 2 ** 60)
        return HostileIdentifiers(length, offset=offset, items=_items(b, False))
    offset = b.s.below(8)
    ids = HostileIdentifiers(b.s.below(9 - offset), offset=offset)
    ids.items = ids.read_memory()
    return ids


def batch(b):
    return tensor_batch(b) if b.chance(0.5) else arrow_batch(b)


def row(b):
    return tensor_row(b)


def identifiers(b):
    return tensor_row(b, identifiers=True) if b.chance(0.6) else arrow_identifiers(b)
