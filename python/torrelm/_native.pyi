"""
The native part of torrelm: the immutable index type Index, its builders, and PanicException, raised when the native code meets a broken invariant.
"""

from collections.abc import Buffer, Callable, Iterable, Sequence
from typing import Any, Literal, SupportsIndex

import _torrelm
import numpy

import torrelm._results


class PanicException(BaseException):
    """
    Raised when the native code of torrelm fails internally: an invariant it relies on does not hold, for example in an inconsistent index restored from bytes.

    Like SystemExit, it derives from BaseException rather than Exception, so that it is not swallowed by 'except Exception' and typically propagates all the way up and ends the interpreter. The index it was raised on is unchanged and stays usable.
    """

class Index:
    """
    An immutable index of terms whose trie nodes carry their best videos.

    Made by IndexBuilder.build(), torrelm.load(), Index.from_bytes() or Index.from_prefix_search(); it has no public constructor. Queries run without the interpreter lock, so threads sharing one index answer in parallel; Ctrl-C stops a long query with KeyboardInterrupt.
    """

    def fuzzy_match(self, term: str, max_dist: SupportsIndex = 1, limit: SupportsIndex | None = None) -> list[tuple[str, int, int]]:
        """
        The indexed terms within max_dist Levenshtein edits of term, as (term, 1, distance) tuples in trie order (depth first, a term before the longer terms it prefixes). limit stops the walk after that many matches. Bounds above 65535 act as 65535.
        """

    def fuzzy_match_video(self, term: str, max_dist: SupportsIndex = 1, limit: SupportsIndex | None = None, include_prefix_nodes: bool | numpy.bool_ | None = None) -> list[tuple[str, float]]:
        """
        The videos that best match term, as (video id, share) pairs, best first. Every trie node within max_dist edits takes part: by default the nodes that end a term, or the prefix nodes when none does; include_prefix_nodes=True always counts prefix nodes too, False never does.
        """

    def memory_bytes(self) -> int:
        """
        The bytes the index's arrays take, in memory of its own or in its mapped file.
        """

    def __repr__(self) -> str: ...

    def __len__(self) -> int:
        """The number of terms: as many as iter() yields."""

    def __contains__(self, term: str, /) -> bool:
        """
        Whether term is one of the indexed terms (exactly). Anything but a str raises TypeError.
        """

    def __iter__(self) -> IndexIterator:
        """
        The terms one at a time, in trie order: the order of fuzzy_match('', 65535), which leaves out terms longer than 65535 characters; these come too.
        """

    def to_bytes(self) -> bytes:
        """
        The whole index in the older stored form, which _torrelm.PrefixSearch.from_bytes() also reads. An index that names its videos by the site's own ids cannot be written in it (ValueError): use to_container().
        """

    def to_container(self) -> bytes:
        """
        The whole index as a checked container (the bytes torrelm.save() writes), with the site's ids and the build metadata.
        """

    @staticmethod
    def from_bytes(b: Buffer, *, verify: bool = True) -> Index:
        """
        The index stored in b (bytes, bytearray, memoryview or any other contiguous buffer) by to_container() or to_bytes(), copied. Checks everything first unless verify=False: a problem raises ValueError naming it.
        """

    @staticmethod
    def from_prefix_search(ps: _torrelm.PrefixSearch) -> Index:
        """
        An Index answering as ps does, whatever its shape (as from_bytes(ps.to_bytes(), verify=False)): the shapes a PrefixSearch may take, which the builders never make (U+0000 labels, nodes under two parents), are answered the same way.
        """

    def to_prefix_search(self) -> _torrelm.PrefixSearch:
        """
        The same index as a _torrelm.PrefixSearch, through its older stored form.
        """

    @staticmethod
    def _open_file(fd: int, path: str, map: bool, verify: bool) -> Index:
        """
        The index in the regular file open on fd (which the caller closes), mapped or read; path names it in messages and in repr.
        """

    def _write_file(self, fd: int) -> None:
        """
        Writes the container into the empty file open on fd, which the caller flushes.
        """

    def _with_extras(self, external_ids: Buffer | None = None, metadata: str | None = None, normalize: Callable[[str], str] | None = None) -> Index:
        """
        The same index with a table of the site's ids (external_ids_section()'s bytes), metadata (JSON text) and a normalize function of the caller's for its queries.
        """

    @property
    def metadata(self) -> dict[str, Any] | None:
        """
        What the builder recorded (build time, rows, video_top_n, library version), or None.
        """

    @property
    def storage(self) -> Literal['owned', 'mapped']:
        """
        'mapped' for an index read in place from a file torrelm.open() mapped, else 'owned'.
        """

    @property
    def path(self) -> str | None:
        """The file a mapped index reads, else None."""

    def __getstate__(self) -> bytes | tuple[bytes, Callable[[str], str]]:
        """
        The container, for pickle, with the index's normalize function when it is the caller's own.
        """

    def __setstate__(self, state: Buffer | tuple[Buffer, Callable[[str], str]], /) -> None:
        """Restores a pickled index, checked."""

    def complete(self, prefix: str, *, limit: SupportsIndex = 10, max_dist: SupportsIndex | Literal['auto'] = 0, distance: Literal['osa', 'levenshtein'] = 'osa', order: Literal['likely', 'distance'] = 'likely') -> list[torrelm._results.Completion]:
        """
        The limit terms that start with prefix, most searched first (ties in code point order), as Completion(term, count). With max_dist=d, the terms below every prefix within d edits of prefix, the likeliest first (ln(1 + count) less 7 per unit of the typo's weighted cost), or with order='distance' by (distance, count). Exact, found best first: the terms below the prefix are never all collected. An edit is an insertion, a deletion, a substitution or, with distance='osa' (the default), a swap of two neighbouring characters; distance='levenshtein' counts a swap as two edits, as fuzzy_match does. max_dist='auto' allows a prefix of one word no edits below 4 characters and one from 4 (a prefix being typed), and a text of several words one edit in each word of 3 characters or more and 2 in all, the last word matched as a prefix; a space missing or added between words is one edit of the whole. Each Completion's highlight gives the ranges of its term that match what was typed.
        """

    def suggest(self, text: str, *, max_dist: SupportsIndex | Literal['auto'] = 2, limit: SupportsIndex = 10, distance: Literal['osa', 'levenshtein'] = 'osa', order: Literal['likely', 'distance'] = 'likely') -> list[torrelm._results.Suggestion]:
        """
        The limit likeliest terms within max_dist edits of text (ln(1 + count) less 7 per unit of the typo's weighted cost), as Suggestion(term, distance, count). With order='distance', best first by smaller distance, then higher count, then code point order: the same list as sorting every match of fuzzy_match(text, max_dist) so and keeping the first limit, where distance='levenshtein'; with distance='osa' (the default) a swap of two neighbouring characters is one edit. Where text is itself a term, only the terms likelier than it by more than 5 come before it, and nothing after. max_dist='auto' allows one word no edits below 4 characters, one from 4, two from 7, and a text of several words one edit in each word of 2 characters or more and 3 in all; a space missing or added between words is one edit of the whole. Each Suggestion's highlight gives the ranges of its term that match what was typed.
        """

    def videos(self, text: str, *, max_dist: SupportsIndex | Literal['auto'] = 1, limit: SupportsIndex | None = 10, include_prefix_nodes: bool | numpy.bool_ | None = None, distance: Literal['osa', 'levenshtein'] = 'osa') -> list[torrelm._results.Video]:
        """
        fuzzy_match_video(text, max_dist, limit, include_prefix_nodes) as Video(id, share) named tuples, ids as the index was given them; with distance='osa' (the default) the nodes are chosen counting a swap of two neighbouring characters as one edit.
        """

    def typeahead(self, text: str, *, limit: SupportsIndex = 10, videos: SupportsIndex = 10) -> torrelm._results.Typeahead:
        """
        What a search box shows as text is typed, in one call: Typeahead(completions, videos, corrections). completions: complete(text, limit=limit, max_dist='auto') in the likely order, so that a slip in each word still offers what was meant, less any of 5 code points or more within one edit of another searched at least 50 times as often, and text itself first where it is a term that suggest() puts first; corrections, only where no completion is within that budget: suggest(text, max_dist='auto', limit=limit), or where that finds nothing, suggest() within the edits 'auto' allows the text as one word; videos: videos(text, max_dist=0, limit=videos), or where nothing starts with text, the videos of the first completion or correction.
        """

    def _complete_json(self, prefix: str, limit: SupportsIndex, max_dist: SupportsIndex | Literal['auto']) -> bytes:
        """
        complete(prefix, limit=limit, max_dist=max_dist) as the JSON array the service answers: [{"term": ..., "count": ...}, ...].
        """

    def _suggest_json(self, text: str, limit: SupportsIndex, max_dist: SupportsIndex | Literal['auto']) -> bytes:
        """
        suggest(text, max_dist=max_dist, limit=limit) as the JSON array the service answers: [{"term": ..., "distance": ..., "count": ...}, ...].
        """

    def _videos_json(self, text: str, limit: SupportsIndex, max_dist: SupportsIndex | Literal['auto']) -> bytes:
        """
        videos(text, max_dist=max_dist, limit=limit) as the JSON array the service answers: [{"id": ..., "share": ...}, ...].
        """

    def _typeahead_json(self, text: str, limit: SupportsIndex, videos: SupportsIndex) -> bytes:
        """
        typeahead(text, limit=limit, videos=videos) as the JSON object the service answers: {"completions": [...], "videos": [...]}.
        """

    def complete_many(self, texts: Sequence[str], *, limit: SupportsIndex = 10, max_dist: SupportsIndex | Literal['auto'] = 0, distance: Literal['osa', 'levenshtein'] = 'osa', order: Literal['likely', 'distance'] = 'likely') -> list[list[torrelm._results.Completion]]:
        """complete() for every text, on every core, in input order."""

    def suggest_many(self, texts: Sequence[str], *, max_dist: SupportsIndex | Literal['auto'] = 2, limit: SupportsIndex = 10, distance: Literal['osa', 'levenshtein'] = 'osa', order: Literal['likely', 'distance'] = 'likely') -> list[list[torrelm._results.Suggestion]]:
        """suggest() for every text, on every core, in input order."""

    def videos_many(self, texts: Sequence[str], *, max_dist: SupportsIndex | Literal['auto'] = 1, limit: SupportsIndex | None = 10, include_prefix_nodes: bool | numpy.bool_ | None = None, distance: Literal['osa', 'levenshtein'] = 'osa') -> list[list[torrelm._results.Video]]:
        """videos() for every text, on every core, in input order."""

    def blocked(self, terms: Iterable[str] = (), words: Iterable[str] = ()) -> Index:
        """
        A new Index over the same data (nothing is copied) whose complete(), suggest(), typeahead(), their batches and the service's answers never offer a term of terms, nor one that holds one of words as whole words between spaces ('cat' takes 'my cat videos', not 'cats'; 'cat videos' takes 'funny cat videos'). Both are folded as the index folds queries. Each answer is the one the index gives with those terms taken out: the next best fill their places, so that no fewer come while more are left. A suggest() whose text is a blocked term still answers only what is likelier than it by the margin, less the term. Called on a blocked index, the new list replaces the old one; with both empty, the index answers as the one it was made from. Made in one pass over the index (some 70 ms for 100,000 terms with word starts), the index it came from unchanged. videos(), fuzzy_match(), fuzzy_match_video(), len(), iter() and `in` still see every term, and typeahead()'s videos are those of what was typed while an unblocked term starts with it. Pickling keeps the list; save() and to_bytes() write the index alone.
        """

    @property
    def blocked_terms(self) -> tuple[str, ...]:
        """
        The terms given to blocked() for this index, as given: () when it blocks none.
        """

    @property
    def blocked_words(self) -> tuple[str, ...]:
        """
        The words given to blocked() for this index, as given: () when it blocks none.
        """

