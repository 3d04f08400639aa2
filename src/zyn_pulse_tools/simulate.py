"""Synthetic runs that look like a chip's: pulse files for trying things out, tests and benchmarks.

A run is a rows x cols grid of wells; each aperture sits on one well, numbered y * cols + x.
Record counts are heavy-tailed as on a chip: most apertures hold a few records (uniform from
0 to about twice the quiet mean), a small share of busy ones hold hundreds to thousands
(log-normal around 60 times the mean). Records mix the kinds a pulse caller writes: mostly
pulses, then background, records of unknown kind, steps, long-pulse records and very rarely
padding; a few pulse measurements are saturated (the +inf, NaN and -inf codes). Durations
are uniform over 1 to 40 frames, intensities uniform over 100 to 475, so plots of a
simulated run have known shapes.

Each aperture's records fit in the run: gaps and durations shrink for apertures that would
otherwise outlast duration x fps (and no aperture holds more than one record per 5 frames
of the run), and padding (which moves the clock by 65,535 frames) only
goes where there is room for it. Pulses have at least one frame of gap, so the pulses of
every aperture pass a filter's order check.

The file is written directly in its layout (see file_layout): the data region is a sequence
of 16-byte rows, one block header row per aperture followed by its records, drawn with NumPy
a chunk of rows at a time, so memory stays bounded whatever the run's size. Strips of one run
(`strips` > 1) split the grid into bands of rows, each a file of its own whose aperture
numbers and y start again at 0, with the metadata a merge needs: merging them in order gives
the run that a single file of the same seed holds.
"""

from __future__ import annotations

import json
import struct
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, BinaryIO

import numpy as np
import numpy.typing as npt

from zyn_pulse_tools.file_layout import BLOCK_HEADER_SIZE, HEADER_SIZE, INDEX_ENTRY, INDEX_MAGIC, RECORD_SIZE

# (kind, fraction_bits, offset) per word: words 2/3 are intensities (1/16, +100), 4/5
# background means (1/4), 6/7 background standard deviations (1/8).
ENCODINGS = ((0, 0, 0), (0, 0, 0), (1, 4, 100), (1, 4, 100), (2, 2, 0), (2, 2, 0), (3, 3, 0), (3, 3, 0))
_ENCODING_BYTES = b"".join(struct.pack("<BBH", *encoding) for encoding in ENCODINGS)
_HEADER = struct.Struct("<4sIQIBBHIIQQ")
_RESERVED_A = 0x00010002

# Kind codes as the decoder numbers them.
PULSE, PADDING, LONG_UPDATE, LONG_DROPPED, STEP_UP, STEP_DOWN, BACKGROUND, UNKNOWN = range(8)
# Shares of the known kinds among the records that are not of unknown kind.
_KNOWN_SHARES = {PULSE: 0.70, BACKGROUND: 0.18, STEP_UP: 0.02, STEP_DOWN: 0.02, LONG_UPDATE: 0.025, LONG_DROPPED: 0.015}
_KNOWN_TOTAL = sum(_KNOWN_SHARES.values())
# Word 6 of steps and long-pulse records: the kind code, as a signed 16-bit value.
_KIND_CODES = {STEP_DOWN: -6, STEP_UP: -5, LONG_UPDATE: -3, LONG_DROPPED: -2}
PADDING_SHARE = 2e-6
SATURATED_SHARE = 1e-4  # of pulse measurement words, which then hold +inf / NaN / -inf codes
_SATURATED_CODES = np.array([0x7FFF, 0x8000, 0x8001], dtype=np.uint16)
_PADDING_FRAMES = 0xFFFF
# Mean frames a record moves an aperture's clock by: pulses 30.5 gap + 20.5 duration, others 60.
_MEAN_STEP_FRAMES = 0.70 * 51.0 + 0.30 * 60.0
_BUSY_MEDIAN = 100.0  # busy apertures: log-normal around this many times the quiet ones' mean
_BUSY_SIGMA = 0.8
_ROOM = 0.9  # share of the run's frames an aperture's records may fill on average
# Shrunk gaps and durations still take a few frames per record (a pulse at least two), so an
# aperture holds at most one record per this many frames of the run.
_FRAMES_PER_RECORD_AT_LEAST = 5
_CHUNK_ROWS = 1 << 20


