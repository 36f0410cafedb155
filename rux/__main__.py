"""``python -m rux``: the rux command-line tool."""

import sys

from rux.cli import main

sys.exit(main())
