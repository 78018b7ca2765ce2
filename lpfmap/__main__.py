"""For shell scripts and the FPGA design's tests: `python3 -m lpfmap
STAND_IN_SIZE` prints the number (a mark as it is, with its newline);
`--yosys` prints the map as Yosys parameter settings, `--verilog` as
Verilog localparams."""
import sys

import lpfmap

if sys.argv[1:] == ["--yosys"]:
    print(" ".join("-set %s %d" % item for item in lpfmap.hdl_parameters().items()))
elif sys.argv[1:] == ["--verilog"]:
    for name, value in lpfmap.hdl_parameters().items():
        width = 5 if name.endswith("_WORD") else 32
        print("localparam [%d:0] %s = %d'd%d;" % (width - 1, name, width, value))
else:
    for wanted in sys.argv[1:]:
        value = getattr(lpfmap, wanted)
        sys.stdout.write("%d\n" % value if isinstance(value, int) else value.decode())
