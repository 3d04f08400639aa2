"""Pulse files as Dask DataFrames: computed on a real two-process cluster and on the threaded
scheduler, every reader equals the module's own calls concatenated over the files, with the
"file" column put first; the plan (partitions, meta) is known and exact before any compute."""

from __future__ import annotations

import os
import re
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from model import bulk_file
from pulsefile import DEFAULT_METADATA, Aperture, PulseFile, pulse

dask = pytest.importorskip("dask")
pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
zpd = pytest.importorskip("zyn_pulse_tools.dask")
from zyn_pulse_reader import PulseReader  # noqa: E402

FILTER = {"min_dur_f": 2, "min_snr": 0.5, "recalc_ipd": True}
SMALL_PARTITIONS = 2_000  # records: several partitions per file


def write_run(path: Path, rng: np.random.Generator, apertures: int, large: int) -> list[int]:
    """Random records of every kind; a few apertures are empty and one holds `large` records."""
    numbers = np.sort(rng.choice(90, apertures, replace=False))
    counts = rng.integers(0, 40, numbers.size)
    counts[::9] = 0
    counts[3] = large
    n = int(counts.sum())
    raw = rng.integers(0, 65536, (n, 8), dtype=np.uint16)
    raw[:, 0] = rng.integers(1, 30, n)
    raw[rng.random(n) < 0.4, 1] = 0
    bulk_file(numbers, numbers % 20, numbers // 20, raw, counts, [(0, 3, 7)] * 8, DEFAULT_METADATA).write(path)
    return [int(a) for a in numbers]


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """Three runs in one folder, written so that their sorted names are not their list order."""
    folder = tmp_path_factory.mktemp("runs")
    rng = np.random.default_rng(16)
    paths = [folder / name for name in ("b.pulses.bin", "a.pulses.bin", "c.pulses.bin")]
    numbers = [write_run(path, rng, 60, large) for path, large in zip(paths, (5_000, 300, 9_000))]
    return paths, numbers


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       host="127.0.0.1", dashboard_address=None)
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


def module_call(kind: str, reader: PulseReader, apertures, filter_kwargs) -> pd.DataFrame:
    if kind == "pulses":
        return reader.get_pulses_many(apertures, pulse_filter_kwargs=filter_kwargs)
    if kind == "records":
        return reader.get_all_records_many(apertures)
    if kind == "record_kinds":
        return reader.record_kinds(apertures)
    return reader.summary(apertures, pulse_filter_kwargs=filter_kwargs)


def expected_frame(kind: str, paths: list[str], apertures, filter_kwargs) -> pd.DataFrame:
    frames = []
    for path in paths:
        with PulseReader(path) as reader:
            frame = module_call(kind, reader, apertures, filter_kwargs)
        frame.insert(0, "file", pd.Categorical([path] * len(frame), categories=list(dict.fromkeys(paths))))
        frames.append(frame)
    return pd.concat(frames)


def read(kind: str, paths, apertures, filter_kwargs, partition_records=SMALL_PARTITIONS):
    if kind == "pulses":
        return zpd.read_pulses(paths, apertures, filter_kwargs, partition_records=partition_records)
    if kind == "records":
        return zpd.read_records(paths, apertures, partition_records=partition_records)
    if kind == "record_kinds":
        return zpd.read_record_kinds(paths, apertures)
    return zpd.read_summary(paths, apertures, filter_kwargs)


CASES = {
    # name: (paths as given, resolved order, apertures, filter)
    "glob": (lambda p: str(p[0].parent / "*.pulses.bin"), lambda p: sorted(p), None, None),
    "one path": (lambda p: p[2], lambda p: [p[2]], None, None),
    "list with filter": (lambda p: [str(p[0]), p[2]], lambda p: [p[0], p[2]], None, FILTER),
    "shared subset, unsorted and repeated": (lambda p: p, lambda p: p, "subset", FILTER),
    "empty aperture list": (lambda p: p, lambda p: p, [], None),
}


def scheduler_cases():
    for kind in ("pulses", "records", "summary", "record_kinds"):
        for case, (_, _, _, filter_kwargs) in CASES.items():
            if not (kind in ("records", "record_kinds") and filter_kwargs):  # records take no filter
                yield pytest.param(kind, case, "distributed", id=f"{kind}-{case}-distributed")
        yield pytest.param(kind, "shared subset, unsorted and repeated", "threads", id=f"{kind}-threads")


