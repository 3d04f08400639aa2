"""Pulse filtering through get_pulses: criteria, the order check, recalc_ipd and filter choice.

Files use flat encodings (every word decodes to its signed value) and 100 frames per second,
so a pulse's intensities and background values are the numbers written into its record.
"""

import re

import numpy as np
import pytest

from conftest import metadata_with
from model import FLAT_ENCODINGS, assert_columns_equal, build_pulses, decode, filter_pulses, pulses_table, query, raw_words
from pulsefile import Aperture, background, padding, pulse

zpr = pytest.importorskip("zyn_pulse_reader")

UNSORTED = "Failed to get pulses: The provided pulses aren't sorted!"
BOTH = "Cannot provide both a PulseFilter object and keyword arguments for the filter!"
NAN = float("nan")


def place(*pulses) -> list[bytes]:
    """Records for pulses given as (start_f, end_f, *record words 2..7), in order."""
    records, clock = [], 0
    for start, end, *words in pulses:
        gap = start - clock
        while gap > 60000:
            records.append(background(60000))
            gap -= 60000
        records.append(pulse(gap, end - start, *words))
        clock = end
    return records


def kept(make_file, candidates, **criteria) -> list[bool]:
    """Whether each candidate pulse, alone in its own aperture, survives the criteria."""
    records = [place(c) for c in candidates]
    path = make_file(*[Aperture(n, r) for n, r in enumerate(records)], encodings=FLAT_ENCODINGS)
    with zpr.PulseReader(path) as reader:
        result = [len(reader.get_pulses(n, pulse_filter_kwargs=criteria)) == 1 for n in range(len(candidates))]
    raw = raw_words([b"".join(r) for r in records])
    model = build_pulses(decode(raw, FLAT_ENCODINGS, [len(r) for r in records]), 100)
    survivors, failed = filter_pulses(model, 100, len(candidates), **criteria)
    assert not failed.any()
    assert [n in survivors["aperture"] for n in range(len(candidates))] == result, "model disagrees"
    return result


@pytest.mark.parametrize(
    "criteria, candidates, expected",
    [
        ({"min_dur_f": 5}, [(10, 14), (10, 15), (10, 16)], [False, True, True]),
        ({"min_dur_f": 0}, [(10, 11)], [True]),
        ({"min_dur_s": 0.05}, [(10, 14), (10, 15), (10, 16)], [False, True, True]),
        ({"max_dur_s": 0.25}, [(10, 34), (10, 35), (10, 36)], [True, True, False]),
        ({"min_snr": 3.0}, [(1, 2, 0, 6, 0, 0, 0, 2), (1, 2, 0, 5, 0, 0, 0, 2), (1, 2, 0, 7, 0, 0, 0, 2)],
         [True, False, True]),
        ({"min_snr": 3}, [(1, 2, 0, 6, 0, 0, 0, 2), (1, 2, 0, -6, 0, 0, 0, -2)], [True, True]),
        ({"min_intensity": 7}, [(1, 2, 0, 6), (1, 2, 0, 7), (1, 2, 0, 8)], [False, True, True]),
        ({"min_binratio": 0.5}, [(1, 2, 3, 6), (1, 2, 2, 6), (1, 2, 4, 6)], [True, False, True]),
        ({"max_binratio": 0.5}, [(1, 2, 3, 6), (1, 2, 2, 6), (1, 2, 4, 6)], [True, True, False]),
        ({"max_binratio": 1e30}, [(1, 2, 3, 0), (1, 2, -3, 0)], [False, True]),  # +-inf ratios
        ({"start_m": 1.0}, [(5999, 6010), (6000, 6010)], [False, True]),
        ({"end_m": 1.0}, [(5990, 6000), (5990, 6001)], [True, False]),
        (
            {"mask_s": (10.0, 20.0)},
            [(900, 1000), (900, 999), (2000, 2010), (2001, 2010), (1500, 1600), (500, 2500)],
            [False, True, False, True, False, False],
        ),
        ({"mask_s": (20, 10)}, [(900, 999), (1500, 1600), (500, 2500), (2500, 2600)], [True, True, False, True]),
        # NaN in a tested quantity drops the pulse only when that criterion is present
        ({"min_snr": 0.0}, [(1, 2, 0, -32768, 0, 0, 0, 1), (1, 2, 0, 0, 0, 0, 0, 0)], [False, False]),
        ({"min_dur_f": 1}, [(1, 2, 0, -32768, 0, 0, 0, 1), (1, 2, 0, 0, 0, 0, 0, 0)], [True, True]),
        ({"min_binratio": -1e30}, [(1, 2, 0, 0), (1, 2, 1, 1)], [False, True]),
        # a NaN bound drops everything
        ({"min_snr": NAN}, [(1, 2, 0, 6, 0, 0, 0, 2)], [False]),
        ({"max_dur_s": NAN}, [(1, 2)], [False]),
        ({"start_m": NAN}, [(1, 2)], [False]),
        ({"mask_s": (NAN, NAN)}, [(1, 2)], [False]),
        # criteria combine; unknown keys are ignored
        ({"min_dur_f": 2, "min_intensity": 5, "max_frames": 1}, [(1, 3, 0, 5), (1, 2, 0, 9), (1, 3, 0, 4)],
         [True, False, False]),
    ],
)
def test_criteria(make_file, criteria, candidates, expected):
    assert kept(make_file, candidates, **criteria) == expected


