"""Per-aperture queries at each size of aperture, against the NumPy reader and the floors, and
the core library alone (bench/core_bench.cpp, no Python).

Every query's frame is checked equal to the NumPy reader's (float columns bit for bit)
before it is timed. Floors: building the same DataFrame from ready NumPy columns, and
reading the aperture's bytes into a preallocated buffer.
"""

from __future__ import annotations

import os

from benchlib import (
    FILTER,
    KEEP_MEMORY,
    assert_same,
    filter_args,
    fmt_ratio,
    fmt_time,
    held,
    log,
    measure,
    pulses_frame_floor,
    ready_columns,
    records_frame_floor,
    run_core,
    run_readers,
)


def section(ctx) -> list[str]:
    import pandas as pd

    import zyn_pulse_reader as z

    cfg, data = ctx.cfg, ctx.data
    run_path = data["run"]["path"]
    lines = []
    with run_readers(run_path) as (module, peer, fd):
        core_exe = ctx.core_exe
        # ---- 1. per-aperture queries at each size -----------------------------------------
        log("per-aperture queries")
        rows = []
        core_rows = []
        for size in cfg["sizes"]:
            a = data["scenario"][str(size)]
            reps = cfg["repeats"][size]
            records = module.get_all_records(a)
            pulses = module.get_pulses(a)
            filtered = module.get_pulses(a, pulse_filter_kwargs=FILTER)
            assert_same(records, peer.get_all_records(a), f"get_all_records({a})")
            assert_same(pulses, peer.get_pulses(a), f"get_pulses({a})")
            assert_same(filtered, peer.get_pulses(a, pulse_filter=FILTER), f"get_pulses({a}, filter)")
            location = records.attrs["aperture_byteloc"]
            buffer = bytearray(16 + 16 * size)
            read = lambda: os.preadv(fd, [buffer], location)  # noqa: E731
            rec_cols, rec_attrs = ready_columns(records, False), dict(records.attrs)
            pul_cols, pul_attrs = ready_columns(pulses, True), dict(pulses.attrs)
            fil_cols, fil_attrs = ready_columns(filtered, True), dict(filtered.attrs)
            pf = z.PulseFilter(**FILTER)
            del records, pulses, filtered
            t = measure(
                {
                    "pread": read,
                    "rec_module": lambda: module.get_all_records(a),
                    "rec_peer": lambda: peer.get_all_records(a),
                    "rec_floor": lambda: records_frame_floor(pd, rec_cols, rec_attrs),
                    "pul_module": lambda: module.get_pulses(a),
                    "pul_peer": lambda: peer.get_pulses(a),
                    "pul_floor": lambda: pulses_frame_floor(pd, pul_cols, pul_attrs),
                    "fil_module": lambda: module.get_pulses(a, pulse_filter=pf),
                    "fil_peer": lambda: peer.get_pulses(a, pulse_filter=FILTER),
                    "fil_floor": lambda: pulses_frame_floor(pd, fil_cols, fil_attrs),
                },
                reps,
            )
            for key, label, n_out in (
                ("rec", "get_all_records", len(rec_cols["ipd_f"])),
                ("pul", "get_pulses", len(pul_cols["index"])),
                ("fil", "get_pulses + filter", len(fil_cols["index"])),
            ):
                mod, peer_t, floor = t[f"{key}_module"], t[f"{key}_peer"], t[f"{key}_floor"]
                speedup = peer_t / mod
                need = 2.0 if size >= 2_000_000 else 1.0
                ok = mod / floor <= 1.25 and (speedup >= need if need > 1 else speedup > 1)
                rows.append(
                    f"| {label} | {size:,} | {n_out:,} | {reps} | {fmt_time(mod)} | {fmt_time(peer_t)} | {fmt_time(floor)} "
                    f"| {fmt_time(t['pread'])} | {fmt_ratio(mod / floor)} | {fmt_ratio(speedup)} "
                    f"| ≤1.25x floor, {'≥2x' if need > 1 else '>1x'} vs NumPy | {held(ok)} |"
                )
            log(f"  size {size}: done")

        largest = max(cfg["sizes"])
        if core_exe is not None:
            log("core_bench")
            a = data["scenario"][str(largest)]
            core_args = ["query", run_path, str(a), str(cfg["core_repeats"]), *filter_args()]
            core = run_core(core_exe, core_args)
            core_kept = run_core(core_exe, core_args, keep_memory=True)
            check = module.get_pulses(a, pulse_filter_kwargs=FILTER)
            if core["records"] != largest or core["kept"] != len(check):
                raise AssertionError(f"core_bench counts {core} disagree with the module")
            del check
            pread_ms = core["pread_ms"]
            for key, label in (
                ("get_all_records_ms", "get_all_records"),
                ("get_pulses_ms", "get_pulses"),
                ("get_pulses_filtered_ms", "get_pulses + filter"),
            ):
                ratio = core[key] / pread_ms
                core_rows.append(
                    f"| {label} | {largest:,} | {fmt_time(core[key] / 1e3)} | {fmt_time(pread_ms / 1e3)} | {fmt_ratio(ratio)} "
                    f"| ≤3x pread | {held(ratio <= 3)} | {fmt_time(core_kept[key] / 1e3)} "
                    f"({fmt_ratio(core_kept[key] / core_kept['pread_ms'])}) |"
                )
            core_rows.append(
                f"| PulseReader::open (run file, {data['run']['apertures']:,} apertures) | – | {fmt_time(core['open_ms'] / 1e3)} "
                f"| – | – | – | – | {fmt_time(core_kept['open_ms'] / 1e3)} |"
            )

        lines += [
            "## Per-aperture queries",
            "",
            "module = `PulseReader` method; NumPy = the vectorised NumPy reader in bench/numpy_reader.py (checked equal "
            "to the module's frames, float columns bit for bit, before timing); DataFrame floor = "
            "`pandas.DataFrame` from the ready final columns + attrs (+ `pop('index')` / `set_index` for pulses); "
            "pread floor = reading the aperture's bytes into a preallocated buffer.",
            "",
            "| query | records | rows out | repeats | module | NumPy | DataFrame floor | pread floor | module / floor "
            "| NumPy / module | target | status |",
            "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---|",
            *rows,
            "",
        ]
        if core_rows:
            lines += [
                "## Core library alone (bench/core_bench.cpp, no Python)",
                "",
                f"Medians of {cfg['core_repeats']} repeats; pread floor = one pread of the aperture's block into a buffer "
                "that is already allocated and touched. Last column (diagnostic, not a target): the same program with "
                f"`GLIBC_TUNABLES={KEEP_MEMORY}`, under which freed result buffers stay mapped and are reused; the "
                "difference to the plain run is what page faults on fresh result memory cost.",
                "",
                "| core call | records | core | pread floor | core / pread | target | status | core, freed memory kept (/ pread) |",
                "|---|---:|---:|---:|---:|---|---|---:|",
                *core_rows,
                "",
            ]
    return lines
