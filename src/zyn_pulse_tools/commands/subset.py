"""``zyn-pulse subset``: copy chosen apertures of a file into a new file."""

from __future__ import annotations

import argparse
from collections.abc import Sequence
from typing import Any

import numpy as np
from zyn_pulse_reader import PulseReader

from zyn_pulse_tools.aperture_list import parse_aperture_list, read_aperture_file
from zyn_pulse_tools.atomic_output import add_output_options, atomic_output
from zyn_pulse_tools.errors import naming
from zyn_pulse_tools.file_layout import BLOCK_HEADER_SIZE, INDEX_MAGIC, RECORD_SIZE, FileLayout, read_layout
from zyn_pulse_tools.filter_options import add_filter_options, filter_kwargs
from zyn_pulse_tools.filter_types import FilterKwargs
from zyn_pulse_tools.progress import progress_wanted, run_watching_size

_INDEX_ENTRY_SIZE = 12


def copy_plan(layout: FileLayout, apertures: Sequence[int]) -> tuple[int, int]:
    """(apertures the copy holds, size of the file it writes) for copying `apertures`: the
    source's leading region up to its data offset, the blocks of the apertures the file has
    (each once), and their index."""
    found, records = layout.record_counts(np.unique(np.asarray(apertures, dtype=np.uint64)))
    blocks = BLOCK_HEADER_SIZE * found.size + RECORD_SIZE * int(records.sum())
    return found.size, layout.data_offset + blocks + len(INDEX_MAGIC) + _INDEX_ENTRY_SIZE * found.size


def apertures_with_pulses(reader: PulseReader, min_pulses: int, kwargs: FilterKwargs | None) -> list[int]:
    """The apertures whose pulse count, after the filter, is at least `min_pulses`."""
    summary = reader.summary(pulse_filter_kwargs=kwargs)
    return [int(a) for a in summary.index[summary["pulses"].to_numpy() >= min_pulses]]


def write_subset(
    source: str, output: str, apertures: Sequence[int], *, missing_ok: bool = False, force: bool = False,
    show_progress: bool = False,
) -> tuple[int, int]:
    """Copies `apertures` of `source` into `output`; returns how many apertures the copy
    holds, and how many the source has."""
    with naming(source):
        reader = PulseReader(source)  # first: a bad file is named with the module's diagnosis
    with reader:
        with naming(source):
            layout = read_layout(source)
            kept, final_size = copy_plan(layout, apertures)
        with atomic_output(output, force, [source]) as temporary:
            run_watching_size(
                lambda: reader.copy_apertures_to_new_file(list(apertures), temporary, missing_ok),
                temporary, final_size, "subset", show_progress,
            )
    return kept, layout.aperture_count


def run(args: argparse.Namespace) -> int:
    if args.apertures is not None:
        apertures = parse_aperture_list(args.apertures)
    elif args.apertures_from is not None:
        apertures = read_aperture_file(args.apertures_from)
    else:
        with naming(args.file), PulseReader(args.file) as reader:
            apertures = apertures_with_pulses(reader, args.min_pulses, filter_kwargs(args))
    kept, total = write_subset(
        args.file, args.output, apertures, missing_ok=args.missing_ok, force=args.force,
        show_progress=progress_wanted(args.progress),
    )
    print(f"{args.output}: kept {kept:,} of the {total:,} apertures of {args.file}")
    return 0


def register(subparsers: Any, common: argparse.ArgumentParser) -> None:
    parser = subparsers.add_parser(
        "subset", parents=[common], help="copy chosen apertures into a new file",
        description="Copy the chosen apertures of FILE, block for block, into a new pulse file.",
    )
    parser.add_argument("file", metavar="FILE")
    add_output_options(parser, "OUT", "the new pulse file")
    choice = parser.add_mutually_exclusive_group(required=True)
    choice.add_argument("--apertures", metavar="LIST", help='aperture numbers such as "0,5,10-20"')
    choice.add_argument("--apertures-from", metavar="TEXTFILE", help="a text file of such lists")
    choice.add_argument(
        "--min-pulses", type=int, metavar="N", help="the apertures with at least N pulses (after the filter options)"
    )
    parser.add_argument("--missing-ok", action="store_true", help="skip apertures the file lacks")
    add_filter_options(parser)
    parser.set_defaults(run=run)
