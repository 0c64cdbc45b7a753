"""python -m tarnwick_graph: the tarnwick-graph command."""

from .cli import main

raise SystemExit(main())