def external_ids_section(ids: Sequence[str] | Sequence[int]) -> bytes:
    """
    The table of a site's own video ids, for Index._with_extras(): all str, or all int (from -2**63 to 2**64-1). The index's int id of a video is its place in the table.
    """

class IndexIterator:
    """
    An iterator over the terms of an Index, made by iter(index). It keeps the index's data alive by itself.
    """

    def __iter__(self) -> IndexIterator: ...

    def __next__(self) -> str: ...

def _typo_cost(typed: str, meant: str) -> float:
    """
    What the likely order takes off ln(1 + count) for a term `meant` when `typed` was typed (texts of any length).
    """

class RowTable:
    """
    Click rows gathered in native memory, then built into an Index; the engine behind torrelm.build and IndexBuilder.
    """

    def __init__(self) -> None: ...

    @property
    def rows(self) -> int:
        """Rows added so far."""

    @property
    def terms(self) -> int:
        """Distinct terms so far."""

    @property
    def videos(self) -> int:
        """Distinct videos so far."""

    def add_arrow_stream(self, stream: object, term: str, video: str, count: str, totals: str | None, progress: object | None) -> None:
        """
        Adds every row of an Arrow stream (the capsule of __arrow_c_stream__()).
        """

    def add_arrow_array(self, schema: object, array: object, term: str, video: str, count: str, totals: str | None) -> None:
        """
        Adds every row of an Arrow record batch (the capsules of __arrow_c_array__()).
        """

    def add_columns(self, terms: object, videos: object, counts: object, totals: object | None, term_name: str = 'term', video_name: str = 'video', count_name: str = 'count', totals_name: str = 'totals') -> None:
        """
        Adds rows given as columns: sequences, or integer arrays read in place. A total of None gives no total for its row.
        """

    def build(self, video_top_n: int, progress: Callable[[str, int, int], object] | None, normalize: Callable[[str], str] | None = None, min_count: int = 0, merge_ratio: float | None = None, word_starts: bool = False, blocked_terms: Sequence[str] = [], blocked_words: Sequence[str] = []) -> Index:
        """
        The Index of every row added; the table is left empty. With normalize, the terms that normalise alike are merged first, each showing its most counted spelling (a term normalised to nothing is left out). With merge_ratio, the variants of terms searched that many times as often fold into them, and so do the spellings that differ only in accents; then the terms counted fewer than min_count times are left out with their clicks. The terms in blocked_terms, those holding a word (between spaces) of blocked_words, and the terms folded into them are left out too; both lists are compared with the normalised terms. With word_starts, complete() finds a term of several words from the start of each of them too (a word after the first cannot hold U+001F, which the word-start index keeps for itself).
        """

    @property
    def report(self) -> dict[str, Any]:
        """
        What the last build left out (dropped_terms, dropped_clicks; blocked_terms, blocked_clicks for the blocked ones) and merged (merged: (variant, term, variant count, term count) tuples, most counted first).
        """
