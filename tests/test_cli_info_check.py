"""zyn-pulse info and check, run as the user runs them, on valid and damaged files."""

from __future__ import annotations

import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from cli_runs import run_file, unknown, zyn_pulse
from conftest import metadata_with
from pulsefile import PulseFile
import zyn_pulse_reader
from zyn_pulse_reader import PulseReader
import zyn_pulse_tools
from zyn_pulse_tools.cli import main

SUBCOMMANDS = ["info", "check", "subset", "merge", "export", "report", "simulate"]


def test_help_version_and_usage_errors(capsys):
    # The console script exists where the package is installed, not when it is taken from
    # the source tree (the sanitizer run).
    if Path(zyn_pulse_tools.__file__).is_relative_to(sys.prefix):
        script = shutil.which("zyn-pulse", path=str(Path(sys.executable).parent))
        assert script, "the zyn-pulse script is not installed beside the interpreter"
        version = subprocess.run([script, "--version"], capture_output=True, text=True)
        # One version, pyproject.toml's: in the package's metadata and compiled into the module.
        assert zyn_pulse_tools.__version__ == zyn_pulse_reader.__version__ != "0+unknown"
        assert version.returncode == 0
        assert version.stdout == f"zyn-pulse {zyn_pulse_tools.__version__} (zyn_pulse_reader module {zyn_pulse_reader.__version__})\n"
    for command in SUBCOMMANDS:
        with pytest.raises(SystemExit) as exited:
            main([command, "--help"])
        assert exited.value.code == 0 and f"usage: zyn-pulse {command}" in capsys.readouterr().out
    for usage_error in [["subset", "x.bin"], ["export", "x.bin", "-o", "y.csv", "--what", "nothing"]]:
        with pytest.raises(SystemExit) as exited:
            main(usage_error)
        assert exited.value.code == 2 and "usage:" in capsys.readouterr().err
    refused = zyn_pulse()
    assert refused.returncode == 2 and "usage:" in refused.stderr


def test_help_loads_no_heavy_library():
    # --help answers at once: only the chosen subcommand's module (and what it needs) is imported.
    listing = ("import sys\nfrom zyn_pulse_tools.cli import main\ntry:\n    main(['--help'])\nexcept SystemExit:\n"
               "    pass\nprint(sorted({'numpy', 'pandas', 'tqdm', 'matplotlib'} & set(sys.modules)))")
    result = subprocess.run([sys.executable, "-c", listing], capture_output=True, text=True)
    assert result.returncode == 0 and result.stdout.splitlines()[-1] == "[]", result.stderr


def test_info_reports_header_counts_and_metadata(tmp_path):
    path = str(run_file(1).write(tmp_path / "run.pulses.bin"))
    text, as_json = zyn_pulse("info", path), zyn_pulse("info", path, "--json")
    assert text.returncode == as_json.returncode == 0
    [info] = json.loads(as_json.stdout)["files"]
    with PulseReader(path) as reader:
        records = sum(len(reader.get_all_records(a)) for a in reader.apertures)
        pulses = sum(len(reader.get_pulses(a)) for a in reader.apertures)
        assert info["metadata"] == reader.metadata
        assert (info["apertures"], info["records"], info["pulses"]) == (len(reader.apertures), records, pulses)
    size = Path(path).stat().st_size
    assert info["header"]["index_offset"] + 8 + 12 * info["apertures"] == info["file_size"] == size
    assert (info["rows"], info["cols"], info["fps"], info["trimmed"]) == (3, 5, 100, True)
    for shown in [f"records: {records:,}", f"pulses: {pulses:,}", "grid: 3 rows x 5 cols", f"file {size:,} bytes"]:
        assert shown in text.stdout


