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
from typing import Any, NamedTuple

import numpy as np
import pandas as pd
import zyn_pulse_reader
from tqdm import tqdm
from zyn_pulse_reader import PulseReader

from zyn_pulse_tools.file_layout import BLOCK_HEADER_SIZE, RECORD_SIZE, FileLayout, LayoutError, read_layout
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


def layout_problems(layout: FileLayout) -> Iterator[tuple[int | None, str]]:
    """(aperture or None, message) for each fault of the block layout."""
    present = layout.entry_locations != 0
    apertures = layout.entry_apertures[present].astype(np.int64)
    locations = layout.entry_locations[present]
    region = f"the data region {layout.data_offset}..{layout.index_offset}"
    # A block header must lie in the data region before its record count can be trusted.
    header_inside = (locations >= layout.data_offset) & (locations + BLOCK_HEADER_SIZE <= layout.index_offset)
    for aperture, location in zip(apertures[~header_inside], locations[~header_inside]):
        yield int(aperture), f"block at byte {location} lies outside {region}"
    apertures, locations = apertures[header_inside], locations[header_inside]
    headers = layout.block_headers(locations)
    ends = locations + BLOCK_HEADER_SIZE + RECORD_SIZE * headers["records"].astype(np.uint64)
    outside = ends > layout.index_offset
    for aperture, location, end in zip(apertures[outside], locations[outside], ends[outside]):
        yield int(aperture), f"block at bytes {location}..{end} runs past the end of {region}"
    named = headers["aperture"].astype(np.int64)
    for aperture, number in zip(apertures[named != apertures], named[named != apertures]):
        yield int(aperture), f"block header names aperture {number}"
    order = np.argsort(locations, kind="stable")
    starts, stops = locations[order], ends[order]
    # Each block against the block before it in file order that reaches furthest.
    reach = np.maximum.accumulate(stops)
    furthest = np.maximum.accumulate(np.where(stops == reach, np.arange(stops.size), 0))
    for i in np.flatnonzero(starts[1:] < reach[:-1]) + 1:
        other = apertures[order[furthest[i - 1]]]
        yield int(apertures[order[i]]), f"block at byte {starts[i]} overlaps the block of aperture {other}"
    if layout.file_size > layout.index_end:
        yield None, f"{layout.file_size - layout.index_end} bytes after the index"


def unknown_kinds(records: pd.DataFrame) -> Iterator[tuple[int | None, str]]:
    unknown = records["aperture_index"][records["record_type"].to_numpy() == "unknown"]
    for aperture, count in unknown.value_counts(sort=False).sort_index().items():
        yield int(aperture), f"{count} record(s) of unknown kind"


def read_problems(reader: PulseReader, apertures: list[int], bar: tqdm[Any]) -> Iterator[tuple[int | None, str]]:
    """Reads every record and pulse; counts records of unknown kind per aperture."""
    done = 0
    try:
        reader.summary()
        for batch in reader.iter_all_records():
            yield from unknown_kinds(batch)
            done += int(batch["aperture_index"].nunique())
            bar.update(len(batch))
        return
    except RuntimeError:
        pass
    # The bulk reads stop at the first failing aperture: go on one by one to name every one.
    for aperture in apertures[done:]:
        try:
            records = reader.get_all_records(aperture)
            reader.get_pulses(aperture)
        except RuntimeError as error:
            yield aperture, str(error)
            continue
        records.insert(0, "aperture_index", aperture)
        yield from unknown_kinds(records)
        bar.update(len(records))


def check_file(path: str, bar: tqdm[Any]) -> list[Problem]:
    """Every problem of one file."""
    try:
        reader = PulseReader(path)
    except (RuntimeError, OSError, zyn_pulse_reader.PanicException) as error:
        return [Problem(path, str(error))]
    found: list[Problem] = []
    with reader:
        try:
            found += [Problem(path, m, a) for a, m in layout_problems(read_layout(path))]
        except (LayoutError, OSError) as error:
            found.append(Problem(path, str(error)))
        found += [Problem(path, m) for m in merge_member_problems(reader.metadata)]
        found += [Problem(path, m, a) for a, m in read_problems(reader, reader.apertures, bar)]
    # Problems of the whole file first, then by aperture.
    return sorted(found, key=lambda p: (p.aperture is not None, p.aperture or 0))


def total_records(paths: list[str]) -> int:
    """The records the files' index entries name, for the progress bar (0 for unreadable files)."""
    total = 0
    for path in paths:
        try:
            total += int(read_layout(path).record_counts()[1].sum())
        except (LayoutError, OSError):
            pass
    return total


def check_files(paths: list[str], show_progress: bool) -> list[Problem]:
    bar = new_bar(total_records(paths), "rec", "check", show_progress)
    problems = [problem for path in paths for problem in check_file(path, bar)]
    finish(bar)
    return problems


def run(args: argparse.Namespace) -> int:
    problems = check_files(args.files, progress_wanted(args.progress))
    if args.json:
        json.dump({"files": args.files, "problems": [p._asdict() for p in problems]}, sys.stdout, indent=2)
        print()
    else:
        sys.stdout.write("".join(f"{problem}\n" for problem in problems))
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
