"""Runs the zyn-pulse command many times, each in a forked child, for tests/test_interrupts.py.

    python command_forker.py SEED TRIALS FOLDER OUTPUT_NAME -- ARGS...

The heavy imports happen once, here; each child then runs the command at once, as a process
that has just finished its start-up would, with ARGS and "-o FOLDER/forkK/OUTPUT_NAME",
and is sent SIGINT at a random moment within the time a first, uninterrupted child took. One JSON line per trial: the
folder, the child's wait status and its standard error.
"""

from __future__ import annotations

import json
import os
import random
import signal
import sys
import time
from pathlib import Path

import zyn_pulse_tools.cli as cli
from zyn_pulse_tools import interrupts

cli.build_parser()  # imports every subcommand and what it needs
# The command takes over Ctrl-C before these imports: a child forked from here starts as a
# process past its imports would, with the command's handler already in place.
interrupts.install()
install = interrupts.install

seed, trials, folder, name = sys.argv[1:5]
args = sys.argv[6:]
rng = random.Random(seed)


def run(k: int, delay: float | None) -> tuple[Path, int, Path]:
    """Runs child k, sending SIGINT after `delay` seconds unless it is None."""
    trial = Path(folder) / f"fork{k}"
    trial.mkdir()
    error_path = trial.parent / f"fork{k}.stderr"
    # The child says when the command has taken over Ctrl-C: the moment is drawn from then on,
    # so that no signal lands in this harness's own set-up of the child.
    ready, ready_to_write = os.pipe()
    child = os.fork()
    if child == 0:
        os.close(ready)
        with open(error_path, "wb") as error, open(os.devnull, "wb") as nothing:
            os.dup2(error.fileno(), 2)
            os.dup2(nothing.fileno(), 1)  # this process's standard output carries the JSON lines
        sys.argv = ["zyn-pulse", *args, "-o", str(trial / name)]

        def install_and_say_ready() -> None:
            # The command's first step: from here on, a Ctrl-C is the command's to handle.
            install()
            os.write(ready_to_write, b"!")
            os.close(ready_to_write)

        interrupts.install = install_and_say_ready
        status = cli.main()
        sys.stderr.flush()
        os._exit(status)
    os.close(ready_to_write)
    os.read(ready, 1)
    os.close(ready)
    if delay is not None:
        time.sleep(delay)
        os.kill(child, signal.SIGINT)
    _, wait_status = os.waitpid(child, 0)
    return trial, os.waitstatus_to_exitcode(wait_status), error_path


started = time.perf_counter()
run(-1, None)
duration = time.perf_counter() - started
for k in range(int(trials)):
    trial, status, error_path = run(k, rng.uniform(0, duration * 1.1))
    print(json.dumps({"folder": str(trial), "status": status, "stderr": error_path.read_text()}), flush=True)
