"""Seeded random files compared with the NumPy model, aperture by aperture and bit for bit.

Each file holds well over a thousand apertures with records of every kind, random encoding
records (high bits set in fraction_bits included), sentinel words, padding, and one long
aperture whose frame clock wraps past 2**32. Half of the apertures never have a zero
ipd_f, the others often have one, so the order check of the filter fails for some apertures
and not for others; the module must raise exactly where the model says the check fails.
"""

import numpy as np
import pytest

from model import PULSE_COLUMNS, RECORD_COLUMNS, assert_columns_equal, build_pulses, bulk_file, decode, filter_pulses
from pulsefile import DEFAULT_METADATA

zpr = pytest.importorskip("zyn_pulse_reader")

UNSORTED = "Failed to get pulses: The provided pulses aren't sorted!"
PULSE_TABLE = list(PULSE_COLUMNS)[1:]  # "index" is the row index
SPECIAL_WORDS = np.array([0, 1, 0x7FFE, 0x7FFF, 0x8000, 0x8001, 0xFFFF, 0xFFFE, 0xFFFA, 0xFFFB], np.uint16)


def random_records(rng, counts) -> np.ndarray:
    n = int(counts.sum())
    raw = rng.integers(0, 65536, (n, 8), dtype=np.uint16)
    special = rng.random((n, 8)) < 0.15
    raw[special] = rng.choice(SPECIAL_WORDS, special.sum())
    duration = rng.random(n)
    raw[duration < 0.45, 1] = 0  # no pulse
    short = (duration >= 0.45) & (duration < 0.8)
    raw[short, 1] = rng.integers(1, 20, short.sum())
    small = rng.random(n) < 0.75
    raw[small, 0] = rng.integers(0, 40, small.sum())
    raw[rng.random(n) < 0.03, 0] = 0xFFFF
    code = rng.random(n) < 0.4
    raw[code, 6] = rng.integers(-6, 0, code.sum()).astype(np.uint16)
    for word in (2, 3):
        raw[rng.random(n) < 0.35, word] = 0

    aperture = np.repeat(np.arange(counts.size), counts)
    clean = (aperture % 2 == 0)[:, None] & (np.arange(8) == 0)
    raw[clean & (raw == 0)] = 1  # no zero ipd_f in even apertures
    long_rows = aperture == counts.argmax()
    raw[long_rows, 0] = rng.integers(50000, 65535, long_rows.sum())  # this aperture's clock wraps
    return raw


def random_filter(rng, key, pulses, fps):
    """Criterion `key` and up to two others, with bounds that are mostly values found in `pulses`, so
    that bounds are hit exactly."""
    fps = np.float32(fps)

    def pick(values):
        values = values[np.isfinite(values)]
        return float(rng.choice(values)) if values.size and rng.random() > 0.04 else float("nan")

    def window():  # some pulse ends on the window's start, another starts on its end
        start_s, end_s = pulses["start_f"].astype(np.float32) / fps, pulses["end_f"].astype(np.float32) / fps
        low = pick(end_s)
        later = start_s[start_s >= low]
        return (low, pick(later) if later.size else low)

    per_minute = np.float32(60) * fps
    makers = {
        "min_dur_f": lambda: int(rng.choice(pulses["dur_f"])) if pulses["dur_f"].size else 1,
        "min_dur_s": lambda: pick(pulses["dur_s"]),
        "max_dur_s": lambda: pick(pulses["dur_s"]),
        "min_snr": lambda: pick(pulses["snr"]),
        "min_intensity": lambda: pick(pulses["intensity"]),
        "min_binratio": lambda: pick(pulses["binratio"]),
        "max_binratio": lambda: pick(pulses["binratio"]),
        "start_m": lambda: pick(pulses["start_f"].astype(np.float32) / per_minute),
        "end_m": lambda: pick(pulses["end_f"].astype(np.float32) / per_minute),
        "mask_s": window,
    }
    keys = [key] + [str(other) for other in rng.choice(list(makers), size=rng.choice([0, 0, 1, 2]))]
    criteria = {name: makers[name]() for name in keys}
    criteria["recalc_ipd"] = bool(rng.random() < 0.6)
    return criteria


