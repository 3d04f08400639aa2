"""Errors that name their file: the module's notes beside unchanged messages, and the
zyn-pulse command's "zyn-pulse: FILE: message" lines, with info and report going on past
bad files."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

from cli_runs import run_file, zyn_pulse
from zyn_pulse_reader import PulseReader, merge_pulse_files

FILL = "failed to fill whole buffer"


def bad_files(folder: Path) -> dict[str, tuple[str, str]]:
    """Files that cannot be opened: path -> (message, note after "PATH: ")."""
    whole = run_file(1).to_bytes()
    metadata_end = 80 + int.from_bytes(whole[16:20], "little")
    index_offset = int.from_bytes(whole[40:48], "little")
    damaged_count = bytearray(whole)
    damaged_count[8:16] = (10**12).to_bytes(8, "little")
    contents = {
        "notes.txt": (b"hello, this is not a pulse file at all\n", "39 bytes; not a pulse file (it does not start with 'ZynP')"),
        "empty.bin": (b"", "0 bytes; not a pulse file (it is empty)"),
        "header.bin": (whole[:30], "30 bytes, but the header of a pulse file alone takes 48 bytes: the file is truncated"),
        "metadata.bin": (whole[:100], f"100 bytes, but its metadata ends at byte {metadata_end}: "
                                      "the file is truncated"),
        "cut.bin": (whole[: index_offset - 5], f"{index_offset - 5} bytes, but its index starts at byte {index_offset}: "
                                               "the file is truncated"),
        "count.bin": (bytes(damaged_count), f"{len(whole)} bytes, but its index of 1000000000000 apertures ends at byte "
                                            f"{index_offset + 8 + 12 * 10**12}: the file is truncated, or its aperture "
                                            "count is damaged"),
    }
    files = {}
    for name, (data, note) in contents.items():
        path = folder / name
        path.write_bytes(data)
        files[str(path)] = (FILL, note)
    return files


def test_open_failures_carry_a_diagnosis(tmp_path):
    for path, (message, note) in bad_files(tmp_path).items():
        with pytest.raises(RuntimeError) as failure:
            PulseReader(path)
        assert (str(failure.value), failure.value.__notes__) == (message, [f"{path}: {note}"])
    missing = str(tmp_path / "nope.bin")
    with pytest.raises(RuntimeError) as failure:
        PulseReader(missing)
    assert (str(failure.value), failure.value.__notes__) == (
        "No such file or directory (os error 2)", [f"while opening {missing}"])


def test_merge_and_copy_notes_name_the_input_and_the_output(tmp_path):
    good = str(run_file(2).write(tmp_path / "good.bin"))
    (bad, (_, note)), = list(bad_files(tmp_path).items())[:1]
    out = tmp_path / "merged.bin"
    with pytest.raises(RuntimeError) as failure:
        merge_pulse_files([good, good, bad], str(out))
    assert (str(failure.value), failure.value.__notes__) == (FILL, [f"{bad}: {note}", "input 3 of 3 to merge_pulse_files"])
    target = tmp_path / "no folder" / "copy.bin"
    with PulseReader(good) as reader, pytest.raises(RuntimeError) as failure:
        reader.copy_apertures_to_new_file([0], str(target))
    assert failure.value.__notes__ == [f"while copying apertures of {good} into {target}"]
    with pytest.raises(RuntimeError) as failure:
        merge_pulse_files([good], str(target))
    assert failure.value.__notes__ == [f"while merging into {target}"]
    assert not out.exists()


def test_info_goes_on_past_bad_files_and_names_them(tmp_path):
    good = str(run_file(3).write(tmp_path / "good.bin"))
    bad = bad_files(tmp_path)
    result = zyn_pulse("info", "--json", *bad, good)
    assert result.returncode == 1
    assert [info["file"] for info in json.loads(result.stdout)["files"]] == [good]
    assert result.stderr.splitlines() == [f"zyn-pulse: {path}: {message}: {note}" for path, (message, note) in bad.items()]
    missing = tmp_path / "nope.bin"
    result = zyn_pulse("info", str(missing))
    assert (result.returncode, result.stdout, result.stderr) == (
        1, "", f"zyn-pulse: {missing}: No such file or directory (os error 2)\n")


@pytest.mark.parametrize("command", ["merge", "subset", "export", "report"])
def test_writing_commands_name_the_bad_input(tmp_path, command):
    if command == "report":
        pytest.importorskip("matplotlib")
    if command == "export":
        pytest.importorskip("pyarrow")
    good = str(run_file(4).write(tmp_path / "good.bin"))
    (bad, (message, note)), = list(bad_files(tmp_path).items())[2:3]
    args = {
        "merge": ["merge", good, bad],
        "subset": ["subset", bad, "--apertures", "1"],
        "export": ["export", bad],
        "report": ["report", bad, good],
    }[command]
    out = tmp_path / ("out.html" if command == "report" else "out.csv" if command == "export" else "out.bin")
    result = zyn_pulse(*args, "-o", str(out))
    assert result.returncode == 1
    assert result.stderr == f"zyn-pulse: {bad}: {message}: {note}\n"
    # The report goes on with the files it can read; the others write nothing.
    assert out.exists() == (command == "report")
