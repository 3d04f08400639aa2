"""PulseReader.copy_apertures_to_new_file: the written bytes, the request handling and the
failure paths. Written files are checked with an independent byte-level parser."""

from __future__ import annotations

import json
import os
import random

import numpy as np
import pandas as pd
import pytest

from layout import (
    Snapshot,
    assert_packed,
    parse,
    random_apertures,
    random_records,
    scattered,
)
from model import bulk_file
from pulsefile import DEFAULT_ENCODINGS, DEFAULT_METADATA, PulseFile
from zyn_pulse_reader import PulseReader

NUMBERS = [0, 1, 2, 3, 5, 9, 11, 40]
CLOSED = "PulseReader cannot be used after the pulse file has been closed!"
NOT_FOUND = "The following apertures were not found in the file: "


def make_source(path, kind="packed", seed=1):
    """A source with non-default header fields and encodings, bytes between the metadata
    document and the first block, an aperture without records (3) and one whose block is
    larger than the 1 MiB writer buffer (9). `kind` "scattered" stores the blocks out of
    index order with unindexed bytes between them, "gaps" in index order with unindexed bytes
    between them."""
    rng = random.Random(seed)
    apertures = random_apertures(rng, NUMBERS)
    apertures[NUMBERS.index(3)].records = []
    apertures[NUMBERS.index(9)].records = random_records(rng, 70_000)
    document = json.dumps(DEFAULT_METADATA).encode()
    options = dict(
        metadata=document + b"\x01 not part of the document \xff",
        metadata_length=len(document),
        padding=5,
        reserved_a=0xCAFEBABE,
        reserved_b=0x0BADF00D,
        encodings=[(7, 0x13, 0xFFFF)] + DEFAULT_ENCODINGS[1:],
    )
    if kind == "packed":
        pulse_file = PulseFile(apertures, **options)
    else:
        order = [5, 0, 7, 3, 1, 6, 2, 4] if kind == "scattered" else range(len(NUMBERS))
        pulse_file = scattered(apertures, order, **options)
    path.parent.mkdir(parents=True, exist_ok=True)
    return pulse_file.write(path)


@pytest.fixture
def source(tmp_path):
    return make_source(tmp_path / "source.bin")


def copy(source_path, *args, **kwargs):
    with PulseReader(str(source_path)) as reader:
        return reader.copy_apertures_to_new_file(*args, **kwargs)


@pytest.mark.parametrize("kind", ["packed", "scattered", "gaps"])
@pytest.mark.parametrize(
    "request_, stored",
    [
        ([5, 2, 9], [2, 5, 9]),
        ([3, 1, 3], [1, 3]),
        ([], []),
        (NUMBERS[::-1], NUMBERS),
        ((40, 0), [0, 40]),
        (range(4), [0, 1, 2, 3]),
        (np.array([11, 3], dtype=np.int64), [3, 11]),
        ([np.uint64(9), np.int8(1), np.uint32(9)], [1, 9]),
    ],
    ids=["5-2-9", "3-1-3", "empty", "all", "tuple", "range", "ndarray", "numpy-scalars"],
)
def test_written_bytes(tmp_path, kind, request_, stored):
    src = make_source(tmp_path / "source.bin", kind)
    before = Snapshot(src)
    out = tmp_path / "out.bin"
    assert copy(src, request_, str(out)) is None

    source, written = parse(src), parse(out)  # parse() also pins the exact file length
    blocks = {number: source.block(location) for number, location in source.entries}
    expected_header = dict(
        source.header,
        aperture_count=len(stored),
        index_offset=source.header["data_offset"] + sum(len(blocks[n].raw) for n in stored),
    )
    assert written.header == expected_header
    assert written.leading == source.leading
    assert [number for number, _ in written.entries] == stored
    assert_packed(written)
    assert [block.raw for block in written.blocks] == [blocks[n].raw for n in stored]
    before.assert_unchanged()


def test_every_aperture_of_a_packed_file_reproduces_it(source, tmp_path):
    out = tmp_path / "out.bin"
    copy(source, NUMBERS, str(out))
    assert out.read_bytes() == source.read_bytes()