def assert_frames_match(frames, chosen, want, columns, numbers):
    """Compare the frames of the `chosen` apertures, laid end to end, with the model's rows
    (and, for pulses, the row index with the model's "index")."""
    assert all(list(frame.columns) == columns for frame in frames)
    rows = np.isin(want["aperture"], chosen)
    aperture = want["aperture"][rows]
    got_counts = np.array([len(frame) for frame in frames])
    bad = np.flatnonzero(got_counts != np.bincount(aperture, minlength=len(numbers))[chosen])
    assert not bad.size, f"aperture {numbers[chosen[bad[0]]]}: {got_counts[bad[0]]} rows"
    # Columns are joined with NumPy rather than pandas.concat, which may rewrite NaN payloads.
    got = {"index": np.concatenate([frame.index.to_numpy() for frame in frames])}
    got.update({name: np.concatenate([frame[name].to_numpy() for frame in frames]) for name in columns})
    if columns != PULSE_TABLE:
        del got["index"]
    expected = {name: want[name][rows] for name in got}
    assert_columns_equal(got, expected, lambda row: f"aperture {numbers[aperture[row]]}, row {row}")


@pytest.mark.parametrize("seed, fps", [(2024, 29.97), (99, 0.75)])
def test_random_files_match_model(make_file, seed, fps):
    rng = np.random.default_rng(seed)
    n = 1500
    counts = rng.integers(0, 200, n)
    counts[rng.random(n) < 0.08] = 0
    counts[rng.integers(n)] = 70000
    numbers = np.sort(rng.choice(20 * n, n, replace=False))
    xs, ys = rng.integers(0, 2**32, n), rng.integers(0, 2**32, n)
    encodings = [tuple(int(v) for v in rng.integers([0, 0, 0], [256, 256, 65536])) for _ in range(8)]
    raw = random_records(rng, counts)
    path = make_file(bulk_file(numbers, xs, ys, raw, counts, encodings, dict(DEFAULT_METADATA, fps=fps)))

    records = decode(raw, encodings, counts)
    pulses = build_pulses(records, fps)
    pulses["aperture_index"] = numbers[pulses["aperture"]].astype(np.uint64)
    assert set(records["kind"].tolist()) == set(range(8)), "generator should produce every kind"
    everything = np.arange(n)

    with zpr.PulseReader(path) as reader:
        frames = [reader.get_all_records(number) for number in numbers]
        attrs = [(f.attrs["aperture_index"], f.attrs["aperture_x"], f.attrs["aperture_y"]) for f in frames]
        assert attrs == list(zip(numbers, xs, ys))
        assert_frames_match(frames, everything, records, list(RECORD_COLUMNS), numbers)
        frames = [reader.get_pulses(number) for number in numbers]
        assert_frames_match(frames, everything, pulses, PULSE_TABLE, numbers)

        # Filtered queries on samples of apertures that always include the wrapping one: no criteria,
        # then every criterion at least once.
        keys = ["", "", "min_dur_f", "min_dur_s", "max_dur_s", "min_snr", "min_intensity", "min_binratio",
                "max_binratio", "start_m", "end_m", "mask_s"]
        unsorted = filter_pulses(pulses, fps, n)[1]
        for k, key in enumerate(keys):
            chosen = np.union1d(rng.choice(n, 100, replace=False), [counts.argmax()])
            usable = np.isin(pulses["aperture"], chosen) & ~unsorted[pulses["aperture"]]
            sample = {name: values[usable] for name, values in pulses.items()}
            criteria = random_filter(rng, key, sample, fps) if key else {"recalc_ipd": bool(k)}
            kept, failed = filter_pulses(pulses, fps, n, **criteria)
            assert np.array_equal(failed, unsorted) and 0 < failed[chosen].sum() < chosen.size
            frames, raised = [], []
            for number in numbers[chosen]:
                try:
                    frames.append(reader.get_pulses(number, pulse_filter_kwargs=criteria))
                    raised.append(False)
                except RuntimeError as error:
                    assert str(error) == UNSORTED
                    raised.append(True)
            wrong = np.flatnonzero(np.array(raised) != failed[chosen])
            assert not wrong.size, f"{criteria}: aperture {numbers[chosen[wrong[0]]]} raised {raised[wrong[0]]}"
            assert_frames_match(frames, chosen[~failed[chosen]], kept, PULSE_TABLE, numbers)


