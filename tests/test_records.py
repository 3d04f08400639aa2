"""Record decoding and the records table returned by get_all_records.

Default encodings of the test files: words 2 and 3 decode as w / 16 + 100, words 4 and 5 as
w / 4, words 6 and 7 as w / 8. Every expected value below is worked out from the file format
by hand and is also checked against the NumPy model, which the random tests rely on.
"""

import re

import numpy as np
import pytest

from model import (
    FLAT_ENCODINGS,
    PULSE_COLUMNS,
    RECORD_COLUMNS,
    assert_columns_equal,
    bits,
    decode,
    query,
    raw_words,
)
from pulsefile import DEFAULT_ENCODINGS, Aperture, PulseFile, record

zpr = pytest.importorskip("zyn_pulse_reader")

NAN = float("nan")
INF = float("inf")
CLOSED = "PulseReader cannot be used after the pulse file has been closed!"


@pytest.mark.parametrize(
    "words, kind",
    [
        ((0xFFFF, 3), "pulse"),  # a duration makes a pulse even with the padding marker
        ((5, 2, 0, 0, 0, 0, -6), "pulse"),  # ... and even with a step code
        ((0xFFFF, 0, 1, 1, 0, 0, -6), "padding"),  # padding wins over codes and intensities
        ((5, 0, 1, 0, 0, 0, -6), "step_down"),  # kind codes win over non-zero intensities
        ((5, 0, 0, 0, 0, 0, -5), "step_up"),
        ((5, 0, 0, 2, 0, 0, -3), "long_pulse_update"),
        ((5, 0, 0, 0, 0, 0, -2), "long_pulse_dropped"),
        ((5, 0, 0, 0, 0, 0, -4), "background"),  # -4 and -1 are no kind codes
        ((5, 0, 0, 0, 0, 0, -1), "background"),
        ((5, 0, 3, 0, 0, 0, -4), "unknown"),
        ((5, 0, 0, 0x8000, 0, 0, -1), "unknown"),
        ((5, 0, 0, 0, 7, 7, 7, 7), "background"),
        ((0xFFFE, 0, 0, 0, 0, 0, 0xFFFA), "step_down"),  # word 6 read as signed
        ((), "background"),
    ],
)
def test_classification(make_file, words, kind):
    df = query(make_file(Aperture(3, [record(*words)])), "get_all_records")
    assert list(df["record_type"]) == [kind]
    assert list(decode(raw_words([record(*words)]), DEFAULT_ENCODINGS)["record_type"]) == [kind]


SENTINELS = (0x7FFF, 0x8000, 0x8001)
ODD_ENCODINGS = [(9, 0, 0), (9, 0, 0), (1, 0x14, 100), (1, 0x0F, 65535), (2, 1, 7), (2, 0, 9), (3, 5, 11), (3, 6, 13)]

