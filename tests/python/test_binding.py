"""How calls bind to parameters, and the TypeErrors when they do not fit."""
import pytest

import vextral_core as v

BATCH = [[1.0, 0.0], [0.0, 1.0]]


def message_of(call):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    return str(info.value)


def test_too_many_positional_is_reported_before_keywords():
    assert message_of(lambda: v.py_compute_coverage(BATCH, BATCH)) == (
        "py_compute_coverage() takes 1 positional arguments but 2 were given")
    assert message_of(lambda: v.py_compute_coverage(BATCH, BATCH, embeddings=BATCH)) == (
        "py_compute_coverage() takes 1 positional arguments but 2 were given")
    assert message_of(lambda: v.py_compute_coverage(BATCH, BATCH, bogus=1)) == (
        "py_compute_coverage() takes 1 positional arguments but 2 were given")


def test_keyword_errors():
    assert message_of(lambda: v.py_compute_coverage(BATCH, embeddings=BATCH)) == (
        "py_compute_coverage() got multiple values for argument 'embeddings'")
    # An unexpected keyword wins over the missing argument; matching is case-sensitive.
    assert message_of(lambda: v.py_compute_coverage(embedding=BATCH)) == (
        "py_compute_coverage() got an unexpected keyword argument 'embedding'")
    assert message_of(lambda: v.py_compute_coverage(Embeddings=BATCH)) == (
        "py_compute_coverage() got an unexpected keyword argument 'Embeddings'")
    # Keywords are examined in call order: the first bad one is reported.
    assert message_of(lambda: v.py_compute_coverage(zz=1, embeddings=BATCH, aa=2)) == (
        "py_compute_coverage() got an unexpected keyword argument 'zz'")


def test_keyword_with_lone_surrogate_is_unexpected_and_printed_lossily():
    assert message_of(lambda: v.py_compute_coverage(**{"emb\udc80": BATCH})) == (
        "py_compute_coverage() got an unexpected keyword argument 'emb\ufffd\ufffd\ufffd'")


def test_missing_arguments():
    assert message_of(lambda: v.py_compute_coverage()) == (
        "py_compute_coverage() missing 1 required positional argument: 'embeddings'")


def test_binding_errors_come_before_conversion():
    assert message_of(lambda: v.py_compute_coverage("abc", "def")) == (
        "py_compute_coverage() takes 1 positional arguments but 2 were given")


def test_keyword_binding_gives_the_positional_result():
    assert v.py_compute_coverage(embeddings=BATCH) == v.py_compute_coverage(BATCH)
