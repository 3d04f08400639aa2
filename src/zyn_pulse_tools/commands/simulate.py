"""``zyn-pulse simulate``: a synthetic chip-like run, as one file or as strips ready to merge."""

from __future__ import annotations

import argparse
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


def run(args: argparse.Namespace) -> int:
    shape = RunShape(
        rows=args.rows, cols=args.cols, apertures=args.apertures, mean_records=args.mean_records,
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
    parser.add_argument("--rows", type=int, default=100, help="rows of the grid (default 100)")
    parser.add_argument("--cols", type=int, default=100, help="columns of the grid (default 100)")
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
