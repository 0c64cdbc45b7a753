import sys

from tarnwick_cli import main

sys.exit(main())
