"""``zyn-pulse check``: verifies files completely and reports their problems, going on past bad files.

A problem is one line, "FILE: aperture N: message" or "FILE: message", printed as soon as it
is found, at most --max-problems of them per file; the last line of each file says that it is
intact or how many problems it has.

The layout is checked from the raw header, index and block headers (blocks inside the data
region, no two blocks sharing bytes, each block header naming its index entry's aperture,
nothing after the index). The module then reads every record twice, for ``record_kinds()``
and ``summary()``, without building a row per record: every block must be readable, and the
records plausible. Damage inside record data shows only as values that cannot be, so an
aperture whose last pulse ends after the run's end is read again to name the records that
start after the run's end and the pulses longer than the run. Records of unknown kind are a
note (a newer writer may use kinds this reader does not know), a problem with --strict. The
metadata must hold the members a merge needs.
"""

from __future__ import annotations

import argparse
import json
import math
import sys
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt
import pandas as pd
import zyn_pulse_reader
from tqdm import tqdm
from zyn_pulse_reader import PulseReader

from zyn_pulse_tools.errors import failure_text
from zyn_pulse_tools.file_layout import BLOCK_HEADER_SIZE, RECORD_SIZE, FileLayout, LayoutError, read_layout
from zyn_pulse_tools.progress import finish, new_bar, progress_wanted

# Members every input of a merge must hold, each a JSON integer from 0 to 2**64 - 1.
MERGE_MEMBERS = ("validWells", "validWellsLeft", "validWellsRight", "rows", "cols", "roi_offset_col", "roi_cols")
DEFAULT_MAX_PROBLEMS = 100
# Records the module reads per call: the progress bar moves, and problems are printed, after each.
READ_RECORDS = 4_000_000
# The run's last frame is its duration times fps, plus this share and one second: a recorder
# may close a run a little after its nominal duration.
END_MARGIN = 0.01

Apertures = npt.NDArray[np.uint64]


class Problem(NamedTuple):
    """One problem; a tuple, since a damaged run can have hundreds of thousands."""

    file: str
    message: str
    aperture: int | None = None

    def __str__(self) -> str:
        where = "" if self.aperture is None else f"aperture {self.aperture}: "
        return f"{self.file}: {where}{self.message}"


@dataclass
class FileReport:
    """The problems of one file: all are counted, the first `limit` (0: all) are listed and
    passed to `show` as they come."""

    path: str
    limit: int
    show: Callable[[list[str]], None]
    listed: list[Problem] = field(default_factory=list)
    count: int = 0
    notes: list[str] = field(default_factory=list)

    def add(self, found: Iterable[tuple[int | None, str]]) -> None:
        new: list[Problem] = []
        for aperture, message in found:
            self.count += 1
            if not self.limit or len(self.listed) + len(new) < self.limit:
                new.append(Problem(self.path, message, aperture))
        self.listed += new
        if new:
            self.show([str(problem) for problem in new])

    def note(self, message: str) -> None:
        self.notes.append(message)
        self.show([f"{self.path}: {message}"])

    def closing_lines(self) -> list[str]:
        unlisted = self.count - len(self.listed)
        more = [f"{self.path}: ... and {unlisted:,} more problems"] if unlisted else []
        verdict = "intact" if self.count == 0 else f"{self.count:,} problem(s)"
        return [*more, f"{self.path}: {verdict}"]


def merge_member_problems(metadata: dict[str, Any]) -> Iterator[str]:
    for member in MERGE_MEMBERS:
        value = metadata.get(member)
        if value is None:
            yield f'metadata member "{member}" is missing (a merge needs it)'
        elif isinstance(value, bool) or not isinstance(value, int) or not 0 <= value < 2**64:
            yield f'metadata member "{member}" is not an unsigned integer: {json.dumps(value)} (a merge needs it)'


class LayoutFindings(NamedTuple):
    problems: list[tuple[int | None, str]]  # (aperture or None, message), whole-file ones first
    readable: Apertures  # present apertures whose block lies within the file, ascending
    records: npt.NDArray[np.uint64]  # their record counts
    unreadable: Apertures  # present apertures whose block runs past the end of the file
    region_records: int  # the records the data region can hold


