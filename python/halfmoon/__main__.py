"""Entry point of ``python -m halfmoon``."""

import sys

from .cli import main

sys.exit(main())
