"""Queries and writers over thousands of apertures read the block headers on two threads.
Whatever is wrong with the list or the file, the error must be the first one the list meets
in order, as if the headers were read one by one, and a refused copy or merge must create
nothing."""

from __future__ import annotations

import numpy as np
import pytest

from model import bulk_file
from pulsefile import DEFAULT_METADATA

zpr = pytest.importorskip("zyn_pulse_reader")

COUNT = 5000  # apertures, well above the two-thread threshold
FILL = "failed to fill whole buffer"
EARLY, LATE = 40, 4500  # positions in the front and in the back half of the list


def absent(number: int) -> str:
    return f"This file does not contain the provided aperture index: {number}"


def write(tmp_path, damaged=(), outside=()):
    """COUNT apertures of two records each; the blocks at the `damaged` positions claim more
    records than the file holds, and the index places those at the `outside` positions
    past the file's end."""
    numbers = np.arange(COUNT)
    counts = np.full(COUNT, 2)
    raw = np.zeros((2 * COUNT, 8), np.uint16)
    raw[:, 0], raw[:, 1] = 5, 1
    metadata = {**DEFAULT_METADATA, "rows": 50, "cols": 100}  # a strip of 5,000 apertures, for the merge
    pulse_file = bulk_file(numbers, numbers, numbers, raw, counts, [(0, 0, 0)] * 8, metadata)
    data = bytearray(pulse_file.to_bytes())
    for position in damaged:
        location = pulse_file.index_entries[position][1]
        data[location + 12 : location + 16] = (1 << 31).to_bytes(4, "little")
    for position in outside:
        entry = len(data) - 12 * (COUNT - position)
        data[entry + 4 : entry + 12] = (len(data) + 1000).to_bytes(8, "little")
    path = tmp_path / "long.bin"
    path.write_bytes(bytes(data))
    return str(path)


@pytest.mark.parametrize(
    "damaged, missing, message",
    [
        ((LATE,), None, FILL),
        ((EARLY,), None, FILL),
        ((LATE,), EARLY, absent(COUNT + 7)),  # the missing aperture comes first
        ((EARLY,), LATE, FILL),  # the damaged block comes first
        ((), LATE, absent(COUNT + 7)),
    ],
)
def test_get_pulses_many_reports_the_first_fault_in_order(tmp_path, damaged, missing, message):
    apertures = list(range(COUNT))
    if missing is not None:
        apertures[missing] = COUNT + 7
    with zpr.PulseReader(write(tmp_path, damaged)) as reader:
        with pytest.raises(RuntimeError) as info:
            reader.get_pulses_many(apertures)
        assert str(info.value) == "Failed to get pulses: " + message
        # The reader is still usable, and undamaged lists still work.
        assert len(reader.get_pulses_many(list(range(EARLY)))) == 2 * EARLY


@pytest.mark.parametrize(
    "damaged, outside, missing, message",
    [
        ((LATE,), (), None, FILL),
        ((), (EARLY,), None, FILL),
        ((LATE,), (EARLY,), None, FILL),
        ((EARLY,), (LATE,), None, FILL),
        ((), (LATE,), EARLY, absent(COUNT + 7)),
        ((LATE,), (), EARLY, absent(COUNT + 7)),
        ((EARLY,), (), LATE, FILL),
    ],
)
def test_summary_reports_the_first_fault_in_order(tmp_path, damaged, outside, missing, message):
    # A summary reads each block with its neighbours in one pass over the list, on two
    # threads: the fault it reports must still be the first one in the list.
    apertures = list(range(COUNT))
    if missing is not None:
        apertures[missing] = COUNT + 7
    with zpr.PulseReader(write(tmp_path, damaged, outside)) as reader:
        with pytest.raises(RuntimeError) as info:
            reader.summary(apertures)
        assert str(info.value) == "Failed to get pulses: " + message
        assert reader.summary(list(range(EARLY)))["pulses"].tolist() == [2] * EARLY


@pytest.mark.parametrize("damaged", [(EARLY,), (LATE,), (EARLY, LATE)])
def test_refused_copy_creates_nothing(tmp_path, damaged):
    out = tmp_path / "out.bin"
    with zpr.PulseReader(write(tmp_path, damaged)) as reader:
        with pytest.raises(RuntimeError) as failure:
            reader.copy_apertures_to_new_file(list(range(COUNT)), str(out))
        assert str(failure.value) == FILL
    assert not out.exists()


@pytest.mark.parametrize("damaged", [(EARLY,), (LATE,)])
def test_refused_merge_creates_nothing(tmp_path, damaged):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    first = write(tmp_path / "a")
    second = write(tmp_path / "b", damaged)
    out = tmp_path / "merged.bin"
    with pytest.raises(RuntimeError) as failure:
        zpr.merge_pulse_files([first, second], str(out))
    assert str(failure.value) == FILL
    assert not out.exists()


def test_long_lists_give_what_one_by_one_reading_gives(tmp_path):
    path = write(tmp_path)
    out = tmp_path / "copy.bin"
    with zpr.PulseReader(path) as reader:
        chosen = list(range(0, COUNT, 2))
        reader.copy_apertures_to_new_file(chosen, str(out))
        many = reader.get_pulses_many()
        with zpr.PulseReader(str(out)) as copy:
            assert copy.apertures == chosen
            for aperture in (0, 2, COUNT - 2):
                assert copy.get_all_records(aperture).equals(reader.get_all_records(aperture))
    assert len(many) == 2 * COUNT
    assert (many["aperture_index"].to_numpy() == np.repeat(np.arange(COUNT), 2)).all()
