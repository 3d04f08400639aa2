"""Damaged pulse files through the Python API: truncations at every region boundary, absurd
counts and offsets, index entries pointing anywhere, overlapping blocks, broken metadata,
and the inputs the fuzzer found. Each must end in an exception with a clear message (almost
always RuntimeError), never in MemoryError, a crash or a hang.

The cases run in a child interpreter, so a crash fails the case that caused it instead of
ending the test run. All cases share one child; when one of them kills it, a new child
takes over the remaining cases. The child limits the size of the files it writes
(RLIMIT_FSIZE, with SIGXFSZ ignored), so an output that would grow without bound ends in
"File too large" instead of filling the disk.
"""

from __future__ import annotations

import json
import os
import re
import struct
import subprocess
import sys
from dataclasses import dataclass

import numpy as np
import pytest

from model import bulk_file
from pulsefile import DEFAULT_METADATA, HEADER_SIZE, METADATA_OFFSET, Aperture, PulseFile, background, padding, pulse

FILL = "failed to fill whole buffer"
EINVAL = re.escape("Invalid argument (os error 22)")
EFBIG = re.escape("File too large (os error 27)")
RECORDS = "Failed to get records: "
PULSES = "Failed to get pulses: "


def absent(number: int) -> str:
    return f"This file does not contain the provided aperture index: {number}"


# --------------------------------------------------------------------------- the files

# Three apertures with 3, 0 and 5 records; the pulses are in order, so every query works.
APERTURES = [
    Aperture(0, [background(4, 40, 41, 3, 0), pulse(10, 4, 320, 480, 40, 40, 8, 8), padding()], x=1, y=2),
    Aperture(1),
    Aperture(2, [pulse(3, 2, 16, 32), pulse(5, 1), background(2), pulse(7, 3, 0x7FFF, -0x8000), padding()]),
]
COUNTS = {a.number: len(a.records) for a in APERTURES}
NUMBERS_OF = {a.number: position for position, a in enumerate(APERTURES)}


def sample(**fields) -> PulseFile:
    fields.setdefault("padding", 8)
    return PulseFile(apertures=[Aperture(**vars(a)) for a in APERTURES], **fields)


def index_first(pulse_file: PulseFile) -> bytes:
    """The file with its index moved between the metadata and the blocks (which keep their
    locations), so that cutting into the data region leaves the index intact."""
    index_length = 8 + 12 * len(pulse_file.apertures)
    raw = PulseFile(**{**vars(pulse_file), "padding": index_length}).to_bytes()
    metadata_end = METADATA_OFFSET + len(pulse_file.metadata_bytes())
    index_at = len(raw) - index_length
    header = bytearray(raw[:HEADER_SIZE])
    struct.pack_into("<Q", header, 40, metadata_end)
    return bytes(header) + raw[HEADER_SIZE:metadata_end] + raw[index_at:] + raw[metadata_end + index_length : index_at]


VALID = sample().to_bytes()
STARTS = sample().block_locations()
METADATA_END = METADATA_OFFSET + len(sample().metadata_bytes())
DATA_OFFSET = METADATA_END + 8
INDEX_OFFSET = len(VALID) - (8 + 12 * len(APERTURES))

INDEXED_FIRST = index_first(sample(padding=0))
FIRST_STARTS = [start + 8 + 12 * len(APERTURES) for start in sample(padding=0).block_locations()]


def with_entries(*entries: tuple[int, int]) -> bytes:
    return sample(index_entries=list(entries)).to_bytes()


def with_count(number: int, record_count: int) -> bytes:
    pulse_file = sample()
    pulse_file.apertures[NUMBERS_OF[number]].record_count = record_count
    return pulse_file.to_bytes()


def nested(depth: int) -> bytes:
    return b'{"fps": 100, "duration": 1, "deep": ' + b"[" * depth + b"]" * depth + b"}"


# --------------------------------------------------------------------------- the cases


@dataclass
class Case:
    """One call on a damaged file. `action` is "open", "records", "pulses", "copy" or
    "merge"; `aperture` is the one queried. `error` is a regular expression for the whole
    message (None when the call must succeed, with `rows` rows for a query); `types` are
    the acceptable exception classes. A query case also queries `then` afterwards, which
    must still work."""

    name: str
    data: bytes
    action: str
    error: str | None
    aperture: int = 0
    types: tuple[str, ...] = ("RuntimeError",)
    rows: int | None = None
    then: int | None = None


