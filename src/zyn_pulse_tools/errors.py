"""The failure every subcommand reports as one line: ``zyn-pulse: error: <message>``."""

from __future__ import annotations


class CommandError(Exception):
    """A failure of the command that the user can act on; its text is the whole message."""


class MissingExtra(CommandError):
    """An optional dependency of a subcommand is not installed."""

    def __init__(self, module: str, install: str, command: str) -> None:
        super().__init__(f"{command} needs {module}, which is not installed: {install}")
