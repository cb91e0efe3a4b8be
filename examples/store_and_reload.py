"""Store an index in a file and load it back without rebuilding it."""

import tempfile
import uuid
from pathlib import Path

import torrelm

builder = torrelm.IndexBuilder()
builder.add("lecture", uuid.UUID("5f0c6d2e-8f3a-4b1c-9d2e-7a6b5c4d3e2f"), 12)
builder.add("lectern", uuid.UUID("0e1d2c3b-4a59-6877-8695-a4b3c2d1e0f0"), 3)
index = builder.build()

with tempfile.TemporaryDirectory() as folder:
    path = Path(folder) / "videos.idx"
    torrelm.save(index, path)  # atomic: a crash never leaves a truncated file
    reloaded = torrelm.load(path)  # a torrelm.Index
    print(f"{path.stat().st_size} bytes on disk")
    print(reloaded.fuzzy_match_video("lectur"))
    assert reloaded.to_bytes() == index.to_bytes()

# In memory: Index.from_bytes reads bytes, a bytearray or a memoryview in place.
data = bytearray(index.to_bytes())
again = torrelm.Index.from_bytes(memoryview(data))
assert again.fuzzy_match("lectern", 0) == [("lectern", 1, 0)]
# The same stored form as _torrelm.PrefixSearch, which answers the same queries.
search = index.to_prefix_search()
assert search.fuzzy_match_video("lect") == index.fuzzy_match_video("lect")
assert torrelm.Index.from_prefix_search(search).to_bytes() == index.to_bytes()
