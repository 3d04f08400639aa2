"""``zyn-pulse report``: one self-contained HTML page that shows runs at a glance.

Per file: a table of the run's facts, heat maps of the chip (pulses per aperture and mean
SNR, each aperture drawn at its x and y on the rows x cols grid), histograms of pulse
duration, inter-pulse distance, SNR and intensity over the whole run, filled batch by batch,
and the shares of the record kinds. The plots are PNG images embedded as base64, so the
page needs nothing else to be viewed.
"""

from __future__ import annotations

import argparse
import base64
import html
import io
from collections import Counter
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd
from zyn_pulse_reader import PulseReader

from zyn_pulse_tools.atomic_output import add_output_options, atomic_output
from zyn_pulse_tools.background import Background
from zyn_pulse_tools.extras import require
from zyn_pulse_tools.histogram import LogHistogram
from zyn_pulse_tools.progress import RecordsDone, finish, new_bar, progress_wanted
from zyn_pulse_tools.record_kinds import kind_counts

HISTOGRAMS = {"dur_s": "pulse duration (s)", "ipd_s": "inter-pulse distance (s)", "snr": "SNR", "intensity": "intensity"}


@dataclass
class RunFacts:
    """Everything the report shows of one file, gathered in one summary and two walks."""

    path: str
    metadata: dict[str, Any]
    summary: pd.DataFrame
    histograms: dict[str, LogHistogram] = field(default_factory=lambda: {c: LogHistogram() for c in HISTOGRAMS})
    record_kinds: Counter[str] = field(default_factory=Counter)


def read_summary(path: str) -> RunFacts:
    with PulseReader(path) as reader:
        return RunFacts(path, reader.metadata, reader.summary())


def count_record_kinds(facts: RunFacts, bar: Any) -> None:
    with PulseReader(facts.path) as reader:
        for records in reader.iter_all_records():
            facts.record_kinds.update(kind_counts(records))
            bar.update(len(records))


def fill(facts: RunFacts, bar: Any) -> None:
    """Walks the run's pulses into the histograms and, on a second reader and thread at the
    same time, its records into the kind counts."""
    counting = Background(lambda: count_record_kinds(facts, bar), "zyn-pulse-record-kinds")
    with PulseReader(facts.path) as reader:
        records = facts.summary["records"]
        done = RecordsDone(records.index, records.to_numpy())
        counted = 0
        for pulses in reader.iter_pulses():
            for column, histogram in facts.histograms.items():
                histogram.add(pulses[column].to_numpy())
            # Updates are increments: the other thread moves the same bar.
            now = done.after_frame(pulses)
            bar.update(now - counted)
            counted = now
    counting.join()


def grid_image(summary: pd.DataFrame, values: str, rows: int, cols: int) -> npt.NDArray[np.float64]:
    """`values` of each aperture at (aperture_y, aperture_x) of a rows x cols grid (NaN
    elsewhere); the grid grows to hold apertures that lie outside it."""
    ys, xs = summary["aperture_y"].to_numpy(np.int64), summary["aperture_x"].to_numpy(np.int64)
    height = max(rows, int(ys.max()) + 1 if ys.size else 1)
    width = max(cols, int(xs.max()) + 1 if xs.size else 1)
    image = np.full((height, width), np.nan)
    image[ys, xs] = summary[values].to_numpy(np.float64)
    return image


def colour_scale(column: str, image: npt.NDArray[np.float64]) -> dict[str, Any]:
    """imshow's colour scale: pulse counts are heavy-tailed (a few busy apertures among many
    quiet ones), so they get a logarithmic scale, on which apertures without pulses stay
    blank; mean SNR spans its 1st to 99th percentile, so that a few outliers do not wash
    out the rest."""
    if not np.isfinite(image).any():
        return {}
    if column == "pulses":
        colors = require("matplotlib.colors", "report", "report")
        return {"norm": colors.LogNorm(vmin=1, vmax=max(float(np.nanmax(image)), 1.0))}
    low, high = np.nanpercentile(image, [1, 99])
    return {"vmin": low, "vmax": high}


def _png(figure: Any) -> str:
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png", dpi=100)
    return base64.b64encode(buffer.getvalue()).decode("ascii")