def data_truncations() -> list[Case]:
    """Cuts into the data region behind an intact index: the cut aperture fails, the
    reader stays usable for the apertures before it, and writers refuse the file."""
    cases = []
    for (number, count), start in zip(COUNTS.items(), FIRST_STARTS):
        cuts = {"mid-header": start + 8}
        if count:
            cuts.update({"header-only": start + 16, "short-by-1": start + 16 + 16 * count - 1})
        for name, cut in cuts.items():
            data = INDEXED_FIRST[:cut]
            cases += [
                Case(f"data-cut-{number}-{name}-records", data, "records", RECORDS + FILL, number, then=0 if number else None),
                Case(f"data-cut-{number}-{name}-pulses", data, "pulses", PULSES + FILL, number),
            ]
    data = INDEXED_FIRST[: FIRST_STARTS[2] + 8]
    cases += [
        Case("data-cut-copy", data, "copy", FILL),
        Case("data-cut-merge", data, "merge", FILL),
        Case("index-first-intact", INDEXED_FIRST, "records", None, 2, rows=COUNTS[2], then=0),
    ]
    return cases


def absurd_fields() -> list[Case]:
    huge = 2**63 + 1
    return [
        Case("aperture-count-2^63", sample(aperture_count=2**63).to_bytes(), "open", FILL),
        Case("aperture-count-max", sample(aperture_count=2**64 - 1).to_bytes(), "open", FILL),
        Case("aperture-count-plus-1", sample(aperture_count=4).to_bytes(), "open", FILL),
        Case("metadata-length-max", sample(metadata_length=0xFFFFFFFF).to_bytes(), "open", FILL),
        Case("metadata-length-past-file", sample(metadata_length=len(VALID)).to_bytes(), "open", FILL),
        Case("index-offset-2^63+1", sample(index_offset=huge).to_bytes(), "open", EINVAL),
        Case("index-offset-max", sample(index_offset=2**64 - 1).to_bytes(), "open", EINVAL),
        Case("index-offset-2^62", sample(index_offset=2**62).to_bytes(), "open", FILL),
        Case("index-offset-inside-magic", sample(index_offset=INDEX_OFFSET + 1).to_bytes(), "open", "Index magic number mismatch"),
        Case("data-offset-huge-copy", sample(data_offset=2**62).to_bytes(), "copy", FILL),
        Case("data-offset-2^63+1-copy", sample(data_offset=huge).to_bytes(), "copy", f"{FILL}|{EINVAL}"),
        Case("data-offset-max-copy", sample(data_offset=2**64 - 1).to_bytes(), "copy", f"{FILL}|{EINVAL}"),
        Case("data-offset-below-header-copy", sample(data_offset=3).to_bytes(), "copy", f"{FILL}|Invalid data offset: 3"),
        # The merge pads up to a data offset computed from this one: refused, or cut off by
        # the child's file size limit, but never a crash or a disk filled with zeros.
        Case("data-offset-huge-merge", sample(data_offset=2**40).to_bytes(), "merge", f"{EFBIG}|.*[Dd]ata offset.*"),
        Case("data-offset-inside-metadata-merge", sample(data_offset=100).to_bytes(), "merge", ".*[Dd]ata offset.*"),
        # Below the end of the metadata by more than the compact document saves: the new
        # data offset (data_offset - metadata_length + new length) wraps to nearly 2^64.
        # Found by the fuzzer: the merge then writes zeros until the disk is full.
        Case("data-offset-wraps-merge", sample(data_offset=3).to_bytes(), "merge", ".*[Dd]ata offset.*"),
    ]


def index_locations() -> list[Case]:
    block0, block2 = STARTS[0], STARTS[2]
    cases = []
    for name, location, message in [
        ("2^62", 2**62, FILL),
        ("2^63+5", 2**63 + 5, EINVAL),
        ("max", 2**64 - 1, EINVAL),
        ("header-past-end", len(with_entries((0, 0), (2, 0))) - 8, FILL),
        ("count-from-index-bytes", INDEX_OFFSET - 8, FILL),  # reads "X$\r\n" as the record count
    ]:
        data = with_entries((0, block0), (2, location))
        cases += [
            Case(f"location-{name}-records", data, "records", RECORDS + message, 2, then=0),
            Case(f"location-{name}-pulses", data, "pulses", PULSES + message, 2, then=0),
            Case(f"location-{name}-copy", data, "copy", message),
            Case(f"location-{name}-merge", data, "merge", message),
        ]
    zero = with_entries((0, block0), (2, 0))
    cases += [
        Case("location-zero-records", zero, "records", RECORDS + absent(2), 2, then=0),
        # Listed in the index, so the copy asks for it, and the lookup refuses it.
        Case("location-zero-copy", zero, "copy", absent(2)),
        # Numbers far apart: the lookup table must not grow with the span of numbers.
        Case("wide-span-last", with_entries((0, block0), (0xFFFFFFFF, block2)), "records", None, 0xFFFFFFFF, rows=COUNTS[2], then=0),
        Case("wide-span-gap", with_entries((0, block0), (0xFFFFFFFF, block2)), "records", RECORDS + absent(7), 7, then=0),
    ]
    return cases


