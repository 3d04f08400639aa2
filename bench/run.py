#!/usr/bin/env python3
"""Benchmark of zyn_pulse_reader against a plain-NumPy reader and against the floors.

    python bench/run.py [--quick] [--out bench/results.md] [--data DIR] [--no-core] [--only FAMILY ...]

Writes realistic pulse files into a temporary directory (or DIR, reused when present), runs
every benchmark family and writes their Markdown tables to --out. Each family is one file
and one way of timing its rows; every result is checked equal to what it must be (frames to
the per-aperture calls or the NumPy reader, written files byte for byte) before it is timed:

  queries  per_aperture.py  per-aperture queries at each size, and the core library alone
  run      whole_run.py     the whole run file: loops of per-aperture calls, get_pulses_many()
  writers  writers.py       copy_apertures_to_new_file and merge_pulse_files against cp of their inputs
  open     opening.py       opening a file of many apertures
  bulk     bulk_calls.py    the bulk calls on the run file and a chip-like run of 1,000,000 apertures
  scaling  scaling.py       a chip-like run of 4,000,000 apertures: a walk's memory, summary, opening
  threads  threads.py       per-aperture calls from two threads against one and against a bulk call

The data comes from datasets.py (chip-like runs of 1,000,000 and 4,000,000 apertures, 50,000
and 200,000 with --quick); shared timing, floors and checks from benchlib.py; measured calls
in fresh processes from child.py. The core library alone is timed by bench/core_bench.cpp,
built here with CMake.
"""

from __future__ import annotations

import argparse
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import bulk_calls  # noqa: E402  (bench/ is put on the path just above)
import opening  # noqa: E402
import per_aperture  # noqa: E402
import scaling  # noqa: E402
import threads  # noqa: E402
import whole_run  # noqa: E402
import writers  # noqa: E402
from benchlib import FILTER, MIB, build_core_bench, log  # noqa: E402
from datasets import make_chip_run, make_data  # noqa: E402

FAMILIES = {
    "queries": per_aperture.section,
    "run": whole_run.section,
    "writers": writers.section,
    "open": opening.section,
    "bulk": bulk_calls.section,
    "scaling": scaling.section,
    "threads": threads.section,
}

FULL = {
    "sizes": (100, 1_000, 100_000, 2_000_000),
    # number of apertures per size class in the run: (typical size, count)
    "run": ((2_000_000, 1), (100_000, 100), (1_000, 8_000), (100, 11_899)),
    "strip": {"rows": 25, "cols": 200, "mix": ((100_000, 20), (1_000, 2_000), (100, 2_980))},
    "open_apertures": 1_000_000,
    "repeats": {100: 7, 1_000: 7, 100_000: 9, 2_000_000: 9},
    "loop_repeats": 3,
    "many_repeats": 7,
    "writer_repeats": 5,
    "open_repeats": 5,
    "core_repeats": 11,
    "check_sample": 300,
    # chip-like runs: the large shape and the scaling shape (see datasets.py)
    "chips": (1_000_000, 4_000_000),
    "chip_repeats": 5,
    "summary_repeats": 3,
    "chip_check_sample": 2_000,
    "check_all_below": 100_000,
    "thread_apertures": 200_000,
    "bulk_writer_repeats": 3,
}
QUICK = {
    "sizes": (100, 1_000, 100_000),
    "run": ((100_000, 2), (1_000, 100), (100, 898)),
    "strip": {"rows": 5, "cols": 100, "mix": ((20_000, 2), (1_000, 50), (100, 448))},
    "open_apertures": 50_000,
    "repeats": {100: 3, 1_000: 3, 100_000: 3},
    "loop_repeats": 1,
    "many_repeats": 3,
    "writer_repeats": 2,
    "open_repeats": 3,
    "core_repeats": 3,
    "check_sample": 30,
    "chips": (50_000, 200_000),
    "chip_repeats": 2,
    "summary_repeats": 2,
    "chip_check_sample": 300,
    "check_all_below": 2_000,
    "thread_apertures": 5_000,
    "bulk_writer_repeats": 2,
}


class Context:
    """What the families share: the configuration, the data, the core program, the chip runs
    (written when first asked for) and the bulk family's timings for the scaling family."""

    def __init__(self, cfg: dict, data: dict, workdir: Path, core_exe: Path | None) -> None:
        self.cfg, self.data, self.workdir, self.core_exe = cfg, data, workdir, core_exe
        self.chips: dict[int, dict] = {}
        self.bulk_timings: dict = {}

    def chip(self, apertures: int, seed: int) -> dict:
        if apertures not in self.chips:
            self.chips[apertures] = make_chip_run(self.workdir, apertures, seed)
        return self.chips[apertures]

    def shapes(self) -> list[dict]:
        """The two run shapes: the run file (few large apertures) and the large chip run."""
        return [dict(self.data["run"]), self.chip(self.cfg["chips"][0], seed=20)]


# -- the benchmark ---------------------------------------------------------------------

MODULE_NOTE = {}


