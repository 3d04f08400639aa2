"""``zyn-pulse report``: one self-contained HTML page that shows runs at a glance.

Per file: a table of the run's facts, heat maps of the chip (pulses per aperture and mean
SNR, each aperture at its x and y on the rows x cols grid), histograms of pulse duration,
inter-pulse distance, SNR and intensity over the whole run, filled batch by batch, and the
shares of the record kinds. The plots are PNG images embedded as base64, so the page needs
nothing else to be viewed.

The plots are meant to be read as measurements:

- histograms show a probability density on bins of whole grid steps (whole frames for
  durations and distances, shown in seconds; the encoding step for intensities), so a flat
  distribution draws flat; a log axis only where the values span decades; the first pulse
  of each aperture, whose distance is 0 by definition, is left out of the distance plot;
- heat maps keep the grid's aspect ratio and never sample: a pixel that covers several
  apertures shows their mean pulse count, and the mean SNR of all their pulses; apertures
  without pulses, and wells without an aperture in the file, have colours of their own,
  named in a legend.
"""

from __future__ import annotations

import argparse
import base64
import html
import io
import math
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd
from zyn_pulse_reader import PulseReader

from zyn_pulse_tools.atomic_output import add_output_options, atomic_output
from zyn_pulse_tools.errors import CommandError, for_each_file
from zyn_pulse_tools.extras import require
from zyn_pulse_tools.file_layout import read_encodings
from zyn_pulse_tools.histogram import Bars, LogHistogram, QuantisedHistogram, log_bars, quantised_bars, spans_decades
from zyn_pulse_tools.interrupts import held
from zyn_pulse_tools.progress import RecordsDone, finish, new_bar, progress_wanted

INTENSITY_WORD = 3  # the record word that holds a pulse's (bin 1) intensity
# Plotted columns: (title, x axis label, y axis label).
HISTOGRAMS = {
    "dur_f": ("pulse duration", "duration (s)", "density (1/s)"),
    "ipd_f": ("inter-pulse distance (first pulse of each aperture left out)", "distance to the previous pulse (s)",
              "density (1/s)"),
    "snr": ("SNR", "SNR (intensity / background std, no unit)", "density (per unit of SNR)"),
    "intensity": ("intensity", "intensity (bin 1, instrument units)", "density (per instrument unit)"),
}
# Imported up front, where Ctrl-C is held back: savefig would import the Agg backend later,
# and an extension module interrupted while it loads fails with an ImportError instead.
PLOTTING_MODULES = ("matplotlib.figure", "matplotlib.colors", "matplotlib.patches", "matplotlib.backends.backend_agg")
HEAT_MAP_PIXELS = 400  # at most this many pixels along the longer side of a heat map
NO_PULSES_COLOUR, NO_APERTURE_COLOUR = "#bdbdbd", "#ffffff"


@dataclass
class RunFacts:
    """Everything the report shows of one file, gathered in one summary, one count of the
    record kinds and one walk over the pulses."""

    path: str
    metadata: dict[str, Any]
    summary: pd.DataFrame
    histograms: dict[str, QuantisedHistogram | LogHistogram]
    record_kinds: Counter[str] = field(default_factory=Counter)

    @property
    def fps(self) -> float:
        return float(self.metadata["fps"])


def read_summary(path: str) -> RunFacts:
    with PulseReader(path) as reader:  # first: a bad file is named with the module's diagnosis
        intensity = read_encodings(path)[INTENSITY_WORD]
        histograms: dict[str, QuantisedHistogram | LogHistogram] = {
            "dur_f": QuantisedHistogram(1.0), "ipd_f": QuantisedHistogram(1.0), "snr": LogHistogram(),
            "intensity": QuantisedHistogram(intensity.step, intensity.offset),
        }
        kinds = reader.record_kinds().sum()
        counts = Counter({str(kind): int(count) for kind, count in kinds.items() if count})
        return RunFacts(path, reader.metadata, reader.summary(), histograms, counts)


