"""For shell scripts: `python3 -m lpfmap STAND_IN_SIZE` prints the number
(a mark as it is, with its newline)."""
import sys

import lpfmap

for wanted in sys.argv[1:]:
    value = getattr(lpfmap, wanted)
    sys.stdout.write("%d\n" % value if isinstance(value, int) else value.decode())
