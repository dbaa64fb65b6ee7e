"""Build a small index, save it, load it back, and search it with typos."""

import quillmesh

rows = [  # (term, video id, how often the term is linked to the video)
    ("python", 1, 12), ("pythonic", 2, 3), ("typing", 1, 4),
    ("trie", 3, 7), ("tries", 3, 2), ("tree", 4, 9),
]
index = quillmesh.build(rows, video_top_n=50)
restored = quillmesh.PrefixSearch.from_bytes(index.to_bytes())

for term, _, distance in restored.fuzzy_match("pyhton", max_dist=2):
    print(f"term {term!r} at distance {distance}")
for video, score in restored.fuzzy_match_video("tre"):
    print(f"video {video} scores {score:.3f}")
