"""Log histograms filled batch by batch: each value in the bin its logarithm names, whatever
the batches and the float type; the values that have no logarithm only counted."""

from __future__ import annotations

import math

import numpy as np
import pytest

from zyn_pulse_tools.histogram import BINS_PER_OCTAVE, LogHistogram


def reference(values: list[float]) -> tuple[dict[float, int], int, int]:
    """(count per bin's lower edge, not positive, not finite), value by value."""
    bins: dict[float, int] = {}
    not_positive = not_finite = 0
    for value in values:
        if not math.isfinite(value):
            not_finite += 1
        elif value <= 0:
            not_positive += 1
        else:
            step = math.floor(math.log2(value) * BINS_PER_OCTAVE)
            bins[2 ** (step / BINS_PER_OCTAVE)] = bins.get(2 ** (step / BINS_PER_OCTAVE), 0) + 1
    return bins, not_positive, not_finite


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("batches", [1, 3, 50])
def test_bins_and_left_out_values(dtype, batches):
    rng = np.random.default_rng(batches)
    special = [np.inf, -np.inf, np.nan, 0.0, -0.0, -2.5, 1e-45, 2.0**-126, 3.4e38, 1.0, 2.0**0.125, 0.5]
    values = np.concatenate([special, rng.lognormal(0, 4, 3000), -rng.random(200)]).astype(dtype)
    rng.shuffle(values)
    histogram = LogHistogram()
    for part in np.array_split(values, batches):
        histogram.add(part)
    bins, not_positive, not_finite = reference(values.astype(np.float64).tolist())
    edges, counts = histogram.occupied()
    used = counts > 0
    expected_edges, expected_counts = zip(*sorted(bins.items()))
    assert edges[:-1][used].tolist() == pytest.approx(expected_edges, rel=1e-12)
    assert counts[used].tolist() == list(expected_counts)
    assert (histogram.not_positive, histogram.not_finite, histogram.total) == (not_positive, not_finite, values.size)
