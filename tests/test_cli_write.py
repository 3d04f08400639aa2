"""zyn-pulse subset, merge and export: outputs equal to the module's own calls, written
completely or not at all, and never over an input or an existing file without --force."""

from __future__ import annotations

import importlib.metadata
import os
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from arrow_columns import assert_same_columns, expected_columns, table_columns
from cli_runs import run_file, zyn_pulse
from conftest import metadata_with
from zyn_pulse_reader import PulseReader, merge_pulse_files
from zyn_pulse_tools.aperture_list import parse_aperture_list
from zyn_pulse_tools.cli import main
from zyn_pulse_tools.commands.merge import merge_size
from zyn_pulse_tools.errors import CommandError
from zyn_pulse_tools.simulate import RunShape, write_run

FILTER_OPTIONS = ["--min-snr", "2", "--min-dur-f", "3", "--mask-s", "0.5", "0.9", "--recalc-ipd"]
FILTER = {"min_snr": 2.0, "min_dur_f": 3, "mask_s": (0.5, 0.9), "recalc_ipd": True}


@pytest.fixture
def run(tmp_path):
    return str(run_file(11, rows=4, cols=5).write(tmp_path / "run.pulses.bin"))


@pytest.mark.parametrize(
    ("text", "apertures"),
    [("0,5,10-12", [0, 5, 10, 11, 12]), (" 7 , 3-3,", [7, 3]), ("", []), ("2-4,1", [2, 3, 4, 1])],
)
def test_aperture_lists(text, apertures):
    assert parse_aperture_list(text) == apertures


@pytest.mark.parametrize("text", ["1,x", "5-2", "-3", "1.5"])
def test_bad_aperture_lists(text):
    with pytest.raises(CommandError, match="invalid aperture list"):
        parse_aperture_list(text)


def test_subset_equals_the_module_copy(run, tmp_path):
    listed = tmp_path / "chosen.txt"
    listed.write_text("# chosen by hand\n3-5 1\n9,3\n")
    with PulseReader(run) as reader:
        summary = reader.summary(pulse_filter_kwargs=FILTER)
        busy = [int(a) for a in summary.index[summary["pulses"] >= 3]]
        for name, apertures in [("list", [0, 7, 8, 9, 10]), ("file", [1, 3, 4, 5, 9]), ("busy", busy)]:
            reader.copy_apertures_to_new_file(apertures, str(tmp_path / f"{name}.expected"))
    assert 0 < len(busy) < 20
    runs = {
        "list": ["--apertures", "0,7-10"],
        "file": ["--apertures-from", str(listed)],
        "busy": ["--min-pulses", "3", *FILTER_OPTIONS],
    }
    for name, options in runs.items():
        result = zyn_pulse("subset", run, "-o", tmp_path / f"{name}.bin", *options)
        assert result.returncode == 0, result.stderr
        assert (tmp_path / f"{name}.bin").read_bytes() == (tmp_path / f"{name}.expected").read_bytes(), name
        with PulseReader(str(tmp_path / f"{name}.bin")) as copy, PulseReader(run) as source:
            kept, total = len(copy.apertures), len(source.apertures)
        assert result.stdout == f"{tmp_path / name}.bin: kept {kept:,} of the {total:,} apertures of {run}\n"


def test_subset_of_missing_apertures(run, tmp_path, capsys):
    out = tmp_path / "out.bin"
    assert main(["subset", run, "-o", str(out), "--apertures", "1,40-41"]) == 1
    assert capsys.readouterr().err == "zyn-pulse: error: The following apertures were not found in the file: [40, 41]\n"
    assert not out.exists()
    assert main(["subset", run, "-o", str(out), "--apertures", "1,40-41", "--missing-ok"]) == 0
    assert capsys.readouterr().out.startswith(f"{out}: kept 1 of the ")
    with PulseReader(str(out)) as subset:
        assert subset.apertures == [1]


def test_merge_equals_the_module_merge_and_its_size_is_known(tmp_path):
    strips = [str(run_file(20 + i, rows=2, cols=5).write(tmp_path / f"strip{i}.bin")) for i in range(3)]
    merge_pulse_files(strips, str(tmp_path / "expected.bin"))
    result = zyn_pulse("merge", *strips, "-o", tmp_path / "merged.bin")
    assert result.returncode == 0, result.stderr
    merged = (tmp_path / "merged.bin").read_bytes()
    assert merged == (tmp_path / "expected.bin").read_bytes()
    assert merge_size(strips) == len(merged)
    assert result.stderr == ""


