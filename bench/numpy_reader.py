"""A pulse-file reader written in plain NumPy, as a capable user would write one.

It is the benchmark's peer: the same DataFrames as the extension module's get_all_records
and get_pulses (including the pulse filter), built from whole-array arithmetic on the
aperture's bytes (one pread per block, np.frombuffer, no Python loop over records) and one
DataFrame per call.

Record words: 0 = frames since the previous event, 1 = pulse duration (non-zero exactly
for pulses), 2..7 = measurements scaled by the file's encoding records (word / 2**k +
offset, with +inf / NaN / -inf codes 0x7FFF / 0x8000 / 0x8001 in scaled words). Word 6
holds the kind code of step (-6 down, -5 up) and long-pulse (-3 update, -2 dropped)
records, whose words 4-5 form a 32-bit value.
"""

from __future__ import annotations

import json
import math
import os
import struct

import numpy as np
import pandas as pd

F32 = np.float32
KIND_NAMES = np.array(
    ["pulse", "padding", "long_pulse_update", "long_pulse_dropped", "step_up", "step_down", "background", "unknown"],
    dtype=object,
)
PULSE, PADDING, LONG_UPDATE, LONG_DROPPED, STEP_UP, STEP_DOWN, BACKGROUND, UNKNOWN = range(8)
INDEX_ENTRY = np.dtype([("aperture", "<u4"), ("location", "<u8")])

# Kind of a non-pulse, non-padding record by its word 6 (255: decided by words 2 and 3).
_CODE_KIND = np.full(1 << 16, 255, dtype=np.uint8)
_CODE_KIND[0xFFFA], _CODE_KIND[0xFFFB], _CODE_KIND[0xFFFD], _CODE_KIND[0xFFFE] = STEP_DOWN, STEP_UP, LONG_UPDATE, LONG_DROPPED
# Which of the six measurement words (2..7) are scaled, by kind; the others are plain.
_SCALED = np.zeros((8, 6), dtype=bool)
_SCALED[PULSE, :] = True
_SCALED[[LONG_UPDATE, LONG_DROPPED, STEP_UP, STEP_DOWN], :2] = True
_SCALED[BACKGROUND, 2:] = True  # its intensity words are 0 and read as plain 0.0
RECORD_FLOATS = ("bin0_intensity", "bin1_intensity", "bin0_bg_mean", "bin1_bg_mean", "bin0_bg_std", "bin1_bg_std")