@dataclass(frozen=True)
class RunShape:
    """What `write_run` simulates. `apertures` None puts an aperture on every well."""

    rows: int = 100
    cols: int = 100
    apertures: int | None = None
    mean_records: float = 16.75
    heavy_share: float = 0.005
    unknown_share: float = 0.04
    fps: float = 100.0
    duration_s: float = 36000.0
    seed: int = 0
    metadata: Mapping[str, Any] = field(default_factory=dict)  # members added to, or replacing, the generated ones

    def check(self) -> None:
        """Raises ValueError naming the first option out of range."""
        wells = self.rows * self.cols
        if self.rows < 1 or self.cols < 1:
            raise ValueError("the grid needs at least one row and one column")
        if wells > 1 << 32:
            raise ValueError(f"a grid of {wells:,} wells has more than 2**32 aperture numbers")
        if self.apertures is not None and not 0 <= self.apertures <= wells:
            raise ValueError(f"{self.apertures:,} apertures do not fit on {self.rows} x {self.cols} wells")
        if not self.mean_records >= 0:
            raise ValueError("the mean records per aperture cannot be negative")
        if not 0 <= self.heavy_share < 1 or not 0 <= self.unknown_share <= 1:
            raise ValueError("shares lie from 0 to 1 (the heavy share below 1)")
        if not (self.fps > 0 and self.duration_s > 0 and np.isfinite(self.fps * self.duration_s)):
            raise ValueError("fps and duration must be positive")

    @property
    def run_frames(self) -> float:
        return self.fps * self.duration_s


@dataclass(frozen=True)
class Layout:
    """The run's apertures: well numbers (ascending) and record counts."""

    wells: npt.NDArray[np.int64]
    counts: npt.NDArray[np.int64]


def plan_apertures(shape: RunShape) -> Layout:
    """Which wells hold an aperture and how many records each has."""
    rng = np.random.default_rng([shape.seed, 0])
    wells_total = shape.rows * shape.cols
    if shape.apertures is None or shape.apertures == wells_total:
        wells = np.arange(wells_total, dtype=np.int64)
    else:
        wells = np.sort(rng.choice(wells_total, shape.apertures, replace=False)).astype(np.int64)
    counts = record_counts(rng, wells.size, shape.mean_records, shape.heavy_share)
    return Layout(wells, np.minimum(counts, int(_ROOM * shape.run_frames / _FRAMES_PER_RECORD_AT_LEAST)))


def record_counts(rng: np.random.Generator, apertures: int, mean: float, heavy_share: float) -> npt.NDArray[np.int64]:
    """Heavy-tailed record counts averaging `mean`: the quiet apertures uniform from 0 to
    twice their mean q, `heavy_share` of them log-normal around 100 q."""
    busy = rng.random(apertures) < heavy_share
    quiet_mean = mean / (1 - heavy_share + heavy_share * _BUSY_MEDIAN * np.exp(_BUSY_SIGMA**2 / 2))
    counts = rng.integers(0, int(round(2 * quiet_mean)) + 1, apertures)
    if quiet_mean > 0:
        busy_counts = rng.lognormal(np.log(_BUSY_MEDIAN * quiet_mean), _BUSY_SIGMA, int(busy.sum()))
        counts[busy] = np.maximum(busy_counts, 1).astype(np.int64)
    return counts


def kind_shares(unknown_share: float) -> dict[int, float]:
    shares = {kind: share * (1 - unknown_share) / _KNOWN_TOTAL for kind, share in _KNOWN_SHARES.items()}
    shares[UNKNOWN] = unknown_share
    return shares


