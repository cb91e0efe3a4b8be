"""Build an index from (term, video, count) triples, then search it."""

import torrelm

builder = torrelm.IndexBuilder()
for term, video, count in [
    ("cat", 17, 6),
    ("cat", 42, 4),
    ("car", 42, 5),
    ("cart", 99, 2),
    ("dog", 7, 3),
]:
    builder.add(term, video, count)
index: torrelm.Index = builder.build(video_top_n=10)
print(index)  # <torrelm.Index nodes=... terms=4>

# Terms within one edit of a misspelt word, in trie order: (term, 1, distance).
print(index.fuzzy_match("cag"))
# Videos for what the user typed so far: (video id, share), best first.
print(index.fuzzy_match_video("ca", include_prefix_nodes=True))