def add_pulses(facts: RunFacts, pulses: pd.DataFrame) -> None:
    """Adds one batch of whole apertures' pulses to the histograms."""
    apertures = pulses["aperture_index"].to_numpy()
    # A batch never splits an aperture, so each aperture's first pulse is where the number changes.
    first = np.ones(len(pulses), dtype=bool)
    first[1:] = apertures[1:] != apertures[:-1]
    for column, histogram in facts.histograms.items():
        values = pulses[column].to_numpy()
        histogram.add(values[~first] if column == "ipd_f" else values)


def fill(facts: RunFacts, bar: Any) -> None:
    """Walks the run's pulses into the histograms."""
    with PulseReader(facts.path) as reader:
        records = facts.summary["records"]
        done = RecordsDone(records.index, records.to_numpy())
        counted = 0
        for pulses in reader.iter_pulses():
            add_pulses(facts, pulses)
            now = done.after_frame(pulses)
            bar.update(now - counted)
            counted = now


def histogram_bars(facts: RunFacts) -> dict[str, Bars]:
    """What each histogram plot draws; frames shown in seconds."""
    bars = {}
    for column, histogram in facts.histograms.items():
        if isinstance(histogram, LogHistogram):
            bars[column] = log_bars(histogram)
        else:
            bars[column] = quantised_bars(histogram, 1 / facts.fps if column.endswith("_f") else 1.0)
    return bars


@dataclass(frozen=True)
class ChipImage:
    """The chip's grid reduced to blocks of block x block wells, each aperture counted."""

    block: int
    height: int  # wells
    width: int
    pulses: npt.NDArray[np.float64]  # mean pulses per aperture of the block; NaN without pulses
    snr: npt.NDArray[np.float64]  # mean SNR of the block's pulses; NaN without pulses
    no_aperture: npt.NDArray[np.bool_]  # no aperture of the file in the block
    no_pulses: npt.NDArray[np.bool_]  # apertures, but none with a pulse


