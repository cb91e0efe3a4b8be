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


# Letters whose mark is drawn through or into them, so that Unicode gives them no decomposition
# to take it off by: people who type without accents type them as the plain letter (`lodz` for
# `łódź`, `orsted` for `ørsted`). Case folded forms only: fold_accents folds case first. Letters
# that stand for two (æ, œ, and ß, which casefold already makes ss) are left alone: one letter
# for two would make a typed prefix such as `ae` or `oe` complete to words it does not start.
# tools/gen_unicode_tables.py takes these, with their capitals, into the native folding.
NO_DECOMPOSITION = {
    "ł": "l",  # Polish, Sorbian
    "ø": "o",  # Danish, Norwegian, Faroese
    "đ": "d",  # Croatian, Bosnian, Serbian Latin, Vietnamese
    "ħ": "h",  # Maltese
    "ŧ": "t",  # Northern Sami
    "ǥ": "g",  # Skolt Sami
    "ı": "i",  # Turkish, Azerbaijani: dotless i
}
_UNDECOMPOSED = str.maketrans(NO_DECOMPOSITION)


def fold_accents(text: str) -> str:
    """casefold, then every combining mark removed (through NFKD), the rest composed again (NFC)
    and the letters with a stroke that Unicode does not decompose made plain (NO_DECOMPOSITION):
    `Café` and `cafe` become `cafe`, `Ångström` becomes `angstrom`, `Łódź` becomes `lodz`."""
    if text.isascii():
        return _spaced(text.lower())
    decomposed = unicodedata.normalize("NFKD", casefold(text))
    kept = "".join(ch for ch in decomposed if not unicodedata.combining(ch))
    # A lone mark may have stood between spaces; `ǿ` is `ø` once its accent is gone.
    return _spaced(unicodedata.normalize("NFC", kept).translate(_UNDECOMPOSED))


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
