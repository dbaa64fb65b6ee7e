"""`python -m quillmesh`: the command-line tool."""

import sys

from quillmesh.cli import main

sys.exit(main())
