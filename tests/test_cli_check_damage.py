"""zyn-pulse check on damage inside record data and in block headers, and how it reports many
problems: listed up to a limit, printed as they are found."""

from __future__ import annotations

import json
import math
import re
from pathlib import Path

import pytest

from cli_runs import run_file, zyn_pulse
from conftest import metadata_with
from pulsefile import background, pulse, record
from zyn_pulse_tools.commands import check

# run_file's runs last 12.345 s at 100 fps; a record may start up to 1 % and one second later.
LAST_FRAME = math.ceil(12.345 * 100 * 1.01 + 100)


def problem_lines(result) -> list[str]:
    return [line.split(": ", 1)[1] for line in result.stdout.splitlines()[:-1]]


@pytest.mark.parametrize(("records", "metadata", "expected"), [
    # The second pulse starts after the run's end, and so does the background after it.
    ([pulse(1000, 5), pulse(400, 3), background(2)], {},
     [f"aperture 4: 2 records start after the run's end (frame 1405 > last frame {LAST_FRAME})"]),
    # Starting on the last frame is still within the run, though the pulse ends after it.
    ([pulse(1000, 5), pulse(LAST_FRAME - 1005, 30)], {}, []),
    ([pulse(10, 2000)], {}, [f"aperture 4: 1 pulses longer than the run (dur_f 2000 > last frame {LAST_FRAME})"]),
    # A record overwritten with random bytes that happen to make a long, late pulse.
    ([pulse(20, 4), record(65493, 65515, 5, 9, 1, 2, 3, 4), pulse(7, 2)], {},
     [f"aperture 4: 2 records start after the run's end (frame 65517 > last frame {LAST_FRAME})",
      f"aperture 4: 1 pulses longer than the run (dur_f 65515 > last frame {LAST_FRAME})"]),
    # A longer run holds what a short one does not.
    ([pulse(10, 2000), pulse(3000, 1)], {"duration": 60.0}, []),
], ids=["late", "on_the_last_frame", "long", "random_bytes", "longer_run"])
def test_implausible_records_are_problems(tmp_path, records, metadata, expected):
    run = run_file(3, metadata=metadata_with(rows=3, cols=5, roi_rows=3, roi_cols=5, **metadata))
    run.apertures[4].records = records
    path = str(run.write(tmp_path / "run.bin"))
    result = zyn_pulse("check", path)
    assert problem_lines(result) == expected
    assert result.returncode == (1 if expected else 0)
    assert result.stdout.splitlines()[-1] == f"{path}: " + (f"{len(expected)} problem(s)" if expected else "intact")


def test_a_damaged_first_block_header_is_bounded_and_the_rest_still_read(tmp_path):
    run = run_file(5)
    run.apertures[9].records = [pulse(10, 2000)]
    data = bytearray(run.to_bytes())
    first = run.block_locations()[0]
    data[first : first + 16] = bytes(b ^ 0xFF for b in data[first : first + 16])
    path = tmp_path / "damaged.bin"
    path.write_bytes(bytes(data))
    result = zyn_pulse("check", "--progress", path)
    data_end = run.block_locations()[-1] + len(run.apertures[-1].block())
    claimed = first + 16 + 16 * (len(run.apertures[0].records) ^ 0xFFFFFFFF)
    assert problem_lines(result) == [
        f"aperture 0: block at bytes {first}..{claimed} runs past the end of the data region {first}..{data_end}",
        "aperture 0: block header names aperture 4294967295",
        "aperture 0: Failed to get records: failed to fill whole buffer",
        f"aperture 9: 1 pulses longer than the run (dur_f 2000 > last frame {LAST_FRAME})",
    ]
    # The bar's total: the records of the readable blocks, never more than the region holds.
    totals = {int(total) for total in re.findall(r"\d+/(\d+) \[", result.stderr)}
    assert totals == {sum(len(a.records) for a in run.apertures[1:])}


def renamed_run(folder: Path, renamed: int) -> str:
    run = run_file(7)
    for aperture in run.apertures[:renamed]:
        aperture.header_index = aperture.number + 100
    return str(run.write(folder / f"renamed{renamed}.bin"))


def test_max_problems_lists_the_first_and_counts_the_rest(tmp_path):
    path = renamed_run(tmp_path, 7)
    result = zyn_pulse("check", "--max-problems", "3", path)
    assert result.stdout.splitlines() == [
        *(f"{path}: aperture {a}: block header names aperture {a + 100}" for a in range(3)),
        f"{path}: ... and 4 more problems", f"{path}: 7 problem(s)",
    ]
    document = json.loads(zyn_pulse("check", "--json", "--max-problems", "3", path).stdout)
    assert len(document["problems"]) == 3 and document["problem_counts"] == {path: 7}
    assert len(problem_lines(zyn_pulse("check", "--max-problems", "0", path))) == 7
    assert zyn_pulse("check", "--max-problems", "-1", path).returncode == 2


def test_problems_are_shown_as_each_part_of_the_run_is_read(tmp_path, monkeypatch):
    run = run_file(8)
    for number in (2, 8, 13):
        run.apertures[number].records = [pulse(10, 2000)]
    path = str(run.write(tmp_path / "run.bin"))
    other = renamed_run(tmp_path, 2)
    monkeypatch.setattr(check, "READ_RECORDS", 60)  # parts of a few apertures
    shown: list[list[str]] = []
    reports = check.check_files([path, other], 0, False, shown.append, False)
    long_pulse = f"1 pulses longer than the run (dur_f 2000 > last frame {LAST_FRAME})"
    assert shown == [
        [f"{path}: aperture 2: {long_pulse}"], [f"{path}: aperture 8: {long_pulse}"],
        [f"{path}: aperture 13: {long_pulse}"], [f"{path}: 3 problem(s)"],
        [f"{other}: aperture {a}: block header names aperture {a + 100}" for a in range(2)], [f"{other}: 2 problem(s)"],
    ]
    assert [report.count for report in reports] == [3, 2]


def test_a_failing_bulk_read_is_narrowed_down_to_the_failing_apertures():
    def call(apertures: list[int]) -> list[int]:
        if {5, 6} & set(apertures):
            raise RuntimeError(f"Failed to get records: {min({5, 6} & set(apertures))}")
        return apertures

    results, failed = check.read_in_parts(call, list(range(10)))
    assert sorted(a for result in results for a in result) == [0, 1, 2, 3, 4, 7, 8, 9]
    assert failed == [(5, "Failed to get records: 5"), (6, "Failed to get records: 6")]
    assert check.read_in_parts(call, []) == ([[]], [])
