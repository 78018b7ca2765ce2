"""rtl/lpf_system.xml, the core's IP-XACT description, against its sources:
the register map of lib/hwregs/hwregs.h (offsets, access, reset values),
the word indices and ports of rtl/lpf_system.v, its CLOCK_HZ default, and
the clock of rtl/lpf_system.sdc."""
import os
import re
import sys
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass

import lpfmap

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
NS = {"ipxact": "http://www.accellera.org/XMLSchema/IPXACT/1685-2014"}


@dataclass(frozen=True)
class Register:
    offset: int
    access: str
    reset: object  # an int, or the name of the parameter it equals


def number(text):
    """An IP-XACT value: 'h1F, 32'h1F or a decimal; anything else as it is."""
    match = re.fullmatch(r"(?:\d+)?'([hdb])([0-9A-Fa-f_]+)", text)
    if match:
        return int(match.group(2).replace("_", ""), {"h": 16, "d": 10, "b": 2}[match.group(1)])
    return int(text) if text.isdigit() else text


def described(root):
    registers = {}
    for register in root.iterfind(".//ipxact:register", NS):
        fields = register.findall("ipxact:field", NS)
        reset = 0
        for field in fields:
            value = number(field.findtext("ipxact:resets/ipxact:reset/ipxact:value", namespaces=NS))
            if not isinstance(value, int):
                reset = value
            elif isinstance(reset, int):
                reset |= value << int(field.findtext("ipxact:bitOffset", namespaces=NS))
        registers[register.findtext("ipxact:name", namespaces=NS)] = Register(
            number(register.findtext("ipxact:addressOffset", namespaces=NS)),
            register.findtext("ipxact:access", namespaces=NS), reset)
    ports = {}
    for port in root.iterfind(".//ipxact:model/ipxact:ports/ipxact:port", NS):
        left = port.findtext(".//ipxact:vector/ipxact:left", default="0", namespaces=NS)
        ports[port.findtext("ipxact:name", namespaces=NS)] = (
            port.findtext("ipxact:wire/ipxact:direction", namespaces=NS), int(left) + 1)
    return registers, ports


def definitions():
    """{(vendor, library, name, version): root} of the shipped bus and
    abstraction definitions (rtl/ipxact)."""
    found = {}
    folder = os.path.join(ROOT, "rtl", "ipxact")
    for name in sorted(os.listdir(folder)):
        root = ElementTree.parse(os.path.join(folder, name)).getroot()
        vlnv = tuple(root.findtext("ipxact:" + part, namespaces=NS) for part in ("vendor", "library", "name", "version"))
        found[vlnv] = root
    return found


def unresolved(root):
    """Each bus type and abstraction the component names, and each logical
    port it maps, that no shipped definition gives."""
    shipped = definitions()
    missing = []
    for interface in root.iterfind(".//ipxact:busInterface", NS):
        refs = [interface.find("ipxact:busType", NS)] + interface.findall(".//ipxact:abstractionRef", NS)
        vlnvs = [tuple(ref.get(part) for part in ("vendor", "library", "name", "version")) for ref in refs]
        missing += [vlnv for vlnv in vlnvs if vlnv not in shipped]
        if vlnvs[1:] and vlnvs[1] in shipped:
            logical = {p.findtext("ipxact:logicalName", namespaces=NS)
                       for p in shipped[vlnvs[1]].iterfind(".//ipxact:port", NS)}
            missing += [name.text for name in interface.iterfind(".//ipxact:logicalPort/ipxact:name", NS)
                        if name.text not in logical]
    return missing


def main():
    failures = []

    def check(what, got, want):
        if got != want:
            failures.append("%s: %r, expected %r" % (what, got, want))

    root = ElementTree.parse(os.path.join(ROOT, "rtl", "lpf_system.xml")).getroot()
    registers, ports = described(root)
    hw = lpfmap.read()
    # What hwregs.h says of each word; the access and resets are the slave's contract.
    expected = {
        "LED": Register(hw["LED_BASE"], "read-write", 0),
        "U": Register(hw["LPF_U_BASE"], "read-write", 0),
        "KU": Register(hw["LPF_KU_BASE"], "read-write", 0),
        "KY": Register(hw["LPF_KY_BASE"], "read-write", 0),
        "Y": Register(hw["LPF_Y_BASE"], "read-only", 0),
        "IDENTITY": Register(hw["LPF_IDENTITY_BASE"], "read-only", hw["LPF_IDENTITY"]),
        "CLOCK_HZ": Register(hw["LPF_CLOCK_HZ_BASE"], "read-only", "CLOCK_HZ"),
        "SAMPLE_COUNT": Register(hw["LPF_SAMPLE_COUNT_BASE"], "read-only", 0),
        "STATUS": Register(hw["LPF_STATUS_BASE"], "read-only", 0),
    }
    check("registers", sorted(registers), sorted(expected))
    for name in expected.keys() & registers.keys():
        check(name, registers[name], expected[name])
    pair_held = root.find(".//ipxact:register[ipxact:name='STATUS']/ipxact:field[ipxact:name='PAIR_HELD']", NS)
    check("STATUS.PAIR_HELD bit", 1 << int(pair_held.findtext("ipxact:bitOffset", namespaces=NS)),
          hw["LPF_STATUS_PAIR_HELD"])

    with open(os.path.join(ROOT, "rtl", "lpf_system.v")) as f:
        design = f.read()
    # Every word the design decodes is a register of the description.
    words = {int(index) * 4 for index in re.findall(r"localparam \[4:0\] \w+_WORD = 5'd(\d+);", design)}
    check("the design's words", sorted(words - {r.offset for r in registers.values()}), [])
    start = design.index("module lpf_system")
    header = design[start:design.index(");", start)]
    found = {name: (direction[:-3] if direction != "input" else "in", int(left) + 1 if left else 1)
             for direction, left, name in re.findall(r"(input|output)\s+(?:wire|reg)\s+(?:\[(\d+):0\]\s+)?(\w+)", header)}
    check("ports", ports, found)
    default = re.search(r"parameter integer CLOCK_HZ = (\d+)", design).group(1)
    parameter = root.findtext(".//ipxact:moduleParameter[@parameterId='CLOCK_HZ']/ipxact:value", namespaces=NS)
    check("CLOCK_HZ default", parameter, default)
    with open(os.path.join(ROOT, "rtl", "lpf_system.sdc")) as f:
        period = float(re.search(r"create_clock -name clk -period ([0-9.]+)", f.read()).group(1))
    check("the SDC's period (ns)", period, 1e9 / int(default))

    check("unresolved bus references", unresolved(root), [])

    for failure in failures:
        print(failure)
    print("FAIL" if failures else "PASS")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
