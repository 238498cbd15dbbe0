"""Objects that misbehave in chosen ways when the module converts them.

Every object here is stateless: each of its conversion methods does the same
thing on every call (an iterator is the one exception, and every __iter__ call
makes a fresh one). So the outcome the module should reach can be worked out
first, by running the same interpreter operations on the same objects, and
the module is then called on those very objects.

Behaviours are small "action" objects so that one object kind can return a
value, return something of the wrong type, raise any kind of exception, or
call the module again before doing one of those.
"""
import vextral_core

FUNCTION_NAMES = tuple(vextral_core.__all__)


class FuzzError(Exception):
    """An ordinary exception raised by a caller's object."""


class FuzzBaseError(BaseException):
    """An exception outside the Exception hierarchy, like KeyboardInterrupt."""


class TypeErrorSubclass(TypeError):
    """Not exactly TypeError, so the module must pass it on unchanged."""


_panic_class = None


def panic_class():
    """The module's PanicException class, obtained the only way there is."""
    global _panic_class
    if _panic_class is None:
        try:
            vextral_core.py_compute_coverage([[1.0], [2.0, 3.0]])
        except BaseException as error:  # noqa: B036 - PanicException derives from BaseException
            _panic_class = type(error)
    return _panic_class


_panic_subclass = None


def panic_subclass():
    """A subclass of PanicException: only the exact class is resumed as a panic."""
    global _panic_subclass
    if _panic_subclass is None:
        _panic_subclass = type("PanicSubclass", (panic_class(),), {})
    return _panic_subclass


# -- Actions ----------------------------------------------------------------

class Returns:
    def __init__(self, value):
        self.value = value

    def run(self):
        return self.value

    def __repr__(self):
        return f"Returns({self.value!r})"


class Unprintable:
    """str() of this (and of an exception carrying it) runs `action`, which raises."""

    def __init__(self, action):
        self.action = action

    def __str__(self):
        return self.action.run()

    def __repr__(self):
        return f"Unprintable({self.action!r})"


RAISE_KINDS = (
    "TypeError", "TypeError from cause", "TypeError from raised cause", "TypeErrorSubclass",
    "ValueError", "OverflowError", "IndexError", "StopIteration", "MemoryError", "SystemError",
    "FuzzError", "FuzzBaseError", "PanicException", "PanicSubclass",
    "TypeError unprintable", "PanicException unprintable",
)


class Raises:
    """Raises a fresh exception of the chosen kind on every call."""

    def __init__(self, kind, message="boom"):
        self.kind = kind
        self.message = message

    def make(self):
        kind, message = self.kind, self.message
        if kind == "TypeError from cause":
            error = TypeError(message)
            error.__cause__ = KeyError("cause")
            return error
        if kind == "TypeError from raised cause":
            try:
                raise LookupError("raised cause")
            except LookupError as cause:
                error = TypeError(message)
                error.__cause__ = cause
                return error
        if kind == "TypeError unprintable":
            return TypeError(Unprintable(Raises("ValueError", "no text")))
        if kind == "PanicException unprintable":
            return panic_class()(Unprintable(Raises("FuzzError", "no text")))
        if kind == "PanicException":
            return panic_class()(message)
        if kind == "PanicSubclass":
            return panic_subclass()(message)
        classes = {
            "TypeError": TypeError, "TypeErrorSubclass": TypeErrorSubclass, "ValueError": ValueError,
            "OverflowError": OverflowError, "IndexError": IndexError, "StopIteration": StopIteration,
            "MemoryError": MemoryError, "SystemError": SystemError, "FuzzError": FuzzError,
            "FuzzBaseError": FuzzBaseError,
        }
        return classes[kind](message)

    def run(self):
        raise self.make()

    def __repr__(self):
        return f"Raises({self.kind!r}, {self.message!r})"


# Every re-entrant call and what went wrong in it; the checker empties it.
reentry_mismatches = []


class Reenters:
    """Calls a module function (an inner case with its known outcome), then
    either hands back the inner exception or carries on with `then`.

    A wrong inner outcome is recorded in `reentry_mismatches` instead of being
    raised, so that it cannot change the control flow being checked.
    """

    def __init__(self, inner_case, then, propagate):
        self.inner_case = inner_case
        self.then = then
        self.propagate = propagate

    def run(self):
        from case_check import call_and_compare  # imported late: the modules use each other

        error = call_and_compare(self.inner_case, reentry_mismatches)
        if error is not None and self.propagate:
            raise error
        del error
        return self.then.run()

    def __repr__(self):
        return f"Reenters({self.inner_case!r}, then={self.then!r}, propagate={self.propagate})"


# -- Numbers ----------------------------------------------------------------

class FloatLike:
    """Has only __float__."""

    def __init__(self, action):
        self.action = action

    def __float__(self):
        return self.action.run()

    def __repr__(self):
        return f"FloatLike({self.action!r})"


