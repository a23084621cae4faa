"""python -m wexo: the command-line tool."""

from ._cli import main

raise SystemExit(main())