@pytest.fixture(scope="module")
def large_aperture(tmp_path_factory):
    """One aperture of 300,001 records (built in two parts on two threads), with pulses of
    every duration, and zero ipd_f only where a case puts one."""
    rng = np.random.default_rng(5)
    n = 300_001
    raw = rng.integers(0, 65536, (n, 8), dtype=np.uint16)
    raw[:, 0] = rng.integers(1, 40, n)
    raw[:, 1] = np.where(rng.random(n) < 0.3, 0, rng.integers(1, 20, n))
    encodings = [(0, 0, 0), (0, 0, 0), (1, 4, 100), (1, 4, 100), (2, 2, 0), (2, 2, 0), (3, 3, 0), (3, 3, 0)]
    return raw, encodings, tmp_path_factory.mktemp("large")


@pytest.mark.parametrize("unsorted_at", [None, 1_000, 250_000])
@pytest.mark.parametrize("criteria", [None, {}, {"recalc_ipd": True}, {"min_dur_f": 5}, {"min_dur_f": 5, "recalc_ipd": True},
                                      {"min_snr": 0.5, "mask_s": (4000.0, 9000.0), "recalc_ipd": True}])
def test_large_aperture_matches_model(large_aperture, criteria, unsorted_at):
    raw, encodings, directory = large_aperture
    raw = raw.copy()
    if unsorted_at is not None:
        raw[unsorted_at - 1 : unsorted_at + 1, 1] = 3  # two pulses in a row...
        raw[unsorted_at, 0] = 0  # ...the second starting where the first ends
    path = directory / f"large{unsorted_at}.bin"
    counts = np.array([len(raw)])
    bulk_file([7], [1], [2], raw, counts, encodings, DEFAULT_METADATA).write(path)
    fps = DEFAULT_METADATA["fps"]
    pulses = build_pulses(decode(raw, encodings, counts), fps)
    pulses["aperture_index"] = np.full(len(pulses["index"]), 7, np.uint64)
    with zpr.PulseReader(str(path)) as reader:
        if criteria is None:
            frame, want = reader.get_pulses(7), pulses
        else:
            want, failed = filter_pulses(pulses, fps, 1, **criteria)
            if failed[0]:
                with pytest.raises(RuntimeError, match=UNSORTED):
                    reader.get_pulses(7, pulse_filter_kwargs=criteria)
                return
            frame = reader.get_pulses(7, pulse_filter_kwargs=criteria)
    got = {"index": frame.index.to_numpy(), **{name: frame[name].to_numpy() for name in PULSE_TABLE}}
    assert_columns_equal(got, {name: want[name] for name in got})


def test_every_sentinel_in_every_word_and_lane_matches_model(tmp_path):
    """Records are decoded eight at a time, and groups without a sentinel code skip the
    sentinel handling: each code, in each measurement word and each position of a group of
    eight, alone in its group, must still decode as the model says, as must its neighbours."""
    rng = np.random.default_rng(17)
    groups = [(code, word, lane) for code in (0x7FFF, 0x8000, 0x8001) for word in range(2, 8) for lane in range(8)]
    raw = rng.integers(0, 30000, (8 * len(groups), 8), dtype=np.uint16)
    raw[:, 0] = rng.integers(1, 40, len(raw))
    raw[:, 1] = np.where(rng.random(len(raw)) < 0.3, 0, rng.integers(1, 20, len(raw)))
    for g, (code, word, lane) in enumerate(groups):
        raw[8 * g + lane, word] = code
    encodings = [(0, 0, 0), (0, 0, 0), (1, 4, 100), (1, 4, 100), (2, 2, 0), (2, 2, 0), (3, 3, 0), (3, 3, 0)]
    counts = np.array([len(raw)])
    path = tmp_path / "sentinels.bin"
    bulk_file([7], [1], [2], raw, counts, encodings, DEFAULT_METADATA).write(path)
    records = decode(raw, encodings, counts)
    pulses = build_pulses(records, DEFAULT_METADATA["fps"])
    pulses["aperture_index"] = np.full(len(pulses["index"]), 7, np.uint64)
    with zpr.PulseReader(str(path)) as reader:
        table = reader.get_all_records(7)
        assert_columns_equal({name: table[name].to_numpy() for name in RECORD_COLUMNS if name != "record_type"},
                             {name: records[name] for name in RECORD_COLUMNS if name != "record_type"})
        frame = reader.get_pulses(7)
        got = {"index": frame.index.to_numpy(), **{name: frame[name].to_numpy() for name in PULSE_TABLE}}
        assert_columns_equal(got, {name: pulses[name] for name in got})


