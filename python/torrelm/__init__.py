"""Search-as-you-type over a trie of terms whose nodes carry their best videos.

The index is torrelm.Index (native, in torrelm._native): build() makes one from click-count
columns (Arrow data from pyarrow, polars, DuckDB or pandas, NumPy arrays, or Python rows),
IndexBuilder from triples added one at a time, save() stores it in a checked file, which load()
reads into memory and open() maps to serve it in place. _torrelm.PrefixSearch, the
index of the native module _torrelm, answers the same queries; Index.from_prefix_search() and
Index.to_prefix_search() convert between the two.
"""

from _torrelm import PrefixSearch

from ._builder import IndexBuilder
from ._ingest import build
from ._native import Index, PanicException
from ._results import Completion, Suggestion, Typeahead, Video
from ._storage import load, open, save

__all__ = ["Completion", "Index", "IndexBuilder", "PanicException", "PrefixSearch", "Suggestion",
           "Typeahead", "Video", "build", "load", "open", "save"]
__version__ = "0.1.0"