class IndexLike:
    """Has only __index__ (so it is accepted as an identifier and as a number)."""

    def __init__(self, action):
        self.action = action

    def __index__(self):
        return self.action.run()

    def __repr__(self):
        return f"IndexLike({self.action!r})"


class FloatAndIndex:
    """__float__ decides as a number, __index__ as an identifier."""

    def __init__(self, float_action, index_action):
        self.float_action = float_action
        self.index_action = index_action

    def __float__(self):
        return self.float_action.run()

    def __index__(self):
        return self.index_action.run()

    def __repr__(self):
        return f"FloatAndIndex({self.float_action!r}, {self.index_action!r})"


class FloatSubclass(float):
    """A float subclass: its value is read directly, __float__ is never called."""

    def __float__(self):
        raise AssertionError("__float__ of a float subclass was called")

    def __repr__(self):
        return f"FloatSubclass({float.__repr__(self)})"


class IntSubclass(int):
    """An int subclass whose own conversions may misbehave."""

    def __new__(cls, value, float_action=None):
        self = super().__new__(cls, value)
        self.float_action = float_action
        return self

    def __float__(self):
        if self.float_action is None:
            return int.__float__(self)
        return self.float_action.run()

    def __index__(self):
        raise AssertionError("__index__ of an int subclass was called")

    def __repr__(self):
        return f"IntSubclass({int.__repr__(self)}, {self.float_action!r})"


# -- Sequences --------------------------------------------------------------

class FuzzIterator:
    """Yields `items`, then ends with `end` (None: StopIteration)."""

    def __init__(self, items, end):
        self.items = items
        self.end = end
        self.position = 0

    def __iter__(self):
        return self

    def __next__(self):
        if self.position < len(self.items):
            self.position += 1
            return self.items[self.position - 1]
        if self.end is None:
            raise StopIteration
        return self.end.run()


ITER_MODES = ("builtin", "custom", "custom then raise", "non-iterator", "raise", "reenter")


class SequenceLike:
    """A sequence (it has __getitem__) with chosen __len__ and __iter__."""

    def __init__(self, items, length_action, iter_mode, iter_action=None):
        self.items = items
        self.length_action = length_action
        self.iter_mode = iter_mode
        self.iter_action = iter_action

    def __getitem__(self, index):
        return self.items[index]

    def __len__(self):
        return self.length_action.run()

    def __iter__(self):
        mode = self.iter_mode
        if mode == "builtin":
            return iter(self.items)
        if mode == "custom":
            return FuzzIterator(self.items, None)
        if mode == "custom then raise":
            return FuzzIterator(self.items, self.iter_action)
        if mode == "non-iterator":
            return 5
        if mode == "raise":
            return self.iter_action.run()
        # "reenter": the action calls the module, then gives an iterator
        return iter(self.iter_action.run())

    def __repr__(self):
        return (f"SequenceLike({self.items!r}, len={self.length_action!r}, "
                f"iter={self.iter_mode!r} {self.iter_action!r})")


class GetitemOnly:
    """Iterated through __getitem__ until IndexError; `fail_at` raises instead."""

    def __init__(self, items, fail_at=None, action=None):
        self.items = items
        self.fail_at = fail_at
        self.action = action

    def __getitem__(self, index):
        if index == self.fail_at:
            return self.action.run()
        return self.items[index]

    def __repr__(self):
        return f"GetitemOnly({self.items!r}, fail_at={self.fail_at}, {self.action!r})"


class IterableOnly:
    """Iterable but not a sequence: the module refuses it."""

    def __init__(self, items):
        self.items = items

    def __iter__(self):
        return iter(self.items)

    def __repr__(self):
        return f"IterableOnly({self.items!r})"


class ListSubclass(list):
    def __repr__(self):
        return f"ListSubclass({list.__repr__(self)})"


class TupleSubclass(tuple):
    def __repr__(self):
        return f"TupleSubclass({tuple.__repr__(self)})"


class StrSubclass(str):
    """A str subclass: refused as a list, and as a keyword name its own
    __str__ (used only for error messages) may misbehave; it may also compare
    unequal to a plain str of the same text, so a dict can hold both."""

    def __new__(cls, text, str_action=None, distinct=False):
        self = super().__new__(cls, text)
        self.str_action = str_action
        self.distinct = distinct
        return self

    def __str__(self):
        if self.str_action is None:
            return str.__str__(self)
        return self.str_action.run()

    def __eq__(self, other):
        if self.distinct:
            return self is other
        return str.__eq__(self, other)

    def __hash__(self):
        if self.distinct:
            return id(self)
        return str.__hash__(self)

    def __repr__(self):
        return f"StrSubclass({str.__repr__(self)}, {self.str_action!r}, distinct={self.distinct})"


class OddName:
    """Not a sequence, and its qualified name holds a lone surrogate."""

    def __repr__(self):
        return "OddName()"


OddName.__qualname__ = "Odd\udce9Name"