def plots(facts: RunFacts) -> list[tuple[str, str]]:
    """(title, base64 PNG) of each plot of one run."""
    figure_class = require("matplotlib.figure", "report", "report").Figure
    rows, cols = int(facts.metadata.get("rows", 0) or 0), int(facts.metadata.get("cols", 0) or 0)
    images = []
    # Margins are fixed rather than solved by a layout engine, which measures every text
    # several times and costs more than the drawing.
    figure = figure_class(figsize=(11, 4.2))
    figure.subplots_adjust(left=0.06, right=0.98, bottom=0.12, top=0.92, wspace=0.15)
    for axes, (column, title) in zip(figure.subplots(1, 2), [("pulses", "pulses per aperture"), ("snr_mean", "mean SNR")]):
        image = grid_image(facts.summary, column, rows, cols)
        shown = axes.imshow(image, aspect="auto", interpolation="nearest", cmap="viridis", **colour_scale(column, image))
        axes.set(title=title, xlabel="aperture x (column)", ylabel="aperture y (row)")
        figure.colorbar(shown, ax=axes)
    images.append(("chip", _png(figure)))

    figure = figure_class(figsize=(11, 6.5))
    figure.subplots_adjust(left=0.08, right=0.98, bottom=0.08, top=0.92, wspace=0.22, hspace=0.5)
    for axes, (column, title) in zip(figure.subplots(2, 2).flat, HISTOGRAMS.items()):
        histogram = facts.histograms[column]
        edges, counts = histogram.occupied()
        if counts.size:
            axes.stairs(counts, edges, fill=True, color="tab:blue")
            # A log axis for values that span decades; over a narrow range it only crowds the ticks.
            axes.set_xscale("log" if edges[-1] > 20 * edges[0] else "linear")
        left_out = histogram.not_positive + histogram.not_finite
        counted = f"{histogram.total:,} pulses" + (f", {left_out:,} of them ≤ 0 or not finite" if left_out else "")
        axes.set(title=f"{title}\n{counted}", xlabel=title, ylabel="pulses")
    images.append(("distributions", _png(figure)))

    figure = figure_class(figsize=(11, 3))
    figure.subplots_adjust(left=0.16, right=0.98, bottom=0.17, top=0.9)
    axes = figure.subplots()
    kinds = sorted(facts.record_kinds.items(), key=lambda item: -item[1])
    total = sum(facts.record_kinds.values()) or 1
    axes.barh([k for k, _ in kinds], [100 * n / total for _, n in kinds], color="tab:green")
    axes.invert_yaxis()
    axes.set(title=f"record kinds ({total:,} records)", xlabel="share of records (%)")
    images.append(("record kinds", _png(figure)))
    return images


def facts_table(facts: RunFacts) -> list[tuple[str, str]]:
    m, summary = facts.metadata, facts.summary
    return [
        ("run", facts.path.rsplit("/", 1)[-1].split(".")[0]),
        ("fps", str(m.get("fps"))),
        ("duration", f"{m.get('duration')} s"),
        ("grid", f"{m.get('rows')} rows × {m.get('cols')} cols"),
        ("apertures", f"{len(summary):,}"),
        ("records", f"{int(summary['records'].sum()):,}"),
        ("pulses", f"{int(summary['pulses'].sum()):,}"),
    ]


_STYLE = """
body { font-family: sans-serif; margin: 2em; color: #222; }
table { border-collapse: collapse; margin-bottom: 1em; }
th, td { text-align: left; padding: 0.2em 1em 0.2em 0; border-bottom: 1px solid #ddd; }
img { max-width: 100%; display: block; margin: 0.5em 0 1.5em; }
"""


def render_html(runs: list[RunFacts]) -> str:
    parts = [f"<!DOCTYPE html>\n<html><head><meta charset='utf-8'><title>Pulse file report</title><style>{_STYLE}</style></head><body>"]
    parts.append("<h1>Pulse file report</h1>")
    for facts in runs:
        parts.append(f"<h2>{html.escape(facts.path)}</h2><table>")
        parts += [f"<tr><th>{html.escape(k)}</th><td>{html.escape(v)}</td></tr>" for k, v in facts_table(facts)]
        parts.append("</table>")
        parts += [f"<img alt='{html.escape(title)}' src='data:image/png;base64,{data}'>" for title, data in plots(facts)]
    parts.append("</body></html>\n")
    return "\n".join(parts)


def write_report(paths: list[str], output: str, *, force: bool = False, show_progress: bool = False) -> None:
    require("matplotlib", "report", "report")
    with atomic_output(output, force, paths) as temporary:
        runs = [read_summary(path) for path in paths]
        # Each record is read twice: once for the pulses, once for the record kinds.
        total = sum(2 * int(facts.summary["records"].sum()) for facts in runs)
        with new_bar(total, "rec", "report", show_progress) as bar:
            for facts in runs:
                fill(facts, bar)
            finish(bar)
        with open(temporary, "w", encoding="utf-8") as page:
            page.write(render_html(runs))


def run(args: argparse.Namespace) -> int:
    write_report(args.files, args.output, force=args.force, show_progress=progress_wanted(args.progress))
    return 0


def register(subparsers: Any, common: argparse.ArgumentParser) -> None:
    parser = subparsers.add_parser(
        "report", parents=[common], help="one self-contained HTML page with plots of each run",
        description="Write one HTML file (images embedded) with a table, chip heat maps, "
        "histograms and record kinds for each run.",
    )
    parser.add_argument("files", nargs="+", metavar="FILE")
    add_output_options(parser, "REPORT.html", "the HTML file")
    parser.set_defaults(run=run)