@pytest.mark.parametrize(("kind", "case", "scheduler"), list(scheduler_cases()))
def test_computed_frame_equals_the_module_calls_concatenated(runs, client, kind, case, scheduler):
    paths, numbers = runs
    given, order, apertures, filter_kwargs = CASES[case]
    if kind in ("records", "record_kinds"):
        filter_kwargs = None
    if apertures == "subset":
        shared = sorted(set(numbers[0]) & set(numbers[1]) & set(numbers[2]))
        apertures = [shared[4], shared[0], shared[4], *shared[7:15]]
    resolved = [str(path) for path in order(paths)]
    frame = read(kind, given(paths), apertures, filter_kwargs)
    expected = expected_frame(kind, resolved, apertures, filter_kwargs)

    # The plan alone: meta is the computed frame's schema, with the "file" categories.
    pd.testing.assert_frame_equal(frame._meta, expected.iloc[:0], check_index_type=True)
    assert frame._meta.index.name == expected.index.name
    assert frame.npartitions >= len(resolved)
    scheduler = client if scheduler == "distributed" else "threads"
    pd.testing.assert_frame_equal(frame.compute(scheduler=scheduler), expected)
    piece = frame.get_partition(frame.npartitions - 1).compute(scheduler=scheduler)
    pd.testing.assert_series_equal(piece.dtypes, frame._meta.dtypes)
    assert piece.index.dtype == frame._meta.index.dtype and piece.index.name == frame._meta.index.name


@pytest.mark.parametrize("partition_records", [1, 500, 4_000, 10**9])
def test_partitions_are_runs_of_whole_apertures_near_the_budget(runs, partition_records):
    paths, numbers = runs
    frame = zpd.read_records(paths, partition_records=partition_records)
    pieces = dask.compute(*frame.to_delayed(), scheduler="sync")
    for path, file_numbers in zip(paths, numbers):
        with PulseReader(str(path)) as reader:
            counts = {a: len(reader.get_all_records(a)) for a in file_numbers}
        file_pieces = [p for p in pieces if len(p) and p["file"].iloc[0] == str(path)]
        seen = [a for p in file_pieces for a in p["aperture_index"].unique().tolist()]
        assert seen == [a for a in file_numbers if counts[a]]  # whole apertures, in order, no repeats
        for piece in file_pieces:
            last = int(piece["aperture_index"].iloc[-1])
            assert len(piece) - counts[last] < max(partition_records, 1)
    if partition_records == 10**9:
        assert frame.npartitions == len(paths)
    if partition_records == 1:  # every aperture a partition of its own
        assert frame.npartitions == sum(len(n) for n in numbers)


@pytest.mark.parametrize("block_order", ["index order", "reversed"])
def test_records_per_aperture_are_estimated_from_the_block_locations(make_file, block_order):
    counts = {2: 0, 5: 7, 9: 1, 11: 30}
    blocks = [Aperture(number, [pulse(1, 1)] * count) for number, count in counts.items()]
    if block_order == "reversed":
        blocks.reverse()
    pulse_file = PulseFile(apertures=blocks)
    pulse_file.index_entries = sorted(zip([block.number for block in blocks], pulse_file.block_locations()))
    path = make_file(pulse_file)
    index = zpd.FileIndex.read(path)
    assert index.numbers.tolist() == sorted(counts)
    assert index.records.tolist() == [counts[number] for number in sorted(counts)]


def missing_aperture_message(path: str, aperture: int) -> str:
    with PulseReader(path) as reader, pytest.raises(RuntimeError) as error:
        reader.get_pulses_many([aperture])
    return f"{path}: {error.value}"


def missing_file_message(path: str) -> str:
    with pytest.raises(RuntimeError) as error:
        PulseReader(path)
    return f"{path}: {error.value}"


@pytest.mark.parametrize("problem", ["missing file", "absent aperture"])
def test_planning_raises_the_module_message_with_the_file_name(runs, tmp_path, problem):
    paths, numbers = runs
    if problem == "missing file":
        bad = str(tmp_path / "gone.pulses.bin")
        given, apertures, message = [paths[0], bad], None, missing_file_message(bad)
    else:  # in the first file, not in the second
        aperture = min(set(numbers[0]) - set(numbers[1]))
        given, apertures, message = paths, [aperture], missing_aperture_message(str(paths[1]), aperture)
    with pytest.raises(RuntimeError) as error:
        zpd.read_pulses(given, apertures)
    assert str(error.value) == message


def test_file_changed_after_planning_fails_the_task_with_its_name(runs, client, tmp_path):
    path = tmp_path / "changing.pulses.bin"
    path.write_bytes(runs[0][0].read_bytes())
    frame = zpd.read_pulses([runs[0][1], path], partition_records=SMALL_PARTITIONS)
    os.truncate(path, path.stat().st_size - 12)
    with pytest.raises(RuntimeError, match=f"^{re.escape(str(path))}: file changed since the frame was planned"):
        frame.compute(scheduler=client)


def test_relative_paths_are_resolved_for_workers_elsewhere(runs, monkeypatch):
    paths, _ = runs
    monkeypatch.chdir(paths[0].parent)
    frame = zpd.read_pulses(["c.pulses.bin", Path("a.pulses.bin")])
    assert list(frame._meta["file"].cat.categories) == [str(paths[2]), str(paths[1])]
