"""The share of randomly damaged records that ``zyn-pulse check`` detects.

Each trial overwrites one random record (16 bytes, never a block header) of an intact run
with random bytes and checks the damaged copy; a trial counts as detected when check finds
a problem. A damaged record still reads as a record of some kind, almost always a pulse
(any non-zero second word), so check can only notice values that are impossible for the
run: a record that starts after the run's end or a pulse longer than the run. Whether random
values are impossible depends on how long the run is against the 65,535 frames one record
can span, so two runs are tried:

- ``chip``: the chip-like generator's run (bench/gen.py): 10 hours at 100 fps, its records
  bunched at the start of the run (gaps of at most 60 frames);
- ``spread``: the same records with their gaps stretched so that each aperture's events
  fill from half to all of a 10-minute run at 100 fps, as a real run's do.

Usage: python bench/check_damage.py [--trials 1000] [--apertures 2000] [--workdir DIR]
"""

from __future__ import annotations

import argparse
import tempfile
import time
from collections import Counter
from pathlib import Path

import numpy as np

import gen
from zyn_pulse_tools.commands.check import check_files
from zyn_pulse_tools.file_layout import BLOCK_HEADER_SIZE, RECORD_SIZE, read_layout

FPS = 100


def record_offsets(path: Path) -> tuple[np.ndarray, np.ndarray]:
    """The byte offset of every record, and each record's aperture (by position)."""
    layout = read_layout(str(path))
    _, counts = layout.record_counts()
    locations = layout.entry_locations.astype(np.int64)
    n = counts.astype(np.int64)
    aperture = np.repeat(np.arange(n.size), n)
    first = np.r_[0, np.cumsum(n)[:-1]]
    position = np.arange(int(n.sum())) - np.repeat(first, n)
    return np.repeat(locations + BLOCK_HEADER_SIZE, n) + RECORD_SIZE * position, aperture


def spread_over_run(path: Path, run_frames: int, rng: np.random.Generator) -> None:
    """Stretches every aperture's gaps (ipd_f) so that its events end between half and all
    of the run's frames; padding records keep their marker."""
    offsets, aperture = record_offsets(path)
    data = np.memmap(path, dtype=np.uint8, mode="r+")
    words = data[offsets[:, None] + np.arange(4)].view("<u2").astype(np.int64)
    ipd, dur = words[:, 0], words[:, 1]
    padding = (ipd == 0xFFFF) & (dur == 0)
    gaps = np.where(padding, 0, ipd)
    apertures = int(aperture.max()) + 1 if aperture.size else 0
    gap_total = np.bincount(aperture, gaps, apertures)
    dur_total = np.bincount(aperture, dur, apertures)
    target = rng.uniform(0.5, 1.0, apertures) * run_frames
    scale = np.where(gap_total > 0, np.maximum(target - dur_total, 0) / np.maximum(gap_total, 1), 1.0)
    stretched = np.clip(np.rint(gaps * scale[aperture]), 0, 0xFFFE).astype(np.uint16)
    new = np.where(padding, 0xFFFF, stretched).astype("<u2")
    data[offsets[:, None] + np.arange(2)] = new.view(np.uint8).reshape(-1, 2)
    data.flush()


def make_run(workdir: Path, kind: str, apertures: int, seed: int) -> Path:
    rng = np.random.default_rng(seed)
    cols = 100
    rows = -(-apertures // cols)
    sizes = gen.chip_sizes(rng, rows * cols, heavy_share=0.0 if kind == "spread" else 0.05)
    duration = 600.0 if kind == "spread" else 36000.5
    path = workdir / f"{kind}.pulses.bin"
    gen.write_pulse_file(str(path), sizes, seed=seed, metadata=gen.base_metadata(rows, cols, duration=duration),
                         cols=cols)
    if kind == "spread":
        spread_over_run(path, int(duration * FPS), rng)
    return path


def problems_of(path: Path) -> list[str]:
    [report] = check_files([str(path)], 0, False, lambda lines: None, False)
    return [problem.message for problem in report.listed]


def trial_share(path: Path, trials: int, seed: int) -> dict:
    assert problems_of(path) == [], "the intact run must check intact"
    rng = np.random.default_rng(seed)
    original = path.read_bytes()
    offsets, _ = record_offsets(path)
    damaged = path.with_suffix(".damaged.bin")
    detected, kinds = 0, Counter()
    for _ in range(trials):
        data = bytearray(original)
        at = int(offsets[rng.integers(0, offsets.size)])
        data[at : at + RECORD_SIZE] = rng.integers(0, 256, RECORD_SIZE, dtype=np.uint8).tobytes()
        damaged.write_bytes(data)
        problems = problems_of(damaged)
        detected += bool(problems)
        kinds.update({message.split(" (")[0].split(" ", 1)[1] for message in problems})
    damaged.unlink()
    return {"records": int(offsets.size), "detected": detected, "kinds": dict(kinds)}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--trials", type=int, default=1000)
    parser.add_argument("--apertures", type=int, default=2000)
    parser.add_argument("--workdir", type=Path, default=None)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=args.workdir) as folder:
        for kind in ("chip", "spread"):
            started = time.perf_counter()
            path = make_run(Path(folder), kind, args.apertures, seed=21)
            result = trial_share(path, args.trials, seed=5)
            share = result["detected"] / args.trials
            print(f"{kind}: {args.apertures:,} apertures, {result['records']:,} records: {result['detected']} of "
                  f"{args.trials} damaged records detected ({share:.1%}); problems seen: {result['kinds']}; "
                  f"{time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
