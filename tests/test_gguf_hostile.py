"""Damaged and hostile GGUF files: each a ValueError naming the field, found
without reading or allocating more than the file justifies."""

import os
import struct
import tracemalloc
from pathlib import Path

import pytest

from model_files import tiny_model, write_gguf

pytest.importorskip("gguf", reason="the 'eval' extra (gguf) is not installed")
pytest.importorskip("tokenizers", reason="the 'eval' extra (tokenizers) is not installed")

from marrowvale.models import load_model  # noqa: E402
from marrowvale.models._gguf_file import GGUFFile  # noqa: E402

U32, STRING, ARRAY, UINT8 = 4, 8, 9, 0
F32, Q8_0 = 0, 8


# ---- GGUF bytes written by hand, field by field -----------------------------------------

def text(value: str | bytes) -> bytes:
    raw = value.encode() if isinstance(value, str) else value
    return struct.pack("<Q", len(raw)) + raw


def entry(key: str | bytes, kind: int, payload: bytes) -> bytes:
    return text(key) + struct.pack("<I", kind) + payload


def record(name: str, dims: list[int], kind: int = F32, offset: int = 0) -> bytes:
    return text(name) + struct.pack("<I", len(dims)) + struct.pack(f"<{len(dims)}Q", *dims) + struct.pack(
        "<IQ", kind, offset)


def gguf_file(entries: list[bytes] = (), records: list[bytes] | None = None, *, version: int = 3,
              counts: tuple[int, int] | None = None, data: bytes = bytes(16)) -> bytes:
    """A file of the given metadata entries and tensor records (by default
    one float32 tensor "t" of 4 values) and ``data`` after the padding."""
    records = [record("t", [4])] if records is None else records
    tensors, kvs = counts or (len(records), len(entries))
    head = b"GGUF" + struct.pack("<IQQ", version, tensors, kvs) + b"".join(entries) + b"".join(records)
    return head + bytes(-len(head) % 32) + data


def refused(tmp_path: Path, contents: bytes, message: str) -> None:
    """Opening ``contents`` raises a ValueError matching ``message``, having
    allocated at most a few megabytes on the way."""
    path = tmp_path / "hostile.gguf"
    path.write_bytes(contents)
    tracemalloc.start()
    try:
        with pytest.raises(ValueError, match=message):
            GGUFFile(path)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 4 << 20, f"{peak} bytes allocated to refuse the file"


def test_the_hand_written_file_itself_reads(tmp_path: Path) -> None:
    path = tmp_path / "good.gguf"
    path.write_bytes(gguf_file([entry("general.architecture", STRING, text("llama"))],
                               data=struct.pack("<4f", 1, 2, 3, 4)))
    file = GGUFFile(path)
    assert file.metadata.string("general.architecture") == "llama"
    assert file.read("t", (4,)).tolist() == [1, 2, 3, 4]


class TestHeader:
    @pytest.mark.parametrize(("contents", "message"), [
        (b"", r"not a GGUF file \(too short"),
        (b"GGUF\x03\x00\x00\x00", r"not a GGUF file \(too short"),
        (b"GGML" + bytes(60), r"does not begin with b'GGUF'"),
        (gguf_file(version=1), "GGUF version 1 is not supported"),
        (gguf_file(version=4), "GGUF version 4 is not supported"),
        (gguf_file(version=3 << 24), "a big-endian GGUF file"),
        (gguf_file(counts=(1, 2 ** 62)), f"{2 ** 62} metadata entries cannot fit"),
        (gguf_file(counts=(2 ** 62, 0)), f"{2 ** 62} tensors cannot fit"),
        (b"GGUF" + struct.pack("<IQQ", 3, 1, 0) + text("t" * 20) + struct.pack("<IQ", 3, 4),
         f"the dimensions of tensor {'t' * 20} runs past the end"),
    ])
    def test_a_broken_header_is_named(self, tmp_path: Path, contents: bytes, message: str) -> None:
        refused(tmp_path, contents, message)