def overlapping_blocks() -> list[Case]:
    # Aperture 2's block starts at aperture 0's first record, whose words 6 and 7 (read as
    # record_count) are 3 and 0: its records are block 0's last two and block 1's header.
    inside = with_entries((0, STARTS[0]), (2, STARTS[0] + 16))
    shared = with_entries((0, STARTS[2]), (2, STARTS[2]))
    return [
        Case("overlap-records", inside, "records", None, 2, rows=3, then=0),
        Case("overlap-pulses", inside, "pulses", None, 2, then=0),
        Case("overlap-copy", inside, "copy", None),
        Case("shared-block-records", shared, "records", None, 0, rows=COUNTS[2], then=2),
        Case("shared-block-copy", shared, "copy", None),
        Case("shared-block-merge", shared, "merge", None),
    ]


def record_counts() -> list[Case]:
    cases = []
    # The last block is followed by the 44 bytes of the index: three more records do not fit.
    for count in [COUNTS[2] + 3, 2**24, 2**28, 0xFFFFFFFF]:
        data = with_count(2, count)
        cases += [
            Case(f"record-count-{count}-records", data, "records", RECORDS + FILL, 2, then=0),
            Case(f"record-count-{count}-pulses", data, "pulses", PULSES + FILL, 2, then=0),
            Case(f"record-count-{count}-copy", data, "copy", FILL),
            Case(f"record-count-{count}-merge", data, "merge", FILL),
        ]
    return cases


def metadata() -> list[Case]:
    utf8 = "Failed to parse metadata as UTF-8: .+"
    parse = "Failed to parse metadata JSON: .+"
    documents = {
        "lone-continuation": (b'{"fps": 100, "duration": 1, "s": "\x80"}', utf8),
        "overlong-nul": (b'{"fps": 100, "duration": 1, "s": "\xc0\x80"}', utf8),
        "beyond-unicode": (b'{"fps": 100, "duration": 1, "s": "\xf4\x90\x80\x80"}', utf8),
        "cut-sequence": (b'{"fps": 100, "duration": 1, "s": "\xe2\x82', utf8),
        "empty": (b"", parse),
        "trailing-comma": (b'{"fps": 100, "duration": 1,}', parse),
        "cut-document": (b'{"fps": 100, "duration": 1', parse),
        "two-documents": (b'{"fps": 100, "duration": 1} {}', parse),
        # A NUL byte is no JSON whitespace: the document does not end there.
        "nul-then-more": (b'{"fps": 100, "duration": 1}\x00{"fps": "x"}', parse),
        "control-in-string": (b'{"fps": 100, "duration": 1, "s": "\x01"}', parse),
        "lone-surrogate-escape": (b'{"fps": 100, "duration": 1, "s": "\\ud800x"}', parse),
        # Found by the fuzzer: a number beyond the double range escaped as a PanicException.
        "number-overflow": (b"1e400", parse),
        "number-overflow-in-object": (b'{"fps": 100, "duration": 1, "x": -1e999}', parse),
    }
    cases = [Case(f"metadata-{name}", sample(metadata=doc).to_bytes(), "open", error) for name, (doc, error) in documents.items()]
    # Deep nesting: refused by the core, or by Python's json.loads, but no stack overflow.
    deep = sample(metadata=nested(100_000)).to_bytes()
    cases.append(Case("metadata-deep-nesting", deep, "open", ".+", types=("RuntimeError", "RecursionError")))
    return cases


CASES = data_truncations() + absurd_fields() + index_locations() + overlapping_blocks() + record_counts() + metadata()


# --------------------------------------------------------------------------- the child

CHILD = r"""
import json, os, resource, signal, sys
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
limit = 64 << 20
resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
from zyn_pulse_reader import PulseReader, merge_pulse_files

def rows(frame):
    return len(frame)

def run(case):
    path, out = case["path"], case["path"] + ".out"
    action, aperture = case["action"], case["aperture"]
    result = {}
    try:
        if action == "merge":
            merge_pulse_files([path], out)
            PulseReader(out).close()
            return result
        with PulseReader(path) as reader:
            try:
                if action == "records":
                    result["rows"] = rows(reader.get_all_records(aperture))
                elif action == "pulses":
                    result["rows"] = rows(reader.get_pulses(aperture))
                elif action == "copy":
                    reader.copy_apertures_to_new_file(reader.apertures, out)
                    with PulseReader(out) as copied:
                        for number in copied.apertures:
                            copied.get_all_records(number)
            finally:
                if case["then"] is not None:
                    result["then"] = rows(reader.get_all_records(case["then"]))
    except BaseException as error:
        result["type"] = type(error).__name__
        result["message"] = str(error)
    finally:
        result["output_exists"] = os.path.exists(out)
        if os.path.exists(out):
            os.remove(out)
    return result

for line in sys.stdin:
    case = json.loads(line)
    print("START " + case["name"], flush=True)
    print("DONE " + json.dumps(run(case)), flush=True)
"""


