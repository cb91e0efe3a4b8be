"""Search-as-you-type index over a trie of terms whose nodes carry their best videos."""

from collections.abc import Sequence
from typing import SupportsIndex, final

# The flag also takes numpy's boolean. numpy is not a dependency: where it is not installed, type
# checkers see this name as Any.
from numpy import bool_ as _NumpyBool

__all__ = ["PrefixSearch"]

_U32 = SupportsIndex
_Payload = tuple[_U32, Sequence[_U32], Sequence[_U32]]

@final
class PrefixSearch:
    """An immutable index. Create one with from_internal_data_v2() or from_bytes()."""

    @staticmethod
    def from_internal_data_v2(
        node_shifts: Sequence[_U32],
        child_labels: Sequence[str],
        payloads: Sequence[_Payload | None],
        child_transitions: Sequence[_U32],
        video_index: Sequence[bytes | Sequence[SupportsIndex]],
        video_top_n: _U32,
    ) -> PrefixSearch: ...
    def to_bytes(self) -> bytes: ...
    @staticmethod
    def from_bytes(b: bytes) -> PrefixSearch: ...
    def fuzzy_match(
        self, term: str, max_dist: SupportsIndex = 1, limit: SupportsIndex | None = None
    ) -> list[tuple[str, int, int]]: ...
    def fuzzy_match_video(
        self,
        term: str,
        max_dist: SupportsIndex = 1,
        limit: SupportsIndex | None = None,
        include_prefix_nodes: bool | _NumpyBool | None = None,
    ) -> list[tuple[str, float]]: ...
