"""Histograms filled batch by batch, without knowing the range of the values beforehand.

Positive values fall into fixed logarithmic bins, eight per octave, over the whole range
of float32; zeros and negatives, and values that are not finite, are only counted. Every
batch adds to the same bins, so the result does not depend on how the run was split.
"""

from __future__ import annotations

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
