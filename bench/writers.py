"""Writers: copy_apertures_to_new_file and merge_pulse_files against `cp` of the same bytes.

Rows: on the run file, a copy of every other aperture and the merge of four strips; on
the run file and the chip-like run of 1,000,000 apertures, a copy of every aperture and
the merge of the run with itself. Every output is first checked byte for byte against a
model of the file it must be, built here from the inputs with NumPy.

One way of timing, the same for every row: the writer runs in a fresh child process
(bench/child.py) that times the call alone; `cp --reflink=never` copies the writer's
inputs (the source for a copy, every input for a merge) into a scratch file, timed from
here. Writer and cp runs alternate; the inputs are in the page cache (read once before),
outputs are removed before each run, and each row is measured twice: without and with
os.sync() before each run (the sync is not timed).
"""

from __future__ import annotations

import json
import os
import statistics
import struct
import subprocess
import time
from pathlib import Path

from benchlib import MIB, fmt_ratio, fmt_time, held, log, pread_file, run_child

HEADER = struct.Struct("<4sIQIBBHIIQQ")  # the pulse file header's 48 bytes
INDEX_MAGIC = b"$INDX$\r\n"
TARGET = 1.2  # at most this many times cp of the same bytes
MEMORY_LIMIT = 64 * MIB
CHECK_BLOCKS = 20_000  # blocks compared at a time


# -- the model -----------------------------------------------------------------------------


class Source:
    """A pulse file's header fields, index and block headers, as NumPy arrays over a map."""

    def __init__(self, path: str, np) -> None:
        self.bytes = np.memmap(path, dtype=np.uint8, mode="r")
        fields = HEADER.unpack(self.bytes[:48].tobytes())
        self.header = list(fields)
        self.data_offset, index_offset, count = fields[9], fields[10], fields[2]
        entries = self.bytes[index_offset + 8 : index_offset + 8 + 12 * count]
        index = entries.view(np.dtype([("number", "<u4"), ("location", "<u8")]))
        self.numbers, self.locations = index["number"].astype(np.int64), index["location"].astype(np.int64)
        heads = self.bytes[self.locations[:, None] + np.arange(16)].view("<u4")  # x, y, number, count
        self.heads = heads.reshape(-1, 4).astype(np.int64)
        self.sizes = 16 + 16 * self.heads[:, 3]


def expected_blocks(source: Source, chosen, np, row_shift: int = 0, number_shift: int = 0):
    """The chosen blocks back to back, headers shifted, in pieces of CHECK_BLOCKS blocks."""
    for first in range(0, len(chosen), CHECK_BLOCKS):
        part = chosen[first : first + CHECK_BLOCKS]
        piece = np.concatenate([source.bytes[a : a + n] for a, n in zip(source.locations[part], source.sizes[part])])
        starts = np.concatenate([[0], np.cumsum(source.sizes[part])[:-1]])
        for field, shift in ((1, row_shift), (2, number_shift)):
            values = (source.heads[part, field] + shift).astype("<u4").view(np.uint8).reshape(-1, 4)
            piece[starts[:, None] + 4 * field + np.arange(4)] = values
        yield piece


def check_output(out: str, head: bytes, pieces, numbers, sizes, data_offset: int, np) -> None:
    """Compares `out` byte for byte with head + pieces + the index of `numbers` (block `sizes`)."""
    written = np.memmap(out, dtype=np.uint8, mode="r")
    assert written[: len(head)].tobytes() == head, "the head differs"
    position = len(head)
    assert position == data_offset, (position, data_offset)
    for piece in pieces:
        assert np.array_equal(written[position : position + len(piece)], piece), f"blocks differ near {position}"
        position += len(piece)
    entries = np.zeros(len(numbers), dtype=np.dtype([("number", "<u4"), ("location", "<u8")]))
    entries["number"] = numbers
    entries["location"] = data_offset + np.concatenate([[0], np.cumsum(sizes)[:-1]])
    tail = INDEX_MAGIC + entries.tobytes()
    assert written[position:].tobytes() == tail, "the index differs"


