"""``zyn-pulse check``: verifies files completely and lists every problem, going on past bad files.

A problem is one line, "FILE: aperture N: message" or "FILE: message". The layout is checked
from the raw header, index and block headers (blocks inside the data region, no two blocks
sharing bytes, each block header naming its index entry's aperture, nothing after the
index); the module then reads every aperture's records and pulses, counting records of
unknown kind; and the metadata must hold the members a merge needs.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Iterator
from operator import itemgetter
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt
import zyn_pulse_reader
from tqdm import tqdm
from zyn_pulse_reader import PulseReader

from zyn_pulse_tools.errors import failure_text
from zyn_pulse_tools.file_layout import BLOCK_HEADER_SIZE, RECORD_SIZE, FileLayout, LayoutError, read_layout
from zyn_pulse_tools.record_kinds import unknown_record_apertures
from zyn_pulse_tools.progress import finish, new_bar, progress_wanted

# Members every input of a merge must hold, each a JSON integer from 0 to 2**64 - 1.
MERGE_MEMBERS = ("validWells", "validWellsLeft", "validWellsRight", "rows", "cols", "roi_offset_col", "roi_cols")


class Problem(NamedTuple):
    """One problem; a tuple, since a damaged run can have hundreds of thousands."""

    file: str
    message: str
    aperture: int | None = None

    def __str__(self) -> str:
        where = "" if self.aperture is None else f"aperture {self.aperture}: "
        return f"{self.file}: {where}{self.message}"


def merge_member_problems(metadata: dict[str, Any]) -> Iterator[str]:
    for member in MERGE_MEMBERS:
        value = metadata.get(member)
        if value is None:
            yield f'metadata member "{member}" is missing (a merge needs it)'
        elif isinstance(value, bool) or not isinstance(value, int) or not 0 <= value < 2**64:
            yield f'metadata member "{member}" is not an unsigned integer: {json.dumps(value)} (a merge needs it)'


class LayoutFindings(NamedTuple):
    problems: list[tuple[int | None, str]]  # (aperture or None, message)
    records: int  # the records the block headers in the data region claim, for the progress bar


def layout_problems(layout: FileLayout) -> LayoutFindings:
    """Each fault of the block layout, and the records the block headers claim."""
    found: list[tuple[int | None, str]] = []
    present = layout.entry_locations != 0
    apertures = layout.entry_apertures[present].astype(np.int64)
    locations = layout.entry_locations[present]
    region = f"the data region {layout.data_offset}..{layout.index_offset}"
    # A block header must lie in the data region before its record count can be trusted.
    header_inside = (locations >= layout.data_offset) & (locations + BLOCK_HEADER_SIZE <= layout.index_offset)
    for aperture, location in zip(apertures[~header_inside], locations[~header_inside]):
        found.append((int(aperture), f"block at byte {location} lies outside {region}"))
    apertures, locations = apertures[header_inside], locations[header_inside]
    headers = layout.block_headers(locations)
    ends = locations + BLOCK_HEADER_SIZE + RECORD_SIZE * headers["records"].astype(np.uint64)
    outside = ends > layout.index_offset
    for aperture, location, end in zip(apertures[outside], locations[outside], ends[outside]):
        found.append((int(aperture), f"block at bytes {location}..{end} runs past the end of {region}"))
    named = headers["aperture"].astype(np.int64)
    for aperture, number in zip(apertures[named != apertures], named[named != apertures]):
        found.append((int(aperture), f"block header names aperture {number}"))
    order = np.argsort(locations, kind="stable")
    starts, stops = locations[order], ends[order]
    # Each block against the block before it in file order that reaches furthest.
    reach = np.maximum.accumulate(stops)
    furthest = np.maximum.accumulate(np.where(stops == reach, np.arange(stops.size), 0))
    for i in np.flatnonzero(starts[1:] < reach[:-1]) + 1:
        other = apertures[order[furthest[i - 1]]]
        found.append((int(apertures[order[i]]), f"block at byte {starts[i]} overlaps the block of aperture {other}"))
    if layout.file_size > layout.index_end:
        found.append((None, f"{layout.file_size - layout.index_end} bytes after the index"))
    return LayoutFindings(found, int(headers["records"].sum(dtype=np.uint64)))


def layout_findings(path: str) -> LayoutFindings:
    """layout_problems, or the one reason the layout cannot be read."""
    try:
        return layout_problems(read_layout(path))
    except (LayoutError, OSError) as error:
        return LayoutFindings([(None, str(error))], 0)


def unknown_kind_problems(unknown_apertures: list[npt.NDArray[np.uint64]]) -> list[tuple[int, str]]:
    """One (aperture, message) per aperture with records of unknown kind, by aperture."""
    apertures, counts = np.unique(np.concatenate([np.zeros(0, np.uint64), *unknown_apertures]), return_counts=True)
    return list(zip(apertures.tolist(), [f"{count} record(s) of unknown kind" for count in counts.tolist()]))


def read_problems(reader: PulseReader, apertures: list[int], bar: tqdm[Any]) -> list[tuple[int, str]]:
    """Reads every record and pulse; counts records of unknown kind per aperture."""
    unknown: list[npt.NDArray[np.uint64]] = []
    done = 0  # apertures read by whole batches
    try:
        reader.summary()
        for batch in reader.iter_all_records():
            unknown.append(unknown_record_apertures(batch))
            if len(batch):
                # Batches hold whole apertures in index order.
                done = apertures.index(int(batch["aperture_index"].to_numpy()[-1]), done) + 1
            bar.update(len(batch))
        return unknown_kind_problems(unknown)
    except RuntimeError:
        pass
    # The bulk reads stop at the first failing aperture: go on one by one to name every one.
    failed: list[tuple[int, str]] = []
    for aperture in apertures[done:]:
        try:
            records = reader.get_all_records(aperture)
            reader.get_pulses(aperture)
        except RuntimeError as error:
            failed.append((aperture, str(error)))
            continue
        records.insert(0, "aperture_index", aperture)
        unknown.append(unknown_record_apertures(records))
        bar.update(len(records))
    return unknown_kind_problems(unknown) + failed


def check_file(path: str, layout: LayoutFindings, bar: tqdm[Any]) -> list[Problem]:
    """Every problem of one file: those of the whole file first, then by aperture."""
    try:
        reader = PulseReader(path)
    except (RuntimeError, OSError, zyn_pulse_reader.PanicException) as error:
        return [Problem(path, failure_text(error, path))]
    whole = [message for aperture, message in layout.problems if aperture is None]
    # A damaged run can have hundreds of thousands: plain tuples until sorted.
    by_aperture = [(aperture, message) for aperture, message in layout.problems if aperture is not None]
    with reader:
        whole += merge_member_problems(reader.metadata)
        by_aperture += read_problems(reader, reader.apertures, bar)
    # A stable sort: an aperture's layout problems stay before its read problems.
    by_aperture.sort(key=itemgetter(0))
    return [Problem(path, message) for message in whole] + [Problem(path, m, a) for a, m in by_aperture]


def check_files(paths: list[str], show_progress: bool) -> list[Problem]:
    # The layouts first: their block headers also give the progress bar its total.
    layouts = [layout_findings(path) for path in paths]
    bar = new_bar(sum(layout.records for layout in layouts), "rec", "check", show_progress)
    problems = [problem for path, layout in zip(paths, layouts) for problem in check_file(path, layout, bar)]
    finish(bar)
    return problems


def run(args: argparse.Namespace) -> int:
    problems = check_files(args.files, progress_wanted(args.progress))
    if args.json:
        json.dump({"files": args.files, "problems": [p._asdict() for p in problems]}, sys.stdout, indent=2)
        print()
    else:
        if problems:
            print("\n".join(map(str, problems)))
        bad = len({p.file for p in problems})
        print(f"{len(args.files) - bad} of {len(args.files)} file(s) intact, {len(problems)} problem(s)", file=sys.stderr)
    return 1 if problems else 0


def register(subparsers: Any, common: argparse.ArgumentParser) -> None:
    parser = subparsers.add_parser(
        "check", parents=[common], help="verify pulse files completely and list every problem",
        description="Verify each file completely, going on past bad ones. "
        "Exit status 0 when every file is intact, 1 when any problem was found.",
    )
    parser.add_argument("files", nargs="+", metavar="FILE")
    parser.add_argument("--json", action="store_true", help="print the problems as one JSON document")
    parser.set_defaults(run=run)
