"""Random calls of the six functions, built from a stream of choices.

A source of choices is either a seeded random.Random (RandomSource) or the
bytes of a coverage-guided fuzzer (see fuzz_atheris.py). Most values are
ordinary, so that the kernels compute real results; how often a node of the
object graph is odd instead varies from case to case.
"""
import array
import collections
import decimal
import fractions
import math
import random

import numpy as np

import call_model
import hostile_cases
from case_check import Case, compute_expected
from odd_objects import (
    RAISE_KINDS, FloatAndIndex, FloatLike, FloatSubclass, GetitemOnly, IndexLike, IntSubclass,
    IterableOnly, ListSubclass, OddName, Raises, Reenters, Returns, SequenceLike, StrSubclass,
    TupleSubclass,
)

FUNCTIONS = tuple(call_model.PARAMETERS)
MAX_DEPTH = 3  # re-entrant calls nest at most this deep


class RandomSource:
    def __init__(self, rng):
        self.rng = rng

    def below(self, n):
        return self.rng.randrange(n)

    def unit(self):
        return self.rng.random()


def case_rng(seed, index):
    """The generator of case `index` of a run: any case can be replayed alone."""
    return random.Random(f"{seed}/{index}")


SPECIAL_FLOATS = (
    math.nan, -math.nan, math.inf, -math.inf, 0.0, -0.0, 5e-324, 1e-45, 1.4e-45, 1e-39,
    1.1754942e-38, 3.4028234663852886e38, 3.4028235677973366e38, 1e39, 1e300, -1e300,
    1.0000000596046448, 1.0000001788139343, 0.1, -1.0, 16777217.0, 2.0 ** -149,
)
SPECIAL_INTS = (
    0, 1, -1, 2 ** 24 + 1, 2 ** 53 + 1, 2 ** 63, 2 ** 64 - 1, 2 ** 64, -(2 ** 70), 10 ** 308,
    10 ** 400, -(10 ** 400), True, False,
)
IDENTIFIER_EDGES = (2 ** 64 - 1, 2 ** 63, 2 ** 64, -1, -(2 ** 70), 10 ** 30, True, False, 0)
KEYWORD_ODDITIES = ("wrong case", "upper", "unknown", "empty", "surrogate", "nul", "accented",
                    "str subclass", "distinct duplicate", "odd __str__")
FLOAT_DTYPES = ("float32", "float64", "float16", ">f4", ">f8", "<f8", "int8", "int16", "int32",
                "int64", "uint8", "uint16", "uint32", "uint64", "bool", "longdouble",
                "complex64", "object", ">i4", "U3")
INT_DTYPES = ("int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", ">i8",
              "float64", "bool", "object")


