"""Pulse building on the frame clock and the pulses table returned by get_pulses.

The clock moves by every record's ipd_f and, after a pulse, also by the pulse's duration,
so a record's ipd_f counts from the end of the last pulse (or the last non-pulse record).
"""

import numpy as np
import pytest

from model import FLAT_ENCODINGS, PULSE_COLUMNS, bits, build_pulses, decode, query, raw_words
from pulsefile import DEFAULT_METADATA, Aperture, background, long_pulse, padding, pulse, record, step

zpr = pytest.importorskip("zyn_pulse_reader")

U32 = 2**32


def pulses_of(make_file, records, fps=100, encodings=FLAT_ENCODINGS, **kwargs):
    path = make_file(Aperture(3, records), encodings=encodings, metadata=dict(DEFAULT_METADATA, fps=fps))
    return query(path, **kwargs)


@pytest.mark.parametrize(
    "records, expected",
    [
        ([pulse(10, 5), background(7), pulse(3, 4)], [(0, 10, 15, 0), (2, 25, 29, 10)]),
        ([pulse(10, 5), pulse(3, 4)], [(0, 10, 15, 0), (1, 18, 22, 3)]),
        ([pulse(10, 5), padding(), pulse(3, 4)], [(0, 10, 15, 0), (2, 65553, 65557, 65538)]),
        (  # every non-pulse kind moves the clock by its ipd_f only; wide values are not durations
            [pulse(10, 5), step(7, True, 500), long_pulse(2, False, 70000), record(4, 0, 1), step(1, False, 9),
             long_pulse(1, True, 3), pulse(3, 4)],
            [(0, 10, 15, 0), (6, 33, 37, 18)],
        ),
        ([background(7), pulse(0, 5)], [(1, 7, 12, 0)]),  # the first pulse's ipd_f is 0 wherever it starts
        ([pulse(0xFFFF, 3), pulse(0, 2)], [(0, 65535, 65538, 0), (1, 65538, 65540, 0)]),
        ([pulse(0, 1), pulse(0, 1)], [(0, 0, 1, 0), (1, 1, 2, 0)]),
        ([background(3), padding(), record(1, 0, 2)], []),
        ([], []),
    ],
    ids=["background_between", "consecutive", "padding_between", "other_kinds", "leading_background",
         "max_ipd_pulse", "zero_ipd", "no_pulses", "empty"],
)
def test_frame_clock(make_file, records, expected):
    df = pulses_of(make_file, records)
    got = list(zip(df.index, df["start_f"], df["end_f"], df["ipd_f"]))
    assert got == expected
    assert df["dur_f"].tolist() == [end - start for _, start, end, _ in expected]
    model = build_pulses(decode(raw_words(records), FLAT_ENCODINGS), 100)
    assert list(zip(model["index"], model["start_f"], model["end_f"], model["ipd_f"])) == expected


def test_records_start_differs_from_pulse_start(make_file):
    path = make_file(Aperture(3, [pulse(10, 4), pulse(5, 3)]))
    assert query(path, "get_all_records")["start_f"].tolist() == [10, 15]
    assert query(path)["start_f"].tolist() == [10, 19]


def test_clock_wraps_at_32_bits(make_file):
    # 65538 padding records move the clock by 65538 * 65535 = 2**32 + 65534 frames.
    records = [pulse(10, 5)] + [padding()] * 65538 + [pulse(100, 7), background(40)]
    path = make_file(Aperture(3, records))
    df = query(path)
    start = (15 + 65538 * 65535 + 100) % U32
    assert start == 65649
    assert df["start_f"].tolist() == [10, start]
    assert df["end_f"].tolist() == [15, start + 7]
    assert df["ipd_f"].tolist() == [0, (start - 15) % U32]
    assert df.index.tolist() == [0, 65539]
    starts = query(path, "get_all_records")["start_f"].to_numpy()
    assert starts.dtype == np.uint32
    assert starts[[0, 65536, 65537, 65539, 65540]].tolist() == [
        10, (10 + 65536 * 65535) % U32, (10 + 65537 * 65535) % U32, start - 5, start + 35]


@pytest.mark.parametrize("fps", [100, 29.97, 0.5, 1e9])
def test_seconds(make_file, fps):
    df = pulses_of(make_file, [pulse(10, 25), background(20), pulse(130, 5)], fps=fps)
    rate = np.float32(fps)
    assert bits(df["dur_s"].to_numpy()).tolist() == bits(np.float32([25, 5]) / rate).tolist()
    assert bits(df["ipd_s"].to_numpy()).tolist() == bits(np.float32([0, 150]) / rate).tolist()
    if fps == 100:
        assert df["dur_s"].tolist() == [np.float32(0.25), np.float32(0.05)]
        assert df["ipd_s"].tolist() == [0.0, 1.5]


