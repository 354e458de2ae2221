"""``python -m ostrel_quorvane``: the command-line tool."""

import sys

from ostrel_quorvane.cli import main

sys.exit(main())
