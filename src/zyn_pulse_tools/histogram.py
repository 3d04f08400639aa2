"""Histograms filled batch by batch, without knowing the range of the values beforehand,
and the bars that show them honestly.

Two kinds of histogram: `LogHistogram` for continuous values (positive values in fixed
logarithmic bins, eight per octave, over the whole range of float32), and
`QuantisedHistogram` for values that lie on a grid (frame counts, and measurements the file
stores as 16-bit words scaled by their encoding record), which counts every grid value
exactly. Values that are not finite (and, for the log bins, not positive) are only counted.
Every batch adds to the same bins, so the result does not depend on how the run was split.

`bars` turns either into what a plot draws: bins on whole multiples of the grid's step (a
bin holding fewer grid values than its neighbours would draw a false dip), a probability
density (count / (total x width), so a flat distribution looks flat whatever the bin
widths), and a logarithmic axis only when the values span decades.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

BINS_PER_OCTAVE = 8
# log2 of float32's smallest subnormal is -149 and of its largest value below 128.
_LOWEST_OCTAVE, _HIGHEST_OCTAVE = -150, 129
_BIN_COUNT = (_HIGHEST_OCTAVE - _LOWEST_OCTAVE) * BINS_PER_OCTAVE


class LogHistogram:
    def __init__(self) -> None:
        self.counts = np.zeros(_BIN_COUNT, dtype=np.int64)
        self.not_positive = 0
        self.not_finite = 0

    def add(self, values: npt.ArrayLike) -> None:
        data = np.asarray(values)
        if data.dtype.kind != "f":
            data = data.astype(np.float64)
        # Few passes over the batch: a run's histograms see every pulse.
        finite = int(np.count_nonzero(np.isfinite(data)))
        self.not_finite += data.size - finite
        positive = data[data > 0]  # neither NaN nor -inf
        if positive.size and np.isposinf(positive.max()):
            positive = positive[np.isfinite(positive)]
        self.not_positive += finite - positive.size
        # The bins in float64 whatever the input, so that the edges do not depend on its type.
        bins = np.log2(positive, dtype=np.float64)
        bins *= BINS_PER_OCTAVE
        np.floor(bins, out=bins)
        bins -= _LOWEST_OCTAVE * BINS_PER_OCTAVE
        np.clip(bins, 0, _BIN_COUNT - 1, out=bins)
        self.counts += np.bincount(bins.astype(np.intp), minlength=_BIN_COUNT)

    @property
    def total(self) -> int:
        return int(self.counts.sum()) + self.not_positive + self.not_finite

    def occupied(self) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]:
        """(edges, counts) over the bins from the first to the last that holds a value."""
        used = np.flatnonzero(self.counts)
        if used.size == 0:
            return np.zeros(0), np.zeros(0, dtype=np.int64)
        first, last = int(used[0]), int(used[-1])
        steps = np.arange(first, last + 2) + _LOWEST_OCTAVE * BINS_PER_OCTAVE
        return np.exp2(steps / BINS_PER_OCTAVE), self.counts[first : last + 1]


# Grid values from 0 up to this many steps are counted in one array; others (rare: padding
# gaps, values below an encoding's offset) one by one.
_DENSE_STEPS = 1 << 20
# Linear plots get about this many bins, logarithmic ones this many per decade.
TARGET_BINS = 60
BINS_PER_DECADE = 20
# The values span decades (and get a log axis) when the largest is this many times the smallest.
DECADES_RATIO = 100.0
NOT_POSITIVE_TRACE = 0.01


class QuantisedHistogram:
    """Exact counts of values on the grid origin + k x step (k an integer)."""

    def __init__(self, step: float, origin: float = 0.0) -> None:
        self.step, self.origin = step, origin
        self.dense = np.zeros(0, dtype=np.int64)
        self.sparse: dict[int, int] = {}
        self.not_finite = 0

    def add(self, values: npt.ArrayLike) -> None:
        data = np.asarray(values)
        if data.dtype.kind == "f":
            finite = np.isfinite(data)
            not_finite = data.size - int(np.count_nonzero(finite))
            if not_finite:
                self.not_finite += not_finite
                data = data[finite]
        if data.dtype.kind in "ui" and self.step == 1 and self.origin == 0:
            steps = data.astype(np.int64)
        else:
            # Decoded words lie exactly on the grid in float32 (a power-of-two step), so float32
            # arithmetic finds each value's step exactly, and in fewer passes than float64.
            work = np.subtract(data, self.origin, dtype=np.float64 if data.dtype == np.float64 else np.float32)
            work /= self.step
            steps = np.rint(work, out=work).astype(np.int64)
        if steps.size == 0:
            return
        everything_dense = 0 <= int(steps.min()) and int(steps.max()) < _DENSE_STEPS
        dense = None if everything_dense else (steps >= 0) & (steps < _DENSE_STEPS)
        counted = np.bincount(steps if dense is None else steps[dense], minlength=self.dense.size)
        counted[: self.dense.size] += self.dense
        self.dense = counted
        if dense is not None:
            codes, counts = np.unique(steps[~dense], return_counts=True)
            for code, count in zip(codes.tolist(), counts.tolist()):
                self.sparse[code] = self.sparse.get(code, 0) + count

    @property
    def total(self) -> int:
        return int(self.dense.sum()) + sum(self.sparse.values()) + self.not_finite

    def occupied(self) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
        """(grid steps k, counts) of every grid value that occurs, ascending."""
        used = np.flatnonzero(self.dense)
        steps = np.concatenate((used, np.fromiter(self.sparse, dtype=np.int64, count=len(self.sparse))))
        counts = np.concatenate((self.dense[used], np.fromiter(self.sparse.values(), dtype=np.int64, count=len(self.sparse))))
        order = np.argsort(steps, kind="stable")
        return steps[order], counts[order]


@dataclass(frozen=True)
class Bars:
    """What a histogram plot draws: bin edges, each bin's density, and the axis scale; plus
    the values left out of the plot (not finite, or not positive on a log axis)."""

    edges: npt.NDArray[np.float64]
    density: npt.NDArray[np.float64]
    log_axis: bool
    plotted: int
    not_finite: int
    not_positive: int


def spans_decades(low: float, high: float) -> bool:
    return low > 0 and high >= DECADES_RATIO * low


def quantised_bars(histogram: QuantisedHistogram, unit: float = 1.0) -> Bars:
    """Bars of whole grid steps; `unit` scales the values for display (1 / fps for frames)."""
    steps, counts = histogram.occupied()
    if steps.size == 0:
        return Bars(np.zeros(0), np.zeros(0), False, 0, histogram.not_finite, 0)
    values = histogram.origin + steps * histogram.step
    positive = values > 0
    # A log axis when the positive values span decades and the others, which it leaves out,
    # are no more than a trace.
    not_positive_share = counts[~positive].sum() / max(int(counts.sum()), 1)
    log_axis = (bool(positive.any()) and bool(not_positive_share <= NOT_POSITIVE_TRACE)
                and spans_decades(float(values[positive][0]), float(values[-1])))
    not_positive = 0
    if log_axis:
        not_positive = int(counts[~positive].sum())
        steps, counts = steps[positive], counts[positive]
        low, high = float(values[positive][0]), float(values[-1])
        decades = math.log10(high / low)
        # Log-spaced edges rounded to grid steps: every bin holds whole grid values.
        wanted = np.geomspace(low, high, max(2, round(decades * BINS_PER_DECADE)) + 1)
        bounds = np.unique(np.rint((wanted - histogram.origin) / histogram.step).astype(np.int64))
        bounds[-1] = steps[-1] + 1
        bounds = np.unique(np.concatenate(([steps[0]], bounds)))
    else:
        width = max(1, math.ceil((int(steps[-1]) - int(steps[0]) + 1) / TARGET_BINS))
        bounds = np.arange(int(steps[0]), int(steps[-1]) + width + 1, width, dtype=np.int64)
        bounds[-1] = steps[-1] + 1  # the last bin as wide as the grid values it holds
        bounds = np.unique(bounds)
    binned = np.bincount(np.searchsorted(bounds, steps, side="right") - 1, weights=counts,
                         minlength=bounds.size - 1)[: bounds.size - 1]
    # A bin of grid steps [a, b) covers the values from (a - 1/2) to (b - 1/2) steps.
    edges = np.asarray((histogram.origin + (bounds - 0.5) * histogram.step) * unit, dtype=np.float64)
    plotted = int(counts.sum())
    return Bars(edges, binned / (max(plotted, 1) * np.diff(edges)), log_axis, plotted, histogram.not_finite, not_positive)


def log_bars(histogram: LogHistogram) -> Bars:
    """Bars of the log histogram's own bins, on a log axis when the values span decades."""
    edges, counts = histogram.occupied()
    plotted = int(counts.sum())
    density = counts / (max(plotted, 1) * np.diff(edges))
    log_axis = bool(counts.size) and spans_decades(float(edges[0]), float(edges[-1]))
    return Bars(edges, density, log_axis, plotted, histogram.not_finite, histogram.not_positive)
