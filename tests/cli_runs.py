"""Running the zyn-pulse command from tests, and small runs it can work on."""

from __future__ import annotations

import random
import subprocess
import sys
from pathlib import Path

from pulsefile import DEFAULT_METADATA, Aperture, PulseFile, background, pulse, record


def zyn_pulse(*args: str, cwd: Path | str | None = None) -> subprocess.CompletedProcess[str]:
    """`python -m zyn_pulse_tools ARGS` in a child process, its output captured as text."""
    return subprocess.run(
        [sys.executable, "-m", "zyn_pulse_tools", *map(str, args)], cwd=cwd, capture_output=True, text=True
    )


def unknown(ipd: int) -> bytes:
    """A record of no known kind: no duration, no kind code, a non-zero intensity word."""
    return record(ipd, 0, 7)


def run_apertures(rng: random.Random, rows: int, cols: int) -> list[Aperture]:
    """Apertures on a rows x cols grid with sorted pulses (so every filter passes the order
    check) and backgrounds."""
    apertures = []
    for number in range(rows * cols):
        records = []
        for _ in range(rng.randrange(0, 25)):
            if rng.random() < 0.75:
                words = (rng.randint(0, 400), rng.randint(50, 900), rng.randint(0, 60), rng.randint(0, 60), 16, 16)
                records.append(pulse(rng.randint(1, 40), rng.randint(1, 12), *words))
            else:
                records.append(background(rng.randint(1, 40), 5, 5, 8, 8))
        apertures.append(Aperture(number, records, x=number % cols, y=number // cols))
    return apertures


def run_file(seed: int, rows: int = 3, cols: int = 5, **fields) -> PulseFile:
    """A run of rows x cols apertures; `fields` are PulseFile fields (metadata included)."""
    fields.setdefault("metadata", dict(DEFAULT_METADATA, rows=rows, cols=cols, roi_rows=rows, roi_cols=cols))
    return PulseFile(run_apertures(random.Random(seed), rows, cols), **fields)
