"""The benchmark's data: the run file, four strips of one grid and a file of many apertures
(make_data), and chip-like runs (make_chip_run), each written once and reused from its folder.

A chip run has one aperture per well of a full grid (rows x cols, every x and y set), most
of them with 0 to 30 records and about 5 % with thousands, blocks back to back.
"""

from __future__ import annotations

import json
import time
from pathlib import Path

from benchlib import MIB, log

GENERATOR_VERSION = 2  # bump when gen.chip_sizes or zyn_pulse_tools.simulate changes


def class_sizes(rng, typical: int, count: int):
    """`count` record counts around `typical`; the first is exactly `typical`."""
    import numpy as np

    if typical >= 1_000_000:
        sizes = np.full(count, typical)
    else:
        sizes = rng.integers(typical // 2, typical * 3 // 2 + 1, count)
    sizes[0] = typical
    return sizes


def make_data(workdir: Path, cfg: dict) -> dict:
    """Writes (or reuses) the benchmark files and returns their description."""
    import numpy as np

    import gen

    manifest_path = workdir / "manifest.json"
    wanted = json.dumps({"layout": 3, **{k: cfg[k] for k in ("run", "strip", "open_apertures")}}, sort_keys=True)
    if manifest_path.exists():
        manifest = json.loads(manifest_path.read_text())
        if manifest.get("config") == wanted and all(Path(p).exists() for p in manifest["files"]):
            log(f"reusing data in {workdir}")
            return manifest
    t = time.perf_counter()
    rng = np.random.default_rng(2024)

    # The run: every size class, shuffled, plus a few empty apertures; numbers 0..M-1.
    classes = [class_sizes(rng, typical, count) for typical, count in cfg["run"]]
    sizes = np.concatenate(classes)
    starts = np.cumsum([0] + [c.size for c in classes[:-1]])
    small = np.setdiff1d(np.flatnonzero(sizes < 500), starts)
    sizes[rng.choice(small, 20, replace=False)] = 0  # a few apertures without records
    sizes = sizes[rng.permutation(sizes.size)]
    m = sizes.size
    cols = 250 if m > 10_000 else 100
    rows = -(-m // cols)
    run = gen.write_pulse_file(str(workdir / "run.bin"), sizes, seed=1, cols=cols)
    sizes_path = str(workdir / "run.sizes.npy")
    np.save(sizes_path, sizes)
    scenario = {}
    for s in cfg["sizes"]:
        scenario[str(s)] = int(np.flatnonzero(sizes == s)[0])
    log(f"run: {m} apertures, {run['records']:,} records, {run['bytes'] / MIB:.0f} MiB")

    # Four strips of one grid: aperture numbers 0..rows*cols-1 in each.
    st = cfg["strip"]
    strips = []
    for k in range(4):
        n = st["rows"] * st["cols"]
        ssizes = np.concatenate([class_sizes(rng, typical, count) for typical, count in st["mix"]])[:n]
        ssizes = ssizes[rng.permutation(ssizes.size)]
        info = gen.write_pulse_file(str(workdir / f"strip{k}.bin"), ssizes, seed=10 + k, cols=st["cols"],
                                    roi_offset_col=5 * k, roi_cols=st["cols"] - 5 * k)
        strips.append(info["path"])
    log(f"strips: 4 x {n} apertures")

    # Many small apertures: opening cost is the index.
    n_open = cfg["open_apertures"]
    osizes = rng.integers(0, 4, n_open)
    cols = 1000 if n_open >= 1_000_000 else 250
    many = gen.write_pulse_file(str(workdir / "many.bin"), osizes, seed=3, cols=cols)
    log(f"open file: {n_open} apertures, {many['bytes'] / MIB:.0f} MiB; data written in {time.perf_counter() - t:.1f} s")

    manifest = {
        "config": wanted,
        "files": [run["path"], sizes_path, *strips, many["path"]],
        "run": {"path": run["path"], "sizes": sizes_path, "apertures": m, "records": run["records"], "bytes": run["bytes"]},
        "scenario": scenario,
        "strips": strips,
        "many": {"path": many["path"], "apertures": n_open, "bytes": many["bytes"]},
    }
    manifest_path.write_text(json.dumps(manifest))
    return manifest


def make_chip_run(workdir: Path, apertures: int, seed: int) -> dict:
    """Writes (or reuses) a chip run of `apertures` wells; its record counts go beside it."""
    import numpy as np

    import gen

    path = workdir / f"chip_{apertures}.bin"
    sizes_path = workdir / f"chip_{apertures}.sizes.npy"
    info_path = workdir / f"chip_{apertures}.json"
    if info_path.exists() and path.exists() and sizes_path.exists():
        info = json.loads(info_path.read_text())
        if info.get("version") == GENERATOR_VERSION:
            log(f"reusing {path}")
            return info
    t = time.perf_counter()
    cols = 1000 if apertures >= 1_000_000 else 250
    cols = 2000 if apertures >= 4_000_000 else cols
    rows = -(-apertures // cols)
    rng = np.random.default_rng(seed)
    sizes = gen.chip_sizes(rng, rows * cols)
    written = gen.write_pulse_file(str(path), sizes, seed=seed, cols=cols)
    np.save(sizes_path, sizes)
    info = {
        "version": GENERATOR_VERSION,
        "path": str(path),
        "sizes": str(sizes_path),
        "apertures": rows * cols,
        "rows": rows,
        "cols": cols,
        "records": written["records"],
        "bytes": written["bytes"],
    }
    info_path.write_text(json.dumps(info))
    log(f"chip run: {rows * cols:,} apertures, {written['records']:,} records, {written['bytes'] / MIB:,.0f} MiB, "
        f"written in {time.perf_counter() - t:.1f} s")
    return info


def check_sample(sizes, count: int, seed: int) -> list[int]:
    """Apertures to check one by one: the largest, some empty ones, the ends and a random mix."""
    import numpy as np

    rng = np.random.default_rng(seed)
    order = np.argsort(sizes, kind="stable")
    empty = np.flatnonzero(sizes == 0)
    picked = {0, len(sizes) - 1, *order[-10:].tolist(), *empty[:5].tolist()}
    picked.update(rng.choice(len(sizes), min(count, len(sizes)), replace=False).tolist())
    return sorted(picked)
