"""python -m vornkit: the vorn command line tool."""

import sys

from .cli import main

sys.exit(main())