@pytest.fixture(scope="module")
def small_apertures(tmp_path_factory):
    """22,000 apertures of 0 to 9 records, about 100,000 in all: enough to be decoded on two
    threads, the two runs meeting within a group of eight whatever the list."""
    rng = np.random.default_rng(17)
    n = 22_000
    counts = rng.integers(0, 10, n)
    numbers = np.arange(n) * 3
    encodings = [tuple(int(v) for v in rng.integers([0, 0, 0], [256, 256, 65536])) for _ in range(8)]
    raw = random_records(rng, counts)
    path = tmp_path_factory.mktemp("small") / "small.bin"
    bulk_file(numbers, numbers % 150, numbers // 150, raw, counts, encodings, DEFAULT_METADATA).write(path)
    records = decode(raw, encodings, counts)
    return str(path), numbers, records, build_pulses(records, DEFAULT_METADATA["fps"])


def rows_of(table, chosen, n):
    """The rows of `table` ("aperture" column) for the apertures `chosen`, in their order."""
    starts = np.r_[0, np.cumsum(np.bincount(table["aperture"], minlength=n))]
    return np.concatenate([np.arange(starts[a], starts[a + 1]) for a in chosen])


@pytest.mark.parametrize("order", ["all", "reversed", "repeated"])
def test_many_small_apertures_match_model(small_apertures, order):
    path, numbers, records, pulses = small_apertures
    n = len(numbers)
    rng = np.random.default_rng(len(order))
    chosen = {"all": np.arange(n), "reversed": np.arange(n)[::-1], "repeated": rng.integers(0, n, 30_000)}[order]
    criteria = {"min_dur_f": 3, "recalc_ipd": True}
    kept, failed = filter_pulses(pulses, DEFAULT_METADATA["fps"], n, **criteria)
    with zpr.PulseReader(path) as reader:
        # Shorter lists move the point where the two runs meet.
        for length in len(chosen) - np.arange(0, 4 * 29, 29):
            picked = chosen[:length]
            where = lambda row: f"list of {length}, row {row}"  # noqa: E731, B023
            rows = rows_of(records, picked, n)
            frame = reader.get_all_records_many(numbers[picked].tolist())
            want = {name: records[name][rows] for name in RECORD_COLUMNS}
            want["aperture_index"] = numbers[records["aperture"][rows]].astype(np.uint64)
            assert_columns_equal(frame, want, where)
            assert np.array_equal(frame.index.to_numpy(), records["index"][rows].astype(np.int64))

            passing = picked[~failed[picked]]
            for table, kwargs in ((pulses, {}), (kept, {"pulse_filter_kwargs": criteria})):
                rows = rows_of(table, passing, n)
                frame = reader.get_pulses_many(numbers[passing].tolist(), **kwargs)
                want = {name: table[name][rows] for name in PULSE_TABLE if name != "aperture_index"}
                want["aperture_index"] = numbers[table["aperture"][rows]].astype(np.uint64)
                assert_columns_equal(frame, want, where)
                assert np.array_equal(frame.index.to_numpy(), table["index"][rows])
