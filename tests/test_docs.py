"""The user documentation cannot drift from the code: every ```python block of README.md and
docs/*.md runs against small sample files, the reference tables list exactly the columns and
filter keywords the module has, links resolve, and CI runs the README's own commands."""

from __future__ import annotations

import ast
import linecache
import re
from pathlib import Path

import pytest

from pulsefile import Aperture, PulseFile, background, pulse, step
from zyn_pulse_reader import PulseReader

ROOT = Path(__file__).resolve().parent.parent
DOCS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
GUIDE = ROOT / "docs" / "guide.md"
FENCE = re.compile(r"^```(\w*)\n(.*?)^```", re.MULTILINE | re.DOTALL)

# Measurement words scaled by 1/16 with no offset, so that the examples read plain numbers.
ENCODINGS = [(0, 0, 0), (0, 0, 0)] + [(1, 4, 0)] * 6


def metadata(rows: int, cols: int, **extra) -> dict:
    wells = rows * cols
    return {"fps": 100, "duration": 60.0, "rows": rows, "cols": cols, "validWells": wells,
            "validWellsLeft": wells // 2, "validWellsRight": wells - wells // 2,
            "roi_offset_col": 0, "roi_cols": cols, "roi_rows": rows, **extra}


def aperture_records(number: int) -> list[bytes]:
    """Pulses of SNR 10, 2 and 20 around a background and a step record; the first pulse
    starts later in each aperture so that apertures differ."""
    return [
        pulse(10 + number, 5, b0=320, b1=480, m0=16, m1=32, s0=16, s1=48),
        background(7, m0=16, m1=32, s0=16, s1=48),
        pulse(3, 4, b0=80, b1=96, m0=16, m1=32, s0=16, s1=48),
        step(12, True, 70000),
        pulse(20, 40, b0=640, b1=960, m0=16, m1=32, s0=16, s1=48),
    ]


def grid(rows: int, cols: int, **extra) -> PulseFile:
    apertures = [Aperture(a, aperture_records(a), x=a % cols, y=a // cols) for a in range(rows * cols)]
    return PulseFile(apertures=apertures, metadata=metadata(rows, cols, **extra), encodings=ENCODINGS)


def write_sample_files(folder: Path) -> None:
    """The files the documentation's examples name."""
    grid(2, 3, pulseCaller={"options": ["trim_boundary_frames"]}).write(folder / "run42.pulses.bin")
    grid(2, 3).write(folder / "strip1.pulses.bin")
    grid(2, 3).write(folder / "strip2.pulses.bin")
    incomplete = grid(2, 3)
    del incomplete.metadata["validWells"]
    incomplete.write(folder / "incomplete.pulses.bin")
    touching = [pulse(10, 5, b1=480, s1=48), pulse(0, 3, b1=480, s1=48)]  # starts where the first ends
    PulseFile(apertures=[Aperture(0, touching)], metadata=metadata(1, 1), encodings=ENCODINGS).write(
        folder / "touching.pulses.bin")


def blocks(language: str):
    for doc in DOCS:
        text = doc.read_text(encoding="utf-8")
        for match in FENCE.finditer(text):
            if match.group(1) == language:
                line = text.count("\n", 0, match.start()) + 2
                yield pytest.param(match.group(2), doc, line, id=f"{doc.relative_to(ROOT)}:{line}")


def test_every_document_has_examples_and_is_reachable_from_the_readme():
    documented = {doc for _, doc, _ in (param.values for param in blocks("python"))}
    assert documented == set(DOCS)
    readme = DOCS[0].read_text(encoding="utf-8")
    for doc in DOCS[1:]:
        assert f"({doc.relative_to(ROOT)})" in readme


@pytest.mark.filterwarnings("error")  # an example that warns (a deprecation, say) has drifted
@pytest.mark.parametrize(("code", "doc", "line"), list(blocks("python")))
def test_python_example_runs(code, doc, line, tmp_path, monkeypatch):
    if "zyn_pulse_tools.dask" in code:
        pytest.importorskip("dask.dataframe")  # an optional extra, absent from some CI rows
    for consumer in ("pyarrow", "polars", "duckdb"):  # the Arrow consumers, likewise
        if f"import {consumer}" in code:
            pytest.importorskip(consumer)
    write_sample_files(tmp_path)
    monkeypatch.chdir(tmp_path)
    name = f"{doc.name}:{line}"
    linecache.cache[name] = (len(code), None, code.splitlines(keepends=True), name)  # readable tracebacks
    exec(compile(code, name, "exec"), {"__name__": "__doc_example__"})


def github_anchor(heading: str) -> str:
    slug = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return slug.replace(" ", "-")


@pytest.mark.parametrize("doc", DOCS, ids=lambda d: d.name)
def test_links_resolve(doc):
    text = doc.read_text(encoding="utf-8")
    anchors = {github_anchor(h) for h in re.findall(r"^#+ (.+)$", text, re.MULTILINE)}
    for target in re.findall(r"\]\(([^)\s]+)\)", text):
        if target.startswith("#"):
            assert target[1:] in anchors, target
        elif "://" not in target:
            assert (doc.parent / target.split("#")[0]).exists(), target


def table_names(section: str) -> list[str]:
    """The backticked names in the first column of the first table below a guide heading."""
    text = GUIDE.read_text(encoding="utf-8")
    body = text.split(f"\n## {section}\n", 1)[1].split("\n## ", 1)[0]
    rows = re.findall(r"^\|(.*?)\|", body[body.index("\n|"):], re.MULTILINE)
    return [name for cell in rows[2:] for name in re.findall(r"`(\w+)`", cell)]


def test_column_tables_list_every_column_in_order(tmp_path):
    write_sample_files(tmp_path)
    with PulseReader(str(tmp_path / "run42.pulses.bin")) as reader:
        assert table_names("Records") == list(reader.get_all_records(0).columns)
        assert table_names("Pulses") == list(reader.get_pulses(0).columns)
        assert table_names("Per-aperture summary") == list(reader.summary().columns)


def test_filter_table_lists_every_pulse_filter_keyword():
    stub = ast.parse((ROOT / "bindings" / "zyn_pulse_reader.pyi").read_text(encoding="utf-8"))
    pulse_filter = next(n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == "PulseFilter")
    constructor = next(n for n in pulse_filter.body if isinstance(n, ast.FunctionDef) and n.name == "__new__")
    assert table_names("Filtering pulses") == [a.arg for a in constructor.args.kwonlyargs]


def test_ci_runs_the_readme_commands_word_for_word():
    # The README's first two shell blocks are the set-up: install and demonstration, then
    # the test suite; later ones are development tools that CI does not run.
    readme_commands = [code.strip() for code, doc, _ in (p.values for p in blocks("sh")) if doc == DOCS[0]][:2]
    assert readme_commands[0].startswith("pip install") and "pytest" in readme_commands[1]
    ci = (ROOT / ".ci" / "run").read_text(encoding="utf-8")
    for command in readme_commands:
        assert command in ci