def unsorted_cases():
    wrap = [pulse(10, 5)] + [padding()] * 65537 + [pulse(0, 1)]  # the clock wraps back to 14
    return {
        "touching": [pulse(10, 5), pulse(0, 4)],
        "first_at_zero": [pulse(0, 5), pulse(3, 4)],
        "touching_after_background": [pulse(10, 5), background(0), pulse(0, 1), pulse(3, 3)],
        "wrapped_clock": wrap,
    }


FILTER_VARIANTS = {
    "empty_dict": ({}, {"pulse_filter_kwargs": {}}),
    "empty_object": ({}, {"pulse_filter": zpr.PulseFilter()}),
    "drop_everything": ({}, {"pulse_filter_kwargs": {"min_dur_f": 100}}),
    "reader_default_dict": ({"pulse_filter_kwargs": {}}, {}),
    "reader_default_object": ({"pulse_filter": zpr.PulseFilter(min_snr=-1e30)}, {}),
}


@pytest.mark.parametrize("case", list(unsorted_cases()))
@pytest.mark.parametrize("variant", list(FILTER_VARIANTS))
def test_order_check(make_file, case, variant):
    records = unsorted_cases()[case]
    path = make_file(Aperture(3, records), encodings=FLAT_ENCODINGS)
    reader_args, call_args = FILTER_VARIANTS[variant]
    with zpr.PulseReader(path, **reader_args) as reader:
        with pytest.raises(RuntimeError, match=f"^{re.escape(UNSORTED)}$"):
            reader.get_pulses(3, **call_args)
        built = build_pulses(decode(raw_words(records), FLAT_ENCODINGS), 100)
        if not reader_args:  # without any filter the pulses come back as built
            assert reader.get_pulses(3).index.tolist() == built["index"].tolist()
        assert len(reader.get_all_records(3)) == len(records)  # still usable
    assert filter_pulses(built, 100)[1].tolist() == [True]


def test_sorted_pulses_pass_empty_filter(make_file):
    records = place((1, 5), (6, 7), (8, 100))
    path = make_file(Aperture(3, records), encodings=FLAT_ENCODINGS)
    plain = query(path)
    assert query(path, pulse_filter_kwargs={}).equals(plain)
    assert query(path, pulse_filter=zpr.PulseFilter()).equals(plain)
    assert len(plain) == 3


