"""Ctrl-C at random moments: in the zyn-pulse command, and in each long call of the module.

The command is interrupted at least 50 times per writing subcommand, at moments drawn over
its whole run: it must never die by a signal or print a traceback, must leave its inputs as
they were, no temporary file, and either no output (exit 130, "zyn-pulse: interrupted") or
the complete output (exit 0). Ten runs per subcommand are whole processes, interrupted from
the moment the interpreter starts loading NumPy (before that, the interpreter is still
starting and Ctrl-C is Python's own); the others are forked from one process that has made
the imports already (command_forker.py), so that many moments of the work itself cost
little. The module's calls run in a child interpreter (interrupt_worker.py) that
interrupts each of them at random moments and checks what they leave behind; each must raise
KeyboardInterrupt within 0.5 s of the signal.
"""

from __future__ import annotations

import hashlib
import json
import os
import random
import signal
import statistics
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import pytest

from model import bulk_file
from pulsefile import DEFAULT_METADATA

PROCESS_TRIALS = 10
FORKED_TRIALS = 45
WORKER = Path(__file__).with_name("interrupt_worker.py")
FORKER = Path(__file__).with_name("command_forker.py")


def write_run(path: Path, apertures: int, records_each: int, cols: int = 100) -> Path:
    """A run of `apertures` apertures with `records_each` pulse records each."""
    rng = np.random.default_rng(apertures)
    n = apertures * records_each
    raw = rng.integers(0, 999, (n, 8)).astype(np.uint16)
    raw[:, 0], raw[:, 1] = rng.integers(1, 30, n), rng.integers(1, 9, n)
    numbers = np.arange(apertures)
    rows = max(1, apertures // cols)
    metadata = {**DEFAULT_METADATA, "rows": rows, "cols": cols, "roi_rows": rows, "roi_cols": cols}
    bulk_file(numbers, numbers % cols, numbers // cols, raw, np.full(apertures, records_each), [(0, 0, 0)] * 8,
              metadata).write(path)
    return path


@pytest.fixture(autouse=True, scope="module")
def sigint_not_ignored():
    """The children must start with SIGINT's default action. A shell starts background jobs
    with SIGINT ignored, which the children would inherit and (rightly) keep; a handler in
    this process is reset to the default in them instead."""
    previous = signal.getsignal(signal.SIGINT)
    if previous is signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


@pytest.fixture(scope="module")
def runs(tmp_path_factory) -> dict[str, Path]:
    folder = tmp_path_factory.mktemp("interrupts")
    return {
        "run": write_run(folder / "run.bin", 20_000, 100),  # 2,000,000 records, 32 MB
        "medium": write_run(folder / "medium.bin", 10_000, 50),
        "medium_copy": write_run(folder / "medium_copy.bin", 10_000, 50),  # a second strip of the run
        "small": write_run(folder / "small.bin", 2_000, 20),
        "big": write_run(folder / "big.bin", 1, 2_000_000),  # one aperture of 2,000,000 records
    }


def digest(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


def numpy_loaded(pid: int) -> bool:
    try:
        return "_multiarray_umath" in Path(f"/proc/{pid}/maps").read_text()
    except OSError:
        return True  # gone already


def run_command(args: list[str], delay: float | None) -> tuple[int, str, float]:
    """Runs zyn-pulse ARGS and, unless `delay` is None, sends SIGINT `delay` seconds after
    NumPy started loading; its exit status, its standard error and how long it ran."""
    # Warnings about the random data would clutter the one line that is checked.
    child = subprocess.Popen([sys.executable, "-m", "zyn_pulse_tools", *args], stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, text=True, env={**os.environ, "PYTHONWARNINGS": "ignore"})
    while child.poll() is None and not numpy_loaded(child.pid):
        time.sleep(0.002)
    started = time.perf_counter()
    if delay is not None:
        time.sleep(delay)
        if child.poll() is None:
            child.send_signal(signal.SIGINT)
    _, error = child.communicate()
    return child.returncode, error, time.perf_counter() - started


COMMANDS = {
    "merge": (["merge", "{medium}", "{medium_copy}"], "out.bin"),
    "subset": (["subset", "{medium}", "--min-pulses", "1"], "out.bin"),
    "export": (["export", "{small}"], "out.csv"),
    "report": (["report", "{small}"], "out.html"),
}


@pytest.mark.parametrize("command", COMMANDS)
def test_command_interrupted_at_random_moments(runs, tmp_path, command):
    if command == "report":
        pytest.importorskip("matplotlib")
    if command == "export":
        pytest.importorskip("pyarrow")
    template, name = COMMANDS[command]
    args = [part.format(**runs) for part in template]
    inputs = {path: digest(path) for path in runs.values()}
    reference = tmp_path / "reference" / name
    reference.parent.mkdir()
    status, error, duration = run_command([*args, "-o", str(reference)], None)
    assert (status, error) == (0, "")

    rng = random.Random(command)

    def trial(folder: Path) -> tuple[Path, int, str]:
        folder.mkdir()
        status, error, _ = run_command([*args, "-o", str(folder / name)], rng.uniform(0, duration * 1.1))
        return folder, status, error

    with ThreadPoolExecutor(max_workers=(os.cpu_count() or 1) + 1) as pool:
        outcomes = list(pool.map(trial, [tmp_path / f"process{k}" for k in range(PROCESS_TRIALS)]))
    # The forked runs start where the imports end: their moments are drawn over the work.
    forked = subprocess.run(
        [sys.executable, str(FORKER), command, str(FORKED_TRIALS), str(tmp_path), name, "--", *args],
        capture_output=True, text=True, env={**os.environ, "PYTHONWARNINGS": "ignore"}, timeout=600,
    )
    assert forked.returncode == 0, forked.stderr
    outcomes += [(Path(r["folder"]), r["status"], r["stderr"]) for r in map(json.loads, forked.stdout.splitlines())]
    assert len(outcomes) == PROCESS_TRIALS + FORKED_TRIALS
    for folder, status, error in outcomes:
        left = sorted(p.name for p in folder.iterdir())
        if status == 130:
            assert (error, left) == ("zyn-pulse: interrupted\n", []), folder
        else:
            assert (status, error, left) == (0, "", [name]), folder
            if command != "report":  # the page embeds images whose bytes may vary
                assert (folder / name).read_bytes() == reference.read_bytes(), folder
            else:
                assert (folder / name).read_text().endswith("</html>\n")
    assert {path: digest(path) for path in runs.values()} == inputs
    statuses = [status for _, status, _ in outcomes]
    assert statuses.count(130) >= len(outcomes) // 4, statuses  # most moments fall inside the work


def test_long_calls_raise_keyboard_interrupt_promptly(runs, tmp_path):
    inputs = {path: digest(path) for path in runs.values()}
    done = subprocess.run(
        [sys.executable, str(WORKER), str(runs["run"]), str(runs["big"]), str(tmp_path), "8", "1"],
        capture_output=True, text=True, timeout=600,
    )
    assert done.returncode == 0 and "Traceback" not in done.stderr, done.stderr
    results = [json.loads(line) for line in done.stdout.splitlines()]
    assert len(results) == 9
    delays = [delay for result in results for delay in result["delays"]]
    for result in results:
        assert result["interrupted"] > 0, result
        assert max(result["delays"]) < 0.5, result
    assert {path: digest(path) for path in runs.values()} == inputs
    print(f"KeyboardInterrupt after the signal: median {statistics.median(delays) * 1000:.0f} ms, "
          f"max {max(delays) * 1000:.0f} ms over {len(delays)} interrupts")


def test_ctrl_c_inside_a_finalizer_is_raised_after_it():
    """Python drops an exception raised in `__del__` (printing it as ignored): the command's
    handler notes a Ctrl-C that lands there and raises it once the finalizer has returned."""
    from zyn_pulse_tools import interrupts

    class SignalledWhileFinalized:
        def __del__(self) -> None:
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(0.005)  # the handler runs here, inside the finalizer

    previous = {number: signal.getsignal(number) for number in (signal.SIGINT, signal.SIGALRM)}
    signal.signal(signal.SIGINT, signal.default_int_handler)
    interrupts.install()
    unraisable: list[object] = []
    hook, sys.unraisablehook = sys.unraisablehook, unraisable.append
    try:
        with pytest.raises(KeyboardInterrupt):
            SignalledWhileFinalized()  # finalized at once
            time.sleep(2)
    finally:
        sys.unraisablehook = hook
        signal.setitimer(signal.ITIMER_REAL, 0)
        for number, handler in previous.items():
            signal.signal(number, handler)
    assert unraisable == []