def snapshot_module(workdir: Path):
    """Loads the installed module from a private copy, for this process and its children.

    The installed file may be rebuilt while the benchmark runs; a copy keeps every part of
    the run (and the writer child processes) on one and the same build.
    """
    import hashlib
    import importlib.util

    spec = importlib.util.find_spec("zyn_pulse_reader")
    if spec is None or not spec.origin:
        raise SystemExit("zyn_pulse_reader is not installed in this Python")
    origin = Path(spec.origin)
    target = workdir / "module"
    shutil.rmtree(target, ignore_errors=True)
    target.mkdir(parents=True)
    shutil.copy2(origin, target / origin.name)
    sys.path.insert(0, str(target))
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(target), os.environ.get("PYTHONPATH")]))
    digest = hashlib.sha256((target / origin.name).read_bytes()).hexdigest()[:12]
    built = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(origin.stat().st_mtime))
    MODULE_NOTE["text"] = f"{origin} (built {built}, sha256 {digest}; run from a private copy)"
    try:
        head = subprocess.run(["git", "-C", str(HERE), "describe", "--always", "--dirty"], capture_output=True,
                              text=True, check=True).stdout.strip()
        MODULE_NOTE["tree"] = head
    except (OSError, subprocess.CalledProcessError):
        MODULE_NOTE["tree"] = "unknown"



def machine_header(cfg_name: str, data: dict) -> list[str]:
    import numpy as np
    import pandas as pd

    import zyn_pulse_reader as z

    cpu = "unknown"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    try:
        mem = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / (1 << 30)
    except (ValueError, OSError):
        mem = float("nan")
    load = os.getloadavg()
    run = data["run"]
    return [
        f"# zyn_pulse_reader benchmark ({cfg_name})",
        "",
        f"- Machine: {cpu}, {os.cpu_count()} cores, {mem:.0f} GiB RAM; {platform.system()} {platform.release()}",
        f"- Python {platform.python_version()}, NumPy {np.__version__}, pandas {pd.__version__}",
        f"- Module: {MODULE_NOTE.get('text', z.__file__)}; core_bench built from the work tree at "
        f"{MODULE_NOTE.get('tree', 'unknown')}",
        f"- Date {time.strftime('%Y-%m-%d %H:%M')}; load average at start {load[0]:.2f} / {load[1]:.2f} / {load[2]:.2f} "
        "(other work may share the machine)",
        f"- Run file: {run['apertures']:,} apertures, {run['records']:,} records, {run['bytes'] / MIB:,.0f} MiB; "
        f"every record kind (pulses ~70%, background, unknown, steps, long pulses, rare padding)",
        "- Files are in the page cache (warm reads). Times are medians of the repeats shown; short calls are "
        "timed in batches of about 0.2 s, with the garbage collector off inside a batch.",
        f"- Filter used: `{FILTER}`",
        "",
    ]



def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small data and few repeats (smoke test)")
    parser.add_argument("--out", default=str(HERE / "results.md"), help="Markdown results file")
    parser.add_argument("--data", help="directory for the generated files (kept and reused); default: a temp dir")
    parser.add_argument("--build-dir", default=str(HERE / "build"), help="CMake build directory for core_bench")
    parser.add_argument("--no-core", action="store_true", help="skip building and running core_bench")
    parser.add_argument(
        "--only",
        nargs="+",
        choices=tuple(FAMILIES),
        help="run only these families (queries includes the core library)",
    )
    args = parser.parse_args()

    cfg_name = "quick" if args.quick else "full"
    cfg = QUICK if args.quick else FULL
    if args.data:
        Path(args.data).mkdir(parents=True, exist_ok=True)
        workdir, cleanup = Path(args.data), None
    else:
        cleanup = tempfile.TemporaryDirectory(prefix="zpr_bench_")
        workdir = Path(cleanup.name)
    snapshot_module(workdir)
    try:
        lines = run_benchmark(cfg_name, cfg, workdir, args)
    finally:
        if cleanup is not None:
            cleanup.cleanup()
    text = "\n".join(lines) + "\n"
    print(text)
    Path(args.out).write_text(text)
    log(f"results written to {args.out}")



def run_benchmark(cfg_name: str, cfg: dict, workdir: Path, args) -> list[str]:
    import zyn_pulse_reader as z

    data = make_data(workdir, cfg)
    lines = machine_header(cfg_name, data)
    module_file = Path(z.__file__)  # the private copy
    module_stamp = module_file.stat().st_mtime_ns
    wanted = [name for name in FAMILIES if not args.only or name in args.only]
    needs_core = not args.no_core and ("queries" in wanted or "open" in wanted)
    ctx = Context(cfg, data, workdir, build_core_bench(Path(args.build_dir)) if needs_core else None)
    changed = []  # families during which the module file was replaced (the owner rebuilt it)
    for name in wanted:
        lines += FAMILIES[name](ctx)
        stamp = module_file.stat().st_mtime_ns
        if stamp != module_stamp:
            changed.append(name)
            module_stamp = stamp
    if changed:
        lines.insert(
            2,
            "- **Warning: the module file was replaced while the benchmark ran (during: "
            f"{', '.join(changed)}). Child processes and the part after the change may have used another build "
            "than the rest. Run again.**",
        )
    return lines


if __name__ == "__main__":
    main()