class NumpyPulseReader:
    def __init__(self, file_name: str):
        self.fd = os.open(file_name, os.O_RDONLY)
        head = os.pread(self.fd, 80, 0)
        (magic, _, count, meta_len, _, _, _, _, _, _, index_offset) = struct.unpack_from("<4sIQIBBHIIQQ", head)
        if magic != b"ZynP":
            raise ValueError("not a pulse file")
        enc = np.frombuffer(head, dtype=[("kind", "u1"), ("bits", "u1"), ("offset", "<u2")], count=8, offset=48)
        self.scale = (2.0 ** (enc["bits"] & 0x0F)).astype(F32)
        self.offset = enc["offset"].astype(F32)
        self.metadata = json.loads(os.pread(self.fd, meta_len, 80))
        self.fps = F32(self.metadata["fps"])
        if os.pread(self.fd, 8, index_offset) != b"$INDX$\r\n":
            raise ValueError("bad index")
        index = np.frombuffer(os.pread(self.fd, 12 * count, index_offset + 8), dtype=INDEX_ENTRY)
        self.apertures = index["aperture"].astype(np.uint64)
        self.first = int(index["aperture"][0]) if count else 0
        self.locations = np.zeros(int(index["aperture"][-1]) - self.first + 1 if count else 0, dtype=np.uint64)
        self.locations[index["aperture"] - self.first] = index["location"]

        duration = F32(self.metadata["duration"])
        run_dur = np.ceil(self.fps * duration)
        self.attrs = {
            "source": "pulses.bin",
            "analysis_id": file_name.partition(".")[0],
            "frame_dur_s": float(F32(1) / self.fps),
            "run_dur_f": 0 if not run_dur > 0 else min(int(run_dur), 2**64 - 1) if math.isfinite(run_dur) else 2**64 - 1,
            "run_dur_s": float(duration),
        }

    def close(self):
        os.close(self.fd)

    # -- blocks ---------------------------------------------------------------------------

    def _block(self, aperture: int):
        slot = aperture - self.first
        location = int(self.locations[slot]) if 0 <= slot < self.locations.size else 0
        if location == 0:
            raise KeyError(aperture)
        x, y, number, count = struct.unpack("<4I", os.pread(self.fd, 16, location))
        words = np.frombuffer(os.pread(self.fd, 16 * count, location + 16), dtype="<u2").reshape(count, 8)
        attrs = {"aperture_index": number, "aperture_x": x, "aperture_y": y, "aperture_byteloc": location}
        attrs.update(self.attrs)
        return words, attrs

    def _decode(self, signed: np.ndarray, j: int) -> np.ndarray:
        """Scaled decoding of measurement word j (2..7), sentinels mapped."""
        v = signed.astype(F32) / self.scale[j] + self.offset[j]
        v[signed == 32767] = np.inf
        v[signed == -32768] = np.nan
        v[signed == -32767] = -np.inf
        return v

    # -- records --------------------------------------------------------------------------

    def get_all_records(self, aperture: int) -> pd.DataFrame:
        w, attrs = self._block(aperture)
        s = w.view(np.int16)
        w0, w1, w6 = w[:, 0], w[:, 1], w[:, 6]
        kind = np.where((w[:, 2] != 0) | (w[:, 3] != 0), np.uint8(UNKNOWN), np.uint8(BACKGROUND))
        code = _CODE_KIND[w6]
        kind = np.where(code != 255, code, kind)
        kind[w0 == 0xFFFF] = PADDING
        pulse = w1 != 0
        kind[pulse] = PULSE
        scaled = _SCALED[kind]

        columns = {"ipd_f": w0.copy(), "dur_f": np.where(pulse, w1, np.uint16(0))}
        with np.errstate(all="ignore"):
            for j, name in enumerate(RECORD_FLOATS):
                word = s[:, j + 2]
                columns[name] = np.where(scaled[:, j], self._decode(word, j + 2), word.astype(F32))
        columns["start_f"] = np.cumsum(w0, dtype=np.uint32)
        columns["record_type"] = pd.Series(KIND_NAMES[kind], dtype=object, copy=False)
        wide = (w[:, 4].astype(np.uint32) | (w[:, 5].astype(np.uint32) << 16)).astype(np.float64)
        columns["long_pulse_duration_f"] = np.where((kind == LONG_UPDATE) | (kind == LONG_DROPPED), wide, np.nan)
        columns["event_f"] = np.where((kind == STEP_UP) | (kind == STEP_DOWN), wide, np.nan)
        frame = pd.DataFrame(columns)
        frame.attrs = attrs
        return frame

    # -- pulses ---------------------------------------------------------------------------

    def get_pulses(self, aperture: int, include_aperture_index: bool = True, pulse_filter: dict | None = None):
        w, attrs = self._block(aperture)
        fps = self.fps
        pulse = w[:, 1] != 0
        # Frame clock: each record sits ipd_f after the clock; a pulse moves it to its end.
        clock = np.cumsum(w[:, 0].astype(np.uint32) + np.where(pulse, w[:, 1], np.uint16(0)), dtype=np.uint32)
        index = np.flatnonzero(pulse).astype(np.uint64)
        p = w[index]
        dur = p[:, 1].astype(np.uint32)
        end = clock[index]
        start = end - dur
        ipd = np.empty_like(start)
        ipd[:1] = 0
        np.subtract(start[1:], end[:-1], out=ipd[1:])
        s = p.view(np.int16)
        with np.errstate(all="ignore"):
            b0, b1, m0, m1, sd0, sd1 = (self._decode(s[:, j], j) for j in range(2, 8))
            cols = {
                "start_f": start,
                "end_f": end,
                "dur_f": dur,
                "dur_s": dur.astype(F32) / fps,
                "ipd_f": ipd,
                "ipd_s": ipd.astype(F32) / fps,
                "snr": b1 / sd1,
                "intensity": b1,
                "bin0_intensity": b0,
                "intensity_display": b1 + m1,
                "binratio": b0 / b1,
                "bg_mean": m1,
                "bg_std": sd1,
                "bin0_bg_mean": m0,
                "bin0_bg_std": sd0,
            }
            if pulse_filter is not None:
                index, cols = self._filter(index, cols, pulse_filter)
        if include_aperture_index:
            cols = {"aperture_index": np.full(index.size, aperture, dtype=np.uint64), **cols}
        frame = pd.DataFrame(cols, index=pd.Index(index, name="index"))
        frame.attrs = attrs
        return frame

    def _filter(self, index, cols, f: dict):
        fps = self.fps
        start, end = cols["start_f"], cols["end_f"]
        if start.size and not (start[0] > 0 and np.all(start[1:] > end[:-1])):
            raise RuntimeError("The provided pulses aren't sorted!")
        keep = np.ones(index.size, dtype=bool)
        if "min_dur_f" in f:
            keep &= cols["dur_f"] >= f["min_dur_f"]
        for key, column, ge in (
            ("min_dur_s", "dur_s", True),
            ("max_dur_s", "dur_s", False),
            ("min_snr", "snr", True),
            ("min_intensity", "intensity", True),
            ("min_binratio", "binratio", True),
            ("max_binratio", "binratio", False),
        ):
            if key in f:
                bound = F32(f[key])
                keep &= (cols[column] >= bound) if ge else (cols[column] <= bound)
        per_minute = F32(60.0) * fps
        if "start_m" in f:
            keep &= start.astype(F32) / per_minute >= F32(f["start_m"])
        if "end_m" in f:
            keep &= end.astype(F32) / per_minute <= F32(f["end_m"])
        if "mask_s" in f:
            a, b = F32(f["mask_s"][0]), F32(f["mask_s"][1])
            keep &= (start.astype(F32) / fps > b) | (end.astype(F32) / fps < a)
        index = index[keep]
        cols = {name: column[keep] for name, column in cols.items()}
        if f.get("recalc_ipd", False):
            ipd = cols["ipd_f"]
            ipd[:1] = 0
            np.subtract(cols["start_f"][1:], cols["end_f"][:-1], out=ipd[1:])
            cols["ipd_s"] = ipd.astype(F32) / fps
        return index, cols
