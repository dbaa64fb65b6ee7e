"""Writes the rows file of the command line's build benchmark: every distinct
line of Debian's largest English word list, two rows each (its family's
video, and a stray one), as make demo lays them out.

    PYTHONPATH=BUILD:BUILD/python:python /usr/bin/python3 bench/cli_rows.py ROWS.tsv
    /usr/bin/time -v quillmesh build ROWS.tsv -o words.qm
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))

from demo import SYSTEM_WORDS, rows_for  # noqa: E402


def main() -> None:
    with open(SYSTEM_WORDS, encoding="utf-8") as f:
        words = sorted({line.strip() for line in f if line.strip()})
    rows, _ = rows_for(words)
    with open(sys.argv[1], "w", encoding="utf-8") as out:
        out.writelines(f"{term}\t{video}\t{count}\n" for term, video, count in rows)
    print(f"{sys.argv[1]}: {len(rows)} rows of {len(words)} words")


if __name__ == "__main__":
    main()
