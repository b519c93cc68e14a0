"""``python -m vesper``: the command line."""

from ._cli import main

raise SystemExit(main())
