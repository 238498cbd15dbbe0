"""Retrieval metrics: values, the result dictionary, argument errors, and a
bit-for-bit comparison with the float32 reference (float32_model)."""
import decimal
import random

import numpy as np
import pytest

import float32_model as model
import vextral_core as v
from conftest import f32

KEYS = ["precision", "recall", "f1_score", "mrr", "ndcg"]
TOP = 2**64 - 1


def metrics(retrieved, relevant, top_k):
    result = v.py_compute_retrieval_metrics(retrieved, relevant, top_k)
    assert type(result) is dict
    assert list(result) == KEYS
    assert all(type(value) is float for value in result.values())
    return result


def reference(retrieved, relevant, top_k):
    return {key: float(value) for key, value in model.retrieval_metrics(retrieved, relevant, top_k).items()}


def expected(precision, recall, f1_score, mrr, ndcg):
    return dict(zip(KEYS, (f32(precision), f32(recall), f32(f1_score), f32(mrr), f32(ndcg))))


class TestValues:
    @pytest.mark.parametrize("retrieved, relevant, top_k, result", [
        ([], [], 0, expected(0, 0, 0, 0, 0)),
        ([], [], TOP, expected(0, 0, 0, 0, 0)),
        ([1, 2, 3], [], 2, expected(0, 0, 0, 0, 0)),
        ([], [1], 5, expected(0, 0, 0, 0, 0)),  # the ideal DCG is 1, the DCG 0
        ([1, 2], [3], 2, expected(0, 0, 0, 0, 0)),
        ([3, 1, 2], [1, 2], 3, expected(0.6666667, 1, 0.8, 0.5, 0.81546485)),
        # Ranks 1 and 2 carry the same full weight.
        ([7, 1], [1], 10, expected(0.5, 1, 0.6666667, 0.5, 1)),
        ([9, 1], [1], 2, expected(0.5, 1, 0.6666667, 0.5, 1)),
        ([9, 8, 1], [1], 3, expected(1 / 3, 1, 0.5, 1 / 3, 0.63092977)),
        # 2 * 0.2 / 1.2 in float32 is just below 1/3.
        ([0, 0, 0, 0, 1], [1], 5, expected(0.2, 1, 0.3333333134651184, 0.2, 0.43067658)),
        # Hits beyond the cut-off count for everything but NDCG.
        ([9, 8, 1, 2], [1, 2], 2, expected(1, 1, 1, 0.33333334, 0)),
        # F1 from the raw precision 2, not from the reported 1.
        ([1, 2, 3, 4], [1, 2, 3, 4, 5, 6, 7, 8], 2, expected(1, 0.5, 0.8, 1, 1)),
        # Duplicates in retrieved: one hit, but a weight at every position.
        ([1, 1, 2], [1], 3, expected(0.33333334, 1, 0.5, 1, 1)),
        ([5, 1, 1, 1], [1], 2, expected(0.5, 1, 0.6666667, 0.5, 1)),
        ([2, 1, 1], [1, 3], 3, expected(0.33333334, 0.5, 0.4, 0.5, 0.81546485)),
        # Duplicates in relevant enlarge recall's divisor and the ideal depth.
        ([1], [1, 1], 2, expected(1, 0.5, 0.6666667, 1, 0.5)),
        ([1, 2], [1, 1, 2, 2], 2, expected(1, 0.5, 0.6666667, 1, 1)),
        ([1], [1, 2, 3], 1, expected(1, 0.33333334, 0.5, 1, 1)),  # ideal depth is top_k
        # top_k 0: MRR and recall ignore it.
        ([1, 2], [1], 0, expected(0, 1, 0, 1, 0)),
        # top_k beyond both lists behaves as the list length.
        ([4, 5, 6, 1], [1], 4, expected(0.25, 1, 0.4, 0.25, 0.5)),
        ([4, 5, 6, 1], [1], 100, expected(0.25, 1, 0.4, 0.25, 0.5)),
        ([4, 5, 6, 1], [1], TOP, expected(0.25, 1, 0.4, 0.25, 0.5)),
        ([1, 2], [1, 2, 3], TOP, expected(1, 0.6666667, 0.8, 1, 0.76018757)),
        # Identifiers are whole unsigned 64-bit values.
        ([TOP, 2**63], [2**63], 2, expected(0.5, 1, 0.6666667, 0.5, 1)),
        ([TOP], [TOP - 1], 1, expected(0, 0, 0, 0, 0)),  # equal as doubles
        ([2**53 + 1], [2**53], 1, expected(0, 0, 0, 0, 0)),
        ([2**32 + 7], [7], 1, expected(0, 0, 0, 0, 0)),  # equal low halves
        ([2**63], [0], 1, expected(0, 0, 0, 0, 0)),
        ([2**63 - 1, 2**63], [2**63 - 1], 2, expected(0.5, 1, 0.6666667, 1, 1)),
    ])
    def test_values(self, retrieved, relevant, top_k, result):
        assert metrics(retrieved, relevant, top_k) == result
        assert reference(retrieved, relevant, top_k) == result

    def test_worked_example_widened_exactly(self):
        assert metrics([3, 1, 2], [1, 2], 3) == {
            "precision": 0.6666666865348816,
            "recall": 1.0,
            "f1_score": 0.800000011920929,
            "mrr": 0.5,
            "ndcg": 0.8154648542404175,
        }

    def test_each_call_returns_a_new_dict(self):
        first = metrics([3, 1, 2], [1, 2], 3)
        second = metrics([3, 1, 2], [1, 2], 3)
        assert first is not second
        first["precision"] = 7.0
        del first["ndcg"]
        assert metrics([3, 1, 2], [1, 2], 3) == second
        assert list(second) == KEYS

    @pytest.mark.parametrize("rank", [4165, 8330, 16660, 31139])
    def test_weights_where_a_common_log2f_is_one_ulp_off(self, rank):
        # The single relevant identifier at 1-based rank `rank`: NDCG is its weight.
        retrieved = [0] * (rank - 1) + [1]
        result = metrics(retrieved, [1], rank)
        assert result["ndcg"] == float(model.position_weight(rank - 1))
        assert result["mrr"] == float(model.ONE / model.count(rank))
        assert result == reference(retrieved, [1], rank)


