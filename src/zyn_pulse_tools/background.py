"""A call run on a worker thread, its failure re-raised on the thread that waits for it.

The module's calls release the interpreter lock while they read and write, so a worker
thread lets the calling thread do other work meanwhile (watch a file grow, walk another
part of a run).

Used as a context manager, it is joined when the block ends, however it ends: no call is
left running while the interpreter shuts down. A block that fails (Ctrl-C included) first
sets `stop`, which a long call checks between its steps to end early."""

from __future__ import annotations

import threading
from collections.abc import Callable
from types import TracebackType


class Background:
    def __init__(self, call: Callable[[threading.Event], None], name: str) -> None:
        self._failure: BaseException | None = None
        self.stop = threading.Event()

        def work() -> None:
            try:
                call(self.stop)
            except BaseException as error:  # noqa: BLE001 - re-raised by join()
                self._failure = error

        self._thread = threading.Thread(target=work, name=name)
        self._thread.start()

    def __enter__(self) -> Background:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        if error is None:
            self.join()
            return
        self.stop.set()
        self._thread.join()  # its own failure, if any, matters less than the block's

    def join(self) -> None:
        """Waits for the call to end and raises its failure, if any."""
        self._thread.join()
        if self._failure is not None:
            raise self._failure
