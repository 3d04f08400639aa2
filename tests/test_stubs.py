"""The type stub: it names exactly what the compiled module offers, with the same parameters
and defaults; it is installed where type checkers find it; and a script that uses the whole
API passes ``mypy --strict`` and runs."""

from __future__ import annotations

import ast
import importlib.metadata
import importlib.util
import inspect
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import zyn_pulse_reader as zpr
import zyn_pulse_tools
from conftest import STUB
from pulsefile import Aperture, background, pulse
from zyn_pulse_reader import PulseFilter, PulseReader

USAGE = Path(__file__).resolve().parent / "typing_usage.py"
# Dunder members that are part of the API (construction and the context-manager protocol).
API_DUNDERS = {"__new__", "__enter__", "__exit__"}

needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
needs_pyright = pytest.mark.skipif(importlib.util.find_spec("pyright") is None, reason="pyright is not installed")


def is_api(name: str) -> bool:
    return not name.startswith("_") or name in API_DUNDERS


def stub_module() -> ast.Module:
    return ast.parse(STUB.read_text(encoding="utf-8"), filename=str(STUB))


def stub_definitions(body: list[ast.stmt]) -> dict[str, ast.ClassDef | ast.FunctionDef]:
    return {
        node.name: node
        for node in body
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)) and is_api(node.name)
    }


def is_property(function: ast.FunctionDef) -> bool:
    return any(isinstance(d, ast.Name) and d.id == "property" for d in function.decorator_list)


def stub_parameters(function: ast.FunctionDef, *, bound: bool) -> list[tuple[str, str, object]]:
    """(name, kind, default) for each parameter; `bound` drops self/cls. A default of `...`
    means "no value" (a keyword that is simply left out)."""
    args = function.args
    positional = args.posonlyargs + args.args
    defaults = [inspect.Parameter.empty] * (len(positional) - len(args.defaults))
    defaults += [ast.literal_eval(d) for d in args.defaults]
    result = [(a.arg, "positional", d) for a, d in zip(positional, defaults, strict=True)]
    result += [
        (a.arg, "keyword", inspect.Parameter.empty if d is None else ast.literal_eval(d))
        for a, d in zip(args.kwonlyargs, args.kw_defaults, strict=True)
    ]
    if args.vararg or args.kwarg:
        result.append(("*", "variadic", None))
    return result[1:] if bound else result


def runtime_parameters(callable_: object, *, bound: bool) -> list[tuple[str, str, object]]:
    kinds = {
        inspect.Parameter.POSITIONAL_ONLY: "positional",
        inspect.Parameter.POSITIONAL_OR_KEYWORD: "positional",
        inspect.Parameter.KEYWORD_ONLY: "keyword",
    }
    parameters = list(inspect.signature(callable_).parameters.values())
    result = [(p.name, kinds[p.kind], p.default) for p in parameters]
    return result[1:] if bound else result


def test_stub_names_exactly_the_module_members():
    module = stub_module()
    assert set(stub_definitions(module.body)) == {name for name in dir(zpr) if is_api(name)}
    declared_all = next(
        ast.literal_eval(node.value)
        for node in module.body
        if isinstance(node, ast.Assign) and [t.id for t in node.targets if isinstance(t, ast.Name)] == ["__all__"]
    )
    assert declared_all == zpr.__all__


@pytest.mark.parametrize("class_name", ["PulseReader", "PulseFilter", "PanicException"])
def test_stub_class_has_the_runtime_methods_and_properties(class_name):
    node = stub_definitions(stub_module().body)[class_name]
    runtime = getattr(zpr, class_name)
    members = {name: value for name, value in vars(runtime).items() if is_api(name)}
    if class_name == "PanicException":
        assert node.bases[0].id == "BaseException" and issubclass(runtime, BaseException)
        assert not issubclass(runtime, Exception)
    stub = stub_definitions(node.body)
    assert set(stub) == set(members)
    properties = {name for name, value in members.items() if inspect.isdatadescriptor(value)}
    assert {name for name, function in stub.items() if is_property(function)} == properties


def runtime_callables():
    yield pytest.param("merge_pulse_files", None, zpr.merge_pulse_files, id="merge_pulse_files")
    yield pytest.param("PulseReader", "__new__", PulseReader, id="PulseReader")
    for name, member in vars(PulseReader).items():
        if is_api(name) and name != "__new__" and not inspect.isdatadescriptor(member):
            yield pytest.param("PulseReader", name, member, id=f"PulseReader.{name}")


@pytest.mark.parametrize(("owner", "name", "runtime"), list(runtime_callables()))
def test_stub_parameters_and_defaults_match_the_runtime_signature(owner, name, runtime):
    definitions = stub_definitions(stub_module().body)
    function = definitions[owner] if name is None else stub_definitions(definitions[owner].body)[name]
    # The constructor's runtime signature is reported without cls; methods carry self.
    assert stub_parameters(function, bound=name is not None) == runtime_parameters(
        runtime, bound=name not in (None, "__new__"))


def test_pulse_filter_stub_keywords_are_the_ones_the_runtime_reads():
    """PulseFilter takes **kwargs and silently ignores names it does not know, so a keyword
    is recognised exactly when a value of the wrong type for it is refused."""
    function = stub_definitions(stub_definitions(stub_module().body)["PulseFilter"].body)["__new__"]
    parameters = stub_parameters(function, bound=True)
    assert parameters and all(kind == "keyword" for _, kind, _ in parameters)
    assert str(inspect.signature(PulseFilter)) == "(**kwargs)"
    PulseFilter(not_a_criterion="text")  # the premise: unknown keywords raise nothing
    for keyword, _, _ in parameters:
        with pytest.raises(TypeError):
            PulseFilter(**{keyword: "text"})