def chip_image(summary: pd.DataFrame, rows: int, cols: int, max_pixels: int = HEAT_MAP_PIXELS) -> ChipImage:
    """The blocks of the rows x cols grid (grown to hold apertures that lie outside it)."""
    ys, xs = summary["aperture_y"].to_numpy(np.int64), summary["aperture_x"].to_numpy(np.int64)
    height = max(rows, int(ys.max()) + 1 if ys.size else 1)
    width = max(cols, int(xs.max()) + 1 if xs.size else 1)
    block = max(1, math.ceil(max(height, width) / max_pixels))
    shape = (-(-height // block), -(-width // block))
    cell = (ys // block) * shape[1] + xs // block
    size = shape[0] * shape[1]
    pulses = summary["pulses"].to_numpy(np.float64)
    snr_mean = summary["snr_mean"].to_numpy(np.float64)
    # The mean SNR of a block's pulses: each aperture's mean weighted by its pulse count,
    # over the apertures whose mean is a number.
    usable = np.isfinite(snr_mean) & (pulses > 0)
    apertures = np.bincount(cell, minlength=size)
    pulse_sum = np.bincount(cell, weights=pulses, minlength=size)
    snr_weight = np.bincount(cell[usable], weights=pulses[usable], minlength=size)
    snr_sum = np.bincount(cell[usable], weights=(snr_mean * pulses)[usable], minlength=size)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean_pulses = np.where(pulse_sum > 0, pulse_sum / apertures, np.nan)
        snr = np.where(snr_weight > 0, snr_sum / snr_weight, np.nan)
    return ChipImage(block, height, width, mean_pulses.reshape(shape), snr.reshape(shape),
                     (apertures == 0).reshape(shape), ((apertures > 0) & (pulse_sum == 0)).reshape(shape))


def heat_map_figure(chip: ChipImage, column: str) -> Any:
    """One heat map ("pulses" or "snr") drawn at the grid's own aspect ratio."""
    figure_class = require("matplotlib.figure", "report", "report").Figure
    colors = require("matplotlib.colors", "report", "report")
    patches = require("matplotlib.patches", "report", "report")
    image = chip.pulses if column == "pulses" else chip.snr
    # The axes' box at the grid's aspect: 8 x 5 inches at most. The colour bar stands at its
    # right, or lies under a box too flat to hold it upright.
    aspect = chip.height / chip.width
    box_width, box_height = (8.0, 8.0 * aspect) if aspect <= 5 / 8 else (5.0 / aspect, 5.0)
    upright = box_height >= 2.0
    left, right, bottom, top = 0.9, (1.6 if upright else 0.4), (1.0 if upright else 1.7), 0.5  # inches
    figure = figure_class(figsize=(box_width + left + right, box_height + bottom + top))
    size = figure.get_size_inches()
    axes = figure.add_axes((left / size[0], bottom / size[1], box_width / size[0], box_height / size[1]))
    if upright:
        bar_box = (left + box_width + 0.2, bottom, 0.18, box_height)
    else:
        bar_box = (left, 0.95, box_width / 2, 0.15)
    states = np.zeros((*image.shape, 4))
    states[chip.no_pulses] = colors.to_rgba(NO_PULSES_COLOUR)
    states[chip.no_aperture] = colors.to_rgba(NO_APERTURE_COLOUR)
    extent = (0, chip.block * image.shape[1], chip.block * image.shape[0], 0)
    axes.imshow(states, extent=extent, interpolation="nearest", aspect="equal")
    finite = image[np.isfinite(image)]
    scale: dict[str, Any] = {}
    if finite.size and column == "pulses" and spans_decades(float(finite.min()), float(finite.max())):
        scale["norm"] = colors.LogNorm(vmin=float(finite.min()), vmax=float(finite.max()))
    elif finite.size and column == "snr":
        # The 1st to 99th percentile, so that a few outliers do not wash out the rest.
        low, high = np.percentile(finite, [1, 99])
        scale.update(vmin=float(low), vmax=float(max(high, low)))
    cmap = require("matplotlib", "report", "report").colormaps["viridis"].with_extremes(bad=(0, 0, 0, 0))
    # imshow masks NaN itself and draws it in the colour map's "bad" colour (transparent here).
    shown = axes.imshow(image, extent=extent, interpolation="nearest", aspect="equal",
                        cmap=cmap, **scale)
    axes.set_xlim(0, chip.width)
    axes.set_ylim(chip.height, 0)
    covered = "each aperture" if chip.block == 1 else f"each pixel {chip.block} x {chip.block} apertures"
    what = ("pulses per aperture" if column == "pulses" else "mean SNR of the pulses") + f" ({covered})"
    axes.set_title(what, fontsize=10)
    axes.set(xlabel="aperture x (column)", ylabel="aperture y (row)")
    bar_axes = figure.add_axes((bar_box[0] / size[0], bar_box[1] / size[1], bar_box[2] / size[0], bar_box[3] / size[1]))
    colour_bar = figure.colorbar(shown, cax=bar_axes, extend="both" if column == "snr" else "neither",
                                 orientation="vertical" if upright else "horizontal")
    colour_bar.set_label("pulses per aperture" if column == "pulses" else "SNR (no unit)")
    colour_bar.minorticks_off()
    legend = [patches.Patch(facecolor=NO_PULSES_COLOUR, edgecolor="black", label="apertures without pulses"),
              patches.Patch(facecolor=NO_APERTURE_COLOUR, edgecolor="black", label="no aperture in the file")]
    figure.legend(handles=legend, loc="lower left", ncols=2, frameon=False, fontsize=9,
                  bbox_to_anchor=(left / size[0], 0.0))
    return figure


def _png(figure: Any) -> str:
    buffer = io.BytesIO()
    # Light compression: the plots are flat colours, and the strongest costs several times more.
    figure.savefig(buffer, format="png", dpi=100, pil_kwargs={"compress_level": 1})
    return base64.b64encode(buffer.getvalue()).decode("ascii")


def distributions_figure(facts: RunFacts) -> Any:
    figure = require("matplotlib.figure", "report", "report").Figure(figsize=(11, 7))
    # Margins are fixed rather than solved by a layout engine, which measures every text
    # several times and costs more than the drawing.
    figure.subplots_adjust(left=0.08, right=0.98, bottom=0.08, top=0.92, wspace=0.22, hspace=0.55)
    bars = histogram_bars(facts)
    for axes, (column, (title, xlabel, ylabel)) in zip(figure.subplots(2, 2).flat, HISTOGRAMS.items()):
        shown = bars[column]
        if shown.density.size:
            axes.stairs(shown.density, shown.edges, fill=True, color="tab:blue")
            if shown.log_axis:
                axes.set_xscale("log")
                axes.minorticks_off()  # dozens of unlabelled ticks cost more to draw than the bars
        left_out = [f"{n:,} {why}" for n, why in ((shown.not_finite, "not finite"), (shown.not_positive, "≤ 0")) if n]
        hidden = f" ({', '.join(left_out)}: not shown)" if left_out else ""
        axes.set_title(f"{title}\n{shown.plotted:,} pulses{hidden}", fontsize=10)
        axes.set(xlabel=xlabel, ylabel=ylabel)
    return figure


def kinds_figure(facts: RunFacts) -> Any:
    figure = require("matplotlib.figure", "report", "report").Figure(figsize=(11, 3))
    figure.subplots_adjust(left=0.16, right=0.98, bottom=0.17, top=0.9)
    axes = figure.subplots()
    kinds = sorted(facts.record_kinds.items(), key=lambda item: -item[1])
    total = sum(facts.record_kinds.values()) or 1
    axes.barh([k for k, _ in kinds], [100 * n / total for _, n in kinds], color="tab:green")
    axes.invert_yaxis()
    axes.set(title=f"record kinds ({total:,} records)", xlabel="share of records (%)")
    return figure


def plots(facts: RunFacts) -> list[tuple[str, str]]:
    """(title, base64 PNG) of each plot of one run."""
    rows, cols = int(facts.metadata.get("rows", 0) or 0), int(facts.metadata.get("cols", 0) or 0)
    chip = chip_image(facts.summary, rows, cols)
    return [
        ("pulses per aperture", _png(heat_map_figure(chip, "pulses"))),
        ("mean SNR", _png(heat_map_figure(chip, "snr"))),
        ("distributions", _png(distributions_figure(facts))),
        ("record kinds", _png(kinds_figure(facts))),
    ]


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


def import_plotting() -> None:
    for module in PLOTTING_MODULES:
        require(module, "report", "report")


def write_report(paths: list[str], output: str, *, force: bool = False, show_progress: bool = False) -> bool:
    """Writes the report of every file that can be read and returns whether any could not
    (each is reported as it fails); with none readable, no report is written."""
    if Path(output).suffix.lower() not in (".html", ".htm"):
        raise CommandError(f"report writes HTML only (one page, its images embedded): name the output "
                           f"REPORT.html, not {output}")
    require("matplotlib", "report", "report")
    # On this thread, before the walks: an import holds Ctrl-C back, and one on another
    # thread would make this thread wait on its module locks, where Ctrl-C cannot be raised.
    import_plotting()
    with atomic_output(output, force, paths) as temporary:
        summaries, failed = for_each_file(paths, read_summary)
        total = sum(int(facts.summary["records"].sum()) for facts in summaries)
        with new_bar(total, "rec", "report", show_progress) as bar:

            def filled(facts: RunFacts) -> RunFacts:
                fill(facts, bar)
                return facts

            runs, failed_fill = for_each_file(summaries, filled, lambda facts: facts.path)
            finish(bar)
        if not runs:
            raise CommandError("no file could be read: no report written")
        # Drawing is a second or so of pure Python whose objects die through weak-reference
        # callbacks, where a KeyboardInterrupt would be printed as ignored and lost: Ctrl-C is
        # held back until the page is drawn.
        with held():
            html_page = render_html(runs)
        with open(temporary, "w", encoding="utf-8") as page:
            page.write(html_page)
    return failed or failed_fill


def run(args: argparse.Namespace) -> int:
    failed = write_report(args.files, args.output, force=args.force, show_progress=progress_wanted(args.progress))
    return 1 if failed else 0


def register(subparsers: Any, common: argparse.ArgumentParser) -> None:
    parser = subparsers.add_parser(
        "report", parents=[common], help="one self-contained HTML page with plots of each run",
        description="Write one HTML file (images embedded) with a table, chip heat maps, "
        "histograms and record kinds for each run.",
    )
    parser.add_argument("files", nargs="+", metavar="FILE")
    add_output_options(parser, "REPORT.html", "the HTML file")
    parser.set_defaults(run=run)
