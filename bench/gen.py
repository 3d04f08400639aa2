"""Fast writer of realistic pulse files for the benchmark.

Records are generated as a (rows, 8) uint16 array with NumPy and written as raw bytes, in
chunks, with the aperture headers dropped into their rows. Every block is a multiple of 16
bytes and the data region starts on a 16-byte boundary, so the data region is simply a
sequence of 16-byte rows: one header row per aperture followed by its records.

Record mix (by row): mostly pulses, then background, unknown, steps and long-pulse records,
and a very rare padding record. Pulses always have ipd_f >= 1 and dur_f >= 1, so pulses
never start on the frame where the previous one ended, and padding (which moves the frame
clock by 65535) is rare enough that the 32-bit clock never wraps, even on a 2,000,000-record
aperture; the order check of a pulse filter therefore passes on every aperture.
"""

from __future__ import annotations

import json
import struct

import numpy as np

MAGIC = b"ZynP"
INDEX_MAGIC = b"$INDX$\r\n"
INDEX_ENTRY = np.dtype([("aperture", "<u4"), ("location", "<u8")])  # packed, 12 bytes

# (kind, fraction_bits, offset) per word: words 2/3 are intensities (1/16, +100), 4/5
# background means (1/4), 6/7 background standard deviations (1/8).
ENCODINGS = [(0, 0, 0), (0, 0, 0), (1, 4, 100), (1, 4, 100), (2, 2, 0), (2, 2, 0), (3, 3, 0), (3, 3, 0)]

# Kind codes as the decoder numbers them.
PULSE, PADDING, LONG_UPDATE, LONG_DROPPED, STEP_UP, STEP_DOWN, BACKGROUND, UNKNOWN = range(8)
KIND_SHARE = {
    PULSE: 0.70,
    BACKGROUND: 0.18,
    UNKNOWN: 0.04,
    STEP_UP: 0.02,
    STEP_DOWN: 0.02,
    LONG_UPDATE: 0.025,
    LONG_DROPPED: 0.015,
}
PADDING_SHARE = 2e-6  # about one padding record per 500,000 records
SENTINEL_SHARE = 1e-4  # share of pulse measurement words that hold +inf / NaN / -inf codes
KIND_CODE = {STEP_DOWN: 0xFFFA, STEP_UP: 0xFFFB, LONG_UPDATE: 0xFFFD, LONG_DROPPED: 0xFFFE}

CHUNK_ROWS = 1 << 22
POOL_ROWS = 1 << 20  # records drawn once for the large runs, then reused from random offsets


def base_metadata(rows: int, cols: int, **extra) -> dict:
    meta = {
        "fps": 100,
        "duration": 36000.5,
        "rows": rows,
        "cols": cols,
        "roi_rows": rows,
        "roi_cols": cols,
        "roi_offset_col": 0,
        "validWells": rows * cols,
        "validWellsLeft": rows * cols // 2,
        "validWellsRight": rows * cols - rows * cols // 2,
        "instrument": {"name": "bench", "serial": "B-0001", "firmware": "4.2.1"},
        "pulseCaller": {"version": "2.7.0", "options": ["trim_boundary_frames", "merge_short_gaps"]},
        "chip": {"lot": "L123", "wafer": 7, "temperature_c": 36.5},
    }
    meta.update(extra)
    return meta


def records(rng: np.random.Generator, n: int) -> np.ndarray:
    """`n` random records of every kind, as an (n, 8) uint16 array."""
    kinds = np.array(list(KIND_SHARE), dtype=np.uint8)
    share = np.array(list(KIND_SHARE.values()))
    kind = kinds[np.searchsorted(np.cumsum(share / share.sum()), rng.random(n), side="right").clip(0, len(kinds) - 1)]
    kind[rng.random(n) < PADDING_SHARE] = PADDING
    pulse = kind == PULSE

    w = np.empty((n, 8), dtype=np.uint16)
    # Frames since the previous event: 1..60 for pulses, 0..120 for the rest.
    w[:, 0] = np.where(pulse, rng.integers(1, 61, n), rng.integers(0, 121, n))
    w[:, 1] = np.where(pulse, rng.integers(1, 41, n), 0)
    w[:, 2] = rng.integers(0, 6000, n)
    w[:, 3] = rng.integers(0, 6000, n)
    w[:, 4] = rng.integers(0, 2000, n)
    w[:, 5] = rng.integers(0, 2000, n)
    w[:, 6] = rng.integers(8, 800, n)
    w[:, 7] = rng.integers(8, 800, n)

    background = kind == BACKGROUND
    w[background, 2] = 0
    w[background, 3] = 0
    # A background word 6 of -4 or -1 is not a kind code; keep a few of them.
    odd = background & (rng.random(n) < 1e-3)
    w[odd, 6] = np.where(rng.random(int(odd.sum())) < 0.5, 0xFFFC, 0xFFFF)
    unknown = kind == UNKNOWN
    w[unknown, 2] = np.maximum(w[unknown, 2], 1)
    for code, word6 in KIND_CODE.items():
        m = kind == code
        wide = rng.integers(0, 1 << 32, int(m.sum()), dtype=np.uint64)
        w[m, 4] = (wide & 0xFFFF).astype(np.uint16)
        w[m, 5] = (wide >> 16).astype(np.uint16)
        w[m, 6] = word6
    padding = kind == PADDING
    w[padding, 0] = 0xFFFF
    w[padding, 1] = 0

    # Saturated or invalid measurements: +inf / NaN / -inf codes in a few pulse words.
    hit = pulse[:, None] & (rng.random((n, 6)) < SENTINEL_SHARE)
    rows, cols = np.nonzero(hit)
    w[rows, cols + 2] = rng.choice(np.array([0x7FFF, 0x8000, 0x8001], dtype=np.uint16), rows.size)
    return w