@pytest.mark.parametrize("zero", [0.0, -0.0])
@pytest.mark.parametrize("filtered", [False, True])
def test_zero_frame_rate_gives_ieee_results(make_file, zero, filtered):
    # Durations divide by the frame rate as it is, sign of zero included.
    kwargs = {"pulse_filter_kwargs": {"min_dur_f": 1}} if filtered else {}
    df = pulses_of(make_file, [pulse(10, 25), pulse(4, 5)], fps=zero, **kwargs)
    infinity = np.copysign(np.inf, zero)
    assert df["dur_s"].tolist() == [infinity, infinity]
    assert np.isnan(df["ipd_s"].iloc[0]) and df["ipd_s"].iloc[1] == infinity


def test_bin_quantities(make_file):
    # flat encodings: bin0 intensity 6, bin1 intensity 3, bg means 1 / 2, bg stds 4 / -2
    df = pulses_of(make_file, [pulse(1, 1, 6, 3, 1, 2, 4, -2)])
    row = df.iloc[0]
    assert (row["snr"], row["intensity"], row["bin0_intensity"], row["intensity_display"], row["binratio"]) == (
        -1.5, 3.0, 6.0, 5.0, 2.0)
    assert (row["bg_mean"], row["bg_std"], row["bin0_bg_mean"], row["bin0_bg_std"]) == (2.0, -2.0, 1.0, 4.0)


@pytest.mark.parametrize(
    "b0, b1, s1, binratio, snr",
    [(5, 0, 4, np.inf, 0.0), (-5, 0, 4, -np.inf, 0.0), (0, 0, 4, np.nan, 0.0), (3, 0, 0, np.inf, np.nan),
     (3, -32768, 2, np.nan, np.nan), (3, 6, -32767, 0.5, -0.0), (0x7FFF, 0x7FFF, 0x7FFF, np.nan, np.nan)],
)
def test_division_edge_cases_still_emit_pulses(make_file, b0, b1, s1, binratio, snr):
    df = pulses_of(make_file, [pulse(1, 1, b0, b1, 0, 0, 0, s1), pulse(1, 1)])
    assert len(df) == 2
    for name, value in (("binratio", binratio), ("snr", snr)):
        got = np.float32(df[name].iloc[0])
        if np.isnan(value):
            assert np.isnan(got), name
        else:
            assert bits(np.float32([got]))[0] == bits(np.float32([value]))[0], name


def test_pulses_table_columns_and_types(make_file):
    path = make_file(Aperture(3, [pulse(4, 2, 1, 2), background(3), pulse(1, 1)], header_index=77))
    with zpr.PulseReader(path) as reader:
        df = reader.get_pulses(3)
        without = reader.get_pulses(3, include_aperture_index=False)
    expected = {name: np.dtype(t) for name, t in PULSE_COLUMNS.items() if name != "index"}
    assert dict(df.dtypes) == expected and list(df.columns) == list(expected)
    del expected["aperture_index"]
    assert dict(without.dtypes) == expected and list(without.columns) == list(expected)
    for frame in (df, without):
        assert frame.index.name == "index" and frame.index.dtype == np.uint64
        assert frame.index.tolist() == [0, 2]
    # the column repeats the requested number, the attrs carry the block header's
    assert df["aperture_index"].tolist() == [3, 3] and df.attrs["aperture_index"] == 77
    assert without.equals(df.drop(columns="aperture_index"))


@pytest.mark.parametrize("flag, has_column", [(True, True), (False, False), (np.True_, True), (np.False_, False)])
def test_include_aperture_index_flag(make_file, flag, has_column):
    df = pulses_of(make_file, [pulse(1, 1)], include_aperture_index=flag)
    assert ("aperture_index" in df.columns) == has_column
    assert df.columns[0] == ("aperture_index" if has_column else "start_f")


@pytest.mark.parametrize("flag", [1, 0, None, "yes"])
def test_include_aperture_index_must_be_bool(make_file, flag):
    with pytest.raises(TypeError, match="^argument 'include_aperture_index': "):
        pulses_of(make_file, [pulse(1, 1)], include_aperture_index=flag)


def test_row_index_selects_pulse_records(make_file):
    records = [background(2), pulse(3, 2, 5, 7), padding(), step(1, True, 5), pulse(4, 9, 1, 2), record(1, 0, 3),
               pulse(1, 1, 0, 8)]
    with zpr.PulseReader(make_file(Aperture(3, records))) as reader:
        pulses, table = reader.get_pulses(3), reader.get_all_records(3)
    assert pulses.index.tolist() == [1, 4, 6]
    selected = table.loc[pulses.index]
    assert (selected["record_type"] == "pulse").all()
    assert selected["dur_f"].tolist() == pulses["dur_f"].tolist()
    assert bits(selected["bin1_intensity"].to_numpy()).tolist() == bits(pulses["intensity"].to_numpy()).tolist()