def test_many_small_apertures(tmp_path):
    """More blocks than one read holds, back to back, and a block larger than a read: every
    aperture reproduces the file, and a random subset packs exactly its blocks."""
    rng = np.random.default_rng(3)
    numbers = np.arange(0, 160_000, 2)  # more index entries than the reader reads at a time
    counts = rng.integers(0, 12, numbers.size)
    counts[77] = 300_000
    raw = rng.integers(0, 65536, (int(counts.sum()), 8), dtype=np.uint16)
    pulse_file = bulk_file(numbers, numbers % 7, numbers // 7, raw, counts, DEFAULT_ENCODINGS, DEFAULT_METADATA)
    src = pulse_file.write(tmp_path / "source.bin")
    out = tmp_path / "out.bin"
    copy(src, numbers, str(out))
    assert out.read_bytes() == src.read_bytes()
    chosen = sorted(set(rng.choice(numbers, 5000).tolist()) | {154})
    copy(src, chosen[::-1], str(out))
    source, written = parse(src), parse(out)
    blocks = {number: source.block(location) for number, location in source.entries}
    assert [number for number, _ in written.entries] == chosen
    assert [block.raw for block in written.blocks] == [blocks[n].raw for n in chosen]


@pytest.mark.parametrize("request_, ignore", [([], False), ([7, 8], True)])
def test_file_without_apertures(source, tmp_path, request_, ignore):
    out = tmp_path / "out.bin"
    copy(source, request_, str(out), ignore)
    data_offset = parse(source).header["data_offset"]
    written = parse(out)
    assert len(written.data) == data_offset + 8
    assert written.header["aperture_count"] == 0
    assert written.header["index_offset"] == data_offset
    with PulseReader(str(out)) as reader:
        assert reader.apertures == []


@pytest.mark.parametrize(
    "request_, missing, kept, ignore",
    [
        ([7, 5, 12, 7], [7, 12], [5], True),
        ([150, 5], [150], [5], np.bool_(True)),
        ([41, 4, 6, 4], [4, 6, 41], [], True),
    ],
)
def test_missing_apertures(source, tmp_path, request_, missing, kept, ignore):
    out = tmp_path / "out.bin"
    out.write_bytes(b"earlier content")
    untouched = Snapshot(source, out)
    with PulseReader(str(source)) as reader:
        for refuse in ({}, {"ignore_missing_apertures": False}, {"ignore_missing_apertures": np.bool_(False)}):
            with pytest.raises(RuntimeError) as info:
                reader.copy_apertures_to_new_file(request_, str(out), **refuse)
            assert str(info.value) == NOT_FOUND + "[" + ", ".join(map(str, missing)) + "]"
            untouched.assert_unchanged()
        reader.copy_apertures_to_new_file(file_name=str(out), apertures=request_, ignore_missing_apertures=ignore)
        assert reader.apertures == NUMBERS
    assert [number for number, _ in parse(out).entries] == kept


def test_existing_output_is_truncated(source, tmp_path):
    out = tmp_path / "out.bin"
    out.write_bytes(b"\xaa" * 3_000_000)
    copy(source, [11, 2], str(out))
    written = parse(out)  # the strict parse rejects any leftover bytes behind the index
    assert [number for number, _ in written.entries] == [2, 11]


OUT = object()  # stands for a valid output path
STR_VEC = "Can't extract `str` to `Vec`"


@pytest.mark.parametrize("closed", [False, True], ids=["open", "closed"])
@pytest.mark.parametrize(
    "args, message",
    [
        (("123", OUT), "argument 'apertures': " + STR_VEC),
        (({1, 2}, OUT), "argument 'apertures': 'set' object cannot be converted to 'Sequence'"),
        (((n for n in [1]), OUT), "argument 'apertures': 'generator' object cannot be converted to 'Sequence'"),
        (([1], 5), "argument 'file_name': 'int' object cannot be converted to 'PyString'"),
        (([1], None), "argument 'file_name': 'NoneType' object cannot be converted to 'PyString'"),
        (([1], OUT, "yes"), "argument 'ignore_missing_apertures': "),
    ],
    ids=["str", "set", "generator", "int-name", "none-name", "str-flag"],
)
def test_argument_conversion_comes_first(source, tmp_path, closed, args, message):
    out = tmp_path / "out.bin"
    args = [str(out) if a is OUT else a for a in args]
    reader = PulseReader(str(source))
    if closed:
        reader.close()
    with pytest.raises(TypeError) as info:
        reader.copy_apertures_to_new_file(*args)
    assert str(info.value).startswith(message)
    if message.endswith(STR_VEC):
        assert str(info.value) == message
    assert not out.exists()
    reader.close()


@pytest.mark.parametrize(
    "item, error",
    [("1", TypeError), (1.5, TypeError), (None, TypeError), (-1, OverflowError), (2**64, OverflowError)],
)
def test_unconvertible_items(source, tmp_path, item, error):
    out = tmp_path / "out.bin"
    with pytest.raises(error):
        copy(source, [2, item], str(out))
    assert not out.exists()


@pytest.mark.parametrize("request_", [[1], [], [777]])
def test_closed_reader(source, tmp_path, request_):
    out = tmp_path / "out.bin"
    reader = PulseReader(str(source))
    reader.close()
    with pytest.raises(RuntimeError, match="^" + CLOSED + "$"):
        reader.copy_apertures_to_new_file(request_, str(out), True)
    assert not out.exists()


@pytest.mark.parametrize("spelling", ["same", "relative", "dotdot", "symlink", "hardlink"])
def test_copy_onto_own_source_is_refused(tmp_path, monkeypatch, spelling):
    src = make_source(tmp_path / "dir" / "source.bin")
    monkeypatch.chdir(tmp_path)
    target = {
        "same": str(src),
        "relative": "dir/./source.bin",
        "dotdot": "./dir/../dir/source.bin",
        "symlink": str(tmp_path / "link.bin"),
        "hardlink": str(tmp_path / "hard.bin"),
    }[spelling]
    if spelling == "symlink":
        os.symlink(src, target)
    if spelling == "hardlink":
        os.link(src, target)
    before = Snapshot(src)
    with PulseReader(str(src)) as reader:
        with pytest.raises(RuntimeError):
            reader.copy_apertures_to_new_file([2, 5], target)
        before.assert_unchanged()
        # The reader is still usable after the refusal.
        reader.copy_apertures_to_new_file([5], str(tmp_path / "out.bin"))
    assert [number for number, _ in parse(tmp_path / "out.bin").entries] == [5]


@pytest.mark.parametrize(
    "damaged, record_count", [(-1, None), (-1, 0xFFFFFFFF), (0, 0xFFFFFFFF)], ids=["just-past-end", "4G-records", "first"]
)
def test_block_running_past_the_file(tmp_path, damaged, record_count):
    rng = random.Random(3)
    apertures = random_apertures(rng, [2, 40])
    # The last block is followed only by the 8 + 24 bytes of the index.
    apertures[damaged].record_count = len(apertures[-1].records) + 3 if record_count is None else record_count
    src = PulseFile(apertures).write(tmp_path / "source.bin")
    out = tmp_path / "out.bin"
    with PulseReader(str(src)) as reader:
        with pytest.raises(RuntimeError) as failure:
            reader.copy_apertures_to_new_file([2, 40], str(out))
        assert str(failure.value) == "failed to fill whole buffer"
        assert failure.value.__notes__ == [f"while copying apertures of {src} into {out}"]
        assert not out.exists()
        sound = [2, 40][damaged + 1]
        reader.copy_apertures_to_new_file([sound], str(out))
    assert [number for number, _ in parse(out).entries] == [sound]


@pytest.mark.parametrize("data_offset", [2**40, 2**63 + 5, 20])
def test_damaged_data_offset(tmp_path, data_offset):
    src = PulseFile(random_apertures(random.Random(4), [1, 2]), data_offset=data_offset).write(tmp_path / "s.bin")
    with pytest.raises(RuntimeError):
        copy(src, [1], str(tmp_path / "out.bin"))


@pytest.mark.parametrize(
    "name, message",
    [("missing-dir/out.bin", "No such file or directory (os error 2)"), (".", "Is a directory (os error 21)")],
)
def test_output_cannot_be_created(source, tmp_path, name, message):
    before = Snapshot(source)
    with pytest.raises(RuntimeError) as info:
        copy(source, [1, 2], str(tmp_path / name))
    assert str(info.value) == message
    before.assert_unchanged()


def test_copy_reads_back_equal(tmp_path):
    rng = random.Random(11)
    numbers = sorted(rng.sample(range(600), 40))
    src = PulseFile(random_apertures(rng, numbers, max_records=60)).write(tmp_path / "source.bin")
    chosen = sorted(rng.sample(numbers, 20))
    out = tmp_path / "half.bin"
    with PulseReader(str(src)) as source:
        source.copy_apertures_to_new_file(rng.sample(chosen, len(chosen)), str(out))
        with PulseReader(str(out)) as copied:
            assert copied.apertures == chosen
            assert copied.metadata == source.metadata
            for number in chosen:
                expected, actual = source.get_all_records(number), copied.get_all_records(number)
                pd.testing.assert_frame_equal(actual, expected)
                for key in ("aperture_index", "aperture_x", "aperture_y"):
                    assert actual.attrs[key] == expected.attrs[key]


def test_signature_and_docstring():
    method = PulseReader.copy_apertures_to_new_file
    assert method.__text_signature__ == "($self, apertures, file_name, ignore_missing_apertures=False)"
    doc = method.__doc__
    for phrase in (
        "Copy the specified apertures to a new file",
        "A list of aperture indices to copy",
        "The name of the new file to create",
        "Whether to ignore missing apertures",
        "A new file containing the specified apertures.",
        "ignore_missing_apertures=True",
    ):
        assert phrase in doc
