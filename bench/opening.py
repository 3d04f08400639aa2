"""Opening a file of many apertures: the module, the NumPy reader and the core library
alone, against reading the index into a preallocated buffer. No target; for reference."""

from __future__ import annotations

import os

from benchlib import MIB, fmt_ratio, fmt_time, log, measure, run_core


def section(ctx) -> list[str]:
    import zyn_pulse_reader as z
    from numpy_reader import NumpyPulseReader

    cfg, data, core_exe = ctx.cfg, ctx.data, ctx.core_exe
    lines = []
    # ---- 4. opening a file of many apertures -------------------------------------------
    log("open")
    many_path = data["many"]["path"]
    with open(many_path, "rb") as f:
        f.seek(40)
        index_offset = int.from_bytes(f.read(8), "little")
    index_buffer = bytearray(8 + 12 * data["many"]["apertures"])
    ofd = os.open(many_path, os.O_RDONLY)

    def open_module():
        z.PulseReader(many_path).close()

    def open_peer():
        NumpyPulseReader(many_path).close()

    t_open = measure(
        {"module": open_module, "peer": open_peer, "pread": lambda: os.preadv(ofd, [index_buffer], index_offset)},
        cfg["open_repeats"],
    )
    os.close(ofd)
    core_open = None
    if core_exe is not None:
        core_open = run_core(core_exe, ["open", many_path, str(cfg["core_repeats"])])
        core_open_kept = run_core(core_exe, ["open", many_path, str(cfg["core_repeats"])], keep_memory=True)
    lines += [
        "## Opening a file of many apertures",
        "",
        f"{data['many']['apertures']:,} apertures ({data['many']['bytes'] / MIB:,.0f} MiB); pread floor = reading the "
        f"index ({len(index_buffer) / MIB:.1f} MiB) into a preallocated buffer. No target; for reference.",
        "",
        "| open | module | NumPy reader | core alone | core, freed memory kept | pread of the index | module / pread |",
        "|---|---:|---:|---:|---:|---:|---:|",
        f"| PulseReader(file) + close | {fmt_time(t_open['module'])} | {fmt_time(t_open['peer'])} "
        f"| {fmt_time(core_open['open_ms'] / 1e3) if core_open else 'n/a'} "
        f"| {fmt_time(core_open_kept['open_ms'] / 1e3) if core_open else 'n/a'} | {fmt_time(t_open['pread'])} "
        f"| {fmt_ratio(t_open['module'] / t_open['pread'])} |",
        "",
    ]
    return lines