# (id, record words, encodings, expected fields)
FIELD_CASES = [
    (
        "padding_plain",
        (0xFFFF, 0, *SENTINELS, -16, -6, 3),
        None,
        dict(ipd_f=65535, dur_f=0, bin0_intensity=32767.0, bin1_intensity=-32768.0, bin0_bg_mean=-32767.0,
             bin1_bg_mean=-16.0, bin0_bg_std=-6.0, bin1_bg_std=3.0, long_pulse_duration_f=NAN, event_f=NAN),
    ),
    (
        "background_code_minus4",
        (7, 0, 0, 0, 8, -8, -4, 16),
        None,
        dict(ipd_f=7, bin0_intensity=0.0, bin1_intensity=0.0, bin0_bg_mean=2.0, bin1_bg_mean=-2.0,
             bin0_bg_std=-0.5, bin1_bg_std=2.0, long_pulse_duration_f=NAN, event_f=NAN),
    ),
    (
        "zero_bytes_background_gives_offsets",
        (),
        [(0, 0, 7), (0, 0, 9), (0, 1, 11), (0, 2, 13), (0, 3, 17), (0, 4, 19), (0, 5, 23), (0, 6, 29)],
        dict(ipd_f=0, dur_f=0, bin0_intensity=0.0, bin1_intensity=0.0, bin0_bg_mean=17.0, bin1_bg_mean=19.0,
             bin0_bg_std=23.0, bin1_bg_std=29.0),
    ),
    (
        "pulse_sentinels",
        (1, 1, *SENTINELS, *SENTINELS),
        None,
        dict(bin0_intensity=INF, bin1_intensity=NAN, bin0_bg_mean=-INF, bin1_bg_mean=INF, bin0_bg_std=NAN,
             bin1_bg_std=-INF),
    ),
    (
        "pulse_sentinels_ignore_encoding",
        (1, 1, *SENTINELS, *SENTINELS),
        ODD_ENCODINGS,
        dict(bin0_intensity=INF, bin1_intensity=NAN, bin0_bg_mean=-INF, bin1_bg_mean=INF, bin0_bg_std=NAN,
             bin1_bg_std=-INF),
    ),
    (
        "unknown_plain_sentinels",
        (1, 0, *SENTINELS, *SENTINELS),
        None,
        dict(bin0_intensity=32767.0, bin1_intensity=-32768.0, bin0_bg_mean=-32767.0, bin1_bg_mean=32767.0,
             bin0_bg_std=-32768.0, bin1_bg_std=-32767.0),
    ),
    (
        "pulse_scaling",
        (2, 3, 160, -16, 4, 8, 16, 24),
        None,
        dict(ipd_f=2, dur_f=3, bin0_intensity=110.0, bin1_intensity=99.0, bin0_bg_mean=1.0, bin1_bg_mean=2.0,
             bin0_bg_std=2.0, bin1_bg_std=3.0, long_pulse_duration_f=NAN, event_f=NAN),
    ),
    (
        # 0x14 uses only its low bits (scale 16); -1 / 32768 + 65535 rounds to 65535 in single precision
        "fraction_bits_high_nibble_and_f32_rounding",
        (2, 3, 160, -1, 3, 3, 64, 64),
        ODD_ENCODINGS,
        dict(bin0_intensity=110.0, bin1_intensity=65535.0, bin0_bg_mean=8.5, bin1_bg_mean=12.0, bin0_bg_std=13.0,
             bin1_bg_std=14.0),
    ),
    (
        "step_up_wide_value",
        (4, 0, 0x7FFF, 0x8001, 1, 2, -5, 0x7FFF),
        None,
        dict(ipd_f=4, dur_f=0, bin0_intensity=INF, bin1_intensity=-INF, bin0_bg_mean=1.0, bin1_bg_mean=2.0,
             bin0_bg_std=-5.0, bin1_bg_std=32767.0, event_f=131073.0, long_pulse_duration_f=NAN),
    ),
    (
        "step_up_wide_value_unsigned",
        (1, 0, 0, 0, 1, 0x8000, -5),
        None,
        dict(bin0_intensity=100.0, bin1_intensity=100.0, bin0_bg_mean=1.0, bin1_bg_mean=-32768.0,
             event_f=2147483649.0, long_pulse_duration_f=NAN),
    ),
    (
        "step_down",
        (1, 0, 16, 0, 0xFFFF, 0, -6, -8),
        None,
        dict(bin0_intensity=101.0, bin1_intensity=100.0, bin0_bg_mean=-1.0, bin1_bg_mean=0.0, bin0_bg_std=-6.0,
             bin1_bg_std=-8.0, event_f=65535.0, long_pulse_duration_f=NAN),
    ),
    (
        "long_pulse_dropped",
        (9, 0, 32, 48, 0xFFFF, 0xFFFF, -2, 5),
        None,
        dict(ipd_f=9, bin0_intensity=102.0, bin1_intensity=103.0, bin0_bg_mean=-1.0, bin1_bg_mean=-1.0,
             bin0_bg_std=-2.0, bin1_bg_std=5.0, long_pulse_duration_f=4294967295.0, event_f=NAN),
    ),
    (
        "long_pulse_update",
        (1, 0, 0, 0, 0, 1, -3, 0),
        None,
        dict(bin0_intensity=100.0, bin1_intensity=100.0, bin0_bg_mean=0.0, bin1_bg_mean=1.0, bin0_bg_std=-3.0,
             long_pulse_duration_f=65536.0, event_f=NAN),
    ),
]