ABC = [(10, 15), (25, 29), (40, 45)]  # B is short; ipd_f 0, 10 and 11
SHORT_A = [(10, 14), (25, 30), (40, 45)]  # A is short; ipd_f 0, 11 and 10


@pytest.mark.parametrize(
    "spans, recalc, expected",
    [
        (ABC, True, [(0, 0), (2, 25)]),
        (ABC, False, [(0, 0), (2, 11)]),
        (SHORT_A, True, [(1, 0), (2, 10)]),
        (SHORT_A, False, [(1, 11), (2, 10)]),
    ],
)
def test_recalc_ipd(make_file, spans, recalc, expected):
    path = make_file(Aperture(3, place(*spans)), encodings=FLAT_ENCODINGS)
    df = query(path, pulse_filter_kwargs={"min_dur_f": 5, "recalc_ipd": recalc})
    assert list(zip(df.index, df["ipd_f"])) == expected
    assert df["ipd_s"].tolist() == [np.float32(ipd) / np.float32(100) for _, ipd in expected]
    assert df["start_f"].tolist() == [spans[i][0] for i, _ in expected]


DURATIONS = place(*[(10 * k, 10 * k + k) for k in range(1, 7)])  # six pulses, durations 1..6
DEFAULT_DICT = {"pulse_filter_kwargs": {"min_dur_f": 2}}


@pytest.mark.parametrize(
    "reader_args, call_args, count",
    [
        ({}, {}, 6),
        (DEFAULT_DICT, {}, 5),
        ({"pulse_filter": zpr.PulseFilter(min_dur_f=2)}, {}, 5),
        ({"pulse_filter": None, "pulse_filter_kwargs": {"min_dur_f": 2}}, {}, 5),
        (DEFAULT_DICT, {"pulse_filter": zpr.PulseFilter(min_dur_f=3)}, 4),
        (DEFAULT_DICT, {"pulse_filter_kwargs": {"min_dur_f": 4}}, 3),
        (DEFAULT_DICT, {"pulse_filter": None, "pulse_filter_kwargs": {"min_dur_f": 4}}, 3),
        (DEFAULT_DICT, {"pulse_filter": None, "pulse_filter_kwargs": None}, 5),
        (DEFAULT_DICT, {"pulse_filter_kwargs": {}}, 6),  # an empty dict replaces the default
        (DEFAULT_DICT, {"pulse_filter": zpr.PulseFilter()}, 6),
        ({"pulse_filter": zpr.PulseFilter(min_dur_f=5)}, {"pulse_filter_kwargs": {"min_dur_f": 4}}, 3),
        ({}, {"pulse_filter_kwargs": {"min_dur_f": 6}}, 1),
    ],
)
def test_filter_precedence(make_file, reader_args, call_args, count):
    path = make_file(Aperture(3, DURATIONS), encodings=FLAT_ENCODINGS)
    with zpr.PulseReader(path, **reader_args) as reader:
        df = reader.get_pulses(3, **call_args)
    assert df["dur_f"].tolist() == list(range(7 - count, 7))


@pytest.mark.parametrize("reader_args", [{}, DEFAULT_DICT])
@pytest.mark.parametrize("kwargs", [{}, {"min_dur_f": 4}])
def test_filter_object_and_dict_conflict(make_file, reader_args, kwargs):
    path = make_file(Aperture(3, DURATIONS), encodings=FLAT_ENCODINGS)
    reader = zpr.PulseReader(path, **reader_args)
    with pytest.raises(RuntimeError, match=f"^{re.escape(BOTH)}$"):
        reader.get_pulses(3, pulse_filter=zpr.PulseFilter(), pulse_filter_kwargs=kwargs)
    assert len(reader.get_pulses(3)) == (6 if not reader_args else 5)
    reader.close()
    with pytest.raises(RuntimeError, match="^PulseReader cannot be used after the pulse file has been closed!$"):
        reader.get_pulses(3, pulse_filter=zpr.PulseFilter(), pulse_filter_kwargs=kwargs)


