"""The type of a filter's keyword dict, as the module's type information declares it.

The module's stub describes ``pulse_filter_kwargs`` as a TypedDict of the filter's keywords,
so that a misspelt key is caught by a type checker. It exists for type checkers only; at run
time the keywords travel as a plain dict.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from zyn_pulse_reader import _FilterKwargs as FilterKwargs
else:
    FilterKwargs = dict

__all__ = ["FilterKwargs"]
