"""Result columns are the frames' own memory, and freed ones are reused by later queries:
no query may ever write into memory that a live frame or array still uses, and a reused
buffer must never leak old values into a new result."""

import gc
import sys
from collections import Counter

import numpy as np
import pandas as pd
import pytest

from model import bulk_file
from pulsefile import DEFAULT_METADATA

zpr = pytest.importorskip("zyn_pulse_reader")

# Small (malloc), mapped (64 KiB and up) and huge-page (4 MiB and up) column buffers.
COUNTS = [150, 30_000, 400_000, 9]


@pytest.fixture(scope="module")
def path(tmp_path_factory):
    rng = np.random.default_rng(11)
    n = sum(COUNTS)
    raw = rng.integers(0, 65536, (n, 8), dtype=np.uint16)
    raw[:, 0] = rng.integers(1, 50, n)
    raw[rng.random(n) < 0.3, 1] = 0
    # A long run of one kind (pulses) at the start of aperture 1.
    raw[COUNTS[0] : COUNTS[0] + 10_000, 1] |= 1
    numbers = np.arange(len(COUNTS))
    file = bulk_file(numbers, numbers, numbers, raw, np.array(COUNTS), [(0, 2, 9)] * 8, DEFAULT_METADATA)
    out = tmp_path_factory.mktemp("memory") / "run.pulses.bin"
    file.write(out)
    return str(out)


def every_query(reader):
    """One of each query on every aperture, results dropped at once."""
    for aperture in range(len(COUNTS)):
        reader.get_all_records(aperture)
        reader.get_pulses(aperture)
        reader.get_pulses(aperture, pulse_filter_kwargs={"min_dur_f": 3000, "recalc_ipd": True})
    reader.get_pulses_many()
    gc.collect()


def test_live_frames_and_arrays_are_never_overwritten(path):
    with zpr.PulseReader(path) as reader:
        frames = {(kind, a): getattr(reader, kind)(a) for kind in ("get_all_records", "get_pulses") for a in (1, 2)}
        frames["many"] = reader.get_pulses_many()
        snapshots = {key: frame.copy(deep=True) for key, frame in frames.items()}
        # Arrays taken out of frames that are then dropped keep their buffers alive too.
        arrays = [reader.get_pulses(2)["snr"].to_numpy(), reader.get_all_records(1)["event_f"].to_numpy()]
        array_bits = [a.view(np.uint8).copy() for a in arrays]
        gc.collect()
        for _ in range(3):
            every_query(reader)
        for key, frame in frames.items():
            pd.testing.assert_frame_equal(frame, snapshots[key], obj=str(key))
        for array, bits in zip(arrays, array_bits):
            assert np.array_equal(array.view(np.uint8), bits)


@pytest.mark.parametrize("kind", ["get_all_records", "get_pulses", "filtered"])
def test_reused_buffers_give_the_same_results(path, kind):
    def query(reader, aperture):
        if kind == "filtered":
            return reader.get_pulses(aperture, pulse_filter_kwargs={"min_snr": 0.5})
        return getattr(reader, kind)(aperture)

    with zpr.PulseReader(path) as reader:
        first = {a: query(reader, a) for a in range(len(COUNTS))}
        snapshots = {a: frame.copy(deep=True) for a, frame in first.items()}
        del first
        gc.collect()
        # Largest first, so that smaller results land in larger, used buffers.
        for aperture in sorted(range(len(COUNTS)), key=COUNTS.__getitem__, reverse=True):
            every_query(reader)
            pd.testing.assert_frame_equal(query(reader, aperture), snapshots[aperture])


@pytest.mark.parametrize("aperture", [0, 1, 2, 3])  # 150, 30,000 (10,000 pulses first), 400,000 and 9 rows
def test_record_type_names_keep_their_references_balanced(path, aperture):
    """Every "record_type" cell owns one reference to its name: taking them in bulk must add
    exactly one per cell, and freeing the table must give every one back."""
    with zpr.PulseReader(path) as reader:
        table = reader.get_all_records(aperture)
        column = table["record_type"].to_numpy()
        names = {id(name): name for name in column}.values()
        held = Counter(map(id, column))
        before = {id(name): sys.getrefcount(name) for name in names}
        again = reader.get_all_records(aperture)["record_type"].to_numpy()
        for name in names:
            assert sys.getrefcount(name) == before[id(name)] + held[id(name)]
        del again
        gc.collect()
        for name in names:
            assert sys.getrefcount(name) == before[id(name)]