class TestReferenceLogarithm:
    @staticmethod
    def correctly_rounded_log2(x):
        """log2 of the integer x rounded to float32, decided in 50-digit decimal."""
        with decimal.localcontext() as context:
            context.prec = 50
            exact = decimal.Decimal(x).ln() / decimal.Decimal(2).ln()
            candidate = np.float32(float(exact))
            neighbours = [np.nextafter(candidate, np.float32(-np.inf)), candidate,
                          np.nextafter(candidate, np.float32(np.inf))]
            return min(neighbours, key=lambda f: abs(decimal.Decimal(float(f)) - exact))

    def test_log2_is_correctly_rounded(self):
        ranks = list(range(1, 3000)) + [4165, 8330, 16660, 31139, 6989003, 13978006]
        for rank in ranks:
            if rank & (rank - 1) == 0:
                assert model.log2(np.float32(rank)) == rank.bit_length() - 1
            else:
                assert model.log2(np.float32(rank)) == self.correctly_rounded_log2(rank), rank

    def test_first_weights(self):
        weights = [float(model.position_weight(i)) for i in range(8)]
        assert weights == [f32(w) for w in (
            1, 1, 0.63092977, 0.5, 0.43067658, 0.3868528, 0.3562072, 0.33333334)]


class TestArguments:
    def error_of(self, kind, call):
        with pytest.raises(kind) as info:
            call()
        assert type(info.value) is kind
        return str(info.value)

    def test_bools_and_index_objects_are_identifiers(self):
        class Five:
            def __index__(self):
                return 5

        assert metrics([True], [1], 1) == metrics([1], [1], 1) == expected(1, 1, 1, 1, 1)
        assert metrics([False, 3], [0], True) == metrics([0, 3], [0], 1)
        assert metrics([Five()], [5], Five()) == expected(1, 1, 1, 1, 1)
        assert metrics([TOP], [TOP], TOP) == expected(1, 1, 1, 1, 1)

    @pytest.mark.parametrize("parameter", ["retrieved", "relevant"])
    def test_identifier_errors(self, parameter):
        def call(bad):
            lists = {"retrieved": [1, 2], "relevant": [1]}
            lists[parameter] = bad
            return lambda: v.py_compute_retrieval_metrics(lists["retrieved"], lists["relevant"], 2)

        message = self.error_of(TypeError, call([1, 1.0]))
        assert message.startswith(f"argument '{parameter}': ")
        for bad in ([-1], [2**64], [1, 2**70]):
            message = self.error_of(OverflowError, call(bad))
            assert not message.startswith("argument")
        assert self.error_of(TypeError, call("12")) == (
            f"argument '{parameter}': Can't extract `str` to `Vec`")

    def test_top_k_errors(self):
        for bad in (5.0, "3", None):
            message = self.error_of(TypeError, lambda: v.py_compute_retrieval_metrics([1], [1], bad))
            assert message.startswith("argument 'top_k': ")
        for bad in (-1, 2**64):
            message = self.error_of(OverflowError, lambda: v.py_compute_retrieval_metrics([1], [1], bad))
            assert not message.startswith("argument")

    def test_first_bad_argument_is_reported(self):
        assert self.error_of(TypeError, lambda: v.py_compute_retrieval_metrics([1], "x", -1)) == (
            "argument 'relevant': Can't extract `str` to `Vec`")
        assert self.error_of(TypeError, lambda: v.py_compute_retrieval_metrics([1.5], [-1], -1)).startswith(
            "argument 'retrieved': ")
        assert self.error_of(TypeError, lambda: v.py_detect_drift("x", 5)) == (
            "argument 'baseline_embeddings': Can't extract `str` to `Vec`")

    def test_missing_arguments(self):
        assert self.error_of(TypeError, lambda: v.py_compute_retrieval_metrics()) == (
            "py_compute_retrieval_metrics() missing 3 required positional arguments: "
            "'retrieved', 'relevant', and 'top_k'")
        assert self.error_of(TypeError, lambda: v.py_compute_retrieval_metrics([1], top_k=3)) == (
            "py_compute_retrieval_metrics() missing 1 required positional argument: 'relevant'")
        assert self.error_of(TypeError, lambda: v.py_detect_drift()) == (
            "py_detect_drift() missing 2 required positional arguments: "
            "'baseline_embeddings' and 'current_embeddings'")

    def test_keywords_in_any_order(self):
        assert v.py_compute_retrieval_metrics(top_k=3, relevant=[1, 2], retrieved=[3, 1, 2]) == (
            metrics([3, 1, 2], [1, 2], 3))
        baseline, current = [[1, 0], [0, 1]], [[1, 0], [-1, 0]]
        by_keyword = v.py_detect_drift(current_embeddings=current, baseline_embeddings=baseline)
        assert by_keyword == v.py_detect_drift(baseline, current) != v.py_detect_drift(current, baseline)


