"""get_pulses_many: the pulses of many apertures in one frame, equal to concatenating the
per-aperture get_pulses frames it replaces."""

import numpy as np
import pandas as pd
import pytest

from model import bulk_file
from pulsefile import DEFAULT_METADATA, Aperture, pulse, background, padding

zpr = pytest.importorskip("zyn_pulse_reader")


@pytest.fixture(scope="module")
def run_file(tmp_path_factory):
    """300 apertures with random pulses, background and padding; some have no records, and
    two have over a hundred thousand (read in several pieces), enough records in all for
    two runs of apertures to be built side by side."""
    rng = np.random.default_rng(7)
    numbers = np.sort(rng.choice(5000, 300, replace=False))
    counts = rng.integers(0, 60, numbers.size)
    counts[::17] = 0
    counts[[5, 200]] = [140_003, 125_001]
    n = int(counts.sum())
    raw = rng.integers(0, 65536, (n, 8), dtype=np.uint16)
    raw[:, 0] = rng.integers(1, 30, n)
    raw[rng.random(n) < 0.4, 1] = 0
    raw[rng.random(n) < 0.01, 0] = 0xFFFF
    path = tmp_path_factory.mktemp("many") / "run.pulses.bin"
    pulse_file = bulk_file(numbers, numbers % 70, numbers // 70, raw, counts, [(0, 3, 7)] * 8, DEFAULT_METADATA)
    pulse_file.write(path)
    return str(path), [int(a) for a in numbers]


def concat(reader, apertures, **kwargs):
    return pd.concat([reader.get_pulses(a, **kwargs) for a in apertures])


@pytest.mark.parametrize("filter_kwargs", [{}, {"pulse_filter_kwargs": {"min_dur_f": 2000, "recalc_ipd": True}},
                                           {"pulse_filter": "object"}])
@pytest.mark.parametrize("subset", ["all", "some", "repeated"])
def test_equals_concatenated_get_pulses(run_file, filter_kwargs, subset):
    path, numbers = run_file
    if filter_kwargs.get("pulse_filter") == "object":
        filter_kwargs = {"pulse_filter": zpr.PulseFilter(min_snr=0.5, max_binratio=10.0)}
    apertures = {"all": numbers, "some": numbers[::-7], "repeated": [numbers[3], numbers[3], numbers[0]]}[subset]
    with zpr.PulseReader(path) as reader:
        many = reader.get_pulses_many(None if subset == "all" else np.array(apertures, np.uint64), **filter_kwargs)
        expected = concat(reader, apertures, **filter_kwargs)
        pd.testing.assert_frame_equal(many, expected)
        assert many.index.name == "index" and many.index.dtype == np.uint64
        assert many.attrs == {k: v for k, v in reader.get_pulses(numbers[0]).attrs.items()
                              if not k.startswith("aperture_")}


def test_reader_default_filter_applies_unless_the_call_names_one(run_file):
    path, numbers = run_file
    with zpr.PulseReader(path, pulse_filter_kwargs={"min_dur_f": 30000}) as reader:
        filtered = reader.get_pulses_many()
        pd.testing.assert_frame_equal(filtered, concat(reader, numbers))
        assert len(reader.get_pulses_many(pulse_filter_kwargs={})) > len(filtered)


def test_empty_request_gives_all_columns(run_file):
    path, numbers = run_file
    with zpr.PulseReader(path) as reader:
        empty = reader.get_pulses_many([])
        assert list(empty.columns) == list(reader.get_pulses(numbers[0]).columns)
        assert len(empty) == 0 and empty.index.name == "index"


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda r: r.get_pulses_many([0, 999999]), RuntimeError,
         "Failed to get pulses: This file does not contain the provided aperture index: 999999"),
        (lambda r: r.get_pulses_many("12"), TypeError, "argument 'apertures': Can't extract `str` to `Vec`"),
        (lambda r: r.get_pulses_many({1, 2}), TypeError,
         "argument 'apertures': 'set' object cannot be converted to 'Sequence'"),
        (lambda r: r.get_pulses_many(pulse_filter=zpr.PulseFilter(), pulse_filter_kwargs={}), RuntimeError,
         "Cannot provide both a PulseFilter object and keyword arguments for the filter!"),
    ],
)
def test_errors(make_file, call, error, message):
    reader = zpr.PulseReader(make_file(Aperture(0, [pulse(5, 2)])))
    with pytest.raises(error) as raised:
        call(reader)
    assert str(raised.value) == message
    assert len(reader.get_pulses_many()) == 1  # the reader stays usable


def test_unsorted_aperture_fails_only_with_a_filter(make_file):
    path = make_file(Aperture(0, [pulse(5, 2)]), Aperture(1, [pulse(5, 2), pulse(0, 3)]))
    with zpr.PulseReader(path) as reader:
        assert len(reader.get_pulses_many()) == 3
        with pytest.raises(RuntimeError, match="^Failed to get pulses: aperture 1: The provided pulses aren't sorted!$"):
            reader.get_pulses_many(pulse_filter_kwargs={})


def test_closed_reader(make_file):
    reader = zpr.PulseReader(make_file(Aperture(0, [background(3), padding()])))
    reader.close()
    with pytest.raises(RuntimeError, match="^PulseReader cannot be used after the pulse file has been closed!$"):
        reader.get_pulses_many()


@pytest.mark.parametrize("unsorted", ["front", "back"])
def test_unsorted_aperture_in_either_run_fails_the_filtered_call(tmp_path, unsorted):
    # Two apertures of 150,000 records, built side by side; one has a pulse that starts where
    # the previous pulse ends.
    count = 150_000
    raw = np.zeros((2 * count, 8), np.uint16)
    raw[:, 0], raw[:, 1] = 2, 1
    bad = 70_000 + (count if unsorted == "back" else 0)
    raw[bad, 0] = 0
    numbers = np.array([0, 1])
    path = tmp_path / "two.bin"
    bulk_file(numbers, numbers, numbers, raw, np.array([count, count]), [(0, 0, 0)] * 8, DEFAULT_METADATA).write(path)
    with zpr.PulseReader(str(path)) as reader:
        assert len(reader.get_pulses_many()) == 2 * count
        expected = f"^Failed to get pulses: aperture {int(unsorted == 'back')}: The provided pulses aren't sorted!$"
        with pytest.raises(RuntimeError, match=expected):
            reader.get_pulses_many(pulse_filter_kwargs={"min_dur_f": 1})
