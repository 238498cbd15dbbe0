"""The sample bundled with the package: real embeddings of Python's own documentation.

data/README.md tells where it comes from; scripts/make_sample.py in the
source repository made it.
"""

from __future__ import annotations

import json
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from importlib.resources import as_file, files
from pathlib import Path


@dataclass(frozen=True)
class Sample:
    folder: Path
    description: str

    @property
    def baseline(self) -> Path:
        return self.folder / "topics.npy"

    @property
    def current(self) -> Path:
        return self.folder / "docstrings.npy"

    @property
    def run(self) -> Path:
        return self.folder / "topics.run"

    @property
    def qrels(self) -> Path:
        return self.folder / "topics.qrels"


@contextmanager
def bundled_sample() -> Iterator[Sample]:
    with as_file(files("vextral").joinpath("data")) as folder:
        about = json.loads((folder / "sample.json").read_text(encoding="utf-8"))
        yield Sample(folder, str(about["description"]))
