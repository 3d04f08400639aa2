"""``zyn-pulse merge``: join row strips of one aperture grid into one file."""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Sequence
from typing import Any

from zyn_pulse_reader import PulseReader, merge_pulse_files

from zyn_pulse_tools.atomic_output import add_output_options, atomic_output
from zyn_pulse_tools.errors import naming
from zyn_pulse_tools.file_layout import HEADER_SIZE, INDEX_MAGIC, read_layout
from zyn_pulse_tools.progress import progress_wanted, run_watching_size

_INDEX_ENTRY_SIZE = 12


def input_metadata(paths: Sequence[str]) -> list[dict[str, Any]]:
    """Every input's metadata document; the inputs are opened by the module, so that a bad
    one is named with the module's diagnosis."""
    documents = []
    for path in paths:
        with naming(path), PulseReader(path) as reader:
            documents.append(reader.metadata)
    return documents


def merged_metadata_length(documents: Sequence[dict[str, Any]]) -> int:
    """Length of the merged metadata document: the first strip's, with the grid's totals set,
    written compactly with sorted keys."""
    merged = dict(documents[0])
    try:
        rows = sum(d["rows"] for d in documents)
        left = min(d["roi_offset_col"] for d in documents)
        merged.update(
            rows=rows, roi_rows=rows, roi_offset_col=left,
            roi_cols=max(d["roi_offset_col"] + d["roi_cols"] for d in documents) - left,
            **{m: sum(d[m] for d in documents) for m in ("validWells", "validWellsLeft", "validWellsRight")},
        )
    except (KeyError, TypeError):
        pass  # the merge itself refuses such strips, with its own message
    text = json.dumps(merged, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    return len(text.encode())


def merge_warnings(paths: Sequence[str], documents: Sequence[dict[str, Any]]) -> list[str]:
    """What looks wrong with a merge of strips that the module accepts: strips whose
    "duration" differs from the first's (of one run, they should not), a file given twice."""
    warnings = []
    for path, document in zip(paths[1:], documents[1:]):
        if document.get("duration") != documents[0].get("duration"):
            warnings.append(
                f'{path}: its "duration" ({document.get("duration")}) differs from that of {paths[0]} '
                f'({documents[0].get("duration")}); the merged file keeps the first'
            )
    for k, path in enumerate(paths):
        for earlier in paths[:k]:
            if os.path.samefile(path, earlier):
                warnings.append(f"{path} is given more than once: its apertures appear once per mention")
                break
    return warnings


def merge_size(paths: Sequence[str], documents: Sequence[dict[str, Any]] | None = None) -> int:
    """The merged file's size: header, the first strip's leading region with the merged
    metadata (padded to 16 bytes), every strip's data region, and the joined index."""
    metadata_length = merged_metadata_length(input_metadata(paths) if documents is None else documents)
    layouts = []
    for path in paths:
        with naming(path):
            layouts.append(read_layout(path))
    first = layouts[0]
    leading = first.data_offset - first.metadata_length + metadata_length
    data_offset = -(-leading // 16) * 16
    data = sum(layout.index_offset - layout.data_offset for layout in layouts)
    entries = sum(layout.aperture_count for layout in layouts)
    return max(data_offset, HEADER_SIZE) + data + len(INDEX_MAGIC) + _INDEX_ENTRY_SIZE * entries


def write_merge(inputs: Sequence[str], output: str, *, force: bool = False, show_progress: bool = False) -> None:
    documents = input_metadata(inputs)
    final_size = merge_size(inputs, documents) if inputs else 0
    with atomic_output(output, force, inputs) as temporary:
        for warning in merge_warnings(inputs, documents):
            print(f"zyn-pulse: warning: {warning}", file=sys.stderr)
        run_watching_size(lambda: merge_pulse_files(list(inputs), temporary), temporary, final_size, "merge", show_progress)


def run(args: argparse.Namespace) -> int:
    write_merge(args.inputs, args.output, force=args.force, show_progress=progress_wanted(args.progress))
    return 0


def register(subparsers: Any, common: argparse.ArgumentParser) -> None:
    parser = subparsers.add_parser(
        "merge", parents=[common], help="join row strips of one grid into one file",
        description="Merge pulse files that are row strips of one aperture grid, given top to bottom.",
    )
    parser.add_argument("inputs", nargs="+", metavar="IN")
    add_output_options(parser, "OUT", "the merged pulse file")
    parser.set_defaults(run=run)
