"""Entry point: ``tools/devenv python -m bench [--quick] [--publish] [--callgrind]``."""

import sys

from .harness import main

sys.exit(main())