class RecordStream:
    """The run's records in file order, drawn a chunk at a time from one generator, so a run
    written as one file or as strips holds the same records."""

    def __init__(self, shape: RunShape, records: int) -> None:
        self._rng = np.random.default_rng([shape.seed, 1])
        self._undrawn = records
        # A record's kind from one uniform 16-bit draw: shares are kept to 1/65536.
        edges = np.round(np.cumsum(list(kind_shares(shape.unknown_share).values())) * (1 << 16)).astype(np.int64)
        self._kind_of = np.repeat(np.array(list(kind_shares(shape.unknown_share)), dtype=np.uint8),
                                  np.diff(np.concatenate(([0], np.minimum(edges, 1 << 16)))))
        self._kind_of = np.concatenate((self._kind_of, np.full((1 << 16) - self._kind_of.size, UNKNOWN, np.uint8)))
        self._pending = np.zeros((0, 8), dtype=np.uint16)

    def take(self, count: int) -> npt.NDArray[np.uint16]:
        parts, left = [], count
        while left:
            if not len(self._pending):
                self._pending = self.draw(min(_CHUNK_ROWS, self._undrawn))
                self._undrawn -= len(self._pending)
            part, self._pending = self._pending[:left], self._pending[left:]
            parts.append(part)
            left -= len(part)
        return np.concatenate(parts) if parts else self._pending[:0]

    def draw(self, n: int) -> npt.NDArray[np.uint16]:
        """`n` records of every kind as an (n, 8) array of words (padding where the run has no
        room for it is undone by `fit_in_run`)."""
        rng = self._rng
        kind = self._kind_of[rng.integers(0, 1 << 16, n, dtype=np.uint16)]
        pulse = kind == PULSE
        # Word by word (rows of `columns`), then transposed into records once.
        columns = np.empty((8, n), dtype=np.uint16)
        # Frames since the previous event: 1 to 60 for pulses, 0 to 120 for the rest; one draw
        # serves both, 7260 being a multiple of 60 and of 121.
        gap = rng.integers(0, 7260, n, dtype=np.uint16)
        columns[0] = np.where(pulse, gap % 60 + 1, gap % 121)
        columns[1] = rng.integers(1, 41, n, dtype=np.uint16) * pulse
        columns[2:4] = rng.integers(0, 6000, (2, n), dtype=np.uint16)
        columns[4:6] = rng.integers(0, 2000, (2, n), dtype=np.uint16)
        columns[6:8] = rng.integers(8, 800, (2, n), dtype=np.uint16)
        words = np.ascontiguousarray(columns.T)

        background = np.flatnonzero(kind == BACKGROUND)
        words[background, 2:4] = 0
        # Word 6 of -4 or -1 is no kind code: a background record all the same.
        odd = background[rng.random(background.size) < 1e-3]
        words[odd, 6] = rng.choice(np.array([0xFFFC, 0xFFFF], dtype=np.uint16), odd.size)
        unknown = np.flatnonzero(kind == UNKNOWN)
        words[unknown, 2] = np.maximum(words[unknown, 2], 1)
        for code, word6 in _KIND_CODES.items():
            rows = np.flatnonzero(kind == code)
            words[rows, 4:6] = rng.integers(0, 1 << 16, (rows.size, 2), dtype=np.uint16)  # event or duration frame
            words[rows, 6] = word6 & 0xFFFF
        padding = rng.integers(0, n, rng.binomial(n, PADDING_SHARE)) if n else np.zeros(0, dtype=np.int64)
        words[padding, 0], words[padding, 1] = _PADDING_FRAMES, 0
        pulses = np.flatnonzero(pulse)
        saturated = rng.integers(0, 6 * pulses.size, rng.binomial(6 * pulses.size, SATURATED_SHARE)) if pulses.size else pulses
        words[pulses[saturated // 6], saturated % 6 + 2] = rng.choice(_SATURATED_CODES, saturated.size)
        return words


def fit_in_run(records: npt.NDArray[np.uint16], factor: npt.NDArray[np.float64],
               padding_room: npt.NDArray[np.bool_]) -> None:
    """Turns padding into background where its aperture has no room for 65,535 more frames,
    then shrinks gaps and pulse durations by each record's aperture's `factor` (pulses keep
    at least one frame of each)."""
    crowded = np.flatnonzero((records[:, 0] == _PADDING_FRAMES) & (records[:, 1] == 0) & ~padding_room)
    records[crowded, 0] = 60
    records[crowded, 2:4] = 0
    records[crowded, 6] = 80  # no kind code
    shrink = np.flatnonzero(factor < 1)
    if shrink.size:
        part = records[shrink]
        pulse = part[:, 1] != 0
        scaled = (part[:, :2] * factor[shrink, None]).astype(np.uint16)
        scaled[pulse] = np.maximum(scaled[pulse], 1)
        records[shrink, :2] = scaled


@dataclass(frozen=True)
class Strip:
    """One output file: the apertures [first, stop) of the layout on rows [row0, row0 + rows)."""

    path: str
    first: int
    stop: int
    row0: int
    rows: int
    records: int

    @property
    def apertures(self) -> int:
        return self.stop - self.first


def metadata(shape: RunShape, rows: int, wells: npt.NDArray[np.int64]) -> dict[str, Any]:
    """The metadata document of a strip of `rows` rows whose apertures sit on `wells`."""
    left = int(np.count_nonzero(wells % shape.cols < shape.cols // 2))
    fps: float | int = int(shape.fps) if float(shape.fps).is_integer() else shape.fps
    return {
        "fps": fps,
        "duration": shape.duration_s,
        "rows": rows,
        "cols": shape.cols,
        "roi_rows": rows,
        "roi_cols": shape.cols,
        "roi_offset_col": 0,
        "validWells": int(wells.size),
        "validWellsLeft": left,
        "validWellsRight": int(wells.size) - left,
        "instrument": {"name": "simulated", "serial": "SIM-0001", "firmware": "4.2.1"},
        "pulseCaller": {"version": "2.7.0", "options": ["trim_boundary_frames", "merge_short_gaps"]},
        "simulation": {"seed": shape.seed, "mean_records": shape.mean_records, "heavy_share": shape.heavy_share,
                       "unknown_share": shape.unknown_share},
        **shape.metadata,
    }


def strip_paths(output: str, strips: int) -> list[str]:
    """`output` itself, or with the strip's number 1..K before the first "." of its name
    ("run.pulses.bin" gives "run1.pulses.bin", "run2.pulses.bin", ...)."""
    if strips == 1:
        return [output]
    path = Path(output)
    stem, dot, rest = path.name.partition(".")
    return [str(path.with_name(f"{stem}{k}{dot}{rest}")) for k in range(1, strips + 1)]


def plan_strips(shape: RunShape, layout: Layout, paths: list[str]) -> list[Strip]:
    """Bands of rows as even as the grid allows, top to bottom."""
    if len(paths) > shape.rows:
        raise ValueError(f"{len(paths)} strips need at least as many rows (the grid has {shape.rows})")
    bounds = np.linspace(0, shape.rows, len(paths) + 1).round().astype(np.int64)
    firsts = np.searchsorted(layout.wells, bounds * shape.cols)
    records = np.concatenate(([0], np.cumsum(layout.counts)))[firsts]
    return [Strip(path, int(firsts[k]), int(firsts[k + 1]), int(bounds[k]), int(bounds[k + 1] - bounds[k]),
                  int(records[k + 1] - records[k]))
            for k, path in enumerate(paths)]


def write_strip(file: BinaryIO, shape: RunShape, layout: Layout, strip: Strip, stream: RecordStream,
                progress: Callable[[int], object]) -> None:
    wells = layout.wells[strip.first : strip.stop] - strip.row0 * shape.cols
    counts = layout.counts[strip.first : strip.stop]
    document = json.dumps(metadata(shape, strip.rows, wells)).encode()
    data_offset = -(-(HEADER_SIZE + len(_ENCODING_BYTES) + len(document)) // RECORD_SIZE) * RECORD_SIZE
    block_rows = counts + BLOCK_HEADER_SIZE // RECORD_SIZE  # a block header is one 16-byte row
    header_rows = np.concatenate(([0], np.cumsum(block_rows)[:-1])).astype(np.int64)
    total_rows = int(block_rows.sum())
    index_offset = data_offset + RECORD_SIZE * total_rows
    file.write(_HEADER.pack(b"ZynP", _RESERVED_A, wells.size, len(document), 1, 4, 8, 0, RECORD_SIZE,
                            data_offset, index_offset))
    file.write(_ENCODING_BYTES + document)
    file.write(bytes(data_offset - HEADER_SIZE - len(_ENCODING_BYTES) - len(document)))

    block_headers = np.empty((wells.size, 4), dtype="<u4")
    block_headers[:, 0] = wells % shape.cols
    block_headers[:, 1] = wells // shape.cols
    block_headers[:, 2] = wells
    block_headers[:, 3] = counts
    # How much each aperture's clock must shrink to end inside the run, and whether a padding
    # record's 65,535 frames still fit.
    expected = (counts + 1) * _MEAN_STEP_FRAMES
    factor = np.minimum(1.0, _ROOM * shape.run_frames / expected)
    padding_room = expected + 2 * _PADDING_FRAMES <= _ROOM * shape.run_frames
    for start in range(0, total_rows, _CHUNK_ROWS):
        stop = min(total_rows, start + _CHUNK_ROWS)
        rows = np.empty((stop - start, 8), dtype="<u2")
        first, last = np.searchsorted(header_rows, [start, stop])
        is_record = np.ones(stop - start, dtype=bool)
        is_record[header_rows[first:last] - start] = False
        # Each record's aperture: the blocks that reach into this chunk, each repeated by the
        # number of its records that lie in it.
        reaching = np.arange(max(first - 1, 0), last)
        begins = header_rows[reaching] + 1
        inside = np.minimum(begins + counts[reaching], stop) - np.maximum(begins, start)
        owner = np.repeat(reaching, np.maximum(inside, 0))
        records = stream.take(owner.size)
        fit_in_run(records, factor[owner], padding_room[owner])
        rows[is_record] = records
        rows.view("<u4").reshape(-1, 4)[header_rows[first:last] - start] = block_headers[first:last]
        file.write(rows.tobytes())
        progress(len(records))
    index = np.empty(wells.size, dtype=INDEX_ENTRY)
    index["aperture"] = wells
    index["location"] = data_offset + RECORD_SIZE * header_rows
    file.write(INDEX_MAGIC + index.tobytes())


class SimulatedRun:
    """A run planned from its shape (which wells, how many records each, unless `layout` says
    so); written on demand."""

    def __init__(self, shape: RunShape, layout: Layout | None = None) -> None:
        shape.check()
        if layout is not None and layout.wells.size and not (
            layout.wells[-1] < shape.rows * shape.cols and (np.diff(layout.wells) > 0).all()
        ):
            raise ValueError("the wells must ascend and lie on the grid")
        self.shape = shape
        self.layout = plan_apertures(shape) if layout is None else layout

    @property
    def records(self) -> int:
        return int(self.layout.counts.sum())

    def strips(self, paths: list[str]) -> list[Strip]:
        """The run cut into `len(paths)` strips, one per path, top to bottom."""
        return plan_strips(self.shape, self.layout, paths)

    def write(self, strips: list[Strip], progress: Callable[[int], object] = lambda records: None) -> None:
        """Writes every strip of one cut of the run, in order; `progress` is called with the
        records written since its last call."""
        stream = RecordStream(self.shape, self.records)
        for strip in strips:
            with open(strip.path, "wb") as file:
                write_strip(file, self.shape, self.layout, strip, stream, progress)


def write_run(path: str, shape: RunShape, strips: int = 1) -> list[str]:
    """Writes a simulated run to `path`, or as `strips` files named after it; their paths."""
    run = SimulatedRun(shape)
    planned = run.strips(strip_paths(path, strips))
    run.write(planned)
    return [strip.path for strip in planned]
