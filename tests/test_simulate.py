"""zyn-pulse simulate: runs that the module reads back as they were planned, that fit in the
run's time and pass the order check, the same for the same seed, and strips that merge into
the run a single file of that seed holds."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from cli_runs import zyn_pulse
from zyn_pulse_reader import PulseReader, merge_pulse_files
from zyn_pulse_tools.file_layout import read_layout
from zyn_pulse_tools.simulate import RunShape, SimulatedRun, write_run


def without_attrs(frame: pd.DataFrame) -> pd.DataFrame:
    frame.attrs = {}
    return frame


def test_strips_merge_into_the_single_file_run(tmp_path):
    options = ["--rows", "7", "--cols", "30", "--apertures", "150", "--seed", "5", "--heavy-share", "0.05"]
    result = zyn_pulse("simulate", "-o", tmp_path / "strip.pulses.bin", "--strips", "3", *options)
    assert result.returncode == 0, result.stderr
    strips = [tmp_path / f"strip{k}.pulses.bin" for k in (1, 2, 3)]
    assert [line.split(":")[0] for line in result.stdout.splitlines()] == list(map(str, strips))
    assert zyn_pulse("simulate", "-o", tmp_path / "whole.pulses.bin", *options).returncode == 0
    merge_pulse_files(strips, tmp_path / "merged.pulses.bin")

    with PulseReader(str(tmp_path / "merged.pulses.bin")) as merged, PulseReader(str(tmp_path / "whole.pulses.bin")) as whole:
        assert merged.apertures == whole.apertures and len(whole.apertures) == 150
        for key in ("rows", "cols", "validWells", "validWellsLeft", "validWellsRight"):
            assert merged.metadata[key] == whole.metadata[key], key
        pd.testing.assert_frame_equal(without_attrs(merged.get_all_records_many()), without_attrs(whole.get_all_records_many()))
        pd.testing.assert_frame_equal(without_attrs(merged.summary()), without_attrs(whole.summary()))


@pytest.mark.parametrize(
    "shape",
    [
        RunShape(rows=12, cols=20, seed=1),
        RunShape(rows=30, cols=40, apertures=333, mean_records=40, heavy_share=0.02, seed=2),
        # Busy apertures in a short run: their records are squeezed into its 6,000 frames.
        RunShape(rows=5, cols=8, mean_records=200, heavy_share=0.05, duration_s=60, fps=100, seed=3),
        RunShape(rows=40, cols=50, mean_records=0, seed=4),  # no records, busy apertures included
        RunShape(rows=10, cols=10, unknown_share=0.0, fps=37.5, duration_s=1000, seed=5),
    ],
    ids=["grid", "sparse", "short-run", "empty", "no-unknown"],
)
def test_a_run_is_what_was_planned(tmp_path, shape):
    path = str(tmp_path / "run.pulses.bin")
    run = SimulatedRun(shape)
    write_run(path, shape)
    layout = read_layout(path)
    assert layout.index_end == layout.file_size
    with PulseReader(path) as reader:
        summary = reader.summary(pulse_filter_kwargs={})  # a filter: the order check runs
        records = reader.get_all_records_many()
        metadata = reader.metadata
    numbers = summary.index.to_numpy(np.int64)
    assert np.array_equal(numbers, run.layout.wells) and np.array_equal(summary["records"], run.layout.counts)
    assert np.array_equal(summary["aperture_y"] * shape.cols + summary["aperture_x"], numbers)
    assert summary["error"].isna().all()
    assert (metadata["fps"], metadata["duration"], metadata["rows"], metadata["cols"]) == (
        shape.fps, shape.duration_s, shape.rows, shape.cols)
    assert metadata["validWells"] == len(numbers)
    # Every record starts and every pulse ends inside the run.
    run_frames = shape.fps * shape.duration_s
    assert (summary["last_end_f"] <= run_frames).all() and (records["start_f"] <= run_frames).all()
    assert (len(records) == 0) == (shape.mean_records == 0)
    unknown = (records["record_type"] == "unknown").sum()
    assert abs(unknown - shape.unknown_share * len(records)) <= 4 * np.sqrt(len(records) * 0.05) + 1


def test_the_seed_decides_the_run(tmp_path):
    paths = [str(tmp_path / f"{name}.pulses.bin") for name in ("a", "b", "c")]
    for path, seed in zip(paths, (9, 9, 10)):
        write_run(path, RunShape(rows=6, cols=6, seed=seed))
    first, same, other = (open(path, "rb").read() for path in paths)
    assert first == same and first != other


@pytest.mark.parametrize(
    ("options", "message"),
    [
        (["--rows", "0"], "cannot simulate this run: the grid needs at least one row and one column"),
        (["--rows", "2", "--cols", "2", "--apertures", "5"], "cannot simulate this run: 5 apertures do not fit on 2 x 2 wells"),
        (["--rows", "2", "--strips", "3"], "cannot simulate this run: 3 strips need at least as many rows (the grid has 2)"),
        (["--duration", "0"], "cannot simulate this run: fps and duration must be positive"),
        (["--heavy-share", "1"], "cannot simulate this run: shares lie from 0 to 1 (the heavy share below 1)"),
    ],
)
def test_refused_options_write_nothing(tmp_path, options, message):
    result = zyn_pulse("simulate", "-o", tmp_path / "run.pulses.bin", *options)
    assert (result.returncode, result.stderr.strip()) == (1, f"zyn-pulse: error: {message}")
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize(("options", "grid"), [
    ([], "100 x 100"), (["--apertures", "100000"], "316 x 317"), (["--apertures", "5", "--rows", "1"], "1 x 5"),
    (["--apertures", "10001", "--cols", "100"], "101 x 100"), (["--rows", "3", "--cols", "4"], "3 x 4"),
])
def test_the_grid_holds_the_apertures_asked_for(tmp_path, options, grid):
    done = zyn_pulse("simulate", "-o", tmp_path / "run.bin", "--mean-records", "1", *options)
    assert done.returncode == 0 and f" on {grid} wells" in done.stdout, done.stderr
