"""Command-line tool and helpers around vextral_core.

`vextral quality`, `vextral drift`, `vextral retrieval` and `vextral demo`;
see `vextral --help`.
"""
