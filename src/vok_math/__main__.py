"""python -m vok_math: the command line (see vok_math.cli)."""

import sys

from .cli import main

sys.exit(main())