class Builder:
    """Builds one case, registering every object it makes in `built`."""

    def __init__(self, source, depth=0, built=None):
        self.s = source
        self.depth = depth
        self.built = [] if built is None else built
        oddness = (0.0, 0.005, 0.02, 0.08, 0.3)
        self.odd_rate = oddness[self.s.below(len(oddness))]

    # -- choices --------------------------------------------------------------

    def chance(self, p):
        return self.s.unit() < p

    def odd(self):
        return self.chance(self.odd_rate)

    def pick(self, options):
        return options[self.s.below(len(options))]

    def keep(self, obj):
        self.built.append(obj)
        return obj

    # -- actions --------------------------------------------------------------

    def raises(self):
        kind = self.pick(RAISE_KINDS)
        message = self.pick(("boom", "bad \udc80 text", "", "\u00e9t\u00e9"))
        return self.keep(Raises(kind, message))

    def reenters(self, then):
        inner = Builder(self.s, self.depth + 1, self.built).case()
        return self.keep(Reenters(inner, then, propagate=self.chance(0.5)))

    def action(self, values):
        """Returns one of `values`, raises, or calls the module first."""
        roll = self.s.below(10)
        if roll < 6:
            return self.keep(Returns(self.pick(values)))
        if roll < 9 or self.depth >= MAX_DEPTH:
            return self.raises()
        return self.reenters(self.keep(Returns(self.pick(values))))

    # -- numbers --------------------------------------------------------------

    def plain_float(self):
        roll = self.s.below(10)
        if roll < 6:
            return round((self.s.unit() - 0.5) * 8, self.s.below(4))
        if roll < 8:
            return float(self.s.below(5) - 2)
        if roll < 9:
            return (self.s.unit() - 0.5) * 10.0 ** (self.s.below(12) - 6)
        return self.pick(SPECIAL_FLOATS)

    def number(self):
        if not self.odd():
            return self.plain_float() if self.chance(0.9) else self.s.below(7) - 3
        kind = self.s.below(16)
        if kind == 0:
            return self.pick(SPECIAL_INTS)
        if kind == 1:
            return self.keep(FloatSubclass(self.plain_float()))
        if kind == 2:
            action = self.action((2.5, -1.0)) if self.chance(0.3) else None
            return self.keep(IntSubclass(self.s.below(9) - 4, action))
        if kind == 3:
            values = (self.plain_float(), -1.0, FloatSubclass(2.0), 3, "x", None, math.nan)
            return self.keep(FloatLike(self.action(values)))
        if kind == 4:
            return self.keep(IndexLike(self.action((3, -7, 2 ** 80, True, 1.5, None))))
        if kind == 5:
            return self.keep(FloatAndIndex(self.action((0.25, "no")), self.action((4, -1))))
        if kind == 6:
            make = self.pick((np.float32, np.float64, np.float16, np.int64, np.int8, np.bool_,
                              np.longdouble, np.complex64))
            if make in (np.int64, np.int8):
                return self.keep(make(self.s.below(9) - 4))
            with np.errstate(all="ignore"):
                return self.keep(make(self.plain_float()))
        if kind == 7:
            return self.keep(self.pick((np.uint64(2 ** 64 - 1), np.int64(-(2 ** 63)))))
        if kind == 8:
            return self.keep(self.pick((decimal.Decimal("1.1"), fractions.Fraction(1, 3),
                                        complex(1, 2))))
        if kind == 9:
            return self.keep(self.pick(("1.5", b"1", None, [1.0], StrSubclass("2.0"))))
        if kind == 10:
            return self.keep(np.array([self.plain_float()] * self.s.below(3)))
        return self.plain_float() if kind < 13 else self.pick(SPECIAL_FLOATS)

    def identifier(self):
        if not self.odd():
            return self.s.below(12)
        kind = self.s.below(10)
        if kind == 0:
            return self.pick(IDENTIFIER_EDGES)
        if kind == 1:
            return self.keep(IntSubclass(self.s.below(10)))
        if kind == 2:
            return self.keep(IndexLike(self.action((5, -3, 2 ** 64, 2 ** 64 - 1, 2.0, True))))
        if kind == 3:
            return self.keep(FloatAndIndex(self.action((1.0,)), self.action((7, "7"))))
        if kind == 4:
            make = self.pick((np.int64, np.uint64, np.int8, np.float64, np.bool_))
            return self.keep(make(self.s.below(5) - (1 if make is np.int8 else 0)))
        if kind == 5:
            return self.keep(self.pick((1.0, "1", None, b"1", FloatSubclass(1.0))))
        return self.s.below(40)

    def top_k(self):
        if self.chance(0.15):
            return self.identifier()
        return self.s.below(12) if self.chance(0.9) else self.pick(IDENTIFIER_EDGES)

    # -- sequences ------------------------------------------------------------

    def length_action(self, items):
        n = len(items)
        return self.action((n, n, n, 0, n + 3, 2 ** 62, 2 ** 63, -1, 1.5, True))

    def wrap(self, items):
        """The items in some sequence (or not quite a sequence)."""
        self.built.extend(items)  # the elements' own counts are watched too
        if not self.odd():
            return self.keep(list(items) if self.chance(0.8) else tuple(items))
        kind = self.s.below(12)
        if kind == 0:
            return self.keep(ListSubclass(items))
        if kind == 1:
            return self.keep(TupleSubclass(items))
        if kind in (2, 3, 4):
            mode = self.pick(("builtin", "custom", "custom then raise", "non-iterator", "raise",
                              "reenter"))
            iter_action = None
            if mode in ("custom then raise", "raise"):
                iter_action = self.raises()
            elif mode == "reenter":
                if self.depth < MAX_DEPTH:
                    iter_action = self.reenters(self.keep(Returns(items)))
                else:
                    mode = "builtin"
            return self.keep(SequenceLike(list(items), self.length_action(items), mode, iter_action))
        if kind == 5:
            fail_at = self.s.below(len(items) + 1) if self.chance(0.5) else None
            action = self.action(("late item", 0.5)) if fail_at is not None else None
            return self.keep(GetitemOnly(list(items), fail_at, action))
        if kind == 6:
            return self.keep(collections.deque(items))
        if kind == 7:
            return self.keep(IterableOnly(list(items)))
        if kind == 8:
            return self.keep(self.pick((iter(items), (x for x in items), dict(enumerate(items)))))
        if kind == 9:
            return self.keep(self.pick(("abc", StrSubclass("1.0"), None, 5, OddName(), 2.5)))
        return self.keep(list(items))

    def numpy_values(self, dtype, shape):
        dtype = np.dtype(dtype)
        count = int(np.prod(shape))
        if dtype.kind == "b":
            # Mostly 0 and 1 bytes, sometimes any byte: a bool view of other
            # bytes is a valid array whose every non-zero byte reads as True.
            top = 256 if self.chance(0.3) else 2
            raw = np.array([self.s.below(top) for _ in range(count)], dtype=np.uint8)
            return raw.view(dtype).reshape(shape)
        if dtype.kind in "iu":
            info = np.iinfo(dtype)
            edges = (info.min, info.max, 0, 1)
            values = [self.pick(edges) if self.chance(0.1) else self.s.below(7) - 3 * (info.min < 0)
                      for _ in range(count)]
            return np.array(values, dtype=dtype).reshape(shape)
        if dtype.kind == "U":
            return np.array([str(self.s.below(10)) for _ in range(count)], dtype=dtype).reshape(shape)
        values = [self.number() if dtype.kind == "O" else self.plain_float() for _ in range(count)]
        with np.errstate(all="ignore"):
            result = np.empty(count, dtype=dtype)
            for i, value in enumerate(values):
                result[i] = value
        return result.reshape(shape)

    def numpy_view(self, array):
        views = (lambda a: a, lambda a: a[::-1], lambda a: a[::2], lambda a: a[:0],
                 lambda a: np.asfortranarray(a), lambda a: a.T, lambda a: a[:, ::2],
                 lambda a: a[:, :0], lambda a: a[1:])
        if array.ndim == 0:
            return array
        view = self.pick(views[:4] if array.ndim == 1 else views)
        return view(array)

    def numpy_array(self, dtypes, ndim, length):
        dtype = self.pick(dtypes)
        shape = (length,) if ndim == 1 else (length, self.s.below(6))
        if self.chance(0.05):
            shape = self.pick(((), (2, 2, 2), (length, 1, 1)))
        return self.keep(self.numpy_view(self.numpy_values(dtype, shape)))

    def row(self, length):
        if self.odd() and self.chance(0.4):
            kind = self.s.below(7)
            if kind == 6:
                return self.keep(hostile_cases.row(self))
            if kind == 0:
                return self.keep(bytes(self.s.below(256) for _ in range(length)))
            if kind == 1:
                return self.keep(bytearray(self.s.below(3) for _ in range(length)))
            if kind == 2:
                code = self.pick("dfbq")
                values = [self.plain_float() if code in "df" else self.s.below(9) - 4
                          for _ in range(length)]
                with np.errstate(all="ignore"):
                    return self.keep(array.array(code, values))
            if kind == 3:
                return self.keep(range(self.s.below(3) - 1, length, 1 + self.s.below(2)))
            if kind == 4:
                return self.keep(memoryview(bytes(self.s.below(5) for _ in range(length))))
            return self.numpy_array(FLOAT_DTYPES, 1, length)
        return self.wrap([self.number() for _ in range(length)])

    def batch(self):
        if self.odd() and self.chance(0.3):
            kind = self.s.below(12)
            if kind >= 10:
                return self.keep(hostile_cases.batch(self))
            if kind < 7:
                return self.numpy_array(FLOAT_DTYPES, 2, self.s.below(6))
            if kind == 7:  # subclasses of ndarray are read as sequences
                array = self.numpy_values("float64", (self.s.below(5), self.s.below(4)))
                return self.keep(np.asmatrix(array))
            if kind == 8:
                array = self.numpy_values("float32", (self.s.below(5), self.s.below(4)))
                # np.greater, not ">": atheris's hook for comparisons leaks
                # results that are not bools.
                return self.keep(np.ma.masked_array(array, mask=np.greater(array, 1)))
            return self.keep(memoryview(bytes(range(6))).cast("B", (2, 3)))
        tier = self.s.below(1000)
        if tier < 4:  # past the row tiles of a vectorised pair kernel (slow to model)
            rows, dimension = 60 + self.s.below(12), 1 + self.s.below(20)
        elif tier < 50:
            rows, dimension = self.s.below(22), self.s.below(37)
        else:
            rows, dimension = self.s.below(7), self.s.below(7)
        lengths = []
        for _ in range(rows):
            length = dimension
            if self.chance(0.08):
                length = self.s.below(dimension + 3)
            lengths.append(length)
        return self.wrap([self.row(length) for length in lengths])

    def identifiers(self):
        if self.odd() and self.chance(0.3):
            kind = self.s.below(5)
            if kind == 4:
                return self.keep(hostile_cases.identifiers(self))
            length = self.s.below(8)
            if kind == 0:
                return self.keep(bytes(self.s.below(12) for _ in range(length)))
            if kind == 1:
                return self.keep(range(self.s.below(3) - 1, length))
            if kind == 2:
                return self.keep(array.array(self.pick("QqB"), [self.s.below(12) for _ in range(length)]))
            return self.numpy_array(INT_DTYPES, 1, length)
        return self.wrap([self.identifier() for _ in range(self.s.below(10))])

    def argument(self, parameter):
        if self.odd() and self.chance(0.15):
            # a value meant for another kind of parameter
            parameter = self.pick(("embeddings", "retrieved", "top_k"))
        if parameter == "top_k":
            return self.top_k()
        if parameter in ("retrieved", "relevant"):
            return self.identifiers()
        return self.batch()

    # -- calls ------------------------------------------------------------------

    def keyword(self, parameter):
        """The name a keyword argument is passed under, usually the parameter's own."""
        if not self.odd():
            return parameter
        oddity = self.pick(KEYWORD_ODDITIES)
        if oddity == "wrong case":
            return parameter.capitalize()
        if oddity == "upper":
            return parameter.upper()
        if oddity == "unknown":
            return self.pick(("embedding", "x", "retrieve", "topk"))
        if oddity == "empty":
            return ""
        if oddity == "surrogate":
            return parameter + "\udc80"
        if oddity == "nul":
            return parameter + "\x00"
        if oddity == "accented":
            return parameter + "\u00e9"
        if oddity == "str subclass":
            return self.keep(StrSubclass(parameter))
        if oddity == "distinct duplicate":
            return self.keep(StrSubclass(parameter, distinct=True))
        # a name matching no parameter, whose __str__ (used for the message) misbehaves
        action = self.action(("shown", "\udcff", 5))
        return self.keep(StrSubclass("not_a_parameter", str_action=action))

    def case(self):
        function = self.pick(FUNCTIONS)
        parameters = call_model.PARAMETERS[function]
        values = [self.argument(p) for p in parameters]
        positional = len(parameters)
        if self.chance(0.3):
            positional = self.s.below(len(parameters) + 1)
        if self.odd():
            positional = min(positional + 1, len(parameters) + 1)
        args = values[:positional]
        if positional > len(parameters):
            args.append(self.argument(self.pick(parameters)))
        entries = [(self.keyword(p), v) for p, v in zip(parameters[positional:], values[positional:])
                   if not (self.odd() and self.chance(0.5))]
        if self.odd():
            extra = self.pick(parameters)
            entries.insert(self.s.below(len(entries) + 1), (self.keyword(extra), self.argument(extra)))
        kwargs = self.keep({})
        for name, value in entries:
            kwargs[name] = value
        args = self.keep(tuple(args))
        return compute_expected(Case(function, args, kwargs, self.built))


def build_case(source):
    return Builder(source).case()
