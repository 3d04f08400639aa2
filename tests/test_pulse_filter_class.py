"""The PulseFilter class and the filter arguments of PulseReader and get_pulses: how keyword
values are converted and refused, and that every keyword reaches its own criterion."""

from __future__ import annotations

from fractions import Fraction

import numpy as np
import pandas  # noqa: F401  (imported up front so that its files are not counted as leaks)
import pytest

from pulsefile import Aperture, background, pulse
from zyn_pulse_reader import PulseFilter, PulseReader

pytestmark = pytest.mark.usefixtures("no_fd_leak")

OUT_OF_RANGE = "out of range integral type conversion attempted"

# Aperture 3 at 100 fps, scaled with the default encodings (intensities v/16 + 100, bin-1
# background std v/8). Four pulses at record positions 0, 2, 3 and 4:
#
#   pos  start  end   dur_s  intensity  bin0   binratio  bg_std  snr
#   A 0     10    15  0.05   110        27.5   0.25      11      10
#   B 2     25    45  0.20   120        240    2.0       60      2
#   C 3     50   100  0.50   130        65     0.5       26      5
#   D 4   6100  6110  0.10   140        140    1.0       7       20
#
# ipd_f: A 0, B 10, C 5, D 6000. Every keyword below keeps a different subset, so a keyword
# routed to the wrong criterion cannot go unnoticed; several values sit exactly on a bound.
RECORDS = [
    pulse(10, 5, b0=-1160, b1=160, s1=88),
    background(7),
    pulse(3, 20, b0=2240, b1=320, s1=480),
    pulse(5, 50, b0=-560, b1=480, s1=208),
    pulse(6000, 10, b0=640, b1=640, s1=56),
]
A, B, C, D = 0, 2, 3, 4
ALL = [A, B, C, D]

SELECTIONS = [
    ({"min_dur_f": 10}, [B, C, D]),
    ({"min_dur_s": 0.2}, [B, C]),
    # Narrowed to single precision this equals B's duration; compared in double it would not.
    ({"min_dur_s": 0.200000003}, [B, C]),
    ({"max_dur_s": 0.1}, [A, D]),
    ({"min_snr": 5}, [A, C, D]),
    ({"min_intensity": 125}, [C, D]),
    ({"min_binratio": 1.0}, [B, D]),
    ({"max_binratio": 0.5}, [A, C]),
    ({"start_m": 1.0}, [D]),
    ({"end_m": 0.5}, [A, B, C]),
    ({"mask_s": (0.46, 0.5)}, [A, B, D]),
    ({"recalc_ipd": True}, ALL),
    ({"min_snr": float("nan")}, []),
    ({"min_intensity": 125, "min_binratio": 1.0}, [D]),
    ({"foo": 1, "max_dur_f": 3, "Min_snr": None}, ALL),  # unknown keys are ignored
]


@pytest.fixture
def path(make_file):
    return make_file(Aperture(3, RECORDS))


@pytest.fixture
def reader(path):
    reader = PulseReader(path)
    yield reader
    reader.close()


def kept(frame) -> list[int]:
    return frame.index.tolist()


class KwargsDict(dict):
    """Filter keywords may come in any dict subclass."""


# --------------------------------------------------------------------------- effect of each keyword


@pytest.mark.parametrize("route", ["call-object", "call-kwargs", "reader-object", "reader-kwargs"])
@pytest.mark.parametrize(("criteria", "expected"), SELECTIONS, ids=str)
def test_each_keyword_selects_its_pulses(path, criteria, expected, route):
    where, kind = route.split("-")
    arguments = {"pulse_filter": PulseFilter(**criteria)} if kind == "object" else {"pulse_filter_kwargs": criteria}
    if where == "call":
        if kind == "kwargs":
            arguments["pulse_filter_kwargs"] = KwargsDict(criteria)
        with PulseReader(path) as reader:
            assert kept(reader.get_pulses(3, **arguments)) == expected
    else:
        with PulseReader(path, **arguments) as reader:
            assert kept(reader.get_pulses(3)) == expected
            assert kept(reader.get_pulses(3)) == expected  # the default stays in force


def test_reader_keeps_its_own_copy_of_the_filter(path):
    criteria = {"min_intensity": 125}
    with PulseReader(path, pulse_filter=PulseFilter(**criteria)) as by_object, \
            PulseReader(path, pulse_filter_kwargs=criteria) as by_kwargs:
        criteria["min_intensity"] = 0.0
        criteria["max_dur_s"] = 0.0
        assert kept(by_object.get_pulses(3)) == kept(by_kwargs.get_pulses(3)) == [C, D]


@pytest.mark.parametrize(
    ("recalc", "ipd_f"),
    [(True, [0, 35]), (np.bool_(True), [0, 35]), (False, [0, 5]), (np.bool_(False), [0, 5])],
    ids=["True", "numpy-True", "False", "numpy-False"],
)
def test_recalc_ipd(reader, recalc, ipd_f):
    frame = reader.get_pulses(3, pulse_filter=PulseFilter(max_binratio=0.5, recalc_ipd=recalc))
    assert kept(frame) == [A, C]
    assert frame["ipd_f"].tolist() == ipd_f
    assert frame["ipd_s"].tolist() == [float(np.float32(v) / np.float32(100)) for v in ipd_f]


# --------------------------------------------------------------------------- conversions

