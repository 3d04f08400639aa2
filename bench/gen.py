"""The benchmark's runs, written by the package's generator (``zyn_pulse_tools.simulate``,
the same that ``zyn-pulse simulate`` runs) with record counts chosen here."""

from __future__ import annotations

import os

import numpy as np

from zyn_pulse_tools.simulate import Layout, RunShape, SimulatedRun


def chip_sizes(rng: np.random.Generator, m: int, heavy_share: float = 0.05) -> np.ndarray:
    """Record counts of a chip-like run of `m` apertures, heavy-tailed.

    Most apertures hold 0 to 30 records; about `heavy_share` of them hold thousands
    (log-uniform between 1,000 and 2,000).
    """
    sizes = rng.integers(0, 31, m)
    heavy = rng.random(m) < heavy_share
    sizes[heavy] = np.exp(rng.uniform(np.log(1000), np.log(2000), int(heavy.sum()))).astype(np.int64)
    return sizes


def write_pulse_file(path: str, sizes, numbers=None, *, cols: int, seed: int = 0, **metadata) -> dict:
    """Writes a run with one aperture per entry of `sizes` (record counts), numbered `numbers`
    (default 0, 1, 2, ...) and placed on a grid of `cols` columns (x = number % cols, y =
    number // cols); `metadata` members replace the generated ones. Returns a description."""
    sizes = np.asarray(sizes, dtype=np.int64)
    numbers = np.arange(sizes.size, dtype=np.int64) if numbers is None else np.asarray(numbers, dtype=np.int64)
    rows = int(numbers.max()) // cols + 1 if numbers.size else 1
    run = SimulatedRun(RunShape(rows=rows, cols=cols, seed=seed, metadata=metadata), Layout(numbers, sizes))
    run.write(run.strips([path]))
    return {"path": path, "apertures": numbers, "sizes": sizes, "records": int(sizes.sum()),
            "bytes": os.path.getsize(path)}
