"""Embedding files that fight back: a .npy truncated or rewritten while the
command reads it in place, .npy headers far beyond NumPy's limit, a .npz
member that inflates far beyond what its header declares, JSON nested past
the interpreter's recursion limit, and cells long enough to flood a message.
Each must end in one line on standard error, never in a signal, a traceback
or memory out of proportion to the array."""
import io
import subprocess
import sys
import textwrap
import zipfile

import numpy as np
import pytest

from test_cli import one_line_error, save, vextral, write, write_bytes
from vextral import _native

needs_native_mapping = pytest.mark.skipif(not hasattr(_native, "map_float32_rows"),
                                          reason="no native file mapping here")

# Runs the command in a child whose non-finite check (called by the native pass after its scan,
# before coverage and the packing read the mapped rows again) changes the file first: the
# rows still to be read are then gone (truncated) or other (rewritten). The child must not die
# of SIGBUS (status -7).
WRITER_DURING_PASS = textwrap.dedent("""
    import os, sys
    from vextral import cli
    path, change, threads = sys.argv[1], sys.argv[2], sys.argv[3]
    make_check = cli._non_finite_check

    def changing_check(embeddings, *, strict):
        check = make_check(embeddings, strict=strict)
        def changed_then_checked(found):
            if change == "truncate":
                os.truncate(path, 4096)
            else:
                with open(path, "r+b") as stream:  # the same size, other numbers
                    stream.seek(-4096, os.SEEK_END)
                    stream.write(b"\\x01" * 4096)
            check(found)
        return changed_then_checked

    cli._non_finite_check = changing_check
    sys.exit(cli.main(["quality", path, "--threads", threads, "--no-progress"]))
""")


@needs_native_mapping
@pytest.mark.parametrize("change", ["truncate", "rewrite"])
@pytest.mark.parametrize("threads", ["1", "2"])
def test_a_file_changed_while_its_rows_are_read_is_reported_in_one_line(tmp_path, change, threads):
    path = save(tmp_path / "big.npy", np.random.default_rng(3).standard_normal((3000, 256)).astype(np.float32))
    # An old time of modification, so that the rewrite surely changes it.
    import os
    os.utime(path, ns=(10**9, 10**9))
    done = subprocess.run([sys.executable, "-c", WRITER_DURING_PASS, str(path), change, threads],
                          capture_output=True, text=True, timeout=300)
    error = one_line_error(done, 1)
    assert error == f"vextral: error: {path}: the file changed while it was read; measure it again once " \
                    "nothing writes to it\n"


@needs_native_mapping
def test_rows_whose_file_was_truncated_read_as_zeros_once_and_then_are_refused(tmp_path):
    path = save(tmp_path / "rows.npy", np.ones((2000, 64), np.float32))
    script = textwrap.dedent("""
        import os, sys
        from vextral import _native
        path, offset = sys.argv[1], int(sys.argv[2])
        with open(path, "rb") as stream:
            rows = _native.map_float32_rows(stream.fileno(), offset, 2000, 64)
        assert not _native.mapped_file_changed(rows)
        _native.batch_measures(rows, 2, None, lambda count, first: os.truncate(path, 0))
        assert _native.mapped_file_changed(rows)
        try:
            _native.batch_measures(rows)
        except ValueError as error:
            print(error)
    """)
    offset = path.stat().st_size - 2000 * 64 * 4
    done = subprocess.run([sys.executable, "-c", script, str(path), str(offset)],
                          capture_output=True, text=True, timeout=300)
    assert (done.returncode, done.stdout) == (0, "the file changed while it was read\n"), done.stderr
    assert _native.mapped_file_changed([[1.0]]) is False


def npy_with_header(header: str, data: bytes = bytes(16)) -> bytes:
    return b"\x93NUMPY\x02\x00" + len(header).to_bytes(4, "little") + header.encode("latin-1") + data


