#!/usr/bin/python3
"""The demo behind `make demo`: a word-list index, saved, restored and queried.

Builds an index from Debian's largest American English word list (or the
small list in data/ when that is not installed), each word linked to
generated videos, saves it to a file with to_bytes, restores it with
from_bytes, and answers misspelt queries with fuzzy_match and
fuzzy_match_video, printing each answer with the time it took.

    PYTHONPATH=BUILD_DIR:python /usr/bin/python3 tools/demo.py [--words FILE] [QUERY ...]
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path
from typing import Dict, List, Tuple

ROOT = Path(__file__).resolve().parents[1]
try:
    import quillmesh
except ImportError:  # run from the source tree: the package sits in python/
    sys.path.insert(0, str(ROOT / "python"))
    import quillmesh

SYSTEM_WORDS = Path("/usr/share/dict/american-english-insane")
SMALL_WORDS = ROOT / "data" / "words-small.txt"
QUERIES = ["serch", "vidoes", "musik", "gardning", "recieve", "definately", "seperate", "quikly"]
# Neighbouring words in sorted order (search, searched, searcher...) share a
# video, so a video stands for a small family of words.
WORDS_PER_VIDEO = 4


def ms(seconds: float) -> str:
    return f"{seconds * 1000:9.2f} ms"


def rows_for(words: List[str]) -> Tuple[List[Tuple[str, int, int]], Dict[int, List[str]]]:
    """Each word: its family's video with a weighty count, plus a stray video."""
    rows = []
    families: Dict[int, List[str]] = {}
    for i, word in enumerate(words):
        video = i // WORDS_PER_VIDEO
        families.setdefault(video, []).append(word)
        rows.append((word, video, 10 + (i * 7919) % 90))
        rows.append((word, (i * 104729) % (len(words) // WORDS_PER_VIDEO + 1), 1 + i % 5))
    return rows, families


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--words", type=Path, help=f"word list, one per line (default {SYSTEM_WORDS})")
    parser.add_argument("--top-n", type=int, default=quillmesh.DEFAULT_VIDEO_TOP_N, help="videos kept per node")
    parser.add_argument("queries", nargs="*", default=QUERIES, metavar="QUERY")
    args = parser.parse_args()

    source = args.words or (SYSTEM_WORDS if SYSTEM_WORDS.exists() else SMALL_WORDS)
    started = time.perf_counter()
    with open(source, encoding="utf-8") as f:
        words = sorted({line.strip() for line in f if line.strip()})
    print(f"word list        {source}: {len(words)} words, read in {ms(time.perf_counter() - started)}")

    rows, families = rows_for(words)
    started = time.perf_counter()
    arrays = quillmesh.layout(rows)
    laid_out = time.perf_counter()
    index = quillmesh.PrefixSearch.from_internal_data_v2(*arrays, args.top_n)
    built = time.perf_counter()
    print(f"layout           {len(rows)} rows -> {len(arrays.child_labels)} nodes, "
          f"{len(arrays.video_index)} videos in {ms(laid_out - started)}")
    print(f"build            from_internal_data_v2 (top {args.top_n} videos per node) in {ms(built - laid_out)}")

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "words.qm")
        started = time.perf_counter()
        data = index.to_bytes()
        with open(path, "wb") as f:
            f.write(data)
        saved = time.perf_counter()
        with open(path, "rb") as f:
            restored = quillmesh.PrefixSearch.from_bytes(f.read())
        loaded = time.perf_counter()
    print(f"save             to_bytes: {len(data)} bytes written in {ms(saved - started)}")
    print(f"restore          from_bytes in {ms(loaded - saved)}")
    if restored.to_bytes() != data:
        print("the restored index does not write the same bytes", file=sys.stderr)
        return 1

    for query in args.queries:
        print(f"\nquery {query!r}")
        started = time.perf_counter()
        terms = restored.fuzzy_match(query, max_dist=2)
        took = time.perf_counter() - started
        closest = sorted(terms, key=lambda m: (m[2], m[0]))[:6]
        shown = ", ".join(f"{t} ({d})" for t, _, d in closest) or "none"
        print(f"  fuzzy_match       {ms(took)}  {len(terms)} terms within 2 edits: {shown}")

        started = time.perf_counter()
        # One edit: with two, hundreds of near words share the score and
        # few videos stay above the default threshold.
        videos = restored.fuzzy_match_video(query, max_dist=1, limit=3)
        took = time.perf_counter() - started
        print(f"  fuzzy_match_video {ms(took)}  best {len(videos)} videos within 1 edit")
        for video, score in videos:
            family = ", ".join(families.get(int(video), []))
            print(f"      video {video:>7}  score {score:.3f}  ({family})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