def check_copy(src: str, step: int, out: str, np) -> None:
    source = Source(src, np)
    chosen = np.argsort(source.numbers, kind="stable")[::step]
    sizes = source.sizes[chosen]
    header = list(source.header)
    header[2], header[10] = len(chosen), source.data_offset + int(sizes.sum())
    head = HEADER.pack(*header) + source.bytes[48 : source.data_offset].tobytes()
    check_output(out, head, expected_blocks(source, chosen, np), source.numbers[chosen], sizes, source.data_offset, np)


def check_merge(inputs: list[str], out: str, np) -> None:
    sources = [Source(p, np) for p in inputs]
    first = sources[0]
    documents = [json.loads(s.bytes[80 : 80 + s.header[3]].tobytes()) for s in sources]
    rows = sum(d["rows"] for d in documents)
    low = min(d["roi_offset_col"] for d in documents)
    high = max(d["roi_offset_col"] + d["roi_cols"] for d in documents)
    merged = dict(documents[0], rows=rows, roi_rows=rows, roi_offset_col=low, roi_cols=high - low)
    for key in ("validWells", "validWellsLeft", "validWellsRight"):
        merged[key] = sum(d[key] for d in documents)
    text = json.dumps(merged, separators=(",", ":"), sort_keys=True, ensure_ascii=False).encode()
    data_offset = -(-(first.data_offset - first.header[3] + len(text)) // 16) * 16
    sizes = np.concatenate([s.sizes for s in sources])
    header = list(first.header)
    header[2], header[3], header[9], header[10] = len(sizes), len(text), data_offset, data_offset + int(sizes.sum())
    head = HEADER.pack(*header) + first.bytes[48:80].tobytes() + text
    head += bytes(data_offset - len(head))

    def pieces():
        row_shift = number_shift = 0
        for source, document in zip(sources, documents):
            yield from expected_blocks(source, np.arange(len(source.numbers)), np, row_shift, number_shift)
            row_shift += document["rows"]
            number_shift += document["rows"] * document["cols"]

    shifts = np.cumsum([0] + [d["rows"] * d["cols"] for d in documents[:-1]])
    numbers = np.concatenate([s.numbers + shift for s, shift in zip(sources, shifts)])
    check_output(out, head, pieces(), numbers, sizes, data_offset, np)


# -- timing ----------------------------------------------------------------------------


def remove(*paths: str) -> None:
    for path in paths:
        if os.path.exists(path):
            os.remove(path)


def warm(paths: list[str]) -> None:
    """Reads the files once, so that they are in the page cache."""
    for path in paths:
        fd = os.open(path, os.O_RDONLY)
        try:
            pread_file(fd, bytearray(os.fstat(fd).st_size))
        finally:
            os.close(fd)


def cp_seconds(inputs: list[str], scratch: str) -> float:
    """`cp --reflink=never` of every input into `scratch`, one after the other."""
    t = time.perf_counter()
    for path in inputs:
        subprocess.run(["cp", "--reflink=never", path, scratch], check=True)
        os.remove(scratch)
    return time.perf_counter() - t


def time_writer(child_args: list[str], inputs: list[str], out: str, scratch: str, repeats: int, sync: bool) -> dict:
    """Medians of the writer (fresh child process) and of cp of its inputs, runs alternating."""
    times, cps, growth, peaks = [], [], [], []
    for _ in range(repeats):
        remove(out, scratch)
        if sync:
            os.sync()
        result = run_child(child_args)
        times.append(result["seconds"])
        peaks.append(result["maxrss"])
        growth.append(result["peak"] - result["rss_before"] if result["peak_reset"] else result["maxrss"])
        size = os.path.getsize(out)
        remove(out)
        if sync:
            os.sync()
        cps.append(cp_seconds(inputs, scratch))
    return {"module": statistics.median(times), "cp": statistics.median(cps), "growth": max(growth),
            "peak": max(peaks), "size": size}


# -- the section -----------------------------------------------------------------------


def writer_cases(ctx) -> dict[str, list[tuple[str, list[str], list[str], object]]]:
    """(label, child arguments, inputs, check) of every row, by table; "OUT" stands for the output."""
    run_path, strips = ctx.data["run"]["path"], list(ctx.data["strips"])
    whole_runs = []
    for shape in ctx.shapes():
        src, n = shape["path"], f"{shape['apertures']:,} apertures"
        whole_runs += [
            (f"copy_apertures_to_new_file (every aperture), {n}", ["copy", src, "OUT", "1"], [src],
             lambda out, np, src=src: check_copy(src, 1, out, np)),
            (f"merge_pulse_files (the run with itself), {n}", ["merge", src, src, "OUT"], [src, src],
             lambda out, np, src=src: check_merge([src, src], out, np)),
        ]
    return {
        "Writers": [
            ("copy_apertures_to_new_file (every other aperture)", ["copy", run_path, "OUT", "2"], [run_path],
             lambda out, np: check_copy(run_path, 2, out, np)),
            ("merge_pulse_files (4 strips)", ["merge", *strips, "OUT"], strips, lambda out, np: check_merge(strips, out, np)),
        ],
        "Writers on whole runs": whole_runs,
    }


def writer_row(label: str, child_args: list[str], inputs: list[str], check, workdir: Path, repeats: int, np) -> str:
    """Checks one writer's output, then times it against cp of its inputs; one table row."""
    out, scratch = str(workdir / "out_writer.bin"), str(workdir / "out_cp.bin")
    args = [out if a == "OUT" else a for a in child_args]
    log(f"writers: {label}")
    remove(out)
    run_child(args)
    check(out, np)
    warm(sorted(set(inputs)))
    timed = {sync: time_writer(args, inputs, out, scratch, repeats, sync) for sync in (False, True)}
    remove(out, scratch)
    ratios = {sync: r["module"] / r["cp"] for sync, r in timed.items()}
    growth = max(r["growth"] for r in timed.values())
    ok = max(ratios.values()) <= TARGET and growth < MEMORY_LIMIT
    plain, synced = timed[False], timed[True]
    return (
        f"| {label} | {plain['size'] / MIB:,.0f} MiB | {fmt_time(plain['module'])} | {fmt_time(plain['cp'])} "
        f"| {fmt_ratio(ratios[False])} | {fmt_time(synced['module'])} | {fmt_time(synced['cp'])} "
        f"| {fmt_ratio(ratios[True])} | {growth / MIB:.1f} MiB | {max(plain['peak'], synced['peak']) / MIB:.0f} MiB "
        f"| ≤{TARGET}x cp, <64 MiB | {held(ok)} |"
    )


def section(ctx) -> list[str]:
    import numpy as np

    lines = []
    for title, cases in writer_cases(ctx).items():
        repeats = ctx.cfg["writer_repeats" if title == "Writers" else "bulk_writer_repeats"]
        rows = [writer_row(*case, Path(ctx.workdir), repeats, np) for case in cases]
        lines += [
            f"## {title}",
            "",
            "Each output checked byte for byte against a model of the file it must be (built with NumPy from the "
            "inputs) before timing. Writer: a fresh child process per run, the call alone timed; cp: `cp "
            "--reflink=never` of the writer's inputs (the source for a copy, every input for a merge: the bytes "
            "the writer reads), runs alternating, outputs removed before each. Inputs in the page cache (read once "
            "before timing); each row measured without and with `os.sync()` before each run (not timed), "
            f"{repeats} repeats each, medians. Memory during call = peak RSS of the child during the call (reset "
            "via /proc/self/clear_refs just before it) minus its RSS before; the process peak also counts the "
            "interpreter, NumPy and pandas.",
            "",
            "| writer | output | module | cp | module / cp | module, sync before | cp, sync before | module / cp, "
            "sync | memory during call | process peak RSS | target | status |",
            "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---|",
            *rows,
            "",
        ]
    return lines