def layout_problems(layout: FileLayout) -> LayoutFindings:
    """Each fault of the block layout, and which blocks the module can read."""
    found: list[tuple[int, str]] = []
    present = layout.entry_locations != 0
    apertures = layout.entry_apertures[present].astype(np.int64)
    locations = layout.entry_locations[present]
    region = f"the data region {layout.data_offset}..{layout.index_offset}"
    # A header inside the file has a record count to read; only one inside the data region is
    # held to the region's bounds and to naming its aperture.
    header_in_file = locations + BLOCK_HEADER_SIZE <= layout.file_size
    header_inside = (locations >= layout.data_offset) & (locations + BLOCK_HEADER_SIZE <= layout.index_offset)
    for aperture, location in zip(apertures[~header_inside], locations[~header_inside]):
        found.append((int(aperture), f"block at byte {location} lies outside {region}"))
    counts = np.zeros(locations.size, dtype=np.uint64)
    headers = layout.block_headers(locations[header_in_file])
    counts[header_in_file] = headers["records"]
    named = np.full(locations.size, -1, dtype=np.int64)
    named[header_in_file] = headers["aperture"]
    ends = locations + BLOCK_HEADER_SIZE + RECORD_SIZE * counts
    outside = header_inside & (ends > layout.index_offset)
    for aperture, location, end in zip(apertures[outside], locations[outside], ends[outside]):
        found.append((int(aperture), f"block at bytes {location}..{end} runs past the end of {region}"))
    renamed = header_inside & (named != apertures)
    for aperture, number in zip(apertures[renamed], named[renamed]):
        found.append((int(aperture), f"block header names aperture {number}"))
    # Blocks that stay inside the region, each against the block before it in file order that
    # reaches furthest. One that runs past the region has a record count that cannot be
    # trusted (a damaged header), and would otherwise overlap every block after it.
    order = np.flatnonzero(header_inside & ~outside)
    if np.any(locations[order][1:] < locations[order][:-1]):  # writers lay blocks out in index order
        order = order[np.argsort(locations[order], kind="stable")]
    starts, stops = locations[order], ends[order]
    reach = np.maximum.accumulate(stops) if stops.size else stops
    furthest = np.maximum.accumulate(np.where(stops == reach, np.arange(stops.size), 0))
    for i in np.flatnonzero(starts[1:] < reach[:-1]) + 1:
        other = apertures[order[furthest[i - 1]]]
        found.append((int(apertures[order[i]]), f"block at byte {starts[i]} overlaps the block of aperture {other}"))
    found.sort(key=lambda problem: problem[0])  # stable: an aperture's problems keep their order
    whole: list[tuple[int | None, str]] = []
    if layout.file_size > layout.index_end:
        whole.append((None, f"{layout.file_size - layout.index_end} bytes after the index"))
    # The module reads an aperture at its last index entry.
    last = np.r_[apertures[1:] != apertures[:-1], True] if apertures.size else np.zeros(0, dtype=bool)
    fits = header_in_file & (ends <= layout.file_size)
    region_records = max(layout.index_offset - layout.data_offset, 0) // RECORD_SIZE
    return LayoutFindings(whole + list(found), apertures[last & fits].astype(np.uint64), counts[last & fits],
                          apertures[last & ~fits].astype(np.uint64), region_records)


def layout_findings(path: str) -> LayoutFindings:
    """layout_problems, or the one reason the layout cannot be read."""
    try:
        return layout_problems(read_layout(path))
    except (LayoutError, OSError) as error:
        empty = np.zeros(0, dtype=np.uint64)
        return LayoutFindings([(None, str(error))], empty, empty, empty, 0)


