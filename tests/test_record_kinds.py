"""The record kinds the module counts in one pass agree with the kinds its records frames name."""

from __future__ import annotations

import random
from collections import Counter

import numpy as np
import pytest
from zyn_pulse_reader import PulseReader

from cli_runs import unknown
from pulsefile import Aperture, PulseFile, background, long_pulse, padding, pulse, step

# One record of each kind, pulses first: an aperture can draw from a prefix of the list.
EVERY_KIND = [
    pulse(3, 2, 40, 40), background(4, 5, 5, 8, 8), unknown(5), padding(),
    step(6, True, 7), step(6, False, 7), long_pulse(7, False, 30), long_pulse(7, True, 30),
]


@pytest.mark.parametrize("seed", [1, 2])
def test_counts_match_the_record_type_column(tmp_path, seed):
    rng = random.Random(seed)
    # Apertures with gaps in their numbers, some without records, some without pulses.
    numbers = sorted(rng.sample(range(200), 40))
    apertures = [Aperture(numbers[0], list(EVERY_KIND))] + [
        Aperture(n, [rng.choice(EVERY_KIND[: rng.randint(1, len(EVERY_KIND))]) for _ in range(rng.randrange(0, 12))])
        for n in numbers[1:]
    ]
    path = str(PulseFile(apertures).write(tmp_path / "kinds.pulses.bin"))
    with PulseReader(path) as reader:
        every = reader.get_all_records_many()
        kinds = reader.record_kinds()
    totals = kinds.sum()
    counted = Counter({str(kind): int(n) for kind, n in totals.items() if n})
    assert counted == Counter(every["record_type"].tolist()) and len(counted) == len(EVERY_KIND)
    expected = np.unique(every["aperture_index"][every["record_type"] == "unknown"].to_numpy(np.uint64))
    np.testing.assert_array_equal(kinds.index[kinds["unknown"] > 0].to_numpy(np.uint64), expected)