def damaged_files(folder: Path) -> dict[str, list[str]]:
    """Files damaged in each way check reports, with the problem lines (after "FILE: ")."""
    files: dict[str, tuple[PulseFile, list[str]]] = {}
    magic = run_file(2, magic=b"Zyn?")
    files["magic.bin"] = (magic, [
        f"Pulse file header is invalid!: {len(magic.to_bytes())} bytes; not a pulse file (it does not start with 'ZynP')"
    ])
    # Aperture 0's index entry points into the zero padding before the data region.
    outside = run_file(3, padding=32)
    data_offset = outside.block_locations()[0]
    entries = [(0, data_offset - 32)] + [(n, loc) for n, loc in zip(range(1, 15), outside.block_locations()[1:])]
    outside.index_entries = entries
    region = f"the data region {data_offset}..{data_offset + sum(len(a.block()) for a in outside.apertures)}"
    files["outside.bin"] = (outside, [f"aperture 0: block at byte {data_offset - 32} lies outside {region}"])
    # Two index entries for aperture 3 name the same block.
    shared = run_file(4)
    locations = shared.block_locations()
    shared.index_entries = [(n, loc) for n, loc in enumerate(locations)][:4] + [(3, locations[3])]
    files["overlap.bin"] = (shared, [f"aperture 3: block at byte {locations[3]} overlaps the block of aperture 3"])
    renamed = run_file(5)
    renamed.apertures[6].header_index = 9
    files["renamed.bin"] = (renamed, ["aperture 6: block header names aperture 9"])
    # The last block claims 1,000 records more than the file holds: its reads fail.
    truncated = run_file(12)
    last = truncated.apertures[-1]
    last.record_count = len(last.records) + 1000
    start, data_end = truncated.block_locations()[-1], truncated.block_locations()[-1] + len(last.block())
    claimed = start + 16 + 16 * last.record_count
    files["truncated.bin"] = (truncated, [
        f"aperture 14: block at bytes {start}..{claimed} runs past the end of the data region "
        f"{truncated.block_locations()[0]}..{data_end}",
        "aperture 14: Failed to get records: failed to fill whole buffer",
    ])
    unmergeable = run_file(7, metadata=metadata_with(validWells=None, roi_cols=5.0))
    files["unmergeable.bin"] = (unmergeable, [
        'metadata member "validWells" is missing (a merge needs it)',
        'metadata member "roi_cols" is not an unsigned integer: 5.0 (a merge needs it)',
    ])
    expected = {}
    for name, (pulse_file, problems) in files.items():
        path = str(pulse_file.write(folder / name))
        expected[path] = problems
    trailing = folder / "trailing.bin"
    trailing.write_bytes(run_file(8).to_bytes() + b"7 bytes")
    expected[str(trailing)] = ["7 bytes after the index"]
    return expected


def unknown_kinds_file(folder: Path) -> str:
    """A file with 3 records of unknown kind in 2 apertures, and nothing else wrong."""
    odd = run_file(6)
    odd.apertures[2].records[1:1] = [unknown(3), unknown(4)]
    odd.apertures[11].records.append(unknown(5))
    return str(odd.write(folder / "unknown.bin"))


def test_check_lists_every_kind_of_problem_and_goes_on(tmp_path):
    expected = damaged_files(tmp_path)
    valid = str(run_file(9).write(tmp_path / "valid.bin"))
    odd = unknown_kinds_file(tmp_path)
    result = zyn_pulse("check", valid, odd, *expected)
    assert result.returncode == 1, result.stderr
    # Records of unknown kind are a note: the file counts as intact.
    assert result.stdout.splitlines() == [f"{valid}: intact", f"{odd}: 3 records of unknown kind in 2 apertures",
                                          f"{odd}: intact"] + [
        line for path, lines in expected.items() for line in [*(f"{path}: {m}" for m in lines), f"{path}: {len(lines)} problem(s)"]
    ]
    assert result.stderr.splitlines()[-1] == f"2 of {len(expected) + 2} file(s) intact, {sum(map(len, expected.values()))} problem(s)"
    document = json.loads(zyn_pulse("check", "--json", odd, *expected).stdout)
    assert [(p["file"], p["message"]) for p in document["problems"]] == [(f, m.split(": ", 1)[-1] if m.startswith("aperture") else m) for f, ms in expected.items() for m in ms]
    assert document["notes"] == [{"file": odd, "message": "3 records of unknown kind in 2 apertures"}]
    assert document["problem_counts"] == {odd: 0} | {f: len(ms) for f, ms in expected.items()}
    assert zyn_pulse("check", valid, odd).returncode == 0
    strict = zyn_pulse("check", "--strict", odd)
    assert strict.returncode == 1
    assert strict.stdout.splitlines() == [f"{odd}: 3 records of unknown kind in 2 apertures", f"{odd}: 1 problem(s)"]


def test_check_on_a_folder_names_exactly_the_damaged_files(tmp_path):
    folder = tmp_path / "runs"
    folder.mkdir()
    for seed in range(20):
        pulse_file = run_file(100 + seed, rows=2, cols=4)
        if seed == 4:
            pulse_file.apertures[1].header_index = 0
        if seed == 11:
            pulse_file.apertures[7].records.insert(0, unknown(2))  # a note, not a problem
        data = pulse_file.to_bytes() + (b"\0" * 12 if seed == 17 else b"")
        (folder / f"strip{seed:02}.pulses.bin").write_bytes(data)
    files = sorted(str(p) for p in folder.iterdir())
    result = zyn_pulse("check", *files)
    assert result.returncode == 1
    problems = [line for line in result.stdout.splitlines() if not line.endswith((": intact", "problem(s)"))]
    assert problems == [
        f"{folder}/strip04.pulses.bin: aperture 1: block header names aperture 0",
        f"{folder}/strip11.pulses.bin: 1 records of unknown kind in 1 apertures",
        f"{folder}/strip17.pulses.bin: 12 bytes after the index",
    ]
    assert result.stderr.splitlines()[-1] == "18 of 20 file(s) intact, 2 problem(s)"
