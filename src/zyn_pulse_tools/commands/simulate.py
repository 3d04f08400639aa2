"""``zyn-pulse simulate``: a synthetic chip-like run, as one file or as strips ready to merge."""

from __future__ import annotations

import argparse
import math
from contextlib import ExitStack
from typing import Any

from zyn_pulse_tools.atomic_output import add_output_options, atomic_output, refuse_unsafe_output
from zyn_pulse_tools.errors import CommandError
from zyn_pulse_tools.progress import finish, new_bar, progress_wanted
from zyn_pulse_tools.simulate import RunShape, SimulatedRun, strip_paths


def simulate(output: str, shape: RunShape, strips: int = 1, *, force: bool = False, show_progress: bool = False) -> list[str]:
    """Writes the run of `shape` to `output`, or as `strips` files named after it; prints one
    line per file and returns their paths."""
    if strips < 1:
        raise CommandError("--strips must be at least 1")
    try:
        run = SimulatedRun(shape)
    except ValueError as error:
        raise CommandError(f"cannot simulate this run: {error}") from None
    targets = strip_paths(output, strips)
    for target in targets:  # refuse before anything is written
        refuse_unsafe_output(target, force)
    with ExitStack() as outputs:
        temporaries = [outputs.enter_context(atomic_output(target, force)) for target in targets]
        try:
            planned = run.strips(temporaries)
        except ValueError as error:
            raise CommandError(f"cannot simulate this run: {error}") from None
        with new_bar(run.records, "rec", "simulate", show_progress) as bar:
            run.write(planned, bar.update)
            finish(bar)
    for target, strip in zip(targets, planned):
        print(f"{target}: {strip.apertures:,} apertures on {strip.rows} x {shape.cols} wells, {strip.records:,} records")
    return targets


def grid_for(apertures: int | None, rows: int | None, cols: int | None) -> tuple[int, int]:
    """The grid asked for; a side not given is 100, or, with a number of apertures, as small
    as holds them (both sides near the square root when neither is given)."""
    if apertures is None or (rows is not None and cols is not None):
        return 100 if rows is None else rows, 100 if cols is None else cols
    if rows is None and cols is None:
        cols = max(1, math.isqrt(max(apertures - 1, 0)) + 1)
    if rows is None:
        assert cols is not None
        return max(1, -(-apertures // max(cols, 1))), cols
    return rows, max(1, -(-apertures // max(rows, 1)))


def run(args: argparse.Namespace) -> int:
    rows, cols = grid_for(args.apertures, args.rows, args.cols)
    shape = RunShape(
        rows=rows, cols=cols, apertures=args.apertures, mean_records=args.mean_records,
        heavy_share=args.heavy_share, unknown_share=args.unknown_share, fps=args.fps, duration_s=args.duration,
        seed=args.seed,
    )
    simulate(args.output, shape, args.strips, force=args.force, show_progress=progress_wanted(args.progress))
    return 0


def register(subparsers: Any, common: argparse.ArgumentParser) -> None:
    parser = subparsers.add_parser(
        "simulate", parents=[common], help="write a synthetic chip-like run to try things on",
        description="Write a synthetic run: a grid of apertures with heavy-tailed record counts, "
        "mostly pulses (durations 1 to 40 frames, intensities 100 to 475), background, steps, "
        "long-pulse records and some records of unknown kind. The same seed gives the same run.",
    )
    add_output_options(parser, "OUT", 'the pulse file; with --strips K, K files with 1..K before the first "." of its name')
    parser.add_argument("--rows", type=int, help="rows of the grid (default 100, or as many as --apertures needs)")
    parser.add_argument("--cols", type=int, help="columns of the grid (default 100, or as many as --apertures needs)")
    parser.add_argument("--apertures", type=int, metavar="N", help="apertures on random wells (default: every well)")
    parser.add_argument("--mean-records", type=float, default=16.75, metavar="X",
                        help="mean records per aperture (default 16.75)")
    parser.add_argument("--heavy-share", type=float, default=0.005, metavar="F",
                        help="share of busy apertures, whose counts are log-normal around 100 x the others' "
                        "mean (default 0.005; 0 makes every count uniform)")
    parser.add_argument("--unknown-share", type=float, default=0.04, metavar="F",
                        help="share of records of unknown kind (default 0.04)")
    parser.add_argument("--fps", type=float, default=100.0, help="frames per second (default 100)")
    parser.add_argument("--duration", type=float, default=36000.0, metavar="SECONDS",
                        help="length of the run (default 36000)")
    parser.add_argument("--seed", type=int, default=0, help="the random seed (default 0)")
    parser.add_argument("--strips", type=int, default=1, metavar="K",
                        help="write K row strips of the run, to be merged top to bottom")
    parser.set_defaults(run=run)