def test_merge_warns_of_differing_durations_and_repeated_inputs(tmp_path):
    first = str(run_file(24, rows=2, cols=5).write(tmp_path / "first.bin"))
    metadata = metadata_with(rows=2, cols=5, roi_rows=2, roi_cols=5, duration=99.5)
    longer = str(run_file(25, rows=2, cols=5, metadata=metadata).write(tmp_path / "longer.bin"))
    result = zyn_pulse("merge", first, longer, first, "-o", tmp_path / "merged.bin")
    assert result.returncode == 0, result.stderr
    assert result.stderr.splitlines() == [
        f'zyn-pulse: warning: {longer}: its "duration" (99.5) differs from that of {first} (12.345); '
        "the merged file keeps the first",
        f"zyn-pulse: warning: {first} is given more than once: its apertures appear once per mention",
    ]
    merge_pulse_files([first, longer, first], str(tmp_path / "expected.bin"))
    assert (tmp_path / "merged.bin").read_bytes() == (tmp_path / "expected.bin").read_bytes()


def test_outputs_are_refused_or_replaced_whole(run, tmp_path, capsys):
    incomplete = str(run_file(30, metadata=metadata_with(validWells=None)).write(tmp_path / "incomplete.bin"))
    existing = tmp_path / "existing.bin"
    existing.write_bytes(b"keep me")
    before = sorted(os.listdir(tmp_path))
    refusals = {
        ("merge", run, incomplete, "-o", str(tmp_path / "new.bin")): "validWells missing or invalid",
        ("merge", run, run, "-o", str(existing)): f"{existing} already exists (use --force to replace it)",
        ("subset", run, "-o", run, "--apertures", "1", "--force"): f"{run} is one of the inputs; choose another output",
        ("export", run, "-o", str(tmp_path / "table.txt")): "its suffix must be one of .parquet, .csv, .arrow",
    }
    for args, message in refusals.items():
        assert main(list(args)) == 1
        error = capsys.readouterr().err
        assert error.startswith("zyn-pulse: error: ") and message in error and error.count("\n") == 1
        assert sorted(os.listdir(tmp_path)) == before, "a refused command left a file behind"
    assert existing.read_bytes() == b"keep me"
    assert main(["merge", run, "-o", str(existing), "--force"]) == 0
    with PulseReader(str(existing)) as merged:
        assert len(merged.apertures) == 20


def test_interrupted_export_leaves_nothing(run, tmp_path, monkeypatch, capsys):
    pytest.importorskip("pyarrow")
    import pyarrow.csv

    written = []

    def interrupted(table, *args, **kwargs):
        written.append(table.num_rows)
        if table.num_rows:  # the header is written, then the first batch is interrupted
            raise KeyboardInterrupt

    monkeypatch.setattr(pyarrow.csv, "write_csv", interrupted)
    assert main(["export", run, "-o", str(tmp_path / "table.csv"), "--batch-records", "40"]) == 130
    assert sorted(os.listdir(tmp_path)) == ["run.pulses.bin"] and written[0] == 0


EXPORT_OPTIONS = ["--min-snr", "2", "--min-dur-f", "3"]
EXPORT_FILTER = {"min_snr": 2.0, "min_dur_f": 3}


def expected_table(reader: PulseReader, what: str) -> tuple[pd.DataFrame, int]:
    """The frame an export must hold, and the number of batches of 40 records."""
    if what == "pulses":
        batches = len(list(reader.iter_pulses(pulse_filter_kwargs=EXPORT_FILTER, batch_records=40)))
        return reader.get_pulses_many(pulse_filter_kwargs=EXPORT_FILTER), batches
    if what == "records":
        return reader.get_all_records_many(), len(list(reader.iter_all_records(batch_records=40)))
    return reader.summary(pulse_filter_kwargs=EXPORT_FILTER), 1


