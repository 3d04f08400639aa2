"""Progress bars on standard error, driven by the work actually done.

A bar is shown when standard error is a terminal, unless --progress or --no-progress says
otherwise. Every bar ends at exactly its total: work that is done but was counted in a
different unit (a file's final size against an estimate) snaps the bar to its total.
"""

from __future__ import annotations

import os
import sys
import threading
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd
from tqdm import tqdm

# How often the main thread looks at an output that a module call is writing.
_POLL_SECONDS = 0.1


def progress_wanted(choice: bool | None) -> bool:
    """The user's --progress/--no-progress, else whether standard error is a terminal."""
    return sys.stderr.isatty() if choice is None else choice


def new_bar(total: int, unit: str, description: str, shown: bool) -> tqdm[Any]:
    """A bar whose counts and rates are scaled ("17.1M/40.0M", "17.1Mrec/s"), bytes by 1024."""
    return tqdm(
        total=total, unit=unit, unit_scale=True, unit_divisor=1024 if unit == "B" else 1000,
        desc=description, disable=not shown, file=sys.stderr, dynamic_ncols=True, leave=True,
    )


def finish(bar: tqdm[Any]) -> None:
    """Sets the bar to its total and closes it."""
    if bar.total is not None and bar.n != bar.total:
        bar.update(bar.total - bar.n)
    bar.close()


def run_watching_size(call: Callable[[], None], output: str, final_size: int, description: str, shown: bool) -> None:
    """Runs `call` (a module call that writes `output` with the interpreter lock released)
    while a worker thread moves a bar along the output's size. The call runs on this thread,
    so that Ctrl-C stops it; the worker is joined however the call ends."""
    with new_bar(final_size, "B", description, shown) as bar:
        done = threading.Event()

        def watch() -> None:
            while not done.wait(_POLL_SECONDS):
                try:
                    size = os.stat(output).st_size
                except OSError:
                    continue
                bar.update(min(size, final_size) - bar.n)

        watcher = threading.Thread(target=watch, name="zyn-pulse-progress")
        if shown:
            watcher.start()
        try:
            call()
        finally:
            done.set()
            if shown:
                watcher.join()
        finish(bar)


class RecordsDone:
    """Records of the file covered so far by a walk that yields whole apertures in order.

    A batch's rows name only the apertures that gave rows; the apertures in between (no
    pulses, no records) are covered too, so the count runs up to the batch's last aperture.
    """

    def __init__(self, apertures: npt.ArrayLike, records: npt.ArrayLike) -> None:
        self._order = np.asarray(apertures)
        self._cumulative = np.cumsum(np.asarray(records, dtype=np.uint64))
        self._position = 0
        self.total = int(self._cumulative[-1]) if self._cumulative.size else 0

    def after(self, last_aperture: int) -> int:
        """The records covered once the walk has reached `last_aperture`."""
        self._position += int(np.argmax(self._order[self._position :] == last_aperture)) + 1
        return int(self._cumulative[self._position - 1])

    def after_frame(self, batch: pd.DataFrame) -> int:
        """The records covered after a batch of the walk, given as a frame."""
        if len(batch):
            return self.after(batch["aperture_index"].iloc[-1])
        return int(self._cumulative[self._position - 1]) if self._position else 0