@pytest.mark.parametrize(
    "call_args, error, message",
    [
        ({"pulse_filter_kwargs": {"min_dur_f": -1}}, OverflowError, None),
        ({"pulse_filter_kwargs": {"min_snr": 1.0, 7: 1.0}}, TypeError, None),
        ({"pulse_filter_kwargs": {"mask_s": [1.0, 2.0]}}, TypeError, None),
        ({"pulse_filter_kwargs": {"mask_s": (1.0, 2.0, 3.0)}}, ValueError, None),
        ({"pulse_filter_kwargs": {"recalc_ipd": 1}}, TypeError, None),
        ({"pulse_filter_kwargs": [("min_dur_f", 1)]}, TypeError,
         "argument 'pulse_filter_kwargs': 'list' object cannot be converted to 'PyDict'"),
        ({"pulse_filter": {"min_dur_f": 1}}, TypeError,
         "argument 'pulse_filter': 'dict' object cannot be converted to 'PulseFilter'"),
    ],
)
def test_bad_filter_arguments(make_file, call_args, error, message):
    path = make_file(Aperture(3, DURATIONS), encodings=FLAT_ENCODINGS)
    with zpr.PulseReader(path) as reader:
        with pytest.raises(error) as info:
            reader.get_pulses(3, **call_args)
        assert not str(info.value).startswith("Failed to get pulses")
        if message:
            assert str(info.value) == message
        assert len(reader.get_pulses(3)) == 6


def spread_pulses() -> list[bytes]:
    """Pulses whose start and end frames run from small counts to past 2^25, where the float
    conversion of a frame count rounds, with durations from 1 to 65535 frames."""
    records, rng = [], np.random.default_rng(7)
    for n in range(400):
        records.append(pulse(int(rng.integers(1, 65536)), int(rng.integers(1, 65536)) if n % 3 else n % 7 + 1))
    return records


@pytest.mark.parametrize("fps", [100.0, 29.97, 1e-3, 3e38, 0.0, -50.0])
@pytest.mark.parametrize("criterion", ["start_m", "end_m", "mask_s", "min_dur_s", "max_dur_s"])
def test_time_criteria_at_exact_bounds(make_file, fps, criterion):
    # Bounds equal to the times of actual pulses, and the floats just beside them: a criterion
    # must split the pulses exactly where the division in single precision puts them.
    records = spread_pulses()
    path = make_file(Aperture(3, records), encodings=FLAT_ENCODINGS, metadata=metadata_with(fps=fps))
    model = build_pulses(decode(raw_words(records), FLAT_ENCODINGS), fps)
    f32 = np.float32
    with np.errstate(all="ignore"):
        times = {
            "start_m": model["start_f"].astype(f32) / (f32(60) * f32(fps)),
            "end_m": model["end_f"].astype(f32) / (f32(60) * f32(fps)),
            "mask_s": model["start_f"].astype(f32) / f32(fps),
            "min_dur_s": model["dur_s"],
            "max_dur_s": model["dur_s"],
        }[criterion]
    picks = times[[0, 1, 57, 211, 399]]
    bounds = np.concatenate([picks, np.nextafter(picks, f32(np.inf)), np.nextafter(picks, f32(-np.inf))])
    with zpr.PulseReader(path) as reader:
        for bound in bounds.tolist():
            value = (bound, bound * 2 + 1) if criterion == "mask_s" else bound
            criteria = {criterion: value, "recalc_ipd": True}
            want, failed = filter_pulses(model, fps, **criteria)
            assert not failed.any()
            got = reader.get_pulses(3, pulse_filter_kwargs=criteria)
            assert_columns_equal(got.reset_index(), pulses_table(want, 3), where=lambda row: f"bound {bound!r}")
