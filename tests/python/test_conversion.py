"""Conversion of Python values into batches, and the errors it raises."""
import math

import pytest

import vextral_core as v


class Outer:
    class Inner:
        pass


def coverage_error(value, error=TypeError):
    with pytest.raises(error) as info:
        v.py_compute_coverage(value)
    return info.value


class TestAcceptedInputs:
    def test_sequence_kinds(self):
        # tuples, ranges and bytes are sequences; bools and ints are numbers
        assert v.py_compute_coverage(((1, 0), (0, 1))) == v.py_compute_coverage([[1.0, 0.0], [0.0, 1.0]])
        assert v.py_compute_coverage([range(2), b"\x00\x01"]) == v.py_compute_coverage([[0, 1], [0, 1]])
        assert v.py_compute_coverage([[True, False], [False, True]]) == 0.20000000298023224

    def test_empty_batches_are_not_errors(self):
        assert v.py_compute_coverage([]) == 0.0
        assert v.py_compute_coverage([[]]) == 0.0

    def test_numbers_narrow_to_float32_without_range_check(self):
        # 1e300 becomes +inf, which makes coverage NaN -> 1
        assert v.py_compute_coverage([[1e300], [0.0]]) == 1.0
        assert v.py_compute_coverage([[-1.0], [1.0]]) == 0.5
        assert v.py_compute_coverage([[math.nan], [1.0]]) == 1.0

    def test_objects_with_their_own_float_or_index_conversion(self):
        class Floaty:
            def __float__(self):
                return 1.0

        class Indexy:
            def __index__(self):
                return 0

        assert v.py_compute_coverage([[Floaty()], [Indexy()]]) == v.py_compute_coverage([[1.0], [0.0]])

    def test_length_hint_failures_and_lies_do_not_matter(self):
        class Lying(list):
            def __len__(self):
                raise ValueError("no length")

        class Huge(list):
            def __len__(self):
                return 2**62

        assert v.py_compute_coverage(Lying([[1, 0], [0, 1]])) == 0.20000000298023224
        assert v.py_compute_coverage(Huge([Huge([1, 0]), [0, 1]])) == 0.20000000298023224


class TestRefusedInputs:
    def test_str_is_refused_at_both_levels(self):
        for value in ("abc", ["ab"], [[1.0], "x"]):
            assert str(coverage_error(value)) == "argument 'embeddings': Can't extract `str` to `Vec`"

        class MyStr(str):
            pass

        assert str(coverage_error([MyStr("x")])) == "argument 'embeddings': Can't extract `str` to `Vec`"

    def test_non_sequences(self):
        assert str(coverage_error(5)) == "argument 'embeddings': 'int' object cannot be converted to 'Sequence'"
        assert str(coverage_error([5])) == "argument 'embeddings': 'int' object cannot be converted to 'Sequence'"
        assert str(coverage_error(x for x in [])) == (
            "argument 'embeddings': 'generator' object cannot be converted to 'Sequence'")
        assert str(coverage_error({1: 2})) == "argument 'embeddings': 'dict' object cannot be converted to 'Sequence'"

        # The qualified name of the type is used.
        assert str(coverage_error(Outer.Inner())) == (
            "argument 'embeddings': 'Outer.Inner' object cannot be converted to 'Sequence'")

    def test_element_errors(self):
        error = coverage_error([[1.0, None]])
        assert str(error).startswith("argument 'embeddings': ")
        assert "NoneType" in str(error)
        assert error.__cause__ is None and error.__suppress_context__
        # Not a TypeError: passes through unchanged, without the prefix.
        error = coverage_error([[10**400]], OverflowError)
        assert not str(error).startswith("argument")

    def test_iteration_errors(self):
        class Raising(list):
            def __init__(self, error):
                super().__init__([1.0])
                self.error = error

            def __iter__(self):
                raise self.error

        assert str(coverage_error(Raising(ValueError("bad")), ValueError)) == "bad"
        assert str(coverage_error(Raising(TypeError("boom")))) == "argument 'embeddings': boom"
        # A subclass of TypeError is not rewrapped.
        class MyTypeError(TypeError):
            pass

        original = MyTypeError("mine")
        assert coverage_error(Raising(original), MyTypeError) is original

    def test_rewrapped_type_error_keeps_only_the_cause(self):
        cause = KeyError("root")

        class Failing:
            def __float__(self):
                raise TypeError("inner") from cause

        error = coverage_error([[Failing()]])
        assert str(error) == "argument 'embeddings': inner"
        assert error.__cause__ is cause
        assert error.__suppress_context__

    def test_unprintable_type_error(self, monkeypatch):
        unraisable = []
        monkeypatch.setattr("sys.unraisablehook", unraisable.append)

        class Weird:
            def __str__(self):
                raise RuntimeError("cannot print")

        class RaisesWeird:
            def __float__(self):
                raise TypeError(Weird())

        error = coverage_error([[RaisesWeird()]])
        # str(TypeError(Weird())) calls Weird.__str__, which fails: the text is a placeholder.
        assert str(error) == "argument 'embeddings': <unprintable TypeError object>"
        # The failure of str() is reported as unraisable, with the object as context.
        assert [str(u.exc_value) for u in unraisable] == ["cannot print"]
        assert isinstance(unraisable[0].object, TypeError)

    def test_type_error_text_with_lone_surrogate(self):
        class Failing:
            def __float__(self):
                raise TypeError("bad \udc80")

        assert str(coverage_error([[Failing()]])) == "argument 'embeddings': bad \ufffd\ufffd\ufffd"

    def test_float_conversion_returning_minus_one_is_a_value(self):
        class MinusOne:
            def __float__(self):
                return -1.0

        assert v.py_compute_coverage([[MinusOne()], [1.0]]) == 0.5

    def test_failure_without_exception_becomes_system_error(self):
        class Silent(list):
            def __iter__(self):
                return self

            def __next__(self):
                raise StopIteration

        # An iterator that is a list subclass iterates empty; contrast with a broken __float__:
        class NoError:
            def __float__(self):
                return "not a float"

        error = coverage_error([[NoError()]])
        assert str(error).startswith("argument 'embeddings': ")
