"""Whole runs: the bulk calls (get_pulses_many, get_all_records_many, iter_pulses,
iter_all_records, summary) on the run file and the chip-like run of 1,000,000 apertures.

Each call is checked against the per-aperture calls it is defined by, then timed against
floors measured in the same run: pread of the whole file into a ready buffer, and one
DataFrame of the result's size built from ready columns.
"""

from __future__ import annotations

import os

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
)
from datasets import check_sample

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
         f"{fmt_time(t['rec_frame'])}", floor_rec, "≤1.5x floor", t["rec_many"] / floor_rec <= 1.5),
        ("get_all_records_many(), first call in a fresh process", t["first"], "later calls there", t["later"],
         "≤1.5x", t["first"] / t["later"] <= 1.5),
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
                   f"| ≤1.25x | {held(ratio <= 1.25)} |")
    return out


def section(ctx) -> list[str]:
    """Checks and times the bulk calls on the run file and the large chip run; keeps the
    timings in ctx.bulk_timings for the scaling family."""
    import numpy as np
    import pandas as pd

    import zyn_pulse_reader as z

    cfg = ctx.cfg
    shapes = ctx.shapes()
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
        first = run_child(["first", shape["path"]])
        timings[shape["apertures"]].update(first=first["first"], later=first["later"])
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
        f"({cfg['summary_repeats']} for summary and the groupby). The first call runs in a fresh process that has "
        "imported NumPy and pandas and made an empty frame; it is compared with the median of three later calls "
        "there (fresh memory and page faults count). The runs' files are in the page cache.",
        "",
        "| scenario | apertures | module | compared with | other | ratio | target | status |",
        "|---|---:|---:|---|---:|---:|---|---|",
        *rows,
        "",
    ]
    ctx.bulk_timings = timings
    return lines
