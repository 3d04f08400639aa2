"""Ctrl-C in the ``zyn-pulse`` command: one clean stop, and none once the output is in place.

The first SIGINT raises KeyboardInterrupt on the main thread, wherever it is; the module's
long calls notice it within about 0.1 s and unwind. Later ones are ignored: the first is
already unwinding and removing temporary output, which a second KeyboardInterrupt inside a
``finally`` clause would cut short. Two kinds of work hold Ctrl-C back, noting it only:
imports (an extension interrupted while it loads fails with a misleading ImportError), after
which a noted Ctrl-C is raised; and the rename that completes an output, after which the
command has completed and its exit status says so. A Ctrl-C that lands in the import
machinery, a weak-reference callback or a finalizer, where Python would print the exception
as ignored and drop it, is looked at again 20 ms later.
"""

from __future__ import annotations

import signal

# Nothing else is imported here: the command takes over Ctrl-C as early in its start-up as it can.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from types import FrameType, TracebackType

_raised = False  # KeyboardInterrupt has been raised once
_noted = False  # a Ctrl-C came while held back
_holding = 0  # depth of held blocks
_completed = False  # the command's output is in place


# Code where a KeyboardInterrupt would be lost: the import machinery (whose module-lock
# callbacks run at odd moments), weak-reference callbacks and finalizers (`__del__`, run
# whenever the garbage collector or a reference count lets go of an object, such as a
# progress bar), whose exceptions Python prints as "ignored" and drops.
_UNSAFE_FILES = ("<frozen importlib._bootstrap>", "<frozen importlib._bootstrap_external>")
_UNSAFE_SUFFIXES = ("/weakref.py", "/_weakrefset.py")
_LOOK_AGAIN_S = 0.02


def _in_unsafe_code(frame: FrameType | None) -> bool:
    while frame is not None:
        name = frame.f_code.co_filename
        if name in _UNSAFE_FILES or name.endswith(_UNSAFE_SUFFIXES) or frame.f_code.co_name == "__del__":
            return True
        frame = frame.f_back
    return False


def _on_sigint(signum: int, frame: FrameType | None) -> None:
    global _raised, _noted
    if _raised:
        return
    if _holding or _completed:
        _noted = True
        return
    if _in_unsafe_code(frame):
        # Noted, and looked at again shortly (SIGALRM), once that code has returned.
        _noted = True
        signal.setitimer(signal.ITIMER_REAL, _LOOK_AGAIN_S)
        return
    _raised = True
    raise KeyboardInterrupt


def _on_alarm(signum: int, frame: FrameType | None) -> None:
    if _noted:
        _on_sigint(signum, frame)


def install() -> None:
    """Takes over SIGINT, unless the command was started with it ignored (as by nohup)."""
    global _raised, _noted, _holding, _completed
    _raised = _noted = _completed = False
    _holding = 0
    if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
        signal.signal(signal.SIGINT, _on_sigint)
        signal.signal(signal.SIGALRM, _on_alarm)


def ignore_from_now_on() -> None:
    """Ignores SIGINT once the command has ended: the interpreter puts back the default
    action (death by the signal) while it shuts down, but leaves an ignored signal ignored."""
    if signal.getsignal(signal.SIGINT) is _on_sigint:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGALRM, signal.SIG_IGN)


class held:
    """Holds Ctrl-C back while the block runs; one that came meanwhile is raised at its end."""

    def __enter__(self) -> None:
        global _holding
        _holding += 1

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        global _holding, _raised
        _holding -= 1
        if error is None and _noted and not (_holding or _raised or _completed):
            _raised = True
            raise KeyboardInterrupt


class completing(held):
    """Holds Ctrl-C back while the block completes the command's output (renames it into
    place); once the block has succeeded, the command has completed."""

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        global _completed
        if error is None:
            _completed = True
        super().__exit__(kind, error, traceback)
