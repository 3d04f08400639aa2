"""Whole-run scenarios on chip-like runs: many apertures, most with a few records.

A chip run has one aperture per well of a full grid (rows x cols, every x and y set), most
of them with 0 to 30 records and about 5 % with thousands, blocks back to back. The bulk
calls (get_pulses_many, get_all_records_many, iter_pulses, summary) are checked against the
per-aperture calls they are defined by, then timed against floors measured in the same run:
pread of the whole file into a ready buffer, and one DataFrame of the result's size built
from ready columns. Peak memory and opening cost are measured in fresh child processes.
"""

from __future__ import annotations

import json
import os
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from benchlib import (
    MIB,
    fmt_ratio,
    fmt_time,
    held,
    log,
    measure,
    pread_file,
    pulses_frame_floor,
    ready_columns,
    records_frame_floor,
    run_child,
    time_writer,
)

GENERATOR_VERSION = 2  # bump when gen.chip_sizes or zyn_pulse_tools.simulate changes
MEAN_COLUMNS = ("dur_f", "ipd_f", "snr", "intensity", "binratio")
SUMMARY_COLUMNS = (
    "aperture_x",
    "aperture_y",
    "records",
    "pulses",
    "nonfinite",
    *(f"{c}_mean" for c in MEAN_COLUMNS),
    "first_start_f",
    "last_end_f",
    "error",
)


# -- data ------------------------------------------------------------------------------


