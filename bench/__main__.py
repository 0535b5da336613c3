"""Entry point: ``tools/devenv python -m bench [--quick] [--publish] [--callgrind] [pyperf options]``."""

import sys

from .harness import main

sys.exit(main())