def run_children(cases: list[dict]) -> dict[str, dict]:
    outcomes: dict[str, dict] = {}
    remaining = list(cases)
    while remaining:
        child = subprocess.run(
            [sys.executable, "-c", CHILD],
            input="".join(json.dumps(case) + "\n" for case in remaining),
            capture_output=True,
            text=True,
            timeout=300,
        )
        started = None
        for line in child.stdout.splitlines():
            if line.startswith("START "):
                started = line[6:]
            elif line.startswith("DONE ") and started is not None:
                outcomes[started] = json.loads(line[5:])
                started = None
        if started is not None:  # the child died in this case
            outcomes[started] = {"type": f"child died (exit status {child.returncode})", "message": child.stderr[-3000:]}
        elif child.returncode != 0:
            pytest.fail(f"the child failed outside any case:\n{child.stderr[-3000:]}")
        remaining = [case for case in remaining if case["name"] not in outcomes]
    return outcomes


@pytest.fixture(scope="module")
def outcomes(tmp_path_factory):
    directory = tmp_path_factory.mktemp("damaged")
    cases = []
    for number, case in enumerate(CASES):
        path = directory / f"{number}.bin"
        path.write_bytes(case.data)
        cases.append({"name": case.name, "path": str(path), "action": case.action,
                      "aperture": case.aperture, "then": case.then})
    return run_children(cases)


def test_case_names_are_unique():
    assert len({case.name for case in CASES}) == len(CASES)


@pytest.mark.parametrize("case", CASES, ids=lambda case: case.name)
def test_damaged_file(outcomes, case):
    outcome = outcomes[case.name]
    if case.error is None:
        assert "type" not in outcome, f"{outcome.get('type')}: {outcome.get('message')}"
        if case.rows is not None:
            assert outcome["rows"] == case.rows
    else:
        assert outcome.get("type") in case.types, outcome
        assert re.fullmatch(case.error, outcome["message"], re.DOTALL), outcome["message"]
        if case.action == "copy":
            # The copy checks everything it will read before it creates the output.
            assert not outcome["output_exists"]
    if case.then is not None:
        assert outcome.get("then") == COUNTS[case.then], "the reader is not usable after the failure"


def test_every_truncation_fails_as_short_read(tmp_path):
    # The index is the last thing in the file, so every cut, whichever region it falls in
    # (header, encoding records, metadata, padding, a block, the index magic or an entry),
    # loses bytes that opening needs.
    cases = []
    for cut in range(len(VALID)):
        path = tmp_path / f"{cut}.bin"
        path.write_bytes(VALID[:cut])
        cases.append({"name": str(cut), "path": str(path), "action": "open", "aperture": 0, "then": None})
    outcomes = run_children(cases)
    wrong = {cut: outcome for cut, outcome in outcomes.items()
             if (outcome.get("type"), outcome.get("message")) != ("RuntimeError", FILL)}
    assert not wrong, f"regions: metadata {METADATA_OFFSET}-{METADATA_END}, blocks {STARTS}, index {INDEX_OFFSET}"


@pytest.mark.parametrize("query", ["get_all_records", "get_pulses", "filtered", "get_pulses_many"])
@pytest.mark.parametrize("kept", [0.3, 0.9])
def test_file_cut_after_opening_fails_as_short_read(tmp_path, query, kept):
    # A large aperture is decoded in pieces, its records on two threads: a cut in either
    # half (found by a read in whichever thread) ends the query with the short-read error.
    zpr = pytest.importorskip("zyn_pulse_reader")
    count = 70_001
    raw = np.zeros((count, 8), np.uint16)
    raw[:, 0], raw[::2, 1] = 3, 2
    numbers = np.array([0])
    data = bulk_file(numbers, numbers, numbers, raw, np.array([count]), [(0, 0, 0)] * 8, DEFAULT_METADATA)
    path = tmp_path / "cut.bin"
    data.write(path)
    with zpr.PulseReader(str(path)) as reader:
        block_end = METADATA_OFFSET + len(data.metadata_bytes()) + 16 + 16 * count
        os.truncate(path, int(block_end - (1 - kept) * 16 * count))
        run = {
            "get_all_records": lambda: reader.get_all_records(0),
            "get_pulses": lambda: reader.get_pulses(0),
            "filtered": lambda: reader.get_pulses(0, pulse_filter_kwargs={"min_dur_f": 1}),
            "get_pulses_many": lambda: reader.get_pulses_many(),
        }[query]
        with pytest.raises(RuntimeError, match=f"^Failed to get (records|pulses): {FILL}$"):
            run()
