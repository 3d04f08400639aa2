"""Shared pieces of the benchmark: timing, formatting, floors and child processes."""

from __future__ import annotations

import gc
import json
import math
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
MIB = 1 << 20


# -- timing ----------------------------------------------------------------------------


def measure(fns: dict, repeats: int, min_batch: float = 0.2, warm_each: bool = True) -> dict:
    """Median seconds per call of each function.

    The functions are timed round-robin, one batch each per repeat, so that load from other
    work on the machine falls on all of them alike. A batch repeats a short call until it
    lasts about `min_batch` seconds (min_batch 0: one call per batch). The garbage collector
    is off inside a batch (as in timeit) and collects between batches.

    With `warm_each`, every batch is preceded by one untimed call of the same function.
    Large results cost page faults whenever the allocator has just handed memory back to the
    system (which the other functions of the round change), so this times every function in
    the same state: as one of a series of identical calls.
    """
    number = {}
    for name, fn in fns.items():
        if min_batch <= 0:
            number[name] = 1
            continue
        t = time.perf_counter()
        fn()  # also the first warm-up
        t = time.perf_counter() - t
        number[name] = max(1, min(20_000, int(min_batch / max(t, 1e-7))))
    samples = {name: [] for name in fns}
    for _ in range(repeats):
        for name, fn in fns.items():
            if warm_each:
                fn()
            gc.collect()
            gc.disable()
            try:
                t = time.perf_counter()
                for _ in range(number[name]):
                    fn()
                samples[name].append((time.perf_counter() - t) / number[name])
            finally:
                gc.enable()
    return {name: statistics.median(v) for name, v in samples.items()}


def fmt_time(seconds: float) -> str:
    if seconds is None or math.isnan(seconds):
        return "n/a"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} µs"
    if seconds < 1:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.2f} s"


def fmt_ratio(x: float) -> str:
    return "n/a" if x is None or math.isnan(x) else f"{x:.2f}x"


def held(ok: bool) -> str:
    return "held" if ok else "**NOT held**"


def log(*parts):
    print(*parts, file=sys.stderr, flush=True)



# -- floors ----------------------------------------------------------------------------


def ready_columns(frame, with_index: bool):
    """The frame's final columns as fresh NumPy arrays (record_type as an object array)."""
    cols = {}
    if with_index:
        cols["index"] = frame.index.to_numpy().copy()
    for name in frame.columns:
        cols[name] = frame[name].to_numpy().copy()
    return cols


def records_frame_floor(pd, cols, attrs):
    frame = pd.DataFrame(
        {k: (pd.Series(v, dtype=object, copy=False) if k == "record_type" else v) for k, v in cols.items()}
    )
    frame.attrs = dict(attrs)
    return frame


def pulses_frame_floor(pd, cols, attrs):
    frame = pd.DataFrame(cols)
    frame.attrs = dict(attrs)
    index = frame.pop("index")
    return frame.set_index(index)



def pread_file(fd: int, buffer: bytearray) -> None:
    """Reads the file from offset 0 into `buffer`; in pieces, since one read stops at 2 GiB."""
    view, done = memoryview(buffer), 0
    while done < len(buffer):
        done += os.preadv(fd, [view[done : done + (1 << 30)]], done)


# -- child processes -----------------------------------------------------------------------


def proc_status(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return -1


def reset_peak_rss() -> bool:
    """Starts the peak RSS of this process (VmHWM) again from its current RSS, if allowed."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        return False
    return True


def run_child(args) -> dict:
    out = subprocess.run([sys.executable, str(HERE / "run.py"), "--child", *args], capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(f"writer child failed: {out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def cp_seconds(src: str, dst: str) -> float:
    t = time.perf_counter()
    subprocess.run(["cp", "--reflink=never", src, dst], check=True)
    return time.perf_counter() - t


def time_writer(child_args: list[str], out: str, out_cp: str, repeats: int) -> dict:
    """Runs a writer in fresh child processes and `cp` of its output, `repeats` times each.

    Returns the median seconds of both, the largest growth of the child's RSS during the call
    and its largest whole-process peak. The output of the last run is left in `out`.
    """
    times, cps, growth, abs_peaks = [], [], [], []
    for i in range(repeats):
        for path in (out, out_cp):
            if os.path.exists(path):
                os.remove(path)
        os.sync()
        result = run_child(child_args)
        times.append(result["seconds"])
        abs_peaks.append(result["maxrss"])
        growth.append(result["peak"] - result["rss_before"] if result["peak_reset"] else result["maxrss"])
        os.sync()
        cps.append(cp_seconds(out, out_cp))
    os.remove(out_cp)
    return {
        "module": statistics.median(times),
        "cp": statistics.median(cps),
        "growth": max(growth),
        "peak": max(abs_peaks),
        "size": os.path.getsize(out),
    }
