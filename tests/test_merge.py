"""merge_pulse_files: merged bytes, metadata, aperture renumbering and the refusals.

Expected files come from an independent model of the merge over the inputs' bytes: input
1's header and encoding records, its metadata with the grid totals (compact, keys sorted),
zero padding up to the next multiple of 16, every input's blocks in index order with
aperture_y shifted by the rows and the aperture number by rows x cols of the inputs
before it, and an index of the positions the blocks were written at.
"""

from __future__ import annotations

import inspect
import json
import os
import random
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from layout import (
    BLOCK_HEADER,
    ENTRY,
    HEADER,
    Snapshot,
    assert_packed,
    parse,
    random_apertures,
    random_records,
    raises_panic,
    scattered,
)
from model import bulk_file
from pulsefile import DEFAULT_ENCODINGS, DEFAULT_METADATA, INDEX_MAGIC, Aperture, PulseFile, record
from zyn_pulse_reader import PulseReader, merge_pulse_files

DROP = object()  # removes a metadata member


def compact(document: dict) -> bytes:
    return json.dumps(document, separators=(",", ":"), sort_keys=True, ensure_ascii=False).encode()


def metadata(rows=10, cols=20, **members) -> dict:
    document = {**DEFAULT_METADATA, "rows": rows, "cols": cols, **members}
    return {key: value for key, value in document.items() if value is not DROP}


def strip(path: Path, numbers, rng=None, kind="packed", encodings=DEFAULT_ENCODINGS, **meta) -> Path:
    """One input file holding `numbers` with random records."""
    apertures = random_apertures(rng or random.Random(path.name), numbers)
    if kind != "packed":  # "scattered": blocks out of index order; "gaps": in order; unindexed bytes between
        order = list(range(len(apertures)))
        if kind == "scattered":
            random.Random(7).shuffle(order)
        return scattered(apertures, order, metadata=metadata(**meta), encodings=encodings).write(path)
    return PulseFile(apertures, metadata=metadata(**meta), encodings=encodings).write(path)


