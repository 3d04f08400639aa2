#!/usr/bin/env python3
"""Many runs on Dask: zyn_pulse_tools.dask on a local cluster against one process.

    python bench/dask_bench.py [--apertures N] [--repeats R] [--data DIR] [--out bench/results.md]

Writes 8 chip-like runs (most apertures hold 0 to 30 records, about 5 % hold thousands; every
record kind) into a temporary directory (or DIR, reused when present), then times two jobs
over all 8 runs, each checked equal first:

  * the per-aperture summary: ``read_summary(...).compute()`` against a loop of
    ``PulseReader.summary`` + ``pandas.concat``;
  * pulses per aperture and their mean duration across the runs: a groupby over ``read_pulses``
    against a loop of ``get_pulses_many`` + the same groupby per run, added up.

The cluster is a ``distributed.LocalCluster`` of 2 worker processes with 1 thread each. The
loop's CPU time over its wall time shows how busy one process keeps the cores on its own. It
also times planning (the ``read_*`` call itself) on 8 runs of 1,000,000 apertures, and the
workers' peak resident memory against one partition's frame. The Markdown section
"## Many runs on Dask" replaces any earlier one at the end of --out, or is appended there.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import resource
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import gen  # noqa: E402

RUNS = 8
HEADING = "## Many runs on Dask"
MIB = 1 << 20
PARTITION_RECORDS = 4_000_000


def log(*parts: object) -> None:
    print(*parts, file=sys.stderr, flush=True)


def chip_sizes(rng: np.random.Generator, apertures: int) -> np.ndarray:
    """Records per aperture: 0 to 30 for most, 1,000 to 5,000 for about 5 %."""
    sizes = rng.integers(0, 31, apertures)
    large = rng.random(apertures) < 0.05
    sizes[large] = rng.integers(1_000, 5_001, int(large.sum()))
    return sizes


def write_runs(folder: Path, apertures: int) -> list[str]:
    """The 8 runs, reused when a previous call wrote the same ones into `folder`."""
    manifest = folder / "dask_runs.json"
    paths = [str(folder / f"run{k}.pulses.bin") for k in range(RUNS)]
    wanted = {"apertures": apertures, "paths": paths, "generator": 2}
    if manifest.exists() and json.loads(manifest.read_text()) == wanted and all(map(os.path.exists, paths)):
        log(f"reusing the runs in {folder}")
        return paths
    cols = 500
    for k, path in enumerate(paths):
        rng = np.random.default_rng(100 + k)
        info = gen.write_pulse_file(path, chip_sizes(rng, apertures), seed=200 + k, cols=cols)
        log(f"{path}: {apertures:,} apertures, {info['records']:,} records, {info['bytes'] / MIB:,.0f} MiB")
    manifest.write_text(json.dumps(wanted))
    return paths


def write_planning_runs(folder: Path) -> list[str]:
    """8 names of one run of 1,000,000 small apertures (hard links: planning reads each name)."""
    first = folder / "plan0.pulses.bin"
    if not first.exists():
        sizes = np.random.default_rng(7).integers(0, 4, 1_000_000)
        gen.write_pulse_file(str(first), sizes, seed=7, cols=1000)
    paths = [first] + [folder / f"plan{k}.pulses.bin" for k in range(1, RUNS)]
    for path in paths[1:]:
        if not path.exists():
            os.link(first, path)
    return [str(p) for p in paths]


# -- the two jobs, in one process and on the cluster --------------------------------------


def summary_loop(paths: list[str]) -> pd.DataFrame:
    from zyn_pulse_reader import PulseReader

    frames = []
    for path in paths:
        with PulseReader(path) as reader:
            frames.append(reader.summary())
    return pd.concat(frames)


def rate_loop(paths: list[str]) -> pd.DataFrame:
    """Pulses per aperture and their mean duration across all runs, one run at a time (frame
    counts, so that the sums are exact whatever the order of the additions)."""
    from zyn_pulse_reader import PulseReader

    total = None
    for path in paths:
        with PulseReader(path) as reader:
            pulses = reader.get_pulses_many()
        part = pulses.groupby("aperture_index")["dur_f"].agg(["count", "sum"])
        del pulses
        total = part if total is None else total.add(part, fill_value=0)
    assert total is not None
    return finish_rate(total)


def finish_rate(total: pd.DataFrame) -> pd.DataFrame:
    return pd.DataFrame({"pulses": total["count"].astype(np.int64), "dur_f_mean": total["sum"] / total["count"]})


def summary_dask(paths: list[str], client) -> pd.DataFrame:
    from zyn_pulse_tools.dask import read_summary

    return read_summary(paths).compute(scheduler=client)


def rate_dask(paths: list[str], client) -> pd.DataFrame:
    from zyn_pulse_tools.dask import read_pulses

    pulses = read_pulses(paths, partition_records=PARTITION_RECORDS)
    # One tree reduction: the per-aperture table is small, no shuffle is needed.
    total = pulses.groupby("aperture_index")["dur_f"].agg(["count", "sum"], split_out=1).compute(scheduler=client)
    return finish_rate(total.sort_index())


def timed(fn, repeats: int) -> tuple[float, float]:
    """Median wall time and the CPU time over wall time of this process, over the repeats."""
    walls, busy = [], []
    for _ in range(repeats):
        cpu, wall = time.process_time(), time.perf_counter()
        fn()
        wall = time.perf_counter() - wall
        walls.append(wall)
        busy.append((time.process_time() - cpu) / wall)
    return statistics.median(walls), statistics.median(busy)


def worker_peak_rss(client) -> list[float]:
    """Peak resident memory of each worker process, in MiB."""
    def peak() -> float:
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024

    return [round(v, 1) for v in client.run(peak).values()]


def planning_time(paths: list[str], repeats: int) -> float:
    from zyn_pulse_tools.dask import read_pulses

    def plan() -> None:
        read_pulses(paths)

    return timed(plan, repeats)[0]


# -- report --------------------------------------------------------------------------------


def versions() -> str:
    import dask
    import distributed

    return (f"Python {platform.python_version()}, NumPy {np.__version__}, pandas {pd.__version__}, "
            f"dask {dask.__version__}, distributed {distributed.__version__}")


def fmt(seconds: float) -> str:
    return f"{seconds * 1e3:.0f} ms" if seconds < 1 else f"{seconds:.2f} s"


def section(rows: list[tuple[str, float, float, float, str]], facts: list[str]) -> str:
    lines = [HEADING, "", *facts, "",
             "| job over 8 runs | one process (loop) | loop CPU / wall | 2-worker cluster | cluster / loop | target |",
             "|---|---:|---:|---:|---:|---|"]
    for job, loop, busy, cluster, target in rows:
        lines.append(f"| {job} | {fmt(loop)} | {busy:.2f} | {fmt(cluster)} | {cluster / loop:.2f}x | {target} |")
    return "\n".join(lines) + "\n"


def write_section(out: Path, text: str) -> None:
    """Replaces the section at the end of `out`, or appends it; the rest stays as it is."""
    old = out.read_text(encoding="utf-8") if out.exists() else ""
    head = old.split(f"\n{HEADING}\n", 1)[0].rstrip("\n")
    out.write_text((head + "\n\n" if head else "") + text, encoding="utf-8")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--apertures", type=int, default=100_000, help="apertures per run (default 100,000)")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--data", type=Path, help="folder for the runs, reused when present")
    parser.add_argument("--out", type=Path, default=HERE / "results.md")
    args = parser.parse_args()

    import distributed

    with tempfile.TemporaryDirectory() as scratch:
        folder = args.data or Path(scratch)
        folder.mkdir(parents=True, exist_ok=True)
        paths = write_runs(folder, args.apertures)
        plan_paths = write_planning_runs(folder)
        total_bytes = sum(os.path.getsize(p) for p in paths)

        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                           host="127.0.0.1", dashboard_address=None)
        client = distributed.Client(cluster)
        try:
            log("checking that the cluster computes what the loop does")
            pd.testing.assert_frame_equal(summary_dask(paths, client).drop(columns="file"), summary_loop(paths))
            pd.testing.assert_frame_equal(rate_dask(paths, client), rate_loop(paths))

            log("timing")
            rows = []
            for job, loop_fn, dask_fn, target in (
                ("read_summary(...).compute()", summary_loop, summary_dask, "≤0.65x (≤1.1x where the loop keeps both cores busy)"),
                ("read_pulses + groupby(aperture_index)", rate_loop, rate_dask, "≤0.8x (≤1.1x where the loop keeps both cores busy)"),
            ):
                loop, busy = timed(lambda: loop_fn(paths), args.repeats)
                cluster_time, _ = timed(lambda: dask_fn(paths, client), args.repeats)
                rows.append((job, loop, busy, cluster_time, target))
                log(f"{job}: loop {fmt(loop)} (CPU/wall {busy:.2f}), cluster {fmt(cluster_time)}")
            peaks = worker_peak_rss(client)
        finally:
            client.close()
            cluster.close()

        from zyn_pulse_tools.dask import read_pulses

        one_partition = read_pulses(paths[0], partition_records=PARTITION_RECORDS).get_partition(0).compute(
            scheduler="sync")
        partition_mib = one_partition.memory_usage(deep=True).sum() / MIB
        plan = planning_time(plan_paths, args.repeats)
        plan_small = planning_time(paths, args.repeats)

    load = os.getloadavg()
    facts = [
        f"- {versions()}; {os.cpu_count()} cores; load average at the end {load[0]:.2f} (the machine may be shared: "
        "figures from a busy machine are provisional)",
        f"- 8 runs of {args.apertures:,} apertures, {total_bytes / MIB:,.0f} MiB in all, in the page cache; most "
        "apertures hold 0 to 30 records, about 5 % hold 1,000 to 5,000; every record kind.",
        f"- Cluster: `distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True)`, started once "
        f"before timing. read_pulses with partition_records={PARTITION_RECORDS:,}. Medians of {args.repeats} runs; "
        "both jobs are checked equal to the loop first.",
        f"- Planning (the `read_pulses` call alone): {fmt(plan)} for 8 runs of 1,000,000 apertures (target < 1 s); "
        f"{fmt(plan_small)} for the 8 runs above.",
        f"- Workers' peak resident memory: {', '.join(f'{p:,.0f} MiB' for p in peaks)}; one partition's pulse "
        f"frame: {partition_mib:,.0f} MiB (the worker's interpreter, NumPy, pandas and Dask come on top).",
    ]
    text = section(rows, facts)
    print(text)
    write_section(args.out, text)


if __name__ == "__main__":
    main()