def read_in_parts(call: Callable[[list[int]], pd.DataFrame], apertures: list[int]) -> tuple[list[pd.DataFrame], list[tuple[int, str]]]:
    """`call` on all of `apertures` at once; should it fail, on halves, down to the single
    apertures that fail, each with its message."""
    try:
        return [call(apertures)], []
    except RuntimeError as error:
        if len(apertures) <= 1:
            return [], [(apertures[0], str(error))] if apertures else []
    half = len(apertures) // 2
    front, back = read_in_parts(call, apertures[:half]), read_in_parts(call, apertures[half:])
    return front[0] + back[0], front[1] + back[1]


@dataclass(frozen=True)
class RunEnd:
    """The last frame a record of the run may start at, or a pulse last (duration x fps, with
    the margin)."""

    last_frame: int

    @classmethod
    def of(cls, reader: PulseReader) -> RunEnd | None:
        def positive(value: Any) -> float | None:
            number = value if isinstance(value, (int, float)) and not isinstance(value, bool) else math.nan
            return float(number) if math.isfinite(number) and number > 0 else None

        duration, fps = positive(reader.metadata.get("duration")), positive(reader.metadata.get("fps"))
        if duration is None or fps is None:
            return None
        return cls(math.ceil(duration * fps * (1 + END_MARGIN) + fps))

    def problems(self, reader: PulseReader, summary: pd.DataFrame) -> list[tuple[int, str]]:
        """The records that start after the run's end and the pulses longer than the run, per
        aperture, of the apertures whose last pulse ends after it (no other can have any)."""
        late = summary.index.to_numpy()[summary["last_end_f"].to_numpy() > self.last_frame]
        if not late.size:
            return []
        records = reader.get_all_records_many(late.tolist())
        apertures = records["aperture_index"].to_numpy()
        dur = records["dur_f"].to_numpy().astype(np.int64)
        # The frame clock: each record starts ipd_f frames after the end of the one before.
        clock = np.cumsum(records["ipd_f"].to_numpy().astype(np.int64) + dur)
        first = np.r_[0, np.flatnonzero(apertures[1:] != apertures[:-1]) + 1]
        before = np.r_[0, clock][first]  # the clock before each aperture's first record
        start = clock - dur - np.repeat(before, np.diff(np.r_[first, apertures.size]))
        found: list[tuple[int, str]] = []
        for begin, end in zip(first, np.r_[first[1:], apertures.size]):
            aperture = int(apertures[begin])
            after = np.flatnonzero(start[begin:end] > self.last_frame)
            if after.size:
                frame = int(start[begin + after[0]])
                found.append((aperture, f"{after.size} records start after the run's end "
                                        f"(frame {frame} > last frame {self.last_frame})"))
            longest = dur[begin:end].max(initial=0)
            if longest > self.last_frame:
                count = int((dur[begin:end] > self.last_frame).sum())
                found.append((aperture, f"{count} pulses longer than the run "
                                        f"(dur_f {longest} > last frame {self.last_frame})"))
        return found


def read_problems(reader: PulseReader, findings: LayoutFindings, report: FileReport, strict: bool, bar: tqdm[Any]) -> None:
    """Reads every readable aperture's records in runs of about READ_RECORDS records, adding
    each run's problems to `report` as soon as they are found; then the note (or problem) on
    records of unknown kind."""
    # Blocks the layout found past the end of the file: their own message, one by one.
    report.add(read_in_parts(reader.record_kinds, findings.unreadable.tolist())[1])
    run_end = RunEnd.of(reader)
    unknown_records = unknown_apertures = 0
    total = int(bar.total or 0)
    bounds = np.searchsorted(np.cumsum(findings.records), np.arange(READ_RECORDS, int(findings.records.sum()), READ_RECORDS))
    for part in np.split(findings.readable, bounds):
        numbers = part.tolist()
        kinds, failed = read_in_parts(reader.record_kinds, numbers)
        if failed:
            failed_apertures = {aperture for aperture, _ in failed}
            numbers = [number for number in numbers if number not in failed_apertures]
        summaries, failed_pulses = read_in_parts(reader.summary, numbers)
        found = failed + failed_pulses
        if run_end is not None:
            for summary in summaries:
                found += run_end.problems(reader, summary)
        found.sort(key=lambda problem: problem[0])
        report.add(found)
        for frame in kinds:
            unknown = frame["unknown"].to_numpy()
            unknown_records += int(unknown.sum())
            unknown_apertures += int(np.count_nonzero(unknown))
        bar.update(max(min(sum(int(frame.to_numpy().sum()) for frame in kinds), total - bar.n), 0))
    if unknown_records:
        message = f"{unknown_records} records of unknown kind in {unknown_apertures} apertures"
        if strict:
            report.add([(None, message)])
        else:
            report.note(message)


