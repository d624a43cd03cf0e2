"""The ``kelpie-new`` console command (also ``python -m kelpie``): the
project-creation dialogue of :func:`kelpie.larder.gen_catalogue`.

Ctrl-C or the end of the input while a question waits ends the command with
a one-line message on standard error and a non-zero status instead of a
traceback.  Refusing the confirmation ends it with status 0, as the dialogue
itself does.
"""

import argparse
import signal
import sys
import threading
from typing import List, Optional

# Exit statuses: the shell convention for a command ended by SIGINT, and a
# plain failure for input that ended before the dialogue was done.
INTERRUPTED = 130
END_OF_INPUT = 1

DESCRIPTION = (
    "Create a new project skeleton: asks for the project name, a confirmation "
    "(answer y) and the directory to create it in (empty: the current directory), "
    "then creates README.md, requirements.txt, .gitignore, configs/, scripts/, "
    "data/ and src/ with empty starter files."
)


def main(argv: Optional[List[str]] = None, prog: str = "kelpie-new") -> int:
    """Run the dialogue; return the exit status."""
    argparse.ArgumentParser(prog=prog, description=DESCRIPTION).parse_args(argv)
    try:
        from kelpie.larder import gen_catalogue

        gen_catalogue()
    except KeyboardInterrupt:
        return _stop(prog, "interrupted", INTERRUPTED)
    except EOFError:
        return _stop(prog, "input ended before the dialogue was complete; no project was created", END_OF_INPUT)
    return 0


def _stop(prog: str, message: str, status: int) -> int:
    # A second Ctrl-C while the message is written must not end in a
    # traceback after all.
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, signal.SIG_IGN)
    # The question that was waiting has no line end yet: end its line on
    # standard output, then write the message as one line of its own.
    try:
        print(flush=True)
    except (OSError, ValueError):
        pass
    print(f"{prog}: {message}", file=sys.stderr, flush=True)
    return status

