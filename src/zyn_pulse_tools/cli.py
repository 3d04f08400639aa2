"""The ``zyn-pulse`` command: one entry point, one subcommand per task.

Each subcommand lives in its own module under ``zyn_pulse_tools.commands`` with a
``register`` function that adds its parser; the work functions there are importable without
the command line. Failures print one line, ``zyn-pulse: error: <message>``, and exit with
status 1; usage errors exit with status 2 (argparse's convention).
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

import zyn_pulse_reader

from zyn_pulse_tools import __version__
from zyn_pulse_tools.commands import check, export, info, merge, report, subset
from zyn_pulse_tools.errors import CommandError

_COMMANDS = (info, check, subset, merge, export, report)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="zyn-pulse", description="Work with pulse files (pulses.bin).")
    parser.add_argument("--version", action="version",
                        version=f"%(prog)s {__version__} (zyn_pulse_reader module {zyn_pulse_reader.__version__})")
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument(
        "--progress", action=argparse.BooleanOptionalAction, default=None,
        help="show progress bars on standard error (default: when it is a terminal)",
    )
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for command in _COMMANDS:
        command.register(subparsers, common)
    return parser


def _fail(message: str) -> int:
    print(f"zyn-pulse: error: {message}", file=sys.stderr)
    return 1


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        status: int = args.run(args)
    except KeyboardInterrupt:
        print("zyn-pulse: interrupted", file=sys.stderr)
        return 130
    except (CommandError, RuntimeError, OSError, ValueError) as error:
        return _fail(str(error) or type(error).__name__)
    except zyn_pulse_reader.PanicException as fault:
        return _fail(str(fault))
    return status
