"""``zyn-pulse export``: a file's pulses, records or summary as Parquet, CSV or Arrow IPC.

Pulses and records are streamed batch by batch, so memory stays about one batch whatever
the size of the file.
"""

from __future__ import annotations

import argparse
from collections.abc import Sequence
from typing import Any

import pandas as pd
from zyn_pulse_reader import PulseReader

from zyn_pulse_tools.aperture_list import parse_aperture_list, read_aperture_file
from zyn_pulse_tools.atomic_output import add_output_options, atomic_output, refuse_unsafe_output
from zyn_pulse_tools.errors import naming
from zyn_pulse_tools.file_layout import read_layout
from zyn_pulse_tools.filter_options import add_filter_options, filter_kwargs
from zyn_pulse_tools.filter_types import FilterKwargs
from zyn_pulse_tools.progress import RecordsDone, finish, new_bar, progress_wanted
from zyn_pulse_tools.table_writers import FORMATS, opened_writer, table_writer

WHAT = ("pulses", "records", "summary")
# A quarter of the module's default batch: the Parquet writer's buffers come on top of each
# batch's frame, and smaller batches keep an export's memory small at no cost in speed.
DEFAULT_BATCH_RECORDS = 262_144


def export(
    source: str, output: str, *, what: str = "pulses", apertures: Sequence[int] | None = None,
    kwargs: FilterKwargs | None = None, batch_records: int = DEFAULT_BATCH_RECORDS,
    force: bool = False, show_progress: bool = False,
) -> None:
    refuse_unsafe_output(output, force, [source])
    table_writer(output, output)  # an unknown suffix or a missing extra fails before any work
    with naming(source):
        reader = PulseReader(source)
    with reader, atomic_output(output, force, [source]) as temporary:
        with opened_writer(temporary, output) as writer:
            if what == "summary":
                summary = reader.summary(apertures, pulse_filter_kwargs=kwargs)
                with new_bar(int(summary["records"].sum()), "rec", "export summary", show_progress) as bar:
                    writer.write(summary)
                    finish(bar)
                return
            # Records per aperture from the block headers, for the progress bar: a cheap read
            # of 16 bytes per aperture, where the summary would read the whole run once more.
            with naming(source):
                numbers, counts = read_layout(source).record_counts(apertures)
            records = pd.Series(counts, index=numbers)
            if what == "records":
                walk = reader.iter_all_records(apertures, batch_records=batch_records)
            else:
                walk = reader.iter_pulses(apertures, pulse_filter_kwargs=kwargs, batch_records=batch_records)
            done = RecordsDone(records)
            with new_bar(int(records.sum()), "rec", f"export {what}", show_progress) as bar:
                for frame in walk:
                    writer.write(frame)
                    bar.update(done.after(frame) - bar.n)
                finish(bar)


def run(args: argparse.Namespace) -> int:
    apertures: list[int] | None = None
    if args.apertures is not None:
        apertures = parse_aperture_list(args.apertures)
    elif args.apertures_from is not None:
        apertures = read_aperture_file(args.apertures_from)
    export(
        args.file, args.output, what=args.what, apertures=apertures, kwargs=filter_kwargs(args),
        batch_records=args.batch_records, force=args.force, show_progress=progress_wanted(args.progress),
    )
    return 0


def register(subparsers: Any, common: argparse.ArgumentParser) -> None:
    formats = ", ".join(f"{suffix} ({name})" for suffix, name in FORMATS.items())
    parser = subparsers.add_parser(
        "export", parents=[common], help="pulses, records or the summary as Parquet, CSV or Arrow",
        description=f"Write a table of FILE in the format OUT's suffix names: {formats}.",
    )
    parser.add_argument("file", metavar="FILE")
    add_output_options(parser, "OUT", "the table file")
    parser.add_argument("--what", choices=WHAT, default="pulses", help="the table to write (default: pulses)")
    choice = parser.add_mutually_exclusive_group()
    choice.add_argument("--apertures", metavar="LIST", help='only these apertures, such as "0,5,10-20"')
    choice.add_argument("--apertures-from", metavar="TEXTFILE", help="only the apertures listed in this file")
    parser.add_argument(
        "--batch-records", type=int, default=DEFAULT_BATCH_RECORDS, metavar="N",
        help=f"records of the file per batch (default: {DEFAULT_BATCH_RECORDS:,})",
    )
    add_filter_options(parser)
    parser.set_defaults(run=run)
