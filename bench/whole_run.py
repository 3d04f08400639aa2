"""The whole run file: per-aperture loops against the NumPy reader, and get_pulses_many()
against pandas.concat of the loop and against its floor (pread of the whole file + one
DataFrame of the result from ready columns). Frames are checked equal to the per-aperture
calls and to the NumPy reader before they are timed.
"""

from __future__ import annotations

import os

from benchlib import (
    FILTER,
    assert_same,
    fmt_ratio,
    fmt_time,
    held,
    log,
    measure,
    pulses_frame_floor,
    ready_columns,
    run_readers,
)


def section(ctx) -> list[str]:
    import numpy as np
    import pandas as pd

    cfg, data = ctx.cfg, ctx.data
    run_path = data["run"]["path"]
    lines = []
    with run_readers(run_path) as (module, peer, fd):
        apertures = list(module.apertures)
        # ---- 2. the whole run --------------------------------------------------------------
        log("whole run: checks")
        rng = np.random.default_rng(5)
        sample = sorted(set(rng.choice(apertures, min(cfg["check_sample"], len(apertures)), replace=False).tolist()))
        for a in sample:
            assert_same(module.get_all_records(a), peer.get_all_records(a), f"get_all_records({a})")
            assert_same(module.get_pulses(a, pulse_filter_kwargs=FILTER), peer.get_pulses(a, pulse_filter=FILTER), f"filter {a}")
        base_attrs = {k: v for k, v in module.get_pulses(apertures[0]).attrs.items() if not k.startswith("aperture_")}
        many = module.get_pulses_many()
        concat = pd.concat([module.get_pulses(a) for a in apertures])
        pd.testing.assert_frame_equal(many, concat, check_exact=True)
        assert many.attrs == base_attrs, (many.attrs, base_attrs)
        del concat
        peer_all = pd.concat([peer.get_pulses(a) for a in apertures])
        pd.testing.assert_frame_equal(many, peer_all, check_exact=True)
        for name in many.columns:
            if many[name].dtype.kind == "f":
                assert np.array_equal(many[name].to_numpy().view(np.uint8), peer_all[name].to_numpy().view(np.uint8)), name
        del peer_all
        many_f = module.get_pulses_many(pulse_filter_kwargs=FILTER)
        pd.testing.assert_frame_equal(
            many_f, pd.concat([module.get_pulses(a, pulse_filter_kwargs=FILTER) for a in apertures]), check_exact=True
        )

        log("whole run: timing")
        file_buffer = bytearray(data["run"]["bytes"])
        many_cols, many_rows = ready_columns(many, True), len(many)
        manyf_cols, manyf_rows = ready_columns(many_f, True), len(many_f)
        del many, many_f
        lr, mr = cfg["loop_repeats"], cfg["many_repeats"]
        t_loop = measure(
            {
                "pul_module": lambda: [module.get_pulses(a) for a in apertures],
                "pul_peer": lambda: [peer.get_pulses(a) for a in apertures],
                "rec_module": lambda: [module.get_all_records(a) for a in apertures],
                "rec_peer": lambda: [peer.get_all_records(a) for a in apertures],
                "concat": lambda: pd.concat([module.get_pulses(a) for a in apertures]),
            },
            lr,
            min_batch=0,
            warm_each=False,  # a loop of thousands of calls warms itself
        )
        t_many = measure(
            {
                "many": lambda: module.get_pulses_many(),
                "many_f": lambda: module.get_pulses_many(pulse_filter_kwargs=FILTER),
                "pread_file": lambda: os.preadv(fd, [file_buffer], 0),
                "frame": lambda: pulses_frame_floor(pd, many_cols, base_attrs),
                "frame_f": lambda: pulses_frame_floor(pd, manyf_cols, base_attrs),
            },
            mr,
            min_batch=0,
        )
        del file_buffer, many_cols, manyf_cols
        n_ap = len(apertures)
        floor = t_many["pread_file"] + t_many["frame"]
        floor_f = t_many["pread_file"] + t_many["frame_f"]
        speed_vs_concat = t_loop["concat"] / t_many["many"]
        lines += [
            "## Whole run",
            "",
            f"{n_ap:,} apertures, {data['run']['records']:,} records; {many_rows:,} pulses ({manyf_rows:,} after the filter). "
            f"Loops: {lr} repeats; get_pulses_many and floors: {mr} repeats. Floor of get_pulses_many = pread of the "
            "whole file into a preallocated buffer + one DataFrame of the result's size from ready columns.",
            "",
            "| scenario | module | compared with | other | ratio | target | status |",
            "|---|---:|---|---:|---:|---|---|",
            f"| get_pulses, one call per aperture | {fmt_time(t_loop['pul_module'])} | NumPy reader, same loop "
            f"| {fmt_time(t_loop['pul_peer'])} | {fmt_ratio(t_loop['pul_peer'] / t_loop['pul_module'])} faster | – | – |",
            f"| get_all_records, one call per aperture | {fmt_time(t_loop['rec_module'])} | NumPy reader, same loop "
            f"| {fmt_time(t_loop['rec_peer'])} | {fmt_ratio(t_loop['rec_peer'] / t_loop['rec_module'])} faster | – | – |",
            f"| get_pulses_many() | {fmt_time(t_many['many'])} | loop of get_pulses + pandas.concat "
            f"| {fmt_time(t_loop['concat'])} | {fmt_ratio(speed_vs_concat)} faster | ≥20x faster | {held(speed_vs_concat >= 20)} |",
            f"| get_pulses_many() | {fmt_time(t_many['many'])} | floor: pread {fmt_time(t_many['pread_file'])} + DataFrame "
            f"{fmt_time(t_many['frame'])} | {fmt_time(floor)} | {fmt_ratio(t_many['many'] / floor)} | ≤2x floor "
            f"| {held(t_many['many'] / floor <= 2)} |",
            f"| get_pulses_many(filter) | {fmt_time(t_many['many_f'])} | floor: pread + DataFrame {fmt_time(t_many['frame_f'])} "
            f"| {fmt_time(floor_f)} | {fmt_ratio(t_many['many_f'] / floor_f)} | ≤2x floor | {held(t_many['many_f'] / floor_f <= 2)} |",
            "",
        ]
    return lines