@pytest.mark.parametrize("what", ["pulses", "records", "summary"])
def test_export_holds_the_module_frames_as_plain_columns(run, tmp_path, what):
    pyarrow = pytest.importorskip("pyarrow")
    import pyarrow.parquet

    outputs = {suffix: tmp_path / f"table{suffix}" for suffix in (".parquet", ".arrow", ".csv")}
    for output in outputs.values():
        assert main(["export", run, "-o", str(output), "--what", what, "--batch-records", "40", *EXPORT_OPTIONS]) == 0
    with PulseReader(run) as reader:
        frame, batches = expected_table(reader, what)
    expected = expected_columns(frame)
    parquet = pyarrow.parquet.ParquetFile(outputs[".parquet"])
    assert_same_columns(table_columns(parquet.read()), expected)
    assert_same_columns(table_columns(pyarrow.ipc.open_file(outputs[".arrow"]).read_all()), expected)
    # No index artefacts: no pandas metadata, every column a named one of the stream's.
    assert b"pandas" not in (parquet.schema_arrow.metadata or {})
    # The batches are gathered into row groups of about a million rows: here, one.
    assert parquet.num_row_groups == 1 and (what == "summary" or batches > 2)
    assert parquet.metadata.row_group(0).column(0).compression == "ZSTD"
    if what == "records":
        assert pyarrow.types.is_dictionary(parquet.schema_arrow.field("record_type").type)
    csv = pd.read_csv(outputs[".csv"])
    assert list(csv.columns) == list(expected) and len(csv) == len(frame)
    for name, values in expected.items():
        if not isinstance(values, list):
            np.testing.assert_allclose(csv[name].to_numpy(np.float64), values.astype(np.float64), rtol=1e-6)


@pytest.mark.parametrize("compression", ["snappy", "gzip", "none"])
def test_export_parquet_compression(run, tmp_path, compression):
    pytest.importorskip("pyarrow")
    import pyarrow.parquet

    output = tmp_path / "pulses.parquet"
    assert main(["export", run, "-o", str(output), "--compression", compression]) == 0
    chunk = pyarrow.parquet.ParquetFile(output).metadata.row_group(0).column(3)
    assert chunk.compression == {"none": "UNCOMPRESSED"}.get(compression, compression.upper())


def test_compression_is_refused_for_other_formats(run, tmp_path, capsys):
    assert main(["export", run, "-o", str(tmp_path / "t.csv"), "--compression", "gzip"]) == 1
    assert "--compression applies to Parquet files only, not to CSV" in capsys.readouterr().err
    assert not (tmp_path / "t.csv").exists()


@pytest.mark.parametrize(
    ("args", "module", "extra"),
    [(["export", "-o", "t.parquet"], "pyarrow", "arrow"), (["report", "-o", "r.html"], "matplotlib", "report")],
)
def test_a_missing_extra_is_named(run, tmp_path, monkeypatch, capsys, args, module, extra):
    monkeypatch.setitem(sys.modules, module, None)  # import fails as if not installed
    monkeypatch.chdir(tmp_path)
    assert main([args[0], run, *args[1:]]) == 1
    # The hint installs the extra's packages by name, which works for a checkout as for an index.
    hint = capsys.readouterr().err.partition("which is not installed: ")[2]
    try:
        importlib.metadata.distribution("zyn_pulse_reader")
        assert hint.startswith(f'pip install "{module}>=')
    except importlib.metadata.PackageNotFoundError:  # the package taken from the source tree
        assert hint.startswith(f'pip install ".[{extra}]"')
    assert sorted(os.listdir(tmp_path)) == ["run.pulses.bin"]


def test_merge_of_two_runs_is_refused_naming_the_output_not_its_temporary(tmp_path):
    first, second = tmp_path / "a.bin", tmp_path / "b.bin"
    write_run(str(first), RunShape(rows=2, cols=3, fps=100.0))
    write_run(str(second), RunShape(rows=2, cols=3, fps=50.0))
    out = tmp_path / "merged.bin"
    result = zyn_pulse("merge", first, second, "-o", out)
    assert result.returncode == 1 and not out.exists()
    assert result.stderr.startswith(f'zyn-pulse: error: Cannot merge {second}: its "fps" (50)')
    assert result.stderr.endswith(f"while merging into {out}\n") and ".partial" not in result.stderr
