"""Build a small index, save it, load it back, and search it with typos."""

import os
import tempfile

import quillmesh

rows = [  # (term, video id, how often the term is linked to the video)
    ("python", 1, 12), ("pythonic", 2, 3), ("typing", 1, 4),
    ("trie", 3, 7), ("tries", 3, 2), ("tree", 4, 9),
]
index = quillmesh.build_index(rows, video_top_n=50)
with tempfile.TemporaryDirectory() as folder:
    path = os.path.join(folder, "words.qm")
    quillmesh.save(index, path)
    restored = quillmesh.load(path)

for term, _, distance in restored.fuzzy_match("pyhton", max_dist=2):
    print(f"term {term!r} at distance {distance}")   # term 'python' at distance 2
for s in quillmesh.suggest(restored, "tre", limit=3):
    print(f"did you mean {s.term!r}? (distance {s.distance}, used {s.uses} times)")
for video, score in restored.fuzzy_match_video("tre"):
    print(f"video {video} scores {score:.3f}")