def check_file(path: str, findings: LayoutFindings, report: FileReport, strict: bool, bar: tqdm[Any]) -> None:
    """Adds every problem of one file to `report`: those of the whole file first."""
    try:
        reader = PulseReader(path)
    except (RuntimeError, OSError, zyn_pulse_reader.PanicException) as error:
        report.add([(None, failure_text(error, path))])
        return
    with reader:
        whole = [(aperture, message) for aperture, message in findings.problems if aperture is None]
        report.add(whole + [(None, message) for message in merge_member_problems(reader.metadata)])
        report.add([(aperture, message) for aperture, message in findings.problems if aperture is not None])
        read_problems(reader, findings, report, strict, bar)


def check_files(paths: list[str], limit: int, strict: bool, show: Callable[[list[str]], None],
                show_progress: bool) -> list[FileReport]:
    # The layouts first: their block headers also give the progress bar its total, the
    # records of the readable blocks but never more than the data regions hold.
    layouts = [layout_findings(path) for path in paths]
    total = sum(min(int(layout.records.sum()), layout.region_records) for layout in layouts)
    bar = new_bar(total, "rec", "check", show_progress)

    def show_beside_bar(lines: list[str]) -> None:
        with tqdm.external_write_mode(file=sys.stdout):
            show(lines)

    reports = []
    for path, layout in zip(paths, layouts):
        report = FileReport(path, limit, show_beside_bar)
        check_file(path, layout, report, strict, bar)
        show_beside_bar(report.closing_lines())
        reports.append(report)
    finish(bar)
    return reports


def print_lines(lines: list[str]) -> None:
    print("\n".join(lines), flush=True)


def run(args: argparse.Namespace) -> int:
    show = (lambda lines: None) if args.json else print_lines
    reports = check_files(args.files, args.max_problems, args.strict, show, progress_wanted(args.progress))
    problems = sum(report.count for report in reports)
    if args.json:
        document = {
            "files": args.files,
            "problems": [problem._asdict() for report in reports for problem in report.listed],
            "notes": [{"file": report.path, "message": note} for report in reports for note in report.notes],
            "problem_counts": {report.path: report.count for report in reports},
        }
        json.dump(document, sys.stdout, indent=2)
        print()
    else:
        bad = sum(1 for report in reports if report.count)
        print(f"{len(args.files) - bad} of {len(args.files)} file(s) intact, {problems} problem(s)", file=sys.stderr)
    return 1 if problems else 0


def problem_limit(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {value}")
    return value


def register(subparsers: Any, common: argparse.ArgumentParser) -> None:
    parser = subparsers.add_parser(
        "check", parents=[common], help="verify pulse files completely and list their problems",
        description="Verify each file completely, going on past bad ones. Problems are printed as they "
        "are found. Exit status 0 when every file is intact, 1 when any problem was found.",
    )
    parser.add_argument("files", nargs="+", metavar="FILE")
    parser.add_argument("--json", action="store_true", help="print the problems as one JSON document")
    parser.add_argument("--strict", action="store_true", help="count records of unknown kind as a problem")
    parser.add_argument(
        "--max-problems", type=problem_limit, default=DEFAULT_MAX_PROBLEMS, metavar="N",
        help=f"list at most N problems per file, then count the rest (default {DEFAULT_MAX_PROBLEMS}; 0 lists all)",
    )
    parser.set_defaults(run=run)
