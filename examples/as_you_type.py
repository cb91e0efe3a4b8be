"""Search as you type: the best videos after every keystroke, with how long each call took."""

import time

import torrelm

builder = torrelm.IndexBuilder()
catalogue = {
    "music": [(1, 50), (2, 30)],
    "musical": [(2, 20), (3, 10)],
    "museum": [(4, 40)],
    "mustard": [(5, 5)],
    "video": [(6, 70), (1, 5)],
}
for term, videos in catalogue.items():
    for video, count in videos:
        builder.add(term, video, count)
index = builder.build(video_top_n=10)

typed = "musci"  # with a typo at the end
for end in range(1, len(typed) + 1):
    prefix = typed[:end]
    start = time.perf_counter()
    ranked = index.fuzzy_match_video(prefix, max_dist=1, limit=3)
    micros = (time.perf_counter() - start) * 1e6
    shown = ", ".join(f"{video} ({share:.2f})" for video, share in ranked) or "nothing yet"
    print(f"{prefix!r:>8} {micros:6.1f} µs  {shown}")
