"""The ways an index can fold its terms, applied alike to the terms it is built from and to the
text of every query it answers, so that `CAT` finds `cat` and `cafe` finds `café`."""

from __future__ import annotations

import json
import unicodedata
from collections.abc import Callable
from typing import Union

Normalize = Callable[[str], str]
NormalizeOption = Union[None, str, Normalize]


def _spaced(text: str) -> str:
    """`text` without whitespace at either end and with every run of it inside (any Unicode
    space, tab or line break) one space: what people type is the same query either way."""
    return " ".join(text.split())


def casefold(text: str) -> str:
    """Unicode case folding between NFKC normalisations, whitespace trimmed and collapsed:
    `Straße` and `STRASSE` become `strasse`, the ligature `ﬁ` becomes `fi`, full-width letters
    their plain forms, ` funny\u00a0 cats ` becomes `funny cats`."""
    if text.isascii():
        return _spaced(text.lower())  # the same, for ASCII, at a fraction of the cost
    return _spaced(unicodedata.normalize("NFKC", unicodedata.normalize("NFKC", text).casefold()))


def fold_accents(text: str) -> str:
    """casefold, then every combining mark removed (through NFKD) and the rest composed again
    (NFC): `Café` and `cafe` become `cafe`, `Ångström` becomes `angstrom`."""
    if text.isascii():
        return _spaced(text.lower())
    decomposed = unicodedata.normalize("NFKD", casefold(text))
    kept = "".join(ch for ch in decomposed if not unicodedata.combining(ch))
    return _spaced(unicodedata.normalize("NFC", kept))  # a lone mark may have stood between spaces


_BY_NAME: dict[str, Normalize] = {"casefold": casefold, "fold-accents": fold_accents}


def resolve(normalize: NormalizeOption) -> tuple[Normalize | None, str | None]:
    """The function a `normalize=` argument names, and the name the index records: None (terms
    as given), "casefold", "fold-accents", or a callable str -> str ("custom")."""
    if normalize is None:
        return None, None
    if isinstance(normalize, str):
        try:
            return _BY_NAME[normalize], normalize
        except KeyError:
            raise ValueError(f"normalize {normalize!r}: expected None, 'casefold', 'fold-accents' "
                             "or a callable str -> str") from None
    if not callable(normalize):
        raise TypeError("normalize must be None, 'casefold', 'fold-accents' or a callable "
                        f"str -> str, not {type(normalize).__name__}")
    return normalize, "custom"


def recorded(normalize: Normalize | None, name: str | None) -> dict[str, str]:
    """What the metadata of an index built with `normalize` says of it."""
    if name is None:
        return {}
    if name != "custom" or normalize is None:
        return {"normalize": name}
    function = f"{getattr(normalize, '__module__', '?')}.{getattr(normalize, '__qualname__', '?')}"
    return {"normalize": name, "normalize_function": function}


def from_metadata(metadata: str) -> Normalize | None:
    """The package's own function that an index's metadata names, or None (for an index built
    without one, or with a function of its caller's, which only the caller can give back)."""
    try:
        recorded_name = json.loads(metadata).get("normalize")
    except (ValueError, AttributeError, RecursionError):
        return None
    return _BY_NAME.get(recorded_name) if isinstance(recorded_name, str) else None


def custom_name(metadata: dict[str, object] | None) -> str | None:
    """The function a custom-normalised index was built with, as its metadata names it, or None
    when the index is not custom-normalised."""
    if not metadata or metadata.get("normalize") != "custom":
        return None
    return str(metadata.get("normalize_function", "a function"))
