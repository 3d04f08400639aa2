"""zyn-pulse report: one self-contained HTML page, viewed in a real browser (headless
chromium), whose embedded images all decode and whose screenshot holds the plots."""

from __future__ import annotations

import base64
import io
import os
import re
import shutil
import subprocess

import pytest

from cli_runs import run_file, zyn_pulse


def browser() -> str | None:
    found = shutil.which("chromium") or shutil.which("chromium-browser")
    if found is None and os.environ.get("CI") == "true":
        pytest.fail("chromium is missing: CI must install it (.ci/run)")
    return found


def test_report_renders_in_a_browser(tmp_path):
    image_module = pytest.importorskip("PIL.Image")
    pytest.importorskip("matplotlib")
    runs = [str(run_file(40 + i, rows=6, cols=8).write(tmp_path / f"run{i}.pulses.bin")) for i in range(2)]
    page = tmp_path / "report.html"
    result = zyn_pulse("report", *runs, "-o", page)
    assert result.returncode == 0, result.stderr
    html = page.read_text()
    assert not re.search(r"""(src|href)=['"](?!data:)""", html), "the page must need nothing beyond itself"
    images = re.findall(r"src='data:image/png;base64,([^']+)'", html)
    assert len(images) == 4 * len(runs)  # two heat maps, the distributions, the record kinds
    for data in images:
        image = image_module.open(io.BytesIO(base64.b64decode(data, validate=True)))
        image.load()
        assert min(image.size) >= 200
    for name in ["run0", "run1"]:
        assert f"<th>run</th><td>{name}</td>" in html
    assert html.count("<th>apertures</th><td>48</td>") == 2 and html.count("<th>grid</th><td>6 rows × 8 cols</td>") == 2

    chromium = browser()
    if chromium is None:
        pytest.skip("chromium is not installed")
    shot = tmp_path / "shot.png"
    subprocess.run(
        [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars", f"--screenshot={shot}",
         "--window-size=1200,2400", page.as_uri()],
        check=True, capture_output=True, timeout=120,
    )
    import numpy as np

    pixels = np.asarray(image_module.open(shot).convert("L"), dtype=np.float64)
    # A page that shows only text on white has a few dark pixels; plots fill large areas with colour.
    assert pixels.std() > 20 and (pixels < 200).mean() > 0.05, (pixels.std(), (pixels < 200).mean())


def test_report_writes_html_only(tmp_path):
    run = str(run_file(3).write(tmp_path / "run.pulses.bin"))
    result = zyn_pulse("report", run, "-o", tmp_path / "r.png")
    assert result.returncode == 1
    assert result.stderr == (f"zyn-pulse: error: report writes HTML only (one page, its images embedded): "
                             f"name the output REPORT.html, not {tmp_path / 'r.png'}\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["run.pulses.bin"]
