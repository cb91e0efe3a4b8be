"""Search-as-you-type over a trie of terms whose nodes carry their best videos.

The index itself is _torrelm.PrefixSearch (a native extension); this package builds one from
(term, video, count) triples and stores it in files.
"""

from _torrelm import PrefixSearch

from ._builder import IndexBuilder
from ._storage import load, save

__all__ = ["IndexBuilder", "PrefixSearch", "load", "save"]
__version__ = "0.1.0"