ACCEPTED = [
    {},
    {"foo": 1},
    {"max_dur_f": [1], "max_snr": "x", "MIN_SNR": None},  # unknown keys: values never looked at
    {"min_dur_f": 0},
    {"min_dur_f": 4294967295},
    {"min_dur_f": np.uint64(7)},
    {"min_snr": 3},
    {"min_snr": np.float32(1.5)},
    {"min_snr": Fraction(1, 3)},
    {"min_snr": 1e300},
    {"min_snr": -float("inf")},
    {"mask_s": (1, 2)},
    {"mask_s": (2.0, 1.0)},
    {"mask_s": (np.float64(1), Fraction(2))},
    {"recalc_ipd": True},
    {"recalc_ipd": False},
    {"recalc_ipd": np.bool_(True)},
    {"min_dur_f": 1, "min_dur_s": 0.0, "max_dur_s": 1e9, "min_snr": 0, "min_intensity": -1e9, "min_binratio": -1e9,
     "max_binratio": 1e9, "start_m": 0, "end_m": 1e9, "mask_s": (1e8, 1e9), "recalc_ipd": False},
]

FLOAT_KEYWORDS = ["min_dur_s", "max_dur_s", "min_snr", "min_intensity", "min_binratio", "max_binratio", "start_m",
                  "end_m"]

REFUSED = [
    ({"min_dur_f": -1}, OverflowError, OUT_OF_RANGE),
    ({"min_dur_f": 4294967296}, OverflowError, OUT_OF_RANGE),
    ({"min_dur_f": 2**70}, OverflowError, OUT_OF_RANGE),
    ({"min_dur_f": -(2**70)}, OverflowError, OUT_OF_RANGE),
    ({"min_dur_f": 2.0}, TypeError, None),
    ({"min_dur_f": None}, TypeError, None),
    ({"min_dur_f": "5"}, TypeError, None),
    *[({keyword: None}, TypeError, None) for keyword in FLOAT_KEYWORDS],
    ({"min_snr": "1.0"}, TypeError, None),
    ({"max_binratio": [1.0]}, TypeError, None),
    ({"mask_s": [1.0, 2.0]}, TypeError, None),
    ({"mask_s": None}, TypeError, None),
    ({"mask_s": 1.0}, TypeError, None),
    ({"mask_s": (1.0, 2.0, 3.0)}, ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ({"mask_s": ()}, ValueError, "expected tuple of length 2, but got tuple of length 0"),
    ({"mask_s": (1.0,)}, ValueError, "expected tuple of length 2, but got tuple of length 1"),
    ({"mask_s": (1.0, None)}, TypeError, None),
    ({"mask_s": ("a", 1.0)}, TypeError, None),
    ({"recalc_ipd": 1}, TypeError, None),
    ({"recalc_ipd": 0}, TypeError, None),
    ({"recalc_ipd": None}, TypeError, None),
    ({"recalc_ipd": "True"}, TypeError, None),
    ({"recalc_ipd": np.int64(1)}, TypeError, None),
    # Entries are converted in order and the first failure is raised.
    ({"min_snr": None, "min_dur_f": -1}, TypeError, None),
    ({"min_dur_f": -1, "min_snr": None}, OverflowError, OUT_OF_RANGE),
    ({"foo": None, "mask_s": (1.0, 2.0, 3.0)}, ValueError, "expected tuple of length 2, but got tuple of length 3"),
]


def build(route, criteria, path):
    """Builds a filter from keywords in one of the three places that accept them."""
    if route == "PulseFilter":
        return PulseFilter(**criteria)
    if route == "get_pulses":
        with PulseReader(path) as reader:
            return reader.get_pulses(3, pulse_filter_kwargs=criteria)
    with PulseReader(path, pulse_filter_kwargs=criteria) as reader:
        return reader.get_pulses(3)


ROUTES = ["PulseFilter", "get_pulses", "PulseReader"]


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize("criteria", ACCEPTED, ids=str)
def test_accepted_values(path, route, criteria):
    result = build(route, criteria, path)
    assert isinstance(result, PulseFilter if route == "PulseFilter" else pandas.DataFrame)


@pytest.mark.parametrize("route", ROUTES)
@pytest.mark.parametrize(("criteria", "exception", "message"), REFUSED, ids=str)
def test_refused_values(path, route, criteria, exception, message):
    with pytest.raises(exception) as info:
        build(route, criteria, path)
    assert type(info.value) is exception
    if message is not None:
        assert str(info.value) == message
    # The conversion's own exception, not wrapped with the keyword or argument name.
    assert not str(info.value).startswith("argument '")


@pytest.mark.parametrize("route", ["get_pulses", "PulseReader"])
def test_non_string_key(path, route):
    with pytest.raises(TypeError) as info:
        build(route, {"min_snr": 1.0, 7: 1}, path)
    assert str(info.value) == "'int' object cannot be converted to 'PyString'"


@pytest.mark.parametrize("args", [(1.0,), ({},), (None,), ({"min_snr": 1.0},)], ids=str)
def test_positional_arguments_are_refused(args):
    with pytest.raises(TypeError):
        PulseFilter(*args)


def test_class_is_opaque():
    assert PulseFilter.__text_signature__ == "(**kwargs)"
    assert PulseFilter.__doc__ is None
    public = [name for name in dir(PulseFilter(min_snr=1)) if not name.startswith("_")]
    assert public == []
    with pytest.raises(AttributeError):
        PulseFilter().min_snr = 1.0