@pytest.mark.parametrize("installed", ["zyn_pulse_reader.pyi", "zyn_pulse_reader-stubs/__init__.pyi"])
def test_installer_put_the_stub_beside_the_module_and_in_the_stub_package(installed):
    try:
        distribution = importlib.metadata.distribution("zyn_pulse_reader")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("the module was not installed by an installer (no distribution metadata)")
    assert installed in {str(path) for path in distribution.files or []}
    assert Path(distribution.locate_file(installed)).read_bytes() == STUB.read_bytes()


@pytest.fixture
def usage_file(make_file):
    records = [pulse(10, 5, b1=480, s1=48), background(7), pulse(3, 4, b1=96, s1=48), pulse(20, 40, b1=800, s1=48)]
    return make_file(*[Aperture(n, records, x=n % 20, y=n // 20) for n in (0, 1, 5)])


def test_typing_usage_script_runs(usage_file, tmp_path):
    """The typed script is also a working program: every call it makes is accepted at run time."""
    spec = importlib.util.spec_from_file_location("typing_usage", USAGE)
    usage = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(usage)
    assert usage.query(usage_file, tmp_path) == len(zpr.__all__)
    with PulseReader(str(tmp_path / "merged.bin")) as merged, PulseReader(str(tmp_path / "empty.bin")) as empty:
        assert merged.apertures == [0, 1, 5, 200] and empty.apertures == []


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory) -> Path:
    """One cache for this module's mypy runs (and test process): they check different
    scripts with the same options, and NumPy's and pandas' stubs are analysed once."""
    return tmp_path_factory.mktemp("mypy-cache")


def run_mypy(*arguments: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    # A clean environment for mypy: no MYPYPATH that could supply another stub.
    env = {key: value for key, value in os.environ.items() if key != "MYPYPATH"}
    return subprocess.run([sys.executable, "-m", *arguments], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=300)


@needs_mypy
def test_mypy_strict_accepts_the_usage_script_through_the_installed_stub(tmp_path, mypy_cache):
    # Run from an empty directory with the script copied in, so that nothing but the installed
    # type information can satisfy `import zyn_pulse_reader`.
    script = tmp_path / USAGE.name
    script.write_text(USAGE.read_text(encoding="utf-8"), encoding="utf-8")
    result = run_mypy("mypy", "--strict", "--config-file=", f"--cache-dir={mypy_cache}",
                      script.name, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@needs_mypy
def test_mypy_stubtest_finds_no_difference_from_the_runtime(tmp_path):
    result = run_mypy("mypy.stubtest", "zyn_pulse_reader", "--mypy-config-file", os.devnull, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@needs_mypy
def test_mypy_strict_accepts_the_tools_package(tmp_path, mypy_cache):
    # The package's optional dependencies are part of what mypy checks it against.
    for optional in ("dask", "distributed"):
        pytest.importorskip(optional)
    # By name: the installed package, as its users' checkers see it (a path inside
    # site-packages would make mypy take all of site-packages for the project's sources).
    result = run_mypy("mypy", "--strict", "--config-file=", f"--cache-dir={mypy_cache}",
                      "-p", "zyn_pulse_tools", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_filter_dict_type_lists_the_pulse_filter_keywords():
    definitions = {node.name: node for node in stub_module().body if isinstance(node, ast.ClassDef)}
    typed_dict = [node.target.id for node in definitions["_FilterKwargs"].body if isinstance(node, ast.AnnAssign)]
    keywords = stub_definitions(definitions["PulseFilter"].body)["__new__"].args.kwonlyargs
    assert typed_dict == [argument.arg for argument in keywords]


# Each line is a mistake that the type information must catch (and the run time would not,
# or only late).
REJECTED = """\
import numpy as np
from zyn_pulse_reader import PulseReader
reader = PulseReader("a.bin", pulse_filter_kwargs={"min_snrr": 1.0})
reader.get_pulses(0, pulse_filter_kwargs={"mask_s": 1.0})
PulseReader(b"a.bin")
floats = np.zeros(2, dtype=np.float64)
reader.get_pulses_many(floats)
"""


@needs_mypy
def test_mypy_rejects_misspelt_filter_keys_bytes_names_and_float_arrays(tmp_path, mypy_cache):
    (tmp_path / "mistakes.py").write_text(REJECTED, encoding="utf-8")
    result = run_mypy("mypy", "--strict", "--config-file=", f"--cache-dir={mypy_cache}",
                      "mistakes.py", cwd=tmp_path)
    flagged = {int(line.split(":")[1]) for line in result.stdout.splitlines() if ": error:" in line}
    assert flagged == {3, 4, 5, 7}, result.stdout


@needs_pyright
def test_pyright_accepts_the_usage_script_and_catches_the_mistakes(tmp_path):
    script = tmp_path / USAGE.name
    script.write_text(USAGE.read_text(encoding="utf-8"), encoding="utf-8")
    (tmp_path / "mistakes.py").write_text(REJECTED, encoding="utf-8")
    result = subprocess.run([sys.executable, "-m", "pyright", "--pythonpath", sys.executable, "--outputjson",
                             script.name, "mistakes.py"], cwd=tmp_path, capture_output=True, text=True, timeout=600)
    report = json.loads(result.stdout)
    flagged = {(Path(d["file"]).name, d["range"]["start"]["line"] + 1)
               for d in report["generalDiagnostics"] if d["severity"] == "error"}
    assert flagged == {("mistakes.py", line) for line in (3, 4, 5, 7)}, result.stdout
