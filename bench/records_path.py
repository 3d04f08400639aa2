#!/usr/bin/env python3
"""The records path against its floors, and the walks' peak memory.

    records_path.py calls SMALL LARGE   bulk calls against their floors, per-record cost
    records_path.py first RUN           first call in a fresh process against later ones
    records_path.py walk RUN            peak RSS growth of iter_pulses/iter_all_records walks

Floors: pread of the whole file into a preallocated buffer + one DataFrame of the result's
size from ready columns. Every result is checked equal to the concatenated batches of a walk
before it is timed. The first call and the walks run in child processes of their own (imports
and opening excluded, and for the walks a first empty frame, which imports the rest of
pandas); memory is the growth of the child's peak RSS (/proc/self/clear_refs) while the caller
holds the previous batch. Run under the timing lock.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time

from benchlib import MIB, measure, pread_file, proc_status, ready_columns, records_frame_floor, reset_peak_rss


def check_walk_equal(reader, pd) -> None:
    """The bulk calls equal the concatenated batches of their walks (which equal the
    per-aperture calls, as the test suite checks)."""
    for bulk, walk in ((reader.get_all_records_many, reader.iter_all_records), (reader.get_pulses_many, reader.iter_pulses)):
        pd.testing.assert_frame_equal(bulk(), pd.concat(list(walk(batch_records=1 << 22))))


def calls(paths: list[str], repeats: int = 5) -> None:
    import pandas as pd
    import zyn_pulse_reader as z

    per_record = {}
    for path in paths:
        with z.PulseReader(path) as reader:
            check_walk_equal(reader, pd)
            result = reader.get_all_records_many()
            records, attrs = len(result), dict(result.attrs)
            cols = ready_columns(result, False)
            del result
            fd = os.open(path, os.O_RDONLY)
            buffer = bytearray(os.path.getsize(path))
            t = measure(
                {
                    "records": reader.get_all_records_many,
                    "pulses": reader.get_pulses_many,
                    "pread": lambda: pread_file(fd, buffer),  # noqa: B023
                    "frame": lambda: records_frame_floor(pd, cols, attrs),  # noqa: B023
                },
                repeats,
                min_batch=0,
            )
            os.close(fd)
            del cols, buffer
        floor = t["pread"] + t["frame"]
        print(f"{path}: get_all_records_many {t['records']:.3f} s, floor {floor:.3f} s (pread {t['pread']:.3f} + "
              f"frame {t['frame']:.3f}): {t['records'] / floor:.2f}x; get_pulses_many {t['pulses']:.3f} s")
        per_record[path] = {k: t[k] / records for k in ("records", "pulses")}
    small, large = per_record[paths[0]], per_record[paths[1]]
    for k in ("records", "pulses"):
        print(f"per record, {k}: {small[k] * 1e9:.1f} ns against {large[k] * 1e9:.1f} ns: {small[k] / large[k]:.2f}x")


def child(argv: list[str]) -> dict:
    out = subprocess.run([sys.executable, __file__, *argv], check=True, capture_output=True, text=True).stdout
    return json.loads(out.splitlines()[-1])


def first_in_child(path: str) -> dict:
    import zyn_pulse_reader as z  # noqa: F401  (imports pandas on the first frame)
    import pandas  # noqa: F401

    reader = z.PulseReader(path)
    seconds = []
    for _ in range(4):
        t = time.perf_counter()
        reader.get_all_records_many()
        seconds.append(time.perf_counter() - t)
    return {"first": seconds[0], "later": sorted(seconds[1:])[1]}


def walk_in_child(path: str, kind: str, batch_records: int) -> dict:
    import pandas  # noqa: F401
    import zyn_pulse_reader as z

    reader = z.PulseReader(path)
    # The first frame of a process imports the rest of pandas: not the walk's memory.
    reader.get_pulses_many([]), reader.get_all_records_many([])
    walk = reader.iter_pulses if kind == "pulses" else reader.iter_all_records
    before = proc_status("VmRSS")
    reset_peak_rss()
    biggest = 0
    for batch in walk(batch_records=batch_records):  # `batch` holds the previous batch while the next is made
        biggest = max(biggest, int(batch.memory_usage(index=True).sum()))
    return {"growth": proc_status("VmHWM") - before, "biggest": biggest}


def main() -> None:
    mode, *rest = sys.argv[1:]
    if mode == "calls":
        calls(rest)
    elif mode == "first":
        runs = [child(["first-child", rest[0]]) for _ in range(3)]
        ratio = sorted(r["first"] / r["later"] for r in runs)[1]
        print(f"{rest[0]}: first call {runs[0]['first']:.3f} s, later {runs[0]['later']:.3f} s; median ratio {ratio:.2f}x")
    elif mode == "walk":
        for kind in ("pulses", "records"):
            r = child(["walk-child", rest[0], kind, str(1 << 20)])
            print(f"{rest[0]}: iter_{kind} peak growth {r['growth'] / MIB:.0f} MiB, biggest batch's frame "
                  f"{r['biggest'] / MIB:.1f} MiB: {r['growth'] / r['biggest']:.2f}x")
    elif mode == "first-child":
        print(json.dumps(first_in_child(rest[0])))
    elif mode == "walk-child":
        print(json.dumps(walk_in_child(rest[0], rest[1], int(rest[2]))))


if __name__ == "__main__":
    main()