class TestMetadata:
    @pytest.mark.parametrize(("entries", "message"), [
        ([struct.pack("<Q", 2 ** 63) + b"key"], r"a metadata key \(9223372036854775808 bytes\) runs past the end"),
        ([entry("general.name", STRING, struct.pack("<Q", 2 ** 40) + b"x")],
         r"metadata general\.name \(1099511627776 bytes\) runs past the end of the file"),
        ([entry("big", ARRAY, struct.pack("<IQ", UINT8, 2 ** 60))], r"metadata big \(\d+ values\) runs past the end"),
        ([entry("big", ARRAY, struct.pack("<IQ", U32, 2 ** 62))], r"metadata big \(\d+ values\) runs past the end"),
        ([entry("tokens", ARRAY, struct.pack("<IQ", STRING, 2 ** 40))], r"metadata tokens claims 1099511627776 strings"),
        ([entry("tokens", ARRAY, struct.pack("<IQ", STRING, 1000) + text("a"))],
         r"metadata tokens claims 1000 strings, more than the file can hold"),
        ([entry("tokens", ARRAY, struct.pack("<IQ", STRING, 3) + text("a") + struct.pack("<Q", 2 ** 50))],
         r"metadata tokens\[1\] \(\d+ bytes\) runs past the end"),
        ([entry("nested", ARRAY, struct.pack("<IQ", ARRAY, 2 ** 50))], "metadata nested is an array of arrays"),
        ([entry("odd", 13, b"")], "metadata odd has unknown value type 13"),
        ([entry("list", ARRAY, struct.pack("<IQ", 99, 1))], "the items of metadata list has unknown value type 99"),
        ([entry(b"\xff\xfe", U32, struct.pack("<I", 1))], "a metadata key is not UTF-8"),
        ([entry("name", STRING, text(b"\xc3"))], "metadata name is not UTF-8"),
        ([entry("k", U32, struct.pack("<I", 1)), entry("k", U32, struct.pack("<I", 2))], "metadata k appears twice"),
        ([entry("general.alignment", U32, struct.pack("<I", 0))], "general.alignment must be from 1"),
        ([entry("general.alignment", STRING, text("32"))], "general.alignment must be an integer, not STRING"),
    ])
    def test_a_hostile_entry_is_named_without_reading_or_allocating_its_claim(
            self, tmp_path: Path, entries: list[bytes], message: str) -> None:
        refused(tmp_path, gguf_file(entries), message)


class TestTensorRecords:
    @pytest.mark.parametrize(("records", "message"), [
        ([record("t", [])], r"tensor t has 0 dimensions \(a GGUF tensor has 1 to 4\)"),
        ([record("t", [1] * 5)], "tensor t has 5 dimensions"),
        ([record("t", [4], kind=99)], "tensor t has unknown type 99"),
        ([record("t", [4], offset=2 ** 63)], r"tensor t \(16 bytes from byte \d+\) lies past the end of the file"),
        ([record("t", [2 ** 32, 2 ** 32])], r"tensor t \(\d+ bytes from byte \d+\) lies past the end"),
        ([record("t", [4], offset=4)], "tensor t starts at offset 4, not a multiple of the alignment 32"),
        ([record("t", [0, 4])], r"tensor t has shape \(4, 0\), which holds no values"),
        ([record("t", [33], kind=Q8_0)], "tensor t has rows of 33 values, not a whole number of Q8_0 blocks of 32"),
        ([record("t", [4]), record("t", [4])], "tensor t appears twice"),
        ([record("t", [8])], r"tensor t \(32 bytes from byte \d+\) lies past the end of the file"),
    ])
    def test_a_hostile_record_is_named(self, tmp_path: Path, records: list[bytes], message: str) -> None:
        refused(tmp_path, gguf_file(records=records), message)


def test_a_file_cut_anywhere_is_refused_by_name(tmp_path: Path) -> None:
    whole = write_gguf(tmp_path / "whole.gguf", tiny_model()).read_bytes()
    messages = ("too short", "runs past the end", "lies past the end", "cannot fit")
    for cut in sorted({*range(0, 400, 7), *range(400, len(whole), max(1, len(whole) // 60)), len(whole) - 1}):
        path = tmp_path / "cut.gguf"
        path.write_bytes(whole[:cut])
        with pytest.raises(ValueError) as caught:
            load_model(path)
        assert str(caught.value).startswith(f"{path}: ") and any(m in str(caught.value) for m in messages), (
            cut, str(caught.value))


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="the system has no FIFOs")
def test_a_fifo_or_a_device_is_refused_before_it_is_opened(tmp_path: Path) -> None:
    fifo = tmp_path / "model.gguf"
    os.mkfifo(fifo)
    # Opened for reading, a FIFO with no writer would block for ever.
    with pytest.raises(ValueError, match=r"model\.gguf: not a regular file \(a FIFO\), so it is not read"):
        load_model(fifo)
    if os.path.exists("/dev/zero"):
        with pytest.raises(ValueError, match=r"/dev/zero: not a regular file \(a character device\)"):
            load_model("/dev/zero")