def make_chip_run(workdir: Path, apertures: int, seed: int) -> dict:
    """Writes (or reuses) a chip run of `apertures` wells; its record counts go beside it."""
    import numpy as np

    import gen

    path = workdir / f"chip_{apertures}.bin"
    sizes_path = workdir / f"chip_{apertures}.sizes.npy"
    info_path = workdir / f"chip_{apertures}.json"
    if info_path.exists() and path.exists() and sizes_path.exists():
        info = json.loads(info_path.read_text())
        if info.get("version") == GENERATOR_VERSION:
            log(f"reusing {path}")
            return info
    t = time.perf_counter()
    cols = 1000 if apertures >= 1_000_000 else 250
    cols = 2000 if apertures >= 4_000_000 else cols
    rows = -(-apertures // cols)
    rng = np.random.default_rng(seed)
    sizes = gen.chip_sizes(rng, rows * cols)
    written = gen.write_pulse_file(str(path), sizes, seed=seed, cols=cols)
    np.save(sizes_path, sizes)
    info = {
        "version": GENERATOR_VERSION,
        "path": str(path),
        "sizes": str(sizes_path),
        "apertures": rows * cols,
        "rows": rows,
        "cols": cols,
        "records": written["records"],
        "bytes": written["bytes"],
    }
    info_path.write_text(json.dumps(info))
    log(f"chip run: {rows * cols:,} apertures, {written['records']:,} records, {written['bytes'] / MIB:,.0f} MiB, "
        f"written in {time.perf_counter() - t:.1f} s")
    return info


def check_sample(sizes, count: int, seed: int) -> list[int]:
    """Apertures to check one by one: the largest, some empty ones, the ends and a random mix."""
    import numpy as np

    rng = np.random.default_rng(seed)
    order = np.argsort(sizes, kind="stable")
    empty = np.flatnonzero(sizes == 0)
    picked = {0, len(sizes) - 1, *order[-10:].tolist(), *empty[:5].tolist()}
    picked.update(rng.choice(len(sizes), min(count, len(sizes)), replace=False).tolist())
    return sorted(picked)


# -- checks ----------------------------------------------------------------------------


def expected_summary(reader, apertures, pd, np):
    """The summary rows of `apertures` built from get_pulses and get_all_records."""
    rows = []
    for a in apertures:
        pulses, records = reader.get_pulses(a), reader.get_all_records(a)
        n = len(pulses)
        row = {
            "aperture_x": pulses.attrs["aperture_x"],
            "aperture_y": pulses.attrs["aperture_y"],
            "records": len(records),
            "pulses": n,
            "nonfinite": int((~np.isfinite(pulses[["snr", "intensity", "binratio"]].to_numpy())).any(axis=1).sum()),
        }
        for c in MEAN_COLUMNS:
            # cumsum adds in row order, as the definition says (sum() would add pairwise), over
            # the finite values; ipd_f over the pulses after the first (the gaps).
            values = pulses[c].to_numpy(np.float64)[1 if c == "ipd_f" else 0 :]
            values = values[np.isfinite(values)]
            row[f"{c}_mean"] = np.cumsum(values)[-1] / len(values) if len(values) else np.nan
        row["first_start_f"] = int(pulses["start_f"].iloc[0]) if n else 0
        row["last_end_f"] = int(pulses["end_f"].iloc[-1]) if n else 0
        row["error"] = None
        rows.append(row)
    frame = pd.DataFrame(rows, columns=list(SUMMARY_COLUMNS))
    dtypes = {"aperture_x": "uint32", "aperture_y": "uint32", "records": "uint64", "pulses": "uint64",
              "nonfinite": "uint64", "first_start_f": "uint32", "last_end_f": "uint32", "error": object}
    frame = frame.astype(dtypes)
    frame.index = pd.Index(np.asarray(apertures, dtype=np.uint64), name="aperture_index")
    return frame


def rows_of(frame, np, apertures: list[int]):
    """The rows of `apertures`, in that order, of a bulk result whose apertures ascend."""
    column = frame["aperture_index"].to_numpy()
    wanted = np.asarray(apertures, dtype=column.dtype)
    lo, hi = np.searchsorted(column, wanted), np.searchsorted(column, wanted + 1)
    positions = np.concatenate([np.arange(a, b) for a, b in zip(lo, hi)])
    part = frame.iloc[positions]
    part.attrs = {}
    return part


def concat_per_aperture(frames: list, apertures: list[int], pd, np, number: bool):
    """pandas.concat of per-aperture frames, with "aperture_index" put first when `number`."""
    whole = pd.concat(frames)
    if number:
        counts = [len(f) for f in frames]
        whole.insert(0, "aperture_index", np.repeat(np.asarray(apertures, dtype=np.uint64), counts))
    whole.attrs = {}
    return whole


def check_bulk_calls(reader, sizes, sample, pd, np) -> dict:
    """Checks every bulk call on the whole run against the per-aperture calls on `sample`.

    Whole-run facts are checked on every aperture: record counts, the order of the rows, the
    iter_pulses batches against get_pulses_many (batch by batch, so memory stays one result),
    and the summary's pulse columns against a pandas groupby of get_pulses_many.
    """
    apertures = reader.apertures
    base_attrs = {k: v for k, v in reader.get_pulses(apertures[0]).attrs.items() if not k.startswith("aperture_")}
    many = reader.get_pulses_many()
    assert many.attrs == base_attrs, (many.attrs, base_attrs)
    assert (np.diff(many["aperture_index"].to_numpy().astype(np.int64)) >= 0).all()
    records = reader.get_all_records_many()
    assert records.attrs == base_attrs and records.columns[0] == "aperture_index"
    assert records["aperture_index"].dtype == np.uint64
    assert np.array_equal(np.bincount(records["aperture_index"].to_numpy().astype(np.int64), minlength=len(sizes)), sizes)
    # One comparison of the concatenated frames: per aperture, pandas' checks would cost more
    # than everything else here.
    expected = concat_per_aperture([reader.get_pulses(a) for a in sample], sample, pd, np, False)
    pd.testing.assert_frame_equal(rows_of(many, np, sample), expected, check_exact=True)
    expected = concat_per_aperture([reader.get_all_records(a) for a in sample], sample, pd, np, True)
    pd.testing.assert_frame_equal(rows_of(records, np, sample), expected, check_exact=True)
    del records, expected

    offset, previous_last = 0, None
    for batch in reader.iter_pulses():
        part = many.iloc[offset : offset + len(batch)]
        pd.testing.assert_frame_equal(batch, part, check_exact=True)
        first = batch["aperture_index"].iloc[0] if len(batch) else None
        assert previous_last is None or first is None or first != previous_last, "an aperture split over two batches"
        previous_last = batch["aperture_index"].iloc[-1] if len(batch) else previous_last
        offset += len(batch)
    assert offset == len(many)

    summary = reader.summary()
    assert summary.index.name == "aperture_index" and summary.index.dtype == np.uint64
    assert list(summary.columns) == list(SUMMARY_COLUMNS) and summary.attrs == base_attrs
    assert np.array_equal(summary["records"].to_numpy(), sizes)
    expected = expected_summary(reader, sample, pd, np)
    pd.testing.assert_frame_equal(summary.loc[expected.index], expected, check_exact=True)
    grouped = groupby_summary(many, np)
    got = summary.loc[grouped.index]
    for c in ("pulses", "first_start_f", "last_end_f"):
        assert np.array_equal(got[c].to_numpy(), grouped[c].to_numpy()), c
    for c in MEAN_COLUMNS:
        a, b = got[f"{c}_mean"].to_numpy(), grouped[f"{c}_mean"].to_numpy()
        assert np.array_equal(np.isnan(a), np.isnan(b)), c
        finite = np.isfinite(a) & np.isfinite(b)
        assert np.allclose(a[finite], b[finite], rtol=1e-9, atol=0), c
    assert int(summary["pulses"].sum()) == len(many)
    return {"pulses": len(many), "records": int(sizes.sum())}


def groupby_summary(pulses, np):
    """The summary's pulse columns as pandas computes them from get_pulses_many's frame:
    non-finite values left out of the means (as NaN, which pandas skips), and each aperture's
    first ipd_f, which is no gap."""
    frame = pulses[["aperture_index", "start_f", "end_f", *MEAN_COLUMNS]].astype({c: np.float64 for c in MEAN_COLUMNS})
    for c in MEAN_COLUMNS:
        frame.loc[~np.isfinite(frame[c].to_numpy()), c] = np.nan
    numbers = frame["aperture_index"].to_numpy()
    first = np.r_[True, numbers[1:] != numbers[:-1]]
    frame.loc[first, "ipd_f"] = np.nan
    spec = {"pulses": ("start_f", "size")}
    spec.update({f"{c}_mean": (c, "mean") for c in MEAN_COLUMNS})
    spec.update(first_start_f=("start_f", "first"), last_end_f=("end_f", "last"))
    return frame.groupby("aperture_index", sort=False).agg(**spec)


# -- timing ----------------------------------------------------------------------------


def walk(batches) -> None:
    for _ in batches:
        pass


def time_bulk_calls(reader, shape: dict, cfg: dict, pd, np) -> dict:
    """Medians of the bulk calls and their floors on one run (see the module's docstring)."""
    reps = cfg["chip_repeats"]
    fd = os.open(shape["path"], os.O_RDONLY)
    buffer = bytearray(shape["bytes"])
    read = lambda: pread_file(fd, buffer)  # noqa: E731
    t = {}
    kinds = (
        ("", reader.get_pulses_many, reader.iter_pulses, True, pulses_frame_floor),
        ("rec_", reader.get_all_records_many, reader.iter_all_records, False, records_frame_floor),
    )
    try:
        for prefix, bulk, batches, with_index, floor in kinds:
            result = bulk()
            attrs = dict(result.attrs)
            cols = ready_columns(result, with_index)
            del result
            timed = measure(
                {
                    "many": bulk,
                    "iter": lambda: walk(batches()),  # noqa: B023  (measured within the iteration)
                    "pread": read,
                    "frame": lambda: floor(pd, cols, attrs),  # noqa: B023
                },
                reps,
                min_batch=0,
            )
            del cols
            t.update({prefix + k: v for k, v in timed.items()})
        t_sum = measure(
            {
                "summary": reader.summary,
                "groupby": lambda: groupby_summary(reader.get_pulses_many(), np),
                "pread": read,
            },
            cfg["summary_repeats"],
            min_batch=0,
            warm_each=False,  # seconds-long calls; the groupby alone takes several
        )
    finally:
        os.close(fd)
    return {**t, **{f"sum_{k}": v for k, v in t_sum.items()}}


def bulk_rows(shape: dict, t: dict) -> list[str]:
    """Table rows of one run's bulk-call timings against their targets."""
    name = f"{shape['apertures']:,}"
    floor = t["pread"] + t["frame"]
    floor_rec = t["rec_pread"] + t["rec_frame"]
    rows = [
        ("get_pulses_many()", t["many"], f"floor: pread {fmt_time(t['pread'])} + DataFrame {fmt_time(t['frame'])}",
         floor, "≤2x floor", t["many"] / floor <= 2),
        ("get_all_records_many()", t["rec_many"], f"floor: pread {fmt_time(t['rec_pread'])} + DataFrame "
         f"{fmt_time(t['rec_frame'])}", floor_rec, "≤2x floor", t["rec_many"] / floor_rec <= 2),
        ("iter_pulses(), whole walk", t["iter"], "get_pulses_many()", t["many"], "≤1.3x", t["iter"] / t["many"] <= 1.3),
        ("iter_all_records(), whole walk", t["rec_iter"], "get_all_records_many()", t["rec_many"], "–", None),
        ("summary()", t["sum_summary"], "pread of the file", t["sum_pread"], "≤1.5x",
         t["sum_summary"] / t["sum_pread"] <= 1.5),
        ("summary()", t["sum_summary"], "get_pulses_many() + pandas groupby", t["sum_groupby"], "≥10x faster",
         t["sum_groupby"] / t["sum_summary"] >= 10),
    ]
    out = []
    for label, mod, other_label, other, target, ok in rows:
        faster = target.endswith("faster")
        ratio = fmt_ratio(other / mod) + " faster" if faster else fmt_ratio(mod / other)
        out.append(f"| {label} | {name} | {fmt_time(mod)} | {other_label} | {fmt_time(other)} | {ratio} | {target} "
                   f"| {'–' if ok is None else held(ok)} |")
    return out


def per_record_rows(small: dict, large: dict, t_small: dict, t_large: dict) -> list[str]:
    out = []
    for key, label in (("many", "get_pulses_many()"), ("rec_many", "get_all_records_many()")):
        per_small = t_small[key] / small["records"]
        per_large = t_large[key] / large["records"]
        ratio = per_large / per_small
        out.append(f"| {label}, time per record | {large['apertures']:,} | {per_large * 1e9:.2f} ns "
                   f"| same on {small['apertures']:,} apertures | {per_small * 1e9:.2f} ns | {fmt_ratio(ratio)} "
                   f"| ≤1.3x | {held(ratio <= 1.3)} |")
    return out


# -- threads ---------------------------------------------------------------------------


def thread_rows(reader, path: str, sizes, cfg: dict, np) -> list[str]:
    """Per-aperture calls from a thread pool against one thread and against one bulk call."""
    small = np.flatnonzero(sizes <= 30)[: cfg["thread_apertures"]].tolist()
    local = threading.local()
    opened = []

    def count_pulses(aperture: int) -> int:
        if not hasattr(local, "reader"):
            local.reader = type(reader)(path)
            opened.append(local.reader)
        return len(local.reader.get_pulses(aperture))

    def pooled() -> int:
        with ThreadPoolExecutor(max_workers=2) as pool:
            return sum(pool.map(count_pulses, small))

    counts = {
        "one thread": sum(len(reader.get_pulses(a)) for a in small),
        "pool": pooled(),
        "many": len(reader.get_pulses_many(small)),
    }
    assert len(set(counts.values())) == 1, counts
    t = measure(
        {
            "one thread": lambda: [reader.get_pulses(a) for a in small],
            "pool": pooled,
            "many": lambda: reader.get_pulses_many(small),
        },
        1,  # seconds-long loops; the checking run above warmed every variant
        min_batch=0,
        warm_each=False,
    )
    for r in opened:
        r.close()
    n = f"{len(small):,}"
    return [
        f"| get_pulses per aperture, one thread | {n} | {fmt_time(t['one thread'])} | 1.00x |",
        f"| get_pulses per aperture, `pool.map` on 2 threads (a reader per thread) | {n} | {fmt_time(t['pool'])} "
        f"| {fmt_ratio(t['pool'] / t['one thread'])} |",
        f"| get_pulses_many(apertures), one call | {n} | {fmt_time(t['many'])} | {fmt_ratio(t['many'] / t['one thread'])} |",
    ]


# -- child processes -------------------------------------------------------------------


def child_call(op: str, args: list[str]):
    """The call a child process measures for `op` ("iter" or "open"), after its imports."""
    import numpy  # noqa: F401  (the baseline counts the interpreter, NumPy and pandas)
    import pandas  # noqa: F401

    import zyn_pulse_reader as z

    kept = []
    if op == "open":
        return lambda: kept.append(z.PulseReader(args[0])) or {}
    reader = z.PulseReader(args[0])
    batch_records = int(args[1])

    def walk_batches() -> dict:
        biggest, rows = 0, 0
        for batch in reader.iter_pulses(batch_records=batch_records):
            biggest = max(biggest, int(batch.memory_usage(index=True).sum()))
            rows += len(batch)
        return {"biggest_batch": biggest, "rows": rows}

    return walk_batches


# -- the sections ----------------------------------------------------------------------


def whole_run_section(z, pd, np, shapes: list[dict], cfg: dict) -> tuple[list[str], dict]:
    """Checks and times the bulk calls on every shape; returns the table and the timings."""
    rows, timings, notes = [], {}, []
    for shape in shapes:
        log(f"bulk calls on {shape['apertures']:,} apertures: checks")
        sizes = np.load(shape["sizes"])
        full = len(sizes) <= cfg["check_all_below"]
        sample = list(range(len(sizes))) if full else check_sample(sizes, cfg["chip_check_sample"], 7)
        with z.PulseReader(shape["path"]) as reader:
            counts = check_bulk_calls(reader, sizes, sample, pd, np)
            log("  timing")
            timings[shape["apertures"]] = time_bulk_calls(reader, shape, cfg, pd, np)
        shape["pulses"] = counts["pulses"]
        rows += bulk_rows(shape, timings[shape["apertures"]])
        notes.append(
            f"{shape['apertures']:,} apertures: {shape['records']:,} records, {counts['pulses']:,} pulses, "
            f"{shape['bytes'] / MIB:,.0f} MiB; checked per aperture on "
            + ("every aperture" if full else f"{len(sample):,} apertures (the 10 largest, 5 empty, the first, the last "
               "and a random mix)")
        )
    small, large = shapes[0], shapes[1]
    rows += per_record_rows(small, large, timings[small["apertures"]], timings[large["apertures"]])
    lines = [
        "## Whole runs: bulk calls",
        "",
        "Runs: " + "; ".join(notes) + ". Before timing, every call is checked against the per-aperture calls "
        "(`get_pulses`, `get_all_records`) on those apertures, frames exactly; on every aperture, the record counts, "
        "the `iter_pulses` batches against `get_pulses_many()` (whole apertures per batch) and the summary's pulse "
        "columns against the pandas groupby. Floors: pread of the whole file into a preallocated buffer + one "
        "DataFrame of the result's size from ready columns. The groupby computes the same pulse columns (count, "
        f"float64 means, first start, last end) from `get_pulses_many()`. Repeats: {cfg['chip_repeats']} "
        f"({cfg['summary_repeats']} for summary and the groupby).",
        "",
        "| scenario | apertures | module | compared with | other | ratio | target | status |",
        "|---|---:|---:|---|---:|---:|---|---|",
        *rows,
        "",
    ]
    return lines, timings


def scaling_section(z, np, shape: dict, large: dict | None, t_large: dict | None, cfg: dict) -> list[str]:
    """The largest run: a whole walk in bounded memory, summary against pread, and opening."""
    log(f"scaling run, {shape['apertures']:,} apertures")
    batch_records = 1_048_576
    walk_result = run_child(["iter", shape["path"], str(batch_records)])
    growth = walk_result["peak"] - walk_result["rss_before"]
    biggest = walk_result["biggest_batch"]
    opened = run_child(["open", shape["path"]])
    open_growth = opened["peak"] - opened["rss_before"]

    fd = os.open(shape["path"], os.O_RDONLY)
    buffer = bytearray(shape["bytes"])
    reader = z.PulseReader(shape["path"])
    summary = reader.summary()
    assert len(summary) == shape["apertures"]
    assert np.array_equal(summary["records"].to_numpy(), np.load(shape["sizes"]))
    del summary

    def open_close():
        z.PulseReader(shape["path"]).close()

    t = measure(
        {
            "summary": reader.summary,
            "pread": lambda: pread_file(fd, buffer),
            "open": open_close,
            "apertures": lambda: reader.apertures,
        },
        cfg["summary_repeats"],
        min_batch=0,
    )
    reader.close()
    os.close(fd)
    del buffer
    per_record = []
    if t_large is not None:  # the bulk section ran: compare the cost per record with its run
        for label, seconds, key in (("iter_pulses()", walk_result["seconds"], "iter"), ("summary()", t["summary"], "sum_summary")):
            here, there = seconds / shape["records"], t_large[key] / large["records"]
            per_record.append(f"| {label}, time per record | {here * 1e9:.2f} ns | same on {large['apertures']:,} "
                              f"apertures | {there * 1e9:.2f} ns | {fmt_ratio(here / there)} | – | – |")
    n = f"{shape['apertures']:,}"
    return [
        f"## Whole runs: {n} apertures",
        "",
        f"{shape['records']:,} records, {shape['bytes'] / MIB:,.0f} MiB. The walk and the opening's memory are "
        "measured in fresh child processes that have imported NumPy and pandas (and, for the walk, opened the "
        "reader) before their RSS is taken; peak RSS via /proc/self/clear_refs as for the writers. The walk is "
        "one run, the rest medians of "
        f"{cfg['summary_repeats']} repeats.",
        "",
        "| scenario | module | compared with | other | ratio | target | status |",
        "|---|---:|---|---:|---:|---|---|",
        f"| iter_pulses(batch_records={batch_records:,}): peak RSS growth during the walk | {growth / MIB:,.0f} MiB "
        f"| largest batch's frame | {biggest / MIB:,.1f} MiB | {fmt_ratio(growth / biggest)} | ≤3x "
        f"| {held(growth <= 3 * biggest)} |",
        f"| summary() | {fmt_time(t['summary'])} | pread of the file | {fmt_time(t['pread'])} "
        f"| {fmt_ratio(t['summary'] / t['pread'])} | ≤1.5x | {held(t['summary'] / t['pread'] <= 1.5)} |",
        *per_record,
        f"| PulseReader(file) + close | {fmt_time(t['open'])} | – | – | – | <100 ms | {held(t['open'] < 0.1)} |",
        f"| PulseReader(file): RSS growth (peak) | {open_growth / MIB:,.1f} MiB | – | – | – | <96 MiB "
        f"| {held(open_growth < 96 * MIB)} |",
        f"| `apertures` property | {fmt_time(t['apertures'])} | – | – | – | – | – |",
        "",
    ]


def writer_rows(z, np, shapes: list[dict], workdir: Path, cfg: dict) -> list[str]:
    """Copying every aperture and merging a run with itself, on every shape."""
    out, out_cp = str(workdir / "out_bulk.bin"), str(workdir / "out_bulk_cp.bin")
    rows = []
    for shape in shapes:
        src = shape["path"]
        with z.PulseReader(src) as reader:
            apertures = reader.apertures
            grid = reader.metadata["rows"] * reader.metadata["cols"]
            probes = check_sample(np.load(shape["sizes"]), 10, 3)
            originals = {a: reader.get_all_records(a) for a in probes}
        for label, child_args, numbers in (
            ("copy_apertures_to_new_file (every aperture)", ["copy", src, out, "1"], apertures),
            ("merge_pulse_files (the run with itself)", ["merge", src, src, out], [a + grid for a in apertures]),
        ):
            log(f"  {label}, {shape['apertures']:,} apertures")
            r = time_writer(child_args, out, out_cp, cfg["bulk_writer_repeats"])
            with z.PulseReader(out) as written:
                got = written.apertures
                assert got[-len(numbers):] == numbers, "the written apertures differ"
                renumbered = dict(zip(apertures, numbers))
                for a in probes:
                    left, right = written.get_all_records(renumbered[a]), originals[a]
                    left.attrs, right.attrs = {}, {}
                    assert left.equals(right), f"aperture {a} differs after {label}"
            os.remove(out)
            ok = r["module"] / r["cp"] <= 1.5 and r["growth"] < 64 * MIB
            rows.append(
                f"| {label}, {shape['apertures']:,} apertures | {r['size'] / MIB:,.0f} MiB | {fmt_time(r['module'])} "
                f"| {fmt_time(r['cp'])} | {fmt_ratio(r['module'] / r['cp'])} | {r['growth'] / MIB:.1f} MiB "
                f"| {r['peak'] / MIB:.0f} MiB | ≤1.5x cp, <64 MiB | {held(ok)} |"
            )
    return rows
