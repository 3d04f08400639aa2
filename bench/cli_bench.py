"""Benchmark of the zyn-pulse command on a chip-like run of 1,000,000 apertures.

Every measurement runs in a child process of its own, so that its peak resident memory
(the child's maximum RSS, interpreter, NumPy and pandas included) belongs to it alone. A
child's maximum RSS includes what it inherited at the fork, so this process stays small:
the run is written by a child too, and NumPy is imported only there.

- export to Parquet against get_pulses_many() + pyarrow.parquet.write_table of that frame;
- check, info and report against summary() + one iter_pulses() walk, the least a tool must
  do to see every pulse of the run.

Writes the Markdown section "## The zyn-pulse command" to the end of bench/results.md
(replacing an earlier one) and prints it. The machine's load moves the numbers: compare
ratios from one run.

    python bench/cli_bench.py              # 1,000,000 apertures, about 17 million records
    python bench/cli_bench.py --apertures 20000 --output -   # a quick look, printed only
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

SECTION = "## The zyn-pulse command"

# The baselines, run as `python -c` in a child process: FILE and OUT are argv[1] and argv[2].
BASELINES = {
    "get_pulses_many + write_table": (
        "import sys, pyarrow, pyarrow.parquet\n"
        "from zyn_pulse_reader import PulseReader\n"
        "with PulseReader(sys.argv[1]) as reader:\n"
        "    frame = reader.get_pulses_many()\n"
        "pyarrow.parquet.write_table(pyarrow.Table.from_pandas(frame), sys.argv[2])\n"
    ),
    "summary + iter_pulses walk": (
        "import sys\n"
        "from zyn_pulse_reader import PulseReader\n"
        "with PulseReader(sys.argv[1]) as reader:\n"
        "    reader.summary()\n"
        "    for batch in reader.iter_pulses():\n"
        "        pass\n"
    ),
}


def write_chip_run(path: str, apertures: int, seed: int = 7) -> None:
    """Writes the run that `zyn-pulse simulate` writes by default, on a grid of 1,000 columns:
    most apertures 0 to 20 records, one in 200 hundreds to thousands (log-normal around
    1,000), 4 % of the records of unknown kind. Prints the file's facts as JSON."""
    from zyn_pulse_tools.simulate import RunShape, SimulatedRun

    cols = min(apertures, 1000)
    run = SimulatedRun(RunShape(rows=-(-apertures // cols), cols=cols, apertures=apertures, seed=seed))
    run.write(run.strips([path]))
    print(json.dumps({"records": run.records, "bytes": os.path.getsize(path)}))


def measure(argv: list[str], repeats: int) -> tuple[float, float]:
    """Best wall time (s) and largest peak RSS (MiB) of `argv` run as a child process.
    Exit status 1 counts as success: check reports the run's unknown records that way."""
    best, peak = float("inf"), 0.0
    for _ in range(repeats):
        start = time.perf_counter()
        child = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        _, status, usage = os.wait4(child.pid, 0)
        elapsed = time.perf_counter() - start
        error = child.stderr.read().decode() if child.stderr else ""
        if os.waitstatus_to_exitcode(status) not in (0, 1) or error.startswith("Traceback"):
            raise SystemExit(f"{' '.join(argv)} failed: {error}")
        best, peak = min(best, elapsed), max(peak, usage.ru_maxrss / 1024)
    return best, peak


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--apertures", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=2, help="runs of each measurement; the best time counts")
    parser.add_argument("--output", default=str(HERE / "results.md"), help='Markdown file to update, "-" to only print')
    parser.add_argument("--write-run", metavar="PATH", help=argparse.SUPPRESS)  # the child that writes the run
    args = parser.parse_args()
    if args.write_run:
        write_chip_run(args.write_run, args.apertures)
        return

    python = sys.executable
    command = [python, "-m", "zyn_pulse_tools"]
    with tempfile.TemporaryDirectory(prefix="cli-bench-") as work:
        run = os.path.join(work, "chip.pulses.bin")
        written = subprocess.run(
            [python, __file__, "--apertures", str(args.apertures), "--write-run", run],
            check=True, capture_output=True, text=True,
        )
        facts = json.loads(written.stdout)
        out = os.path.join(work, "out")
        timings: dict[str, tuple[float, float]] = {}
        plan = {
            "export --what pulses (Parquet)": [*command, "export", run, "-o", out + ".parquet", "--force", "--no-progress"],
            "get_pulses_many + write_table": [python, "-c", BASELINES["get_pulses_many + write_table"], run, out + "-base.parquet"],
            "check": [*command, "check", run, "--no-progress"],
            "info": [*command, "info", run],
            "report": [*command, "report", run, "-o", out + ".html", "--force", "--no-progress"],
            "summary + iter_pulses walk": [python, "-c", BASELINES["summary + iter_pulses walk"], run],
        }
        for name, argv in plan.items():
            timings[name] = measure(argv, args.repeats)
            print(f"{name}: {timings[name][0]:.2f} s, {timings[name][1]:.0f} MiB", file=sys.stderr)

    export_time, export_memory = timings["export --what pulses (Parquet)"]
    base_time, base_memory = timings["get_pulses_many + write_table"]
    floor_time = timings["summary + iter_pulses walk"][0]
    lines = [
        SECTION,
        "",
        f"A chip-like run of {args.apertures:,} apertures ({facts['records']:,} records, "
        f"{facts['bytes'] / 2**20:,.0f} MiB; most apertures 0 to 20 records, one in 200 around 1,000), "
        f"each row a child process (best of {args.repeats}; peak RSS includes the interpreter, NumPy "
        f"and pandas). CPython {platform.python_version()}, {platform.machine()}, {os.cpu_count()} cores; "
        "made by `python bench/cli_bench.py`.",
        "",
        "| Command | Time | Peak RSS | Against | Target |",
        "|---|---|---|---|---|",
        f"| export to Parquet | {export_time:.2f} s | {export_memory:,.0f} MiB | "
        f"{export_time / base_time:.2f}x the time, {export_memory / base_memory:.2f}x the memory of "
        f"get_pulses_many + write_table ({base_time:.2f} s, {base_memory:,.0f} MiB) | "
        f"at most 1.5x, at most 0.33x: {'held' if export_time <= 1.5 * base_time and export_memory * 3 <= base_memory else 'missed'} |",
    ]
    for name in ("check", "info", "report"):
        took, memory = timings[name]
        allowance = 2 * floor_time + (1.0 if name == "report" else 0.0)
        target = "at most 2x + 1 s of plotting" if name == "report" else "at most 2x"
        lines.append(
            f"| {name} | {took:.2f} s | {memory:,.0f} MiB | {took / floor_time:.2f}x summary + iter_pulses walk "
            f"({floor_time:.2f} s) | {target}: {'held' if took <= allowance else 'missed'} |"
        )
    section = "\n".join(lines) + "\n"
    print(section)
    if args.output != "-":
        target_file = Path(args.output)
        text = target_file.read_text() if target_file.exists() else ""
        if SECTION in text:
            text = text[: text.index(SECTION)].rstrip("\n") + "\n"
        target_file.write_text((text.rstrip("\n") + "\n\n" if text else "") + section)


if __name__ == "__main__":
    main()
