"""The ``zyn-pulse`` command: one entry point, one subcommand per task."""

from __future__ import annotations

import argparse
from collections.abc import Sequence

from zyn_pulse_tools import __version__


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="zyn-pulse", description="Work with pulse files (pulses.bin).")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    build_parser().parse_args(argv)
    return 0
