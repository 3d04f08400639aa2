"""Shared pieces of the benchmark families: timing, formatting, floors, checks, the core
library's program and child processes."""

from __future__ import annotations

import gc
import json
import math
import os
import shutil
import statistics
import subprocess
from contextlib import contextmanager
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
MIB = 1 << 20

FILTER = {
    "min_dur_f": 2,
    "min_snr": 1.5,
    "min_binratio": 0.05,
    "max_binratio": 20.0,
    "start_m": 0.5,
    "end_m": 1e7,
    "mask_s": (600.0, 1200.0),
    "recalc_ipd": True,
}


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
    """Runs one measured call in a fresh process (bench/child.py) and returns its report."""
    out = subprocess.run([sys.executable, str(HERE / "child.py"), *args], capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(f"child failed: {out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


# -- checks ----------------------------------------------------------------------------


def assert_same(module_frame, peer_frame, what: str):
    """Equal frames: columns, dtypes, index, attrs, and float columns bit for bit."""
    import numpy as np
    import pandas as pd

    try:
        pd.testing.assert_frame_equal(module_frame, peer_frame, check_exact=True)
        for name in module_frame.columns:
            a = module_frame[name].to_numpy()
            if a.dtype.kind == "f":
                b = peer_frame[name].to_numpy()
                if not np.array_equal(a.view(np.uint8), b.view(np.uint8)):
                    raise AssertionError(f"column {name} differs in its bits")
        if module_frame.attrs != peer_frame.attrs:
            raise AssertionError(f"attrs differ: {module_frame.attrs} != {peer_frame.attrs}")
    except AssertionError as e:
        raise AssertionError(f"{what}: NumPy reader and module disagree: {e}") from None


# -- the core library alone ----------------------------------------------------------


def build_core_bench(build_dir: Path) -> Path | None:
    """Configures and builds bench/core_bench with CMake; None when that fails."""
    env = dict(os.environ)
    env["PATH"] = str(Path(sys.executable).parent) + os.pathsep + env.get("PATH", "")
    generator = ["-G", "Ninja"] if shutil.which("ninja", path=env["PATH"]) else []
    steps = [
        ["cmake", "-S", str(HERE), "-B", str(build_dir), *generator, "-DCMAKE_BUILD_TYPE=Release",
         f"-DPython_EXECUTABLE={sys.executable}"],
        ["cmake", "--build", str(build_dir), "--target", "core_bench"],
    ]
    for step in steps:
        result = subprocess.run(step, capture_output=True, text=True, env=env)
        if result.returncode != 0:
            log(f"core_bench build failed ({' '.join(step[:2])}):\n{result.stdout[-3000:]}\n{result.stderr[-3000:]}")
            return None
    return build_dir / "core_bench"


def filter_args() -> list[str]:
    out = []
    for key, value in FILTER.items():
        if key == "mask_s":
            out.append(f"mask_s={value[0]},{value[1]}")
        elif key == "recalc_ipd":
            out.append(f"recalc_ipd={int(value)}")
        else:
            out.append(f"{key}={value}")
    return out


# glibc settings under which freed memory stays with the process instead of going back to
# the system, so that repeated calls find their result buffers already mapped. Used only
# for a diagnostic column: the gap to the plain run is the cost of page faults.
KEEP_MEMORY = "glibc.malloc.trim_threshold=4294967296:glibc.malloc.mmap_threshold=4294967296"


def run_core(exe: Path, args: list[str], keep_memory: bool = False) -> dict:
    env = dict(os.environ)
    if keep_memory:
        env["GLIBC_TUNABLES"] = KEEP_MEMORY
    out = subprocess.run([str(exe), *args], capture_output=True, text=True, check=True, env=env)
    return json.loads(out.stdout)


@contextmanager
def run_readers(path: str):
    """The module's reader, the NumPy reader and a read descriptor of `path`, closed after."""
    import zyn_pulse_reader as z
    from numpy_reader import NumpyPulseReader

    module, peer, fd = z.PulseReader(path), NumpyPulseReader(path), os.open(path, os.O_RDONLY)
    try:
        yield module, peer, fd
    finally:
        module.close()
        peer.close()
        os.close(fd)
