"""Record kinds of a frame of records, counted without comparing every row's text.

A record's "dur_f" is non-zero exactly when it is a pulse, and pulses are most of a run's
records; so the pulses are counted from that integer column, and only the other rows'
"record_type" texts are looked at, which are Python strings (slow to compare and hash).
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt
import pandas as pd

PULSE = "pulse"
UNKNOWN = "unknown"


def _not_pulses(records: pd.DataFrame) -> npt.NDArray[np.intp]:
    return np.flatnonzero(records["dur_f"].to_numpy() == 0)


def kind_counts(records: pd.DataFrame) -> dict[str, int]:
    """Records of each kind present in `records`."""
    rows = _not_pulses(records)
    counts = {PULSE: len(records) - rows.size} if len(records) > rows.size else {}
    codes, kinds = pd.factorize(records["record_type"].to_numpy()[rows])
    for kind, count in zip(kinds, np.bincount(codes, minlength=len(kinds)).tolist()):
        counts[str(kind)] = count
    return counts


def unknown_record_apertures(records: pd.DataFrame) -> npt.NDArray[np.uint64]:
    """The "aperture_index" of every record of unknown kind, in row order."""
    rows = _not_pulses(records)
    unknown = records["record_type"].to_numpy()[rows] == UNKNOWN
    unknown_rows: npt.NDArray[np.uint64] = records["aperture_index"].to_numpy(dtype=np.uint64)[rows[unknown]]
    return unknown_rows