@pytest.mark.parametrize("words, encodings, expected", [c[1:] for c in FIELD_CASES], ids=[c[0] for c in FIELD_CASES])
def test_decoded_fields(make_file, words, encodings, expected):
    encodings = encodings or DEFAULT_ENCODINGS
    df = query(make_file(Aperture(3, [record(*words)]), encodings=encodings), "get_all_records")
    model = decode(raw_words([record(*words)]), encodings)
    for name, value in expected.items():
        want = bits(np.array([value], RECORD_COLUMNS[name]))
        assert bits(df[name].to_numpy()[:1]) == want, f"{name}: {df[name].iloc[0]!r} != {value!r}"
        assert bits(model[name]) == want, f"model {name}"


def test_records_table_columns_and_types(make_file):
    records = [record(5, 2, 1, 2), record(0xFFFF), record(3, 0, 0, 0, 1, 2, -5), record(1, 0, 0, 0, 0, 0, -3)]
    df = query(make_file(Aperture(3, records)), "get_all_records")
    assert list(df.columns) == list(RECORD_COLUMNS)
    assert {name: df[name].dtype for name in df} == {name: np.dtype(t) for name, t in RECORD_COLUMNS.items()}
    assert list(df.index) == [0, 1, 2, 3]
    assert all(type(kind) is str for kind in df["record_type"])
    assert list(df["record_type"]) == ["pulse", "padding", "step_up", "long_pulse_update"]
    # plain running sum of ipd_f, durations not included
    assert df["start_f"].tolist() == [5, 5 + 65535, 5 + 65535 + 3, 5 + 65535 + 4]


def test_attrs_order_and_values(make_file):
    pulse_file = PulseFile(
        apertures=[
            Aperture(1, [record(1, 1)] * 3, x=4, y=5),
            Aperture(3, [record(2, 2), record(0)], x=7, y=4_000_000_000, header_index=99),
        ]
    )
    path = make_file(pulse_file, name="run.pulses.bin")
    byteloc = pulse_file.block_locations()[1]
    for method in ("get_all_records", "get_pulses"):
        attrs = query(path, method, 3).attrs
        assert list(attrs) == ["aperture_index", "aperture_x", "aperture_y", "aperture_byteloc", "source",
                               "analysis_id", "frame_dur_s", "run_dur_f", "run_dur_s"]
        assert attrs["aperture_index"] == 99  # the block header's number, not the requested one
        assert (attrs["aperture_x"], attrs["aperture_y"], attrs["aperture_byteloc"]) == (7, 4_000_000_000, byteloc)
        assert all(type(attrs[k]) is int for k in ("aperture_index", "aperture_x", "aperture_y", "aperture_byteloc"))
        assert attrs["source"] == "pulses.bin"
        assert attrs["analysis_id"] == path.split(".")[0]
        assert (attrs["frame_dur_s"], attrs["run_dur_f"], attrs["run_dur_s"]) == (
            0.009999999776482582, 1235, 12.345000267028809)


@pytest.mark.parametrize("method", ["get_all_records", "get_pulses"])
def test_empty_aperture_has_every_column(make_file, method):
    pulse_file = PulseFile(apertures=[Aperture(3, [], x=2, y=3)])
    df = query(make_file(pulse_file), method)
    columns = RECORD_COLUMNS if method == "get_all_records" else {
        k: v for k, v in PULSE_COLUMNS.items() if k != "index"}
    assert len(df) == 0
    assert list(df.columns) == list(columns)
    assert [df[c].dtype for c in df] == [np.dtype(t) for t in columns.values()]
    assert (df.attrs["aperture_x"], df.attrs["aperture_y"]) == (2, 3)
    assert df.attrs["aperture_byteloc"] == pulse_file.block_locations()[0]
    assert len(df.attrs) == 9
    if method == "get_pulses":
        assert df.index.name == "index" and df.index.dtype == np.uint64