def pooled_records(rng: np.random.Generator):
    """A source of records like `records`, but cut from one pool drawn up front.

    Drawing fresh random records costs about a microsecond each, far more than writing them;
    the runs of hundreds of millions of records instead copy the pool from a random offset
    (wrapping around), which keeps the kind mix and is as varied as any reader can notice.
    """
    pool = records(rng, POOL_ROWS)

    def take(n: int) -> np.ndarray:
        parts, left = [], n
        while left:
            start = int(rng.integers(0, POOL_ROWS))
            piece = pool[start : start + left]
            parts.append(piece)
            left -= len(piece)
        return np.concatenate(parts)

    return take


def chip_sizes(rng: np.random.Generator, m: int, heavy_share: float = 0.05) -> np.ndarray:
    """Record counts of a chip-like run of `m` apertures, heavy-tailed.

    Most apertures hold 0 to 30 records; about `heavy_share` of them hold thousands
    (log-uniform between 1,000 and 2,000).
    """
    sizes = rng.integers(0, 31, m)
    heavy = rng.random(m) < heavy_share
    sizes[heavy] = np.exp(rng.uniform(np.log(1000), np.log(2000), int(heavy.sum()))).astype(np.int64)
    return sizes


def write_pulse_file(
    path: str,
    sizes,
    numbers=None,
    *,
    seed: int = 0,
    metadata: dict | None = None,
    cols: int = 1000,
    pooled: bool = False,
) -> dict:
    """Writes a pulse file with one aperture per entry of `sizes` (record counts).

    Apertures are numbered `numbers` (default 0, 1, 2, ...) and placed on a grid of `cols`
    columns (x = number % cols, y = number // cols). The file is written in pieces of
    CHUNK_ROWS rows, so memory stays bounded whatever its size; `pooled` takes the records
    from `pooled_records` (fast) instead of drawing each one. Returns a description of the file.
    """
    sizes = np.asarray(sizes, dtype=np.int64)
    m = sizes.size
    numbers = np.arange(m, dtype=np.int64) if numbers is None else np.asarray(numbers, dtype=np.int64)
    meta = json.dumps(metadata if metadata is not None else base_metadata(1, m)).encode()
    data_offset = -(-(80 + len(meta)) // 16) * 16
    block_rows = sizes + 1
    header_row = np.concatenate(([0], np.cumsum(block_rows)[:-1]))
    total_rows = int(block_rows.sum())
    index_offset = data_offset + 16 * total_rows
    locations = data_offset + 16 * header_row

    header = struct.pack("<4sIQIBBHIIQQ", MAGIC, 0x00010002, m, len(meta), 1, 4, 8, 0, 16, data_offset, index_offset)
    encodings = b"".join(struct.pack("<BBH", *e) for e in ENCODINGS)
    headers = np.empty((m, 4), dtype="<u4")
    headers[:, 0] = numbers % cols
    headers[:, 1] = numbers // cols
    headers[:, 2] = numbers
    headers[:, 3] = sizes

    rng = np.random.default_rng(seed)
    draw = pooled_records(rng) if pooled else lambda n: records(rng, n)
    with open(path, "wb", buffering=1 << 20) as f:
        f.write(header + encodings + meta + b"\0" * (data_offset - 80 - len(meta)))
        for start in range(0, total_rows, CHUNK_ROWS):
            stop = min(total_rows, start + CHUNK_ROWS)
            chunk = draw(stop - start)
            lo, hi = np.searchsorted(header_row, [start, stop])
            chunk.view("<u4").reshape(-1, 4)[header_row[lo:hi] - start] = headers[lo:hi]
            chunk.tofile(f)
        f.write(INDEX_MAGIC)
        index = np.empty(m, dtype=INDEX_ENTRY)
        index["aperture"] = numbers
        index["location"] = locations
        index.tofile(f)
    return {
        "path": path,
        "apertures": numbers,
        "sizes": sizes,
        "records": int(sizes.sum()),
        "bytes": index_offset + 8 + 12 * m,
    }
