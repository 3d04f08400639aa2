"""What the report's plots draw, computed as values (not pixels): flat distributions draw
flat, bins hold whole grid steps, the first pulse of each aperture stays out of the distance
plot, heat maps count every aperture, and a strip keeps its aspect ratio."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from zyn_pulse_tools.histogram import LogHistogram, QuantisedHistogram, log_bars, quantised_bars
from zyn_pulse_tools.progress import new_bar
from zyn_pulse_tools.simulate import RunShape, write_run

pytest.importorskip("matplotlib")
from zyn_pulse_tools.commands import report  # noqa: E402 - needs matplotlib only when plotting


@pytest.fixture(scope="module")
def facts(tmp_path_factory) -> report.RunFacts:
    """A simulated run: durations uniform over 1 to 40 frames, intensities over 100 to 475."""
    path = str(tmp_path_factory.mktemp("report") / "run.pulses.bin")
    write_run(path, RunShape(rows=100, cols=100, seed=11))
    gathered = report.read_summary(path)
    with new_bar(0, "rec", "test", False) as bar:
        report.fill(gathered, bar)
    return gathered


def test_uniform_values_draw_flat_on_whole_grid_steps(facts):
    bars = report.histogram_bars(facts)
    steps = {"dur_f": 1 / facts.fps, "intensity": 1 / 16}  # a frame; the intensity word's encoding step
    for column, step in steps.items():
        shown = bars[column]
        widths = np.diff(shown.edges) / step
        assert not shown.log_axis and np.allclose(widths, np.rint(widths)) and np.rint(widths).min() >= 1, column
        assert shown.density.max() < 1.15 * shown.density.min(), (column, shown.density)
        assert np.isclose((shown.density * np.diff(shown.edges)).sum(), 1.0)
    pulses = facts.summary["pulses"]
    assert bars["ipd_f"].plotted == pulses.sum() - (pulses > 0).sum()  # each aperture's first pulse left out
    assert bars["ipd_f"].log_axis and bars["snr"].log_axis  # both span decades


@pytest.mark.parametrize(
    ("values", "log_axis", "not_finite", "not_positive"),
    [
        (np.arange(1, 41).repeat(7), False, 0, 0),
        (np.r_[np.arange(0, 5000, 3), 0, 0].astype(np.uint32), True, 0, 3),
        (np.r_[np.linspace(-3, 9, 193), np.nan, np.inf].astype(np.float32), False, 2, 0),
    ],
    ids=["uniform", "decades", "not-finite"],
)
def test_bars_hold_every_value_once(values, log_axis, not_finite, not_positive):
    histogram = QuantisedHistogram(1.0 if values.dtype.kind == "u" or values.dtype == np.int64 else 1 / 16)
    for part in np.array_split(values, 3):
        histogram.add(part)
    shown = quantised_bars(histogram)
    assert (shown.log_axis, shown.not_finite, shown.not_positive) == (log_axis, not_finite, not_positive)
    finite = values[np.isfinite(values)].astype(np.float64)
    plotted = finite[finite > 0] if log_axis else finite
    # The densities give back each bin's count.
    expected, _ = np.histogram(plotted, bins=shown.edges)
    assert np.allclose(shown.density * np.diff(shown.edges) * plotted.size, expected)
    assert shown.plotted == plotted.size == expected.sum()


def test_log_bars_are_densities():
    histogram = LogHistogram()
    histogram.add(np.r_[np.geomspace(0.5, 500, 1000), 0.0, -1.0, np.nan])
    shown = log_bars(histogram)
    assert shown.log_axis and (shown.plotted, shown.not_positive, shown.not_finite) == (1000, 2, 1)
    assert np.isclose((shown.density * np.diff(shown.edges)).sum(), 1.0)


def test_heat_map_blocks_count_every_aperture():
    rng = np.random.default_rng(3)
    numbers = np.sort(rng.choice(70, 55, replace=False))  # 7 x 10 wells, some without an aperture
    pulses = rng.integers(0, 4, numbers.size) * (rng.random(numbers.size) < 0.7)
    snr = np.where(pulses > 0, rng.uniform(1, 30, numbers.size), np.nan)
    snr[np.flatnonzero(pulses)[:2]] = [np.inf, np.nan]  # saturated apertures have no usable mean
    summary = pd.DataFrame({"aperture_x": numbers % 10, "aperture_y": numbers // 10, "pulses": pulses, "snr_mean": snr})
    chip = report.chip_image(summary, rows=7, cols=10, max_pixels=4)
    assert chip.block == 3 and chip.pulses.shape == (3, 4)
    for by in range(3):
        for bx in range(4):
            inside = (summary["aperture_y"] // 3 == by) & (summary["aperture_x"] // 3 == bx)
            block = summary[inside]
            usable = block[np.isfinite(block["snr_mean"]) & (block["pulses"] > 0)]
            assert chip.no_aperture[by, bx] == block.empty
            assert chip.no_pulses[by, bx] == (not block.empty and block["pulses"].sum() == 0)
            mean = block["pulses"].mean() if block["pulses"].sum() else np.nan
            assert np.isclose(chip.pulses[by, bx], mean, equal_nan=True)
            weighted = (usable["snr_mean"] * usable["pulses"]).sum() / usable["pulses"].sum() if len(usable) else np.nan
            assert np.isclose(chip.snr[by, bx], weighted, equal_nan=True)


def test_a_strip_keeps_its_aspect_ratio():
    backend = pytest.importorskip("matplotlib.backends.backend_agg")
    xs, ys = np.meshgrid(np.arange(1000), np.arange(100))
    summary = pd.DataFrame({"aperture_x": xs.ravel(), "aperture_y": ys.ravel(), "pulses": (xs + ys).ravel() % 7,
                            "snr_mean": np.full(xs.size, 5.0)})
    figure = report.heat_map_figure(report.chip_image(summary, rows=100, cols=1000), "pulses")
    backend.FigureCanvasAgg(figure).draw()
    box = figure.axes[0].get_window_extent()
    assert box.width / box.height == pytest.approx(10, rel=0.05)
    assert figure.axes[1].get_xlabel() == "pulses per aperture"  # the colour bar, under the flat strip
    assert [text.get_text() for text in figure.legends[0].get_texts()] == ["apertures without pulses", "no aperture in the file"]