PREFIX = {"get_all_records": "Failed to get records: ", "get_pulses": "Failed to get pulses: "}


@pytest.fixture
def two_apertures(make_file):
    return make_file(Aperture(3, [record(4, 2, 16, 32)]), Aperture(9, [record(1, 1)]))


@pytest.mark.parametrize("method", ["get_all_records", "get_pulses"])
def test_missing_aperture_and_reader_stays_usable(two_apertures, method):
    with zpr.PulseReader(two_apertures) as reader:
        for missing in (7, 2, 10, 2**40):
            message = f"{PREFIX[method]}This file does not contain the provided aperture index: {missing}"
            with pytest.raises(RuntimeError, match=f"^{re.escape(message)}$"):
                getattr(reader, method)(missing)
        assert len(getattr(reader, method)(3)) == 1


@pytest.mark.parametrize("method", ["get_all_records", "get_pulses"])
@pytest.mark.parametrize(
    "aperture, error",
    [(-1, OverflowError), (2**64, OverflowError), ("3", TypeError), (3.0, TypeError), (None, TypeError)],
)
def test_bad_aperture_argument(two_apertures, method, aperture, error):
    with zpr.PulseReader(two_apertures) as reader:
        with pytest.raises(error) as info:
            getattr(reader, method)(aperture)
        if error is TypeError:
            assert str(info.value).startswith("argument 'aperture_index': ")
        assert len(getattr(reader, method)(3)) == 1


@pytest.mark.parametrize("method", ["get_all_records", "get_pulses"])
@pytest.mark.parametrize("aperture", [np.int64(9), np.uint32(9), np.uint64(9), np.int8(9)])
def test_integer_like_aperture_index(two_apertures, method, aperture):
    df = query(two_apertures, method, aperture)
    assert df.attrs["aperture_index"] == 9


@pytest.mark.parametrize("method", ["get_all_records", "get_pulses"])
def test_closed_reader(two_apertures, method):
    reader = zpr.PulseReader(two_apertures)
    reader.close()
    with pytest.raises(RuntimeError, match=f"^{re.escape(CLOSED)}$"):
        getattr(reader, method)(3)
    with pytest.raises(OverflowError):  # argument errors are reported before the closed state
        getattr(reader, method)(-1)


def test_repeated_queries_are_equal(two_apertures):
    with zpr.PulseReader(two_apertures) as reader:
        first = reader.get_all_records(3)
        reader.get_all_records(9)
        second = reader.get_all_records(3)
    assert first.equals(second)
    assert first.attrs == second.attrs


@pytest.mark.parametrize("encodings", [FLAT_ENCODINGS, ODD_ENCODINGS], ids=["flat", "odd"])
def test_every_word_value(make_file, encodings):
    """All 65536 values in each of words 2..7 of pulses; flat encodings give the signed value itself."""
    signed = np.arange(-32768, 32768, dtype=np.int16)
    raw = np.ones((signed.size, 8), np.uint16)
    for word in range(2, 8):
        raw[:, word] = np.roll(signed, word * 1000).view(np.uint16)
    path = make_file(Aperture(3, [raw.astype("<u2").tobytes()], record_count=signed.size), encodings=encodings)
    df = query(path, "get_all_records")
    assert_columns_equal(df, {k: v for k, v in decode(raw, encodings).items() if k in RECORD_COLUMNS})
    if encodings is FLAT_ENCODINGS:
        words = raw[:, 2].view(np.int16)
        got = df["bin0_intensity"].to_numpy()
        ordinary = ~np.isin(words, [32767, -32768, -32767])
        assert np.array_equal(got[ordinary], words[ordinary].astype(np.float32))
        assert sorted(bits(got[~ordinary]).tolist()) == [0x7F800000, 0x7FC00000, 0xFF800000]