class TestNpyHeaders:
    def test_a_header_beyond_numpys_limit_is_refused_unread(self, tmp_path):
        fields = "{'descr': '<f4', 'fortran_order': False, 'shape': (2, 2), }"
        at_limit = write_bytes(tmp_path / "at.npy", npy_with_header(fields.ljust(9_999) + "\n"))
        assert vextral("quality", at_limit, "--json").returncode == 0
        beyond = write_bytes(tmp_path / "beyond.npy", npy_with_header(fields.ljust(1 << 20) + "\n"))
        assert one_line_error(vextral("quality", beyond), 1) == (
            f"vextral: error: {beyond}: the .npy header is 1048577 bytes long; NumPy writes and reads at most "
            "10000\n")

    @pytest.mark.parametrize("header", [
        "{'descr': '<f4', 'fortran_order': False, 'shape': (2, 2), 'shape': (1, 4)}",
        "{'descr': '<f4', 'fortran_order': False, 'shape': " + "(" * 3000 + ")" * 3000 + "}",
        "__import__('os')",
    ])
    def test_headers_numpy_would_not_write_cannot_be_read(self, tmp_path, header):
        path = write_bytes(tmp_path / "x.npy", npy_with_header(header))
        assert one_line_error(vextral("quality", path), 1) == f"vextral: error: {path}: the .npy header cannot be read\n"

    def test_messages_quote_little_of_the_header(self, tmp_path):
        path = write_bytes(tmp_path / "x.npy", npy_with_header(
            "{'descr': '<f4" + "x" * 5000 + "', 'fortran_order': False, 'shape': (2, 2)}"))
        error = one_line_error(vextral("quality", path), 1)
        assert "unsupported element type '<f4xxx" in error and len(error) < len(str(path)) + 150, error


def npz_member(path, member: bytes, name="a.npy"):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr(name, member)
    return path


class TestNpz:
    def test_a_member_larger_than_its_header_declares_is_refused_before_it_is_inflated(self, tmp_path):
        header = io.BytesIO()
        np.save(header, np.ones((2, 2)))
        # 64 MiB of zeros after a 2 x 2 array: a few hundred kilobytes compressed.
        path = npz_member(tmp_path / "bomb.npz", header.getvalue() + bytes(64 << 20))
        assert path.stat().st_size < 1 << 20
        error = one_line_error(vextral("quality", path), 1)
        assert error == (f"vextral: error: {path}[a]: the member holds {160 + (64 << 20)} bytes, but its header "
                         "declares 160 (shape (2, 2))\n")


    def test_a_member_claiming_more_than_its_compressed_data_can_hold_is_refused(self, tmp_path):
        header = io.BytesIO()
        np.lib.format.write_array_header_2_0(header, {"descr": "<f8", "fortran_order": False, "shape": (1 << 18, 1024)})
        path = npz_member(tmp_path / "lie.npz", header.getvalue() + bytes(1000))
        # The archive's two records of the member's size now claim the 2 GiB its header declares.
        declared = len(header.getvalue()) + (1 << 31)
        data = path.read_bytes().replace((len(header.getvalue()) + 1000).to_bytes(4, "little"),
                                         declared.to_bytes(4, "little"))
        path.write_bytes(data)
        assert f"the member declares {declared} bytes, more than its" in one_line_error(vextral("quality", path), 1)


class TestTextInputs:
    @pytest.mark.parametrize("name", ["deep.json", "deep.jsonl"])
    def test_json_nested_past_the_recursion_limit_is_one_line(self, tmp_path, name):
        path = write(tmp_path / name, "[" * 100_000 + "]" * 100_000 + "\n")
        where = f"{path}:1" if name.endswith("l") else str(path)
        assert one_line_error(vextral("quality", path), 1) == f"vextral: error: {where}: JSON nested too deeply\n"

    @pytest.mark.parametrize("name, make", [
        ("x.txt", lambda path: write(path, "1 2\n3 " + "y" * 1_000_000 + "\n")),
        ("x.csv", lambda path: write(path, "1,2\n3," + "y" * 100_000 + "\n")),
        ("x.jsonl", lambda path: write(path, "[1, 2]\n[3, \"" + "y" * 1_000_000 + "\"]\n")),
        ("x.npz", lambda path: (np.savez(path, **{f"{'y' * 200}{i}": np.ones((2, 2)) for i in range(300)}), path)[1]),
    ])
    def test_messages_quote_at_most_a_few_dozen_characters_of_a_file(self, tmp_path, name, make):
        path = make(tmp_path / name)
        error = one_line_error(vextral("quality", path), 1)
        assert len(error) < len(str(path)) + 200, error[:400]
