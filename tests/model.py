"""Reference model of record decoding, pulse building and pulse filtering.

Everything here works on whole arrays of raw records with NumPy, so the same code serves a
single hand-made aperture and a file with thousands of them: the records of several
apertures are laid end to end and told apart by an `aperture` number per row. The tests
compare the reader's DataFrames with these arrays bit for bit.

Raw record words: 0 = frames since the previous event, 1 = pulse duration (non-zero only for
pulses), 2..7 = measured values that the file's encoding records scale (word / 2**k +
offset). Words 4 and 5 also form a 32-bit "wide" value, and word 6 carries the kind code of
step and long-pulse records.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from pulsefile import METADATA_OFFSET, Aperture, PulseFile

KINDS = ("pulse", "padding", "long_pulse_update", "long_pulse_dropped", "step_up", "step_down", "background", "unknown")
PULSE, PADDING, LONG_UPDATE, LONG_DROPPED, STEP_UP, STEP_DOWN, BACKGROUND, UNKNOWN = range(8)

U32 = 0xFFFFFFFF
F32 = np.float32

RECORD_COLUMNS = {
    "ipd_f": np.uint16,
    "dur_f": np.uint16,
    "bin0_intensity": np.float32,
    "bin1_intensity": np.float32,
    "bin0_bg_mean": np.float32,
    "bin1_bg_mean": np.float32,
    "bin0_bg_std": np.float32,
    "bin1_bg_std": np.float32,
    "start_f": np.uint32,
    "record_type": object,
    "long_pulse_duration_f": np.float64,
    "event_f": np.float64,
}

PULSE_COLUMNS = {
    "index": np.uint64,
    "aperture_index": np.uint64,
    "start_f": np.uint32,
    "end_f": np.uint32,
    "dur_f": np.uint32,
    "dur_s": np.float32,
    "ipd_f": np.uint32,
    "ipd_s": np.float32,
    "snr": np.float32,
    "intensity": np.float32,
    "bin0_intensity": np.float32,
    "intensity_display": np.float32,
    "binratio": np.float32,
    "bg_mean": np.float32,
    "bg_std": np.float32,
    "bin0_bg_mean": np.float32,
    "bin0_bg_std": np.float32,
}

# Flat encodings: every word decodes to its own signed value, which keeps hand-made cases simple.
FLAT_ENCODINGS = [(0, 0, 0)] * 8


def scales_and_offsets(encodings) -> tuple[np.ndarray, np.ndarray]:
    """Divisor 2**(low four bits of fraction_bits) and the unsigned offset of each word, as f32."""
    bits = np.array([e[1] for e in encodings], dtype=np.int64) & 0x0F
    return (2.0**bits).astype(F32), np.array([e[2] for e in encodings], dtype=F32)


def raw_words(records: list[bytes]) -> np.ndarray:
    return np.frombuffer(b"".join(records), dtype="<u2").reshape(-1, 8).astype(np.uint16)


def _first_of_run(aperture: np.ndarray) -> np.ndarray:
    """True on the first row of every aperture."""
    return np.r_[True, aperture[1:] != aperture[:-1]] if aperture.size else np.zeros(0, bool)


def _running_sum_u32(values: np.ndarray, aperture: np.ndarray) -> np.ndarray:
    """Inclusive running sum per aperture, wrapping modulo 2**32."""
    if values.size == 0:
        return np.zeros(0, np.uint32)
    values = values.astype(np.uint64)
    total = np.cumsum(values, dtype=np.uint64)
    first_row = np.maximum.accumulate(np.where(_first_of_run(aperture), np.arange(values.size), 0))
    before = (total - values)[first_row]
    return ((total - before) & U32).astype(np.uint32)


def _previous_in_aperture(values: np.ndarray, aperture: np.ndarray) -> np.ndarray:
    """The previous row's value within the same aperture, 0 on every aperture's first row."""
    prev = np.r_[np.zeros(1, values.dtype), values[:-1]] if values.size else values.copy()
    prev[_first_of_run(aperture)] = 0
    return prev


def decode(raw: np.ndarray, encodings, counts=None) -> dict[str, np.ndarray]:
    """Decoded records: the records-table columns in order, then "index", "kind", "aperture".

    `counts` gives the number of records of each aperture when `raw` holds several apertures.
    """
    raw = np.ascontiguousarray(raw, dtype=np.uint16).reshape(-1, 8)
    n = len(raw)
    counts = np.array([n] if counts is None else counts, dtype=np.int64)
    assert counts.sum() == n
    aperture = np.repeat(np.arange(counts.size), counts)
    signed = raw.view(np.int16)
    scale, offset = scales_and_offsets(encodings)

    kind = np.select(
        [
            raw[:, 1] != 0,
            raw[:, 0] == 0xFFFF,
            signed[:, 6] == -6,
            signed[:, 6] == -5,
            signed[:, 6] == -3,
            signed[:, 6] == -2,
            (raw[:, 2] != 0) | (raw[:, 3] != 0),
        ],
        [PULSE, PADDING, STEP_DOWN, STEP_UP, LONG_UPDATE, LONG_DROPPED, UNKNOWN],
        BACKGROUND,
    ).astype(np.uint8)

    plain = signed.astype(F32)
    with np.errstate(all="ignore"):
        scaled = plain / scale + offset
    scaled[signed == 32767] = np.inf
    scaled[signed == -32768] = F32(np.nan)  # the quiet NaN 0x7FC00000
    scaled[signed == -32767] = -np.inf

    scaled_intensity = np.isin(kind, [PULSE, STEP_DOWN, STEP_UP, LONG_UPDATE, LONG_DROPPED])[:, None]
    scaled_background = np.isin(kind, [PULSE, BACKGROUND])[:, None]
    intensities = np.where(scaled_intensity, scaled[:, 2:4], plain[:, 2:4])
    intensities[kind == BACKGROUND] = 0.0
    backgrounds = np.where(scaled_background, scaled[:, 4:8], plain[:, 4:8])

    wide = (raw[:, 4].astype(np.uint32) | (raw[:, 5].astype(np.uint32) << 16)).astype(np.float64)
    long_kind = np.isin(kind, [LONG_UPDATE, LONG_DROPPED])
    step_kind = np.isin(kind, [STEP_UP, STEP_DOWN])
    starts = np.repeat(np.cumsum(counts) - counts, counts)

    return {
        "ipd_f": raw[:, 0].copy(),
        "dur_f": raw[:, 1].copy(),
        "bin0_intensity": intensities[:, 0].copy(),
        "bin1_intensity": intensities[:, 1].copy(),
        "bin0_bg_mean": backgrounds[:, 0].copy(),
        "bin1_bg_mean": backgrounds[:, 1].copy(),
        "bin0_bg_std": backgrounds[:, 2].copy(),
        "bin1_bg_std": backgrounds[:, 3].copy(),
        "start_f": _running_sum_u32(raw[:, 0], aperture),
        "record_type": np.array(KINDS, dtype=object)[kind],
        "long_pulse_duration_f": np.where(long_kind, wide, np.nan),
        "event_f": np.where(step_kind, wide, np.nan),
        "index": (np.arange(n) - starts).astype(np.uint64),
        "kind": kind,
        "aperture": aperture,
    }


def build_pulses(records: dict[str, np.ndarray], fps) -> dict[str, np.ndarray]:
    """Pulses on the frame clock: the pulses-table columns (without "aperture_index"), then "aperture".

    The clock advances by a record's ipd_f and, for a pulse, also by its duration, so a record's
    position is the clock before it plus its own ipd_f.
    """
    fps = F32(fps)
    is_pulse = records["kind"] == PULSE
    dur = np.where(is_pulse, records["dur_f"], 0).astype(np.uint64)
    clock_after = _running_sum_u32(records["ipd_f"].astype(np.uint64) + dur, records["aperture"])
    position = (clock_after.astype(np.uint64) - dur) & U32

    rows = np.flatnonzero(is_pulse)
    aperture = records["aperture"][rows]
    start = position[rows]
    dur = dur[rows]
    end = (start + dur) & U32
    ipd = (start - _previous_in_aperture(end, aperture)) & U32
    ipd[_first_of_run(aperture)] = 0

    b0i, b1i = records["bin0_intensity"][rows], records["bin1_intensity"][rows]
    b0m, b1m = records["bin0_bg_mean"][rows], records["bin1_bg_mean"][rows]
    b0s, b1s = records["bin0_bg_std"][rows], records["bin1_bg_std"][rows]
    with np.errstate(all="ignore"):
        return {
            "index": records["index"][rows],
            "start_f": start.astype(np.uint32),
            "end_f": end.astype(np.uint32),
            "dur_f": dur.astype(np.uint32),
            "dur_s": dur.astype(F32) / fps,
            "ipd_f": ipd.astype(np.uint32),
            "ipd_s": ipd.astype(F32) / fps,
            "snr": b1i / b1s,
            "intensity": b1i,
            "bin0_intensity": b0i,
            "intensity_display": b1i + b1m,
            "binratio": b0i / b1i,
            "bg_mean": b1m,
            "bg_std": b1s,
            "bin0_bg_mean": b0m,
            "bin0_bg_std": b0s,
            "aperture": aperture,
        }


def filter_pulses(pulses: dict[str, np.ndarray], fps, n_apertures: int = 1, **criteria):
    """Apply filter criteria (the PulseFilter keywords) to the pulses of every aperture.

    Returns the kept pulses and a boolean per aperture that is True where the order check
    fails (some pulse starts at or before the end of the previous pulse, or a first pulse at
    frame 0); such an aperture keeps nothing, since the reader reports an error for it.
    """
    fps = F32(fps)
    as_f32 = lambda value: F32(float(value))  # Python float (double) narrowed to single precision
    aperture, start, end = pulses["aperture"], pulses["start_f"], pulses["end_f"]

    unsorted = start <= _previous_in_aperture(end, aperture)
    failed = np.zeros(n_apertures, bool)
    failed[aperture[unsorted]] = True
    keep = ~failed[aperture]

    def at_least(column, key):
        return pulses[column] >= as_f32(criteria[key])

    def at_most(column, key):
        return pulses[column] <= as_f32(criteria[key])

    with np.errstate(all="ignore"):
        checks = {
            "min_dur_f": lambda: pulses["dur_f"] >= criteria["min_dur_f"],
            "min_dur_s": lambda: at_least("dur_s", "min_dur_s"),
            "max_dur_s": lambda: at_most("dur_s", "max_dur_s"),
            "min_snr": lambda: at_least("snr", "min_snr"),
            "min_intensity": lambda: at_least("intensity", "min_intensity"),
            "min_binratio": lambda: at_least("binratio", "min_binratio"),
            "max_binratio": lambda: at_most("binratio", "max_binratio"),
            "start_m": lambda: start.astype(F32) / (F32(60) * fps) >= as_f32(criteria["start_m"]),
            "end_m": lambda: end.astype(F32) / (F32(60) * fps) <= as_f32(criteria["end_m"]),
            "mask_s": lambda: (start.astype(F32) / fps > as_f32(criteria["mask_s"][1]))
            | (end.astype(F32) / fps < as_f32(criteria["mask_s"][0])),
        }
        for key, check in checks.items():
            if key in criteria:
                keep &= check()

    kept = {name: values[keep] for name, values in pulses.items()}
    if criteria.get("recalc_ipd", False):
        ipd = (kept["start_f"].astype(np.uint64) - _previous_in_aperture(kept["end_f"], kept["aperture"])) & U32
        ipd[_first_of_run(kept["aperture"])] = 0
        kept["ipd_f"] = ipd.astype(np.uint32)
        with np.errstate(all="ignore"):
            kept["ipd_s"] = kept["ipd_f"].astype(F32) / fps
    return kept, failed


def pulses_table(pulses: dict[str, np.ndarray], aperture_index: int | None = None) -> dict[str, np.ndarray]:
    """The pulses table of one aperture in column order ("aperture_index" only when given)."""
    table = {"index": pulses["index"]}
    if aperture_index is not None:
        table["aperture_index"] = np.full(len(pulses["index"]), aperture_index, np.uint64)
    table.update((name, pulses[name]) for name in PULSE_COLUMNS if name not in table)
    return table


# ---------------------------------------------------------------------------------------------
# Comparison and file helpers shared by the tests.


def bits(values: np.ndarray) -> np.ndarray:
    """Floats as their bit patterns, so that NaN payloads, infinities and -0.0 compare exactly."""
    values = np.asarray(values)
    if values.dtype == np.float32:
        return values.view(np.uint32)
    if values.dtype == np.float64:
        return values.view(np.uint64)
    return values


def assert_columns_equal(got, want: dict[str, np.ndarray], where=None) -> None:
    """Compare every column of `want` with `got` (a DataFrame or a dict) in dtype and bits.

    `where(row)` describes a row for the failure message (the aperture it belongs to, say).
    """
    for name, expected in want.items():
        actual = got[name]
        actual = actual.to_numpy() if hasattr(actual, "to_numpy") else np.asarray(actual)
        assert actual.dtype == expected.dtype, f"{name}: dtype {actual.dtype}, expected {expected.dtype}"
        assert actual.shape == expected.shape, f"{name}: {actual.shape[0]} rows, expected {expected.shape[0]}"
        bad = np.flatnonzero(bits(actual) != bits(expected))
        if bad.size:
            row = bad[0]
            place = where(row) if where else f"row {row}"
            raise AssertionError(
                f"{name}: {bad.size} mismatches, first at {place}: got {actual[row]!r}, expected {expected[row]!r}"
            )


@dataclass
class _Blocks(Aperture):
    """All aperture blocks of a file as one prebuilt byte string (fast for large random files)."""

    data: bytes = b""

    def block(self) -> bytes:
        return self.data


def bulk_file(numbers, xs, ys, raw: np.ndarray, counts, encodings, metadata) -> PulseFile:
    """A PulseFile holding many apertures whose records come from one (n, 8) uint16 array."""
    pulse_file = PulseFile(encodings=list(encodings), metadata=metadata)
    data_offset = METADATA_OFFSET + len(pulse_file.metadata_bytes())
    raw_bytes = np.ascontiguousarray(raw, dtype="<u2").tobytes()
    parts, entries, location, row = [], [], data_offset, 0
    for number, x, y, count in zip(numbers, xs, ys, counts):
        head = np.array([x, y, number, count], dtype="<u4").tobytes()
        parts += [head, raw_bytes[row * 16 : (row + count) * 16]]
        entries.append((int(number), location))
        location += 16 + 16 * int(count)
        row += int(count)
    pulse_file.apertures = [_Blocks(0, data=b"".join(parts))]
    pulse_file.index_entries = entries
    return pulse_file


def query(path, method: str = "get_pulses", aperture=3, *, reader_kwargs=None, **kwargs):
    """Open a reader on `path`, run one query and close the reader again."""
    from zyn_pulse_reader import PulseReader

    with PulseReader(str(path), **(reader_kwargs or {})) as reader:
        return getattr(reader, method)(aperture, **kwargs)