# -- Differential comparison with the reference ---------------------------

HIGH_IDENTIFIERS = [TOP, TOP - 1, 2**63, 2**63 - 1, 2**53, 2**53 + 1]


def random_identifiers(rng, length, pool):
    return [rng.choice(HIGH_IDENTIFIERS) if rng.random() < 0.05 else rng.randrange(pool)
            for _ in range(length)]


def random_case(rng):
    pool = rng.choice([3, 8, 20, 60])
    retrieved = random_identifiers(rng, rng.randint(0, 30), pool)
    relevant = random_identifiers(rng, rng.randint(0, 30), pool)
    if rng.random() < 0.1:
        top_k = TOP
    elif rng.random() < 0.1:
        top_k = rng.randrange(2**64)
    else:
        top_k = rng.randint(0, 40)
    return retrieved, relevant, top_k


@pytest.mark.parametrize("seed", range(8))
def test_random_lists_match_the_reference(seed):
    rng = random.Random(seed)
    for _ in range(1000):
        retrieved, relevant, top_k = random_case(rng)
        assert metrics(retrieved, relevant, top_k) == reference(retrieved, relevant, top_k), (
            retrieved, relevant, top_k)


@pytest.mark.parametrize("seed", range(3))
def test_long_lists_match_the_reference(seed):
    rng = random.Random(1000 + seed)
    length = 20_000
    retrieved = [rng.randrange(8_000) for _ in range(length)]
    relevant = [rng.randrange(8_000) for _ in range(rng.randint(1_000, 20_000))]
    for top_k in (0, 1, 137, 4_165, 19_999, 20_000, 25_000, TOP):
        assert metrics(retrieved, relevant, top_k) == reference(retrieved, relevant, top_k), top_k


def test_random_lists_include_the_interesting_cases():
    # Guards the generator: hits, duplicates on both sides, precision over 1
    # before its clamp, and NDCG strictly between 0 and 1 must all occur.
    rng = random.Random(0)
    seen = {"hits": 0, "duplicates": 0, "raw_precision_over_one": 0, "partial_ndcg": 0}
    for _ in range(500):
        retrieved, relevant, top_k = random_case(rng)
        hits = len(set(retrieved) & set(relevant))
        seen["hits"] += hits > 0
        seen["duplicates"] += len(set(retrieved)) < len(retrieved) and len(set(relevant)) < len(relevant)
        seen["raw_precision_over_one"] += hits > min(top_k, len(retrieved)) > 0
        seen["partial_ndcg"] += 0 < reference(retrieved, relevant, top_k)["ndcg"] < 1
    assert all(count >= 20 for count in seen.values()), seen
