"""``python -m kelpie``: the same project-creation dialogue as ``kelpie-new``."""

import sys

from kelpie._cli import main

if __name__ == "__main__":
    sys.exit(main(prog="python -m kelpie"))
