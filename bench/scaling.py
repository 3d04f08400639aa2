"""Whole runs at the largest size: whole iter_pulses and iter_all_records walks in bounded
memory (each in a fresh child process), summary() against pread of the file, opening cost and
memory."""

from __future__ import annotations

import os

from benchlib import MIB, fmt_ratio, fmt_time, held, log, measure, pread_file, run_child


def walk_rows(walks: dict, batch_records: int) -> list[str]:
    """The walks' peak memory against their largest batch's frame."""
    rows = []
    for kind, result in walks.items():
        growth, biggest = result["peak"] - result["rss_before"], result["biggest_batch"]
        name = "iter_pulses" if kind == "pulses" else "iter_all_records"
        rows.append(f"| {name}(batch_records={batch_records:,}): peak RSS growth during the walk, the previous "
                    f"batch held | {growth / MIB:,.0f} MiB | largest batch's frame | {biggest / MIB:,.1f} MiB "
                    f"| {fmt_ratio(growth / biggest)} | ≤2.5x | {held(growth <= 2.5 * biggest)} |")
    return rows


def section(ctx) -> list[str]:
    """The largest run: a whole walk in bounded memory, summary against pread, and opening."""
    import numpy as np

    import zyn_pulse_reader as z

    cfg = ctx.cfg
    shape = ctx.chip(cfg["chips"][1], seed=21)
    large = ctx.chip(cfg["chips"][0], seed=20)
    t_large = ctx.bulk_timings.get(cfg["chips"][0])
    log(f"scaling run, {shape['apertures']:,} apertures")
    batch_records = 1_048_576
    walks = {kind: run_child(["iter", shape["path"], str(batch_records), kind]) for kind in ("pulses", "records")}
    walk_result = walks["pulses"]
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
        *walk_rows(walks, batch_records),
        f"| summary() | {fmt_time(t['summary'])} | pread of the file | {fmt_time(t['pread'])} "
        f"| {fmt_ratio(t['summary'] / t['pread'])} | ≤1.5x | {held(t['summary'] / t['pread'] <= 1.5)} |",
        *per_record,
        f"| PulseReader(file) + close | {fmt_time(t['open'])} | – | – | – | <100 ms | {held(t['open'] < 0.1)} |",
        f"| PulseReader(file): RSS growth (peak) | {open_growth / MIB:,.1f} MiB | – | – | – | <96 MiB "
        f"| {held(open_growth < 96 * MIB)} |",
        f"| `apertures` property | {fmt_time(t['apertures'])} | – | – | – | – | – |",
        "",
    ]
