#!/usr/bin/env python3
"""Benchmark of zyn_pulse_reader against a plain-NumPy reader and against the floors.

    python bench/run.py [--quick] [--out bench/results.md] [--data DIR] [--no-core] [--only SECTION ...]

Writes realistic pulse files into a temporary directory (or DIR, reused when present),
checks that the NumPy reader returns exactly the module's DataFrames, times every scenario
several times and prints a Markdown table of medians and ratios, also written to --out.
The whole-run sections (bulk, scaling, threads, bulkwriters; see chip_runs.py) add
chip-like runs of 1,000,000 and 4,000,000 apertures (50,000 and 200,000 with --quick).

Floors, measured in the same run:
  * pread: reading the same bytes into a buffer that is already allocated;
  * DataFrame: building the same DataFrame from ready NumPy columns (attrs included, and
    pop("index") + set_index for pulses);
  * cp: `cp --reflink=never` of a file as large as the writer's output.
The core library alone is timed by bench/core_bench.cpp, built here with CMake.
"""

from __future__ import annotations

import argparse
import gc
import json
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

from benchlib import (  # noqa: E402  (bench/ is put on the path just above)
    MIB,
    fmt_ratio,
    fmt_time,
    held,
    log,
    measure,
    proc_status,
    pulses_frame_floor,
    ready_columns,
    records_frame_floor,
    reset_peak_rss,
    time_writer,
)
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
    # chip-like runs: the large shape and the scaling shape (see chip_runs.py)
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


# -- data ------------------------------------------------------------------------------


