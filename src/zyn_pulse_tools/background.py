"""A call run on a worker thread, its failure re-raised on the thread that waits for it.

The module's calls release the interpreter lock while they read and write, so a worker
thread lets the calling thread do other work meanwhile (watch a file grow, walk another
part of a run)."""

from __future__ import annotations

import threading
from collections.abc import Callable


class Background:
    def __init__(self, call: Callable[[], None], name: str) -> None:
        self._failure: BaseException | None = None

        def work() -> None:
            try:
                call()
            except BaseException as error:  # noqa: BLE001 - re-raised by join()
                self._failure = error

        # A daemon, so that Ctrl-C on the main thread ends the process without waiting.
        self._thread = threading.Thread(target=work, name=name, daemon=True)
        self._thread.start()

    def running(self, seconds: float) -> bool:
        """Waits up to `seconds` for the call; whether it is still running."""
        self._thread.join(seconds)
        return self._thread.is_alive()

    def join(self) -> None:
        """Waits for the call to end and raises its failure, if any."""
        self._thread.join()
        if self._failure is not None:
            raise self._failure
