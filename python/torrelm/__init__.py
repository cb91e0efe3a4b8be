"""Search-as-you-type over a trie of terms whose nodes carry their best videos.

The index is torrelm.Index (native, in torrelm._native): IndexBuilder builds one from
(term, video, count) triples, save() and load() store it in files. _torrelm.PrefixSearch, the
index of the native module _torrelm, answers the same queries; Index.from_prefix_search() and
Index.to_prefix_search() convert between the two.
"""

from _torrelm import PrefixSearch

from ._builder import IndexBuilder
from ._native import Index, PanicException
from ._storage import load, save

__all__ = ["Index", "IndexBuilder", "PanicException", "PrefixSearch", "load", "save"]
__version__ = "0.1.0"