def class_sizes(rng, typical: int, count: int):
    """`count` record counts around `typical`; the first is exactly `typical`."""
    import numpy as np

    if typical >= 1_000_000:
        sizes = np.full(count, typical)
    else:
        sizes = rng.integers(typical // 2, typical * 3 // 2 + 1, count)
    sizes[0] = typical
    return sizes


def make_data(workdir: Path, cfg: dict) -> dict:
    """Writes (or reuses) the benchmark files and returns their description."""
    import numpy as np

    import gen

    manifest_path = workdir / "manifest.json"
    wanted = json.dumps({"layout": 3, **{k: cfg[k] for k in ("run", "strip", "open_apertures")}}, sort_keys=True)
    if manifest_path.exists():
        manifest = json.loads(manifest_path.read_text())
        if manifest.get("config") == wanted and all(Path(p).exists() for p in manifest["files"]):
            log(f"reusing data in {workdir}")
            return manifest
    t = time.perf_counter()
    rng = np.random.default_rng(2024)

    # The run: every size class, shuffled, plus a few empty apertures; numbers 0..M-1.
    classes = [class_sizes(rng, typical, count) for typical, count in cfg["run"]]
    sizes = np.concatenate(classes)
    starts = np.cumsum([0] + [c.size for c in classes[:-1]])
    small = np.setdiff1d(np.flatnonzero(sizes < 500), starts)
    sizes[rng.choice(small, 20, replace=False)] = 0  # a few apertures without records
    sizes = sizes[rng.permutation(sizes.size)]
    m = sizes.size
    cols = 250 if m > 10_000 else 100
    rows = -(-m // cols)
    run = gen.write_pulse_file(str(workdir / "run.bin"), sizes, seed=1, cols=cols)
    sizes_path = str(workdir / "run.sizes.npy")
    np.save(sizes_path, sizes)
    scenario = {}
    for s in cfg["sizes"]:
        scenario[str(s)] = int(np.flatnonzero(sizes == s)[0])
    log(f"run: {m} apertures, {run['records']:,} records, {run['bytes'] / MIB:.0f} MiB")

    # Four strips of one grid: aperture numbers 0..rows*cols-1 in each.
    st = cfg["strip"]
    strips = []
    for k in range(4):
        n = st["rows"] * st["cols"]
        ssizes = np.concatenate([class_sizes(rng, typical, count) for typical, count in st["mix"]])[:n]
        ssizes = ssizes[rng.permutation(ssizes.size)]
        info = gen.write_pulse_file(str(workdir / f"strip{k}.bin"), ssizes, seed=10 + k, cols=st["cols"],
                                    roi_offset_col=5 * k, roi_cols=st["cols"] - 5 * k)
        strips.append(info["path"])
    log(f"strips: 4 x {n} apertures")

    # Many small apertures: opening cost is the index.
    n_open = cfg["open_apertures"]
    osizes = rng.integers(0, 4, n_open)
    cols = 1000 if n_open >= 1_000_000 else 250
    many = gen.write_pulse_file(str(workdir / "many.bin"), osizes, seed=3, cols=cols)
    log(f"open file: {n_open} apertures, {many['bytes'] / MIB:.0f} MiB; data written in {time.perf_counter() - t:.1f} s")

    manifest = {
        "config": wanted,
        "files": [run["path"], sizes_path, *strips, many["path"]],
        "run": {"path": run["path"], "sizes": sizes_path, "apertures": m, "records": run["records"], "bytes": run["bytes"]},
        "scenario": scenario,
        "strips": strips,
        "many": {"path": many["path"], "apertures": n_open, "bytes": many["bytes"]},
    }
    manifest_path.write_text(json.dumps(manifest))
    return manifest


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


def child(argv):
    """Runs one measured call in this (child) process and prints its time and memory as JSON.

    Ops: copy SRC OUT STEP (every STEP-th aperture), merge IN... OUT, and the whole-run
    calls of chip_runs.child_call (iter PATH BATCH_RECORDS, open PATH).
    """
    import resource

    import zyn_pulse_reader as z

    op, args = argv[0], argv[1:]
    if op == "copy":
        src, out, step = args
        reader = z.PulseReader(src)
        apertures = list(reader.apertures)[:: int(step)]
        run = lambda: reader.copy_apertures_to_new_file(apertures, out)  # noqa: E731
    elif op == "merge":
        *inputs, out = args
        run = lambda: z.merge_pulse_files(inputs, out)  # noqa: E731
    else:
        import chip_runs

        run = chip_runs.child_call(op, args)
    gc.collect()
    before = proc_status("VmRSS")
    startup_peak = proc_status("VmHWM")  # interpreter, imports and (for the copy) opening
    reset = reset_peak_rss()
    t = time.perf_counter()
    extra = run() or {}
    seconds = time.perf_counter() - t
    peak = proc_status("VmHWM")
    # ru_maxrss can carry the parent's peak over the fork; VmHWM belongs to this process alone.
    maxrss = max(startup_peak, peak) if reset else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({"seconds": seconds, "rss_before": before, "peak": peak, "peak_reset": reset, "maxrss": maxrss,
                      **extra}))



# -- core ------------------------------------------------------------------------------


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
        choices=("queries", "run", "writers", "open", "bulk", "scaling", "threads", "bulkwriters"),
        help="run only these sections (queries includes the core library)",
    )
    parser.add_argument("--child", nargs=argparse.REMAINDER, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args.child)

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
    import numpy as np
    import pandas as pd

    import zyn_pulse_reader as z
    from numpy_reader import NumpyPulseReader

    data = make_data(workdir, cfg)
    lines = machine_header(cfg_name, data)
    module_file = Path(z.__file__)  # the private copy
    module_stamp = module_file.stat().st_mtime_ns
    core_exe = None if args.no_core else build_core_bench(Path(args.build_dir))

    run_path = data["run"]["path"]
    module = z.PulseReader(run_path)
    peer = NumpyPulseReader(run_path)
    fd = os.open(run_path, os.O_RDONLY)
    apertures = list(module.apertures)
    changed = []  # sections during which the module file was replaced (the owner rebuilt it)

    def want(section: str) -> bool:
        nonlocal module_stamp
        stamp = module_file.stat().st_mtime_ns
        if stamp != module_stamp:
            changed.append(section)
            module_stamp = stamp
        return not args.only or section in args.only

    if want("queries"):
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

    if want("run"):
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

    module.close()
    peer.close()
    os.close(fd)
    if want("writers"):
        # ---- 3. writers --------------------------------------------------------------------
        log("writers")
        out_copy, out_merge, out_cp = str(workdir / "out_copy.bin"), str(workdir / "out_merge.bin"), str(workdir / "out_cp.bin")
        writer_rows = []
        for name, child_args, out in (
            ("copy_apertures_to_new_file (every other aperture)", ["copy", run_path, out_copy, "2"], out_copy),
            ("merge_pulse_files (4 strips)", ["merge", *data["strips"], out_merge], out_merge),
        ):
            r = time_writer(child_args, out, out_cp, cfg["writer_repeats"])
            os.remove(out)
            ok = r["module"] / r["cp"] <= 1.5 and r["growth"] < 64 * MIB
            writer_rows.append(
                f"| {name} | {r['size'] / MIB:,.0f} MiB | {fmt_time(r['module'])} | {fmt_time(r['cp'])} "
                f"| {fmt_ratio(r['module'] / r['cp'])} | {r['growth'] / MIB:.1f} MiB | {r['peak'] / MIB:.0f} MiB "
                f"| ≤1.5x cp, <64 MiB | {held(ok)} |"
            )
        lines += [
            "## Writers",
            "",
            f"Each run in a fresh child process ({cfg['writer_repeats']} repeats, `sync` before each run, not timed); "
            "cp floor = `cp --reflink=never` of a file as large as the writer's output. Memory during the call = peak RSS "
            "of the child during the call (peak reset via /proc/self/clear_refs just before it) minus its RSS before; "
            "the whole-process peak also counts the interpreter, NumPy and pandas (imported by PulseReader).",
            "",
            "| writer | output | module | cp floor | module / cp | memory during call | process peak RSS | target | status |",
            "|---|---:|---:|---:|---:|---:|---:|---|---|",
            *writer_rows,
            "",
        ]

    if want("open"):
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
    lines += chip_run_sections(z, pd, np, data, cfg, workdir, want)
    want("end")
    if changed:
        lines.insert(
            2,
            "- **Warning: the module file was replaced while the benchmark ran (noticed before: "
            f"{', '.join(changed)}; the change happened in the section before each). Child processes and the part "
            "after the change may have used another build than the rest. Run again.**",
        )
    return lines


