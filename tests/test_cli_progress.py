"""Progress bars as a user sees them: under a terminal the bar ends at exactly 100 %, its
count equal to the records the command read."""

from __future__ import annotations

import fcntl
import os
import pty
import re
import struct
import subprocess
import sys
import termios

import pytest

from cli_runs import run_file
from zyn_pulse_reader import PulseReader


def stderr_on_a_terminal(*args: str) -> tuple[int, str]:
    """Runs `python -m zyn_pulse_tools ARGS` with standard error on a pseudo-terminal."""
    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 120, 0, 0))  # 40 rows, 120 columns
    child = subprocess.Popen(
        [sys.executable, "-m", "zyn_pulse_tools", *args], stdout=subprocess.DEVNULL, stderr=follower
    )
    os.close(follower)
    seen = b""
    while True:
        try:
            chunk = os.read(leader, 65536)
        except OSError:  # the terminal closes once the child has gone
            break
        if not chunk:
            break
        seen += chunk
    os.close(leader)
    return child.wait(), seen.decode(errors="replace")


@pytest.mark.parametrize("command", ["check", "export"])
def test_the_bar_ends_at_the_records_done(tmp_path, command):
    if command == "export":
        pytest.importorskip("pyarrow")
    run = str(run_file(60, rows=8, cols=10).write(tmp_path / "run.pulses.bin"))
    with PulseReader(run) as reader:
        records = sum(len(reader.get_all_records(a)) for a in reader.apertures)
    args = {"check": ["check", run], "export": ["export", run, "-o", str(tmp_path / "t.csv"), "--batch-records", "100"]}
    status, screen = stderr_on_a_terminal(*args[command])
    assert status == 0, screen
    # Counts and rates are scaled as tqdm does it: "0.00/985", "1.23k/4.56k", "61.7krec/s".
    states = re.findall(r"(\d+)%\|[^|]*\| ([\d.]+k?)/([\d.]+k?)", screen)
    assert len(states) >= 2, screen
    assert states[-1] == ("100", str(records), str(records))
    assert all(float(done.rstrip("k")) * (1000 if done.endswith("k") else 1) <= records for _, done, _ in states)
    rates = re.findall(r", ([\d.]+)([kMG]?)rec/s\]", screen)
    assert rates and all(len(digits.replace(".", "")) <= 4 for digits, _ in rates), screen
