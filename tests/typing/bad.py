"""Calls that a type checker must reject, each marked with the error code it must report.

Every marked line must be reported, and nothing else.
"""

import numpy as np

import vextral_core as v

v.py_compute_isotropy([1.0, 2.0])  # error: list-item
v.py_compute_coverage("abc")  # error: arg-type
v.py_compute_coverage(["ab", "cd"])  # error: list-item
v.py_compute_distinctiveness([[1.0, None]])  # error: list-item
v.py_compute_quality_score(x for x in [[1.0]])  # error: arg-type
v.py_compute_quality_score({(1.0, 2.0)})  # error: arg-type
v.py_compute_quality_score(5)  # error: arg-type
v.py_compute_coverage(embedding=[[1.0]])  # error: call-arg
v.py_compute_isotropy()  # error: call-arg
v.py_compute_isotropy([[1.0]], [[2.0]])  # error: call-arg
v.py_detect_drift([[1.0]])  # error: call-arg

v.py_compute_retrieval_metrics([1.0, 2.0], [1], 3)  # error: list-item
v.py_compute_retrieval_metrics([1, 2], ["1"], 3)  # error: list-item
v.py_compute_retrieval_metrics([1, 2], [1], 3.0)  # error: arg-type
v.py_compute_retrieval_metrics([1, 2], [1], "3")  # error: arg-type
v.py_compute_retrieval_metrics([1, 2], [1])  # error: call-arg
v.py_compute_retrieval_metrics(iter([1, 2]), [1], 3)  # error: arg-type

metrics = v.py_compute_retrieval_metrics([1], [1], 1)
metrics["map"]  # error: typeddict-item
name: str = metrics["mrr"]  # error: assignment
score: int = v.py_compute_coverage(np.eye(2))  # error: assignment
v.PanicException  # error: attr-defined
