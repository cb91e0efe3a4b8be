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
    reloaded = torrelm.load(path)
    print(f"{path.stat().st_size} bytes on disk")
    print(reloaded.fuzzy_match_video("lectur"))
    assert reloaded.to_bytes() == index.to_bytes()
