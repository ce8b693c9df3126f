"""`python -m publish` runs the kamo command."""

import sys

from publish.cli import main

sys.exit(main())
