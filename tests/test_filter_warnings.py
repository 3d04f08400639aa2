"""Unknown filter keywords are still ignored, and now warned of: a UserWarning that names the
key and the nearest known one, wherever a filter is built from keywords, once per call (a
Dask read warns once, not once per partition); known keywords never warn."""

from __future__ import annotations

import warnings

import pytest

from cli_runs import run_file
from zyn_pulse_reader import PulseFilter, PulseReader


def warned(call) -> list[str]:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        call()
    return [str(warning.message) for warning in caught if warning.category is UserWarning]


ENTRY_POINTS = {
    "PulseFilter": lambda path, kw: PulseFilter(**kw),
    "PulseReader": lambda path, kw: PulseReader(path, pulse_filter_kwargs=kw).close(),
    "get_pulses": lambda path, kw: PulseReader(path).get_pulses(3, pulse_filter_kwargs=kw),
    "get_pulses_many": lambda path, kw: PulseReader(path).get_pulses_many(pulse_filter_kwargs=kw),
    "summary": lambda path, kw: PulseReader(path).summary(pulse_filter_kwargs=kw),
    "iter_pulses": lambda path, kw: list(PulseReader(path).iter_pulses(pulse_filter_kwargs=kw, batch_records=20)),
}


@pytest.mark.parametrize("entry", ENTRY_POINTS)
@pytest.mark.parametrize(
    "keywords, expected",
    [
        ({"min_snrr": 5.0}, ["unknown filter keyword 'min_snrr' is ignored; did you mean 'min_snr'?"]),
        ({"minsnr": 3, "min_snr": 2.0, "recalc_ipd": True},
         ["unknown filter keyword 'minsnr' is ignored; did you mean 'min_snr'?"]),
        ({"max_dur": 1, "mask": (0.0, 1.0)}, ["unknown filter keyword 'max_dur' is ignored; did you mean 'max_dur_s'?",
                                              "unknown filter keyword 'mask' is ignored; did you mean 'mask_s'?"]),
        ({"min_dur_f": 2, "max_binratio": 9.0, "start_m": 0.0, "end_m": 99.0}, []),
    ],
    ids=["misspelt", "beside-known", "two", "known"],
)
def test_unknown_keywords_warn_and_are_ignored(tmp_path, entry, keywords, expected):
    path = str(run_file(5).write(tmp_path / "run.bin"))
    assert warned(lambda: ENTRY_POINTS[entry](path, keywords)) == expected
    known = {key: value for key, value in keywords.items() if not any(f"'{key}'" in text for text in expected)}
    with PulseReader(path) as reader:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            frame = reader.get_pulses_many(pulse_filter_kwargs=keywords)
        assert frame.equals(reader.get_pulses_many(pulse_filter_kwargs=known))


def test_dask_read_warns_once(tmp_path):
    pytest.importorskip("dask.dataframe")
    from zyn_pulse_tools.dask import read_pulses

    path = str(run_file(6).write(tmp_path / "run.bin"))
    keywords = {"min_snrr": 5.0, "min_snr": 1.0}
    messages = warned(lambda: read_pulses([path, path], pulse_filter_kwargs=keywords, partition_records=10).compute(
        scheduler="sync"))
    assert messages == ["unknown filter keyword 'min_snrr' is ignored; did you mean 'min_snr'?"]
    with PulseReader(path) as reader:
        assert len(read_pulses(path, pulse_filter_kwargs={"min_snr": 1.0}).compute()) == len(
            reader.get_pulses_many(pulse_filter_kwargs={"min_snr": 1.0}))