def chip_run_sections(z, pd, np, data: dict, cfg: dict, workdir: Path, want) -> list[str]:
    """The whole-run sections on the 20,000-aperture run and the chip-like runs."""
    import chip_runs

    lines = []
    large = scaling = None
    timings = {}
    if want("bulk") or want("threads") or want("bulkwriters"):
        large = chip_runs.make_chip_run(workdir, cfg["chips"][0], seed=20)
    shapes = [dict(data["run"]), large]
    if want("bulk"):
        section, timings = chip_runs.whole_run_section(z, pd, np, shapes, cfg)
        lines += section
    if want("scaling"):
        scaling = chip_runs.make_chip_run(workdir, cfg["chips"][1], seed=21)
        lines += chip_runs.scaling_section(z, np, scaling, large, timings.get(cfg["chips"][0]), cfg)
    if want("threads"):
        log("threads")
        with z.PulseReader(large["path"]) as reader:
            rows = chip_runs.thread_rows(reader, large["path"], np.load(large["sizes"]), cfg, np)
        lines += [
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
    if want("bulkwriters"):
        log("writers on whole runs")
        rows = chip_runs.writer_rows(z, np, [s for s in shapes if s is not None], workdir, cfg)
        lines += [
            "## Writers on whole runs",
            "",
            "Every aperture copied, and the run merged with itself (the second copy renumbered after the first), "
            "measured as the writers above; after the last run, the output's apertures and the records of the "
            "largest and a sample of other apertures are checked against the source.",
            "",
            "| writer | output | module | cp floor | module / cp | memory during call | process peak RSS | target | status |",
            "|---|---:|---:|---:|---:|---:|---:|---|---|",
            *rows,
            "",
        ]
    return lines


if __name__ == "__main__":
    main()
