"""``zyn-pulse export``: a file's pulses, records or summary as Parquet, CSV or Arrow IPC.

The module's Arrow streams are written batch by batch with pyarrow's writers, so memory
stays about one batch whatever the size of the file, and no column passes through pandas.
"""

from __future__ import annotations

import argparse
from collections.abc import Sequence
from typing import Any

from zyn_pulse_reader import PulseReader

from zyn_pulse_tools.aperture_list import parse_aperture_list, read_aperture_file
from zyn_pulse_tools.atomic_output import add_output_options, atomic_output, refuse_unsafe_output
from zyn_pulse_tools.errors import naming
from zyn_pulse_tools.extras import require
from zyn_pulse_tools.file_layout import read_layout
from zyn_pulse_tools.filter_options import add_filter_options, filter_kwargs
from zyn_pulse_tools.filter_types import FilterKwargs
from zyn_pulse_tools.progress import RecordsDone, finish, new_bar, progress_wanted
from zyn_pulse_tools.table_writers import (
    COMPRESSIONS, DEFAULT_COMPRESSION, FORMATS, opened_writer, table_format,
)

WHAT = ("pulses", "records", "summary")
# A quarter of the module's default batch: the Parquet writer's buffers come on top of each
# batch, and smaller batches keep an export's memory small at no cost in speed.
DEFAULT_BATCH_RECORDS = 262_144


def table_stream(
    reader: PulseReader, what: str, apertures: Sequence[int] | None, kwargs: FilterKwargs | None, batch_records: int
) -> Any:
    if what == "summary":
        return reader.arrow_summary(apertures, pulse_filter_kwargs=kwargs)
    if what == "records":
        return reader.arrow_records(apertures, batch_records=batch_records)
    return reader.arrow_pulses(apertures, pulse_filter_kwargs=kwargs, batch_records=batch_records)


def export(
    source: str, output: str, *, what: str = "pulses", apertures: Sequence[int] | None = None,
    kwargs: FilterKwargs | None = None, batch_records: int = DEFAULT_BATCH_RECORDS,
    compression: str | None = None, force: bool = False, show_progress: bool = False,
) -> None:
    refuse_unsafe_output(output, force, [source])
    # An unknown suffix or a missing extra fails before any work.
    file_format = table_format(output, compression)
    pa = require("pyarrow", "arrow", "export")
    with naming(source):
        reader = PulseReader(source)
    with reader, atomic_output(output, force, [source]) as temporary:
        # Records per aperture from the block headers, for the progress bar: a cheap read of
        # 16 bytes per aperture, where the summary would read the whole run once more.
        with naming(source):
            done = RecordsDone(*read_layout(source).record_counts(apertures))
        batches = pa.RecordBatchReader.from_stream(table_stream(reader, what, apertures, kwargs, batch_records))
        with (
            opened_writer(temporary, file_format, batches.schema, compression) as writer,
            new_bar(done.total, "rec", f"export {what}", show_progress) as bar,
        ):
            for batch in batches:
                writer.write_batch(batch)
                if batch.num_rows:
                    bar.update(done.after(batch.column("aperture_index")[-1].as_py()) - bar.n)
            finish(bar)


def run(args: argparse.Namespace) -> int:
    apertures: list[int] | None = None
    if args.apertures is not None:
        apertures = parse_aperture_list(args.apertures)
    elif args.apertures_from is not None:
        apertures = read_aperture_file(args.apertures_from)
    export(
        args.file, args.output, what=args.what, apertures=apertures, kwargs=filter_kwargs(args),
        batch_records=args.batch_records, compression=args.compression, force=args.force,
        show_progress=progress_wanted(args.progress),
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
    parser.add_argument(
        "--compression", choices=COMPRESSIONS, default=None,
        help=f"the compression of a Parquet file (default: {DEFAULT_COMPRESSION})",
    )
    add_filter_options(parser)
    parser.set_defaults(run=run)
