"""Threads over many small apertures: per-aperture calls from a pool of two threads (a reader
per thread) against one thread and against one bulk call. No target: the figures the
guide's threads section quotes."""

from __future__ import annotations

import threading
from concurrent.futures import ThreadPoolExecutor

from benchlib import fmt_ratio, fmt_time, log, measure


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



def section(ctx) -> list[str]:
    import numpy as np

    import zyn_pulse_reader as z

    cfg = ctx.cfg
    large = ctx.chip(cfg["chips"][0], seed=20)
    log("threads")
    with z.PulseReader(large["path"]) as reader:
        rows = thread_rows(reader, large["path"], np.load(large["sizes"]), cfg, np)
    return [
        "## Threads over many small apertures",
        "",
        f"The first {cfg['thread_apertures']:,} apertures of 30 records or fewer of the {large['apertures']:,}-aperture "
        f"run; every variant checked to find the same number of pulses, then timed once. "
        "No target: the figures the guide's threads section quotes.",
        "",
        "| pattern | apertures | time | / one thread |",
        "|---|---:|---:|---:|",
        *rows,
        "",
    ]
