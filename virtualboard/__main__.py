"""scripts/virtual-board (see cli.py)."""
import sys

from . import signals


def run():
    signals.interrupt_quietly()
    from . import cli  # after: a Ctrl-C while it loads ends the script quietly
    sys.exit(cli.main())


run()
