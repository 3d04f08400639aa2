#!/usr/bin/env python3
"""One measured call in a fresh process, for the benchmark families that need one.

    python bench/child.py OP ARGS...

Ops: copy SRC OUT STEP (every STEP-th aperture), merge IN... OUT, iter PATH BATCH_RECORDS
KIND (a whole iter_pulses or iter_all_records walk, KIND pulses or records), first PATH
(get_all_records_many() four times: the first call in a process against the later ones),
open PATH. The process imports NumPy and pandas and prepares the call (opens the reader,
lists the apertures, makes a first empty frame, which imports the rest of pandas) before its
RSS is taken; it then prints one JSON line: the call's seconds, RSS before it, the peak
during it and the whole-process peak.
"""

from __future__ import annotations

import gc
import json
import resource
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from benchlib import proc_status, reset_peak_rss  # noqa: E402  (bench/ is put on the path just above)


def prepared_call(op: str, args: list[str]):
    """The call to measure for `op`, after its imports and preparations."""
    import numpy  # noqa: F401  (the baseline counts the interpreter, NumPy and pandas)
    import pandas  # noqa: F401

    import zyn_pulse_reader as z

    if op == "copy":
        src, out, step = args
        reader = z.PulseReader(src)
        apertures = list(reader.apertures)[:: int(step)]
        return lambda: reader.copy_apertures_to_new_file(apertures, out)
    if op == "merge":
        *inputs, out = args
        return lambda: z.merge_pulse_files(inputs, out)
    kept = []
    if op == "open":
        return lambda: kept.append(z.PulseReader(args[0])) or {}
    reader = z.PulseReader(args[0])
    # The first frame of a process imports the rest of pandas: not the measured call's cost.
    reader.get_pulses_many([]), reader.get_all_records_many([])
    if op == "first":

        def four_calls() -> dict:
            seconds = []
            for _ in range(4):
                t = time.perf_counter()
                reader.get_all_records_many()
                seconds.append(time.perf_counter() - t)
            return {"first": seconds[0], "later": sorted(seconds[1:])[1]}

        return four_calls
    batch_records, kind = int(args[1]), args[2]
    walk = reader.iter_pulses if kind == "pulses" else reader.iter_all_records

    def walk_batches() -> dict:
        biggest, rows = 0, 0
        # `batch` holds the previous batch while the next one is made, as a caller's loop does.
        for batch in walk(batch_records=batch_records):
            biggest = max(biggest, int(batch.memory_usage(index=True).sum()))
            rows += len(batch)
        return {"biggest_batch": biggest, "rows": rows}

    return walk_batches


def main(argv: list[str]) -> None:
    run = prepared_call(argv[0], argv[1:])
    gc.collect()
    before = proc_status("VmRSS")
    startup_peak = proc_status("VmHWM")  # interpreter, imports and preparation
    reset = reset_peak_rss()
    t = time.perf_counter()
    extra = run() or {}
    seconds = time.perf_counter() - t
    peak = proc_status("VmHWM")
    # ru_maxrss can carry the parent's peak over the fork; VmHWM belongs to this process alone.
    maxrss = max(startup_peak, peak) if reset else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({"seconds": seconds, "rss_before": before, "peak": peak, "peak_reset": reset, "maxrss": maxrss,
                      **extra}))


if __name__ == "__main__":
    main(sys.argv[1:])
