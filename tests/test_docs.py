"""The user documentation cannot drift from the code: every ```python block of README.md and
docs/*.md runs against the sample runs that the documents' own `zyn-pulse simulate` commands
write (plus two deliberately flawed files for the error examples), the reference tables list
exactly the columns and filter keywords the module has, links resolve, and CI runs the
README's own commands."""

from __future__ import annotations

import ast
import glob
import importlib.util
import linecache
import re
import shlex
import shutil
from contextlib import redirect_stdout
from io import StringIO
from pathlib import Path

import pytest

from conftest import STUB
from pulsefile import Aperture, PulseFile, pulse
from zyn_pulse_reader import PulseReader
from zyn_pulse_tools.cli import main

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


def simulate_commands() -> list[list[str]]:
    """The `zyn-pulse simulate` command lines of the documents' shell blocks."""
    lines = [line for code, _, _ in (p.values for p in blocks("sh")) for line in code.splitlines()]
    return [shlex.split(line, comments=True)[1:] for line in dict.fromkeys(lines) if line.startswith("zyn-pulse simulate ")]


@pytest.fixture(scope="module")
def sample_runs(tmp_path_factory) -> Path:
    """The sample runs, written once by the documents' commands, and the two flawed files: a
    strip whose metadata lacks "validWells", and an aperture whose second pulse starts on the
    frame where the first ends (which a sound run never has)."""
    folder = tmp_path_factory.mktemp("sample-runs")
    commands = simulate_commands()
    assert len(commands) >= 2
    for command in commands:
        with pytest.MonkeyPatch.context() as patch, redirect_stdout(StringIO()):
            patch.chdir(folder)
            assert main([*command, "--force", "--no-progress"]) == 0, command
    strip = PulseFile(apertures=[Aperture(a, [pulse(5, 3)], x=a % 3, y=a // 3) for a in range(6)],
                      metadata=metadata(2, 3), encodings=ENCODINGS)
    del strip.metadata["validWells"]
    strip.write(folder / "incomplete.pulses.bin")
    touching = [pulse(10, 5, b1=480, s1=48), pulse(0, 3, b1=480, s1=48)]  # starts where the first ends
    PulseFile(apertures=[Aperture(0, touching)], metadata=metadata(1, 1), encodings=ENCODINGS).write(
        folder / "touching.pulses.bin")
    return folder


def write_sample_files(samples: Path, folder: Path) -> None:
    for sample in samples.iterdir():
        shutil.copy(sample, folder / sample.name)


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
def test_python_example_runs(code, doc, line, sample_runs, tmp_path, monkeypatch):
    if "zyn_pulse_tools.dask" in code:
        pytest.importorskip("dask.dataframe")  # an optional extra, absent from some CI rows
    for consumer in ("pyarrow", "polars", "duckdb"):  # the Arrow consumers, likewise
        if f"import {consumer}" in code:
            pytest.importorskip(consumer)
    write_sample_files(sample_runs, tmp_path)
    monkeypatch.chdir(tmp_path)
    name = f"{doc.name}:{line}"
    linecache.cache[name] = (len(code), None, code.splitlines(keepends=True), name)  # readable tracebacks
    exec(compile(code, name, "exec"), {"__name__": "__doc_example__"})


NEEDS = {"export": "pyarrow", "report": "matplotlib"}  # optional extras, absent from some CI rows


def test_readme_commands_run_as_written_in_an_empty_folder(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    readme = [code for code, doc, _ in (p.values for p in blocks("sh")) if doc == DOCS[0]]
    lines = [line for code in readme for line in code.splitlines() if line.startswith("zyn-pulse ")]
    assert {line.split()[1] for line in lines} >= {"simulate", "info", "check", "subset", "merge", "export", "report"}
    for line in lines:
        words = shlex.split(line, comments=True)[1:]
        if words[0] in NEEDS and importlib.util.find_spec(NEEDS[words[0]]) is None:
            continue
        expanded = [match for word in words for match in (sorted(glob.glob(word)) if "*" in word else [word])]
        status = main([*expanded, "--no-progress"])
        # check may report the simulated records of unknown kind with status 1.
        assert status == 0 or (words[0] == "check" and status == 1), (line, capsys.readouterr().err)
        capsys.readouterr()


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


def test_column_tables_list_every_column_in_order(sample_runs):
    with PulseReader(str(sample_runs / "run42.pulses.bin")) as reader:
        assert table_names("Records") == list(reader.get_all_records(0).columns)
        assert table_names("Pulses") == list(reader.get_pulses(0).columns)
        assert table_names("Per-aperture summary") == list(reader.summary().columns)


def test_filter_table_lists_every_pulse_filter_keyword():
    stub = ast.parse(STUB.read_text(encoding="utf-8"))
    pulse_filter = next(n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == "PulseFilter")
    constructor = next(n for n in pulse_filter.body if isinstance(n, ast.FunctionDef) and n.name == "__new__")
    assert table_names("Filtering pulses") == [a.arg for a in constructor.args.kwonlyargs]


def test_ci_runs_the_readme_commands_word_for_word():
    # The README's first two shell blocks are the set-up: install and demonstration, then
    # the test suite; later ones (sample runs, development tools) CI does not run.
    readme_commands = [code.strip() for code, doc, _ in (p.values for p in blocks("sh")) if doc == DOCS[0]][:2]
    assert readme_commands[0].startswith("pip install") and "pytest" in readme_commands[1]
    ci = (ROOT / ".ci" / "run").read_text(encoding="utf-8")
    for command in readme_commands:
        assert command in ci