def expected_merge(paths) -> bytes:
    sources = [parse(Path(p).read_bytes()) for p in paths]
    documents = [json.loads(source.metadata) for source in sources]
    rows = sum(d["rows"] for d in documents)
    low = min(d["roi_offset_col"] for d in documents)
    high = max(d["roi_offset_col"] + d["roi_cols"] for d in documents)
    merged = dict(documents[0], rows=rows, roi_rows=rows, roi_offset_col=low, roi_cols=high - low)
    for key in ("validWells", "validWellsLeft", "validWellsRight"):
        merged[key] = sum(d[key] for d in documents)
    text = compact(merged)

    first = sources[0].header
    data_offset = -(-(first["data_offset"] - first["metadata_length"] + len(text)) // 16) * 16
    blocks, entries = bytearray(), bytearray()
    row_shift = number_shift = 0
    for source, document in zip(sources, documents):
        for number, location in source.entries:
            block = source.block(location)
            entries += ENTRY.pack(number + number_shift, data_offset + len(blocks))
            count = len(block.records) // 16
            blocks += BLOCK_HEADER.pack(block.x, block.y + row_shift, block.number + number_shift, count)
            blocks += block.records
        row_shift += document["rows"]
        number_shift += document["rows"] * document["cols"]
    header = HEADER.pack(
        *(first[f] for f in ("magic", "reserved_a")),
        sum(s.header["aperture_count"] for s in sources),
        len(text),
        *(first[f] for f in ("encoding_record_type", "encoding_record_size", "encoding_record_count")),
        *(first[f] for f in ("reserved_b", "record_size")),
        data_offset,
        data_offset + len(blocks),
    )
    leading = sources[0].data[48:80] + text
    return header + leading + bytes(data_offset - 48 - len(leading)) + blocks + INDEX_MAGIC + entries


# Scenarios: each builds its inputs in a directory and returns their paths in merge order.
def single(d):
    document = json.dumps(metadata(validWells=2**64 - 1, roi_offset_col=3)).encode()
    apertures = random_apertures(random.Random(1), [0, 3, 150])
    pulse_file = PulseFile(
        apertures, metadata=document + b"\xffpadding", metadata_length=len(document), reserved_a=7, reserved_b=9
    )
    return [pulse_file.write(d / "one.bin")]


def two_strips(d):
    return [strip(d / "a.bin", [0, 5, 199]), strip(d / "b.bin", [0, 5, 150])]


def three_different(d):
    # Strips of one run (the same encodings, "fps" and "cols") that differ in everything else.
    encodings = [(9, 0x1F, 12345)] * 8
    first = PulseFile(
        random_apertures(random.Random(2), [1, 2, 3]),
        metadata=metadata(roi_offset_col=10, roi_cols=60, alpha=5.0, zeta={"b": [1.5, "é\"\\"], "a": None}),
        encodings=encodings,
        padding=40,
    ).write(d / "a.bin")
    second = strip(d / "b.bin", [0, 94], encodings=encodings, rows=5, roi_offset_col=0, roi_cols=50, extra=True)
    third = strip(d / "c.bin", [7], encodings=encodings, rows=2, roi_offset_col=30, roi_cols=45, roi_rows=DROP)
    return [first, second, third]


def scattered_blocks(d):
    return [
        strip(d / "a.bin", [1, 4, 9, 100, 150], kind="scattered"),
        strip(d / "b.bin", [0, 2, 3, 199], kind="scattered"),
    ]


def blocks_with_gaps(d):
    return [strip(d / "a.bin", [1, 4, 9]), strip(d / "b.bin", [0, 2, 3, 199], kind="gaps")]


def shared_blocks(d):
    # Two index entries locate one block: it goes out once for each, shifted once each time.
    pulse_file = PulseFile(random_apertures(random.Random(9), [0, 5, 6]), metadata=metadata())
    first, second, third = pulse_file.block_locations()
    pulse_file.index_entries = [(0, first), (3, second), (5, second), (6, third), (7, first)]
    return [pulse_file.write(d / "a.bin"), strip(d / "b.bin", [1, 2])]


def same_file_twice(d):
    path = strip(d / "a.bin", [0, 19, 20])
    return [path, path]


def large_block(d):
    rng = random.Random(5)
    big = Aperture(4, random_records(rng, 70_000), x=3, y=1)  # more than the 1 MiB copy buffer
    first = PulseFile([Aperture(0, [record(1, 2)]), big], metadata=metadata()).write(d / "a.bin")
    return [first, strip(d / "b.bin", [6])]


def largest_number(d):
    # Input 2's aperture 0 becomes 4294967295, the largest number an index entry can hold.
    return [strip(d / "a.bin", [0], rows=1, cols=2**32 - 1), strip(d / "b.bin", [0], cols=2**32 - 1)]


def many_small(d):
    # Two strips of 70,000 small apertures, more blocks than one read holds and more than the
    # merge plans at a time, and in the second a block larger than a read.
    paths = []
    for k, name in enumerate(["a.bin", "b.bin"]):
        rng = np.random.default_rng(k)
        numbers = np.arange(70_000)
        counts = rng.integers(0, 12, numbers.size)
        counts[123] = 300_000 if k else counts[123]
        raw = rng.integers(0, 65536, (int(counts.sum()), 8), dtype=np.uint16)
        pulse_file = bulk_file(numbers, numbers % 200, numbers // 200, raw, counts, DEFAULT_ENCODINGS,
                               metadata(rows=350, cols=200))
        paths.append(pulse_file.write(d / name))
    return paths


SCENARIOS = [single, two_strips, three_different, scattered_blocks, blocks_with_gaps, shared_blocks, same_file_twice, large_block, largest_number,
             many_small]


@pytest.mark.parametrize("scenario", SCENARIOS, ids=[s.__name__ for s in SCENARIOS])
def test_merged_bytes(tmp_path, scenario):
    inputs = scenario(tmp_path)
    before = Snapshot(*set(inputs))
    out = tmp_path / "merged.bin"
    assert merge_pulse_files([str(p) for p in inputs], str(out)) is None
    written = parse(out)
    assert_packed(written)
    assert out.read_bytes() == expected_merge(inputs)
    before.assert_unchanged()


def test_aperture_and_row_shift(tmp_path):
    inputs = two_strips(tmp_path)
    out = tmp_path / "merged.bin"
    merge_pulse_files(file_names=[str(p) for p in inputs], new_file_name=str(out))
    written, second = parse(out), parse(inputs[1])
    assert [number for number, _ in written.entries] == [0, 5, 199, 200, 205, 350]
    block, original = written.block(written.entries[4][1]), second.block(second.entries[1][1])
    assert (block.number, block.x, block.y, block.records) == (205, original.x, original.y + 10, original.records)
    merged = json.loads(written.metadata)
    assert (merged["rows"], merged["roi_rows"], merged["cols"]) == (20, 20, 20)


def test_merged_metadata(tmp_path):
    inputs = three_different(tmp_path)
    out = tmp_path / "merged.bin"
    merge_pulse_files([str(p) for p in inputs], str(out))
    expected = {
        **DEFAULT_METADATA,
        "alpha": 5.0,
        "zeta": {"a": None, "b": [1.5, "é\"\\"]},
        "rows": 17,
        "roi_rows": 17,
        "cols": 20,
        "validWells": 450,
        "validWellsLeft": 210,
        "validWellsRight": 240,
        "roi_offset_col": 0,
        "roi_cols": 75,
    }
    text = parse(out).metadata
    assert text == compact(expected)
    assert b'"alpha":5.0,' in text and b'"zeta":{"a":null,"b":[1.5,"\xc3\xa9\\"\\\\"]}}' in text
    with PulseReader(str(out)) as reader:
        assert reader.metadata == expected


def test_roi_extremes(tmp_path):
    inputs = [
        strip(tmp_path / "a.bin", [1], roi_offset_col=0, roi_cols=50),
        strip(tmp_path / "b.bin", [1], roi_offset_col=10, roi_cols=60),
    ]
    out = tmp_path / "merged.bin"
    merge_pulse_files([str(p) for p in inputs], str(out))
    merged = json.loads(parse(out).metadata)
    assert (merged["roi_offset_col"], merged["roi_cols"], merged["cols"]) == (0, 70, 20)


@pytest.mark.parametrize(
    "padding, merged_length, data_offset, zeros",
    [(12, 137, 240, 23), (0, 137, 224, 7), (12, 140, 240, 20), (0, 144, 224, 0)],
)
def test_padding_after_merged_metadata(tmp_path, padding, merged_length, data_offset, zeros):
    # Input 1 has metadata_length 132 and data_offset 80 + 132 + padding. The new data offset
    # is (input 1's data_offset - 132 + the merged length) rounded up to a multiple of 16,
    # and zero bytes fill the gap behind the merged document. (Every member the merge needs
    # makes a document of at least 126 bytes, so the lengths here are that large.)
    merged = {key: 1 for key in ("cols", "fps", "roi_cols", "roi_rows", "rows", "validWells", "validWellsRight")}
    merged.update(roi_offset_col=0, validWellsLeft=0, note="")
    merged["note"] = "x" * (merged_length - len(compact(merged)))
    assert len(compact(merged)) == merged_length
    text = compact({key: value for key, value in merged.items() if key != "roi_rows"})
    text = b"{" + b" " * (132 - len(text)) + text[1:]  # whitespace keeps the document valid
    assert len(text) == 132
    path = PulseFile([Aperture(1, [record(1, 2)])], metadata=text, padding=padding).write(tmp_path / "a.bin")
    out = tmp_path / "merged.bin"
    merge_pulse_files([str(path)], str(out))
    written = parse(out)
    assert (written.header["metadata_length"], written.header["data_offset"]) == (merged_length, data_offset)
    end = 80 + merged_length
    assert written.data[80:end] == compact(merged)
    assert written.data[end:data_offset] == bytes(zeros)
    assert written.entries == [(1, data_offset)]


def test_merged_files_read_back_equal(tmp_path):
    rng = random.Random(21)
    rows, cols = [3, 5, 2, 4], 20
    inputs, numbers = [], []
    for k, r in enumerate(rows):
        numbers.append(sorted(rng.sample(range(r * cols), rng.randrange(5, 15))))
        apertures = random_apertures(rng, numbers[k], max_records=50)
        if k == 1:
            apertures[-1].records = random_records(rng, 70_000)
        options = dict(metadata=metadata(rows=r, cols=cols))
        if k % 2:  # blocks out of index order, with unindexed bytes between them
            pulse_file = scattered(apertures, rng.sample(range(len(apertures)), len(apertures)), **options)
        else:
            pulse_file = PulseFile(apertures, **options)
        inputs.append(pulse_file.write(tmp_path / f"strip{k}.bin"))
    out = tmp_path / "merged.bin"
    merge_pulse_files([str(p) for p in inputs], str(out))

    shifts = [sum(rows[:k]) for k in range(len(rows))]
    with PulseReader(str(out)) as merged:
        assert merged.apertures == [n + shift * cols for k, shift in enumerate(shifts) for n in numbers[k]]
        for k, path in enumerate(inputs):
            with PulseReader(str(path)) as source:
                for number in numbers[k]:
                    expected, actual = source.get_all_records(number), merged.get_all_records(number + shifts[k] * cols)
                    pd.testing.assert_frame_equal(actual, expected)
                    assert actual.attrs["aperture_x"] == expected.attrs["aperture_x"]
                    assert actual.attrs["aperture_y"] == expected.attrs["aperture_y"] + shifts[k]
                    assert actual.attrs["aperture_index"] == expected.attrs["aperture_index"] + shifts[k] * cols


# Member checks: every input in list order, each in the order validWells, validWellsLeft,
# validWellsRight, rows, roi_offset_col, roi_cols; "cols" only after all of those.
@pytest.mark.parametrize(
    "members, message",
    [
        ([{"validWells": 5.0}], "validWells"),
        ([{"validWells": -1}], "validWells"),
        ([{"validWells": "5"}], "validWells"),
        ([{"validWells": True}], "validWells"),
        ([{"validWells": DROP}], "validWells"),
        ([{"validWellsRight": -1, "rows": "x"}], "validWellsRight"),
        ([{}, {"validWellsLeft": "7"}], "validWellsLeft"),
        ([{"roi_offset_col": 2.0}], "roi_offset_col"),
        ([{"roi_cols": DROP}, {"validWells": DROP}], "roi_cols"),
        ([{}, {}, {"rows": DROP}], "rows"),
        ([{"cols": DROP}, {"validWells": 1.5}], "validWells"),
        ([{}, {"cols": DROP}], "cols"),
        ([{"cols": -3}], "cols"),
        ([{"cols": [20]}, {"roi_cols": None}], "roi_cols"),
    ],
)
def test_member_checks(tmp_path, members, message):
    inputs = [strip(tmp_path / f"in{k}.bin", [k], **m) for k, m in enumerate(members)]
    before = Snapshot(*inputs)
    out = tmp_path / "merged.bin"
    with raises_panic(message + " missing or invalid"):
        merge_pulse_files([str(p) for p in inputs], str(out))
    assert not out.exists()
    before.assert_unchanged()


@pytest.mark.parametrize(
    "layouts, offender",
    [
        ([([250], {}), ([5], {})], 1),  # 205 after the shift, below 250
        ([([205], {}), ([5], {})], 1),  # 205 twice
        ([([0], {}), ([250], {}), ([0], {})], 2),  # input 3 starts at 400, below 450
        ([([0], {"rows": 65536, "cols": 65536}), ([0], {})], 1),  # 2**32
        # Input 3 is shifted by 2**33 - 2, which 32-bit arithmetic would wrap to just below input 2's.
        ([([0], {"rows": 1, "cols": 2**32 - 1})] * 3, 2),
    ],
    ids=["below", "equal", "third-input", "too-large", "too-large-wraps-to-0"],
)
def test_merged_numbers_must_ascend_and_fit(tmp_path, layouts, offender):
    inputs = [strip(tmp_path / f"in{k}.bin", numbers, **m) for k, (numbers, m) in enumerate(layouts)]
    out = tmp_path / "merged.bin"
    with pytest.raises(RuntimeError) as info:
        merge_pulse_files([str(p) for p in inputs], str(out))
    assert str(inputs[offender]) in str(info.value)
    assert not out.exists()


@pytest.mark.parametrize("output_exists", [False, True])
def test_no_inputs(tmp_path, output_exists):
    out = tmp_path / "merged.bin"
    if output_exists:
        out.write_bytes(b"keep")
    with pytest.raises(RuntimeError, match="^No pulse files provided$"):
        merge_pulse_files([], str(out))
    assert (out.read_bytes() if output_exists else out.exists()) == (b"keep" if output_exists else False)


@pytest.mark.parametrize("existing", ["file", "directory"])
def test_existing_output(tmp_path, existing):
    inputs = two_strips(tmp_path)
    out = tmp_path / "merged.bin"
    if existing == "file":
        out.write_bytes(b"keep me")
    else:
        out.mkdir()
    before = Snapshot(*inputs)
    with pytest.raises(RuntimeError) as info:
        merge_pulse_files([str(p) for p in inputs], str(out))
    assert str(info.value) == f"File {out} already exists"
    before.assert_unchanged()
    assert out.is_dir() if existing == "directory" else out.read_bytes() == b"keep me"


def test_dangling_symlink_output_is_not_followed(tmp_path):
    inputs = two_strips(tmp_path)
    target = tmp_path / "target.bin"
    (tmp_path / "merged.bin").symlink_to(target)
    with pytest.raises(RuntimeError):
        merge_pulse_files([str(p) for p in inputs], str(tmp_path / "merged.bin"))
    assert not target.exists()


def test_second_input_missing(tmp_path):
    first = strip(tmp_path / "a.bin", [1])
    out = tmp_path / "merged.bin"
    with pytest.raises(RuntimeError) as info:
        merge_pulse_files([str(first), str(tmp_path / "absent.bin")], str(out))
    assert str(info.value) == "No such file or directory (os error 2)"
    assert not out.exists()


def test_output_in_missing_directory(tmp_path):
    inputs = two_strips(tmp_path)
    before = Snapshot(*inputs)
    with pytest.raises(RuntimeError) as info:
        merge_pulse_files([str(p) for p in inputs], str(tmp_path / "nowhere" / "merged.bin"))
    assert str(info.value) == "No such file or directory (os error 2)"
    before.assert_unchanged()
    assert not (tmp_path / "nowhere").exists()


@pytest.mark.parametrize("data_offset", [None, 2**62])
def test_damaged_data_offset_of_first_input(tmp_path, data_offset):
    first = PulseFile([Aperture(1, [record(1, 2)])], metadata=metadata())
    first.data_offset = data_offset or len(first.to_bytes()) + 1  # just beyond the file
    inputs = [first.write(tmp_path / "a.bin"), strip(tmp_path / "b.bin", [1])]
    out = tmp_path / "merged.bin"
    with pytest.raises(RuntimeError, match="(?i)data.offset"):
        merge_pulse_files([str(p) for p in inputs], str(out))
    assert not out.exists()


@pytest.mark.parametrize("damaged, block, record_count", [(0, -1, 5), (1, -1, 0xFFFFFFFF), (1, -1, 4), (1, 0, 0xFFFFFFFF)])
def test_block_running_past_its_file(tmp_path, damaged, block, record_count):
    files = []
    for k in range(2):
        apertures = [Aperture(0, [record(1, 2)]), Aperture(9, [record(3, 4)])]
        if k == damaged:
            apertures[block].record_count = record_count  # the index behind the last holds only 32 bytes
        files.append(PulseFile(apertures, metadata=metadata()).write(tmp_path / f"in{k}.bin"))
    out = tmp_path / "merged.bin"
    with pytest.raises(RuntimeError) as failure:
        merge_pulse_files([str(p) for p in files], str(out))
    assert str(failure.value) == "failed to fill whole buffer"
    assert failure.value.__notes__ == [f"while reading the blocks of input {damaged + 1} ({files[damaged]})",
                                       f"while merging into {out}"]
    assert not out.exists()


@pytest.mark.parametrize(
    "args, message",
    [
        (("a.bin", "m.bin"), "argument 'file_names': Can't extract `str` to `Vec`"),
        (({"a.bin"}, "m.bin"), "argument 'file_names': 'set' object cannot be converted to 'Sequence'"),
        (([1], "m.bin"), "argument 'file_names': 'int' object cannot be converted to 'PyString'"),
        ((["a.bin"], 5), "argument 'new_file_name': 'int' object cannot be converted to 'PyString'"),
        ((["a.bin"],), None),
    ],
)
def test_argument_conversion(tmp_path, monkeypatch, args, message):
    monkeypatch.chdir(tmp_path)
    strip(tmp_path / "a.bin", [1])
    with pytest.raises(TypeError) as info:
        merge_pulse_files(*args)
    if message is not None:
        assert str(info.value) == message
    assert sorted(os.listdir(tmp_path)) == ["a.bin"]


def test_signature_and_docstring():
    assert merge_pulse_files.__text_signature__ == "(file_names, new_file_name)"
    assert str(inspect.signature(merge_pulse_files)) == "(file_names, new_file_name)"
    assert merge_pulse_files.__doc__ is None


@pytest.mark.parametrize(
    "second, what",
    [
        ({"encodings": [(0, 2, 0)] * 8}, "encoding records differ from those of "),
        ({"encodings": DEFAULT_ENCODINGS[:7] + [(1, 0, 0)]}, "encoding records differ from those of "),
        ({"fps": 50}, '"fps" (50) differs from the "fps" (100) of '),
        ({"fps": 100.5}, '"fps" (100.5) differs from the "fps" (100) of '),
        ({"cols": 8}, '"cols" (8) differs from the "cols" (20) of '),
    ],
    ids=["encodings", "one-encoding-byte", "fps", "fps-fraction", "cols"],
)
def test_strips_of_different_runs_are_refused(tmp_path, second, what):
    # A mend of the merge as it was: it took the first input's encodings, fps and cols for all.
    inputs = [strip(tmp_path / "a.bin", [0, 5]), strip(tmp_path / "b.bin", [1], **second),
              strip(tmp_path / "c.bin", [2])]
    before = Snapshot(*inputs)
    out = tmp_path / "merged.bin"
    with pytest.raises(RuntimeError) as refusal:
        merge_pulse_files([str(p) for p in inputs], str(out))
    assert str(refusal.value) == f"Cannot merge {inputs[1]}: its {what}{inputs[0]}"
    assert refusal.value.__notes__ == ["only strips of one run can be merged", f"while merging into {out}"]
    assert not out.exists()
    before.assert_unchanged()
