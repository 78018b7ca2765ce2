"""The register map and the layout of the files that stand for physical
memory, for Python: read from the C++ headers that define them
(lib/hwregs/hwregs.h and lib/hwregs/physicalMemoryFile.h), so that no
address, offset, mark or path is written twice. A name the headers no longer
define, or a line this reader cannot follow, fails at import."""
import ast
import os
import re

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HEADERS = [os.path.join(ROOT, "lib", "hwregs", name) for name in ("hwregs.h", "physicalMemoryFile.h")]

NUMBER = re.compile(r"^\s*constexpr\s+([\w:]+)\s+([A-Z][A-Z0-9_]*)\s*=\s*(.+?);", re.M)
TEXT = re.compile(r'^\s*constexpr\s+char\s+([A-Z][A-Z0-9_]*)\[\]\s*=\s*"((?:[^"\\]|\\.)*)";', re.M)


def _value(node, known, where):
    """An integer expression of C++ literals and names defined before it."""
    if isinstance(node, ast.Constant) and isinstance(node.value, int):
        return node.value
    if isinstance(node, ast.Name) and node.id in known:
        return known[node.id]
    if isinstance(node, ast.BinOp):
        left, right = _value(node.left, known, where), _value(node.right, known, where)
        operations = {ast.Add: lambda: left + right, ast.Sub: lambda: left - right,
                      ast.BitAnd: lambda: left & right, ast.BitOr: lambda: left | right,
                      ast.LShift: lambda: left << right, ast.Mult: lambda: left * right}
        if type(node.op) in operations:
            return operations[type(node.op)]()
    raise ValueError("%s: cannot read %s" % (where, ast.dump(node)))


def read(paths=HEADERS):
    """{name: int or bytes} of every constexpr number and string in the headers."""
    known = {}
    for path in paths:
        with open(path) as f:
            source = f.read()
        for kind, name, expression in NUMBER.findall(source):
            where = "%s: %s" % (os.path.relpath(path, ROOT), name)
            # C++ to Python: casts are the identity here, and suffixes go.
            python = re.sub(r"static_cast<[^>]*>", "", expression)
            python = re.sub(r"\b(0[xX][0-9A-Fa-f]+|[0-9]+)[uUlL]+\b", r"\1", python)
            value = _value(ast.parse(python, mode="eval").body, known, where)
            unsigned = re.fullmatch(r"(?:std::)?uint(\d+)_t", kind)
            known[name] = value % (1 << int(unsigned.group(1))) if unsigned else value  # as C++ wraps it
        for name, text in TEXT.findall(source):
            known[name] = text.encode().decode("unicode_escape").encode()
    return known


class _Defined(dict):
    def __missing__(self, name):
        raise LookupError("no constexpr %s in %s" % (name, " or ".join(os.path.relpath(p, ROOT) for p in HEADERS)))


_defined = _Defined(read())

# The five registers, as offsets from ALT_LWFPGASLVS_OFST, in register order.
REGISTERS = {"led": _defined["LED_BASE"], "u": _defined["LPF_U_BASE"], "ku": _defined["LPF_KU_BASE"],
             "ky": _defined["LPF_KY_BASE"], "y": _defined["LPF_Y_BASE"]}

# The words that say what the core is, as offsets from ALT_LWFPGASLVS_OFST,
# and what lpfboard serves in them.
CORE_WORDS = {"identity": _defined["LPF_IDENTITY_BASE"], "clock_hz": _defined["LPF_CLOCK_HZ_BASE"],
              "sample_count": _defined["LPF_SAMPLE_COUNT_BASE"], "status": _defined["LPF_STATUS_BASE"]}
LPF_IDENTITY = _defined["LPF_IDENTITY"]
LPF_CLOCK_HZ_DEFAULT = _defined["LPF_CLOCK_HZ_DEFAULT"]
LPF_STATUS_PAIR_HELD = _defined["LPF_STATUS_PAIR_HELD"]

# The stand-in (offset = physical address) and the window file (the window alone).
STAND_IN_SIZE = _defined["STAND_IN_SIZE"]
STAND_IN_REGISTERS = _defined["STAND_IN_REGISTERS"]
STAND_IN_MARK = _defined["STAND_IN_MARK"]
WINDOW_FILE_SIZE = _defined["WINDOW_FILE_SIZE"]
WINDOW_FILE_REGISTERS = _defined["WINDOW_FILE_REGISTERS"]
WINDOW_FILE_MARK = _defined["WINDOW_FILE_MARK"]
REGISTER_PAGE_SIZE = _defined["REGISTER_PAGE_SIZE"]  # the page that holds the registers

# Each user's own stand-in, where the build names no fixed file: PREFIX + uid.
STAND_IN_PREFIX = _defined["STAND_IN_PREFIX"].decode()


def hdl_parameters():
    """The map as the FPGA design's tests name it: word indices (offset / 4),
    the identity, the held bit and the pair's hold, in register order."""
    words = {"LED_WORD": "LED_BASE", "U_WORD": "LPF_U_BASE", "KU_WORD": "LPF_KU_BASE", "KY_WORD": "LPF_KY_BASE",
             "Y_WORD": "LPF_Y_BASE", "IDENTITY_WORD": "LPF_IDENTITY_BASE", "CLOCK_HZ_WORD": "LPF_CLOCK_HZ_BASE",
             "SAMPLE_COUNT_WORD": "LPF_SAMPLE_COUNT_BASE", "STATUS_WORD": "LPF_STATUS_BASE"}
    parameters = {name: _defined[offset] // 4 for name, offset in words.items()}
    parameters.update(IDENTITY=LPF_IDENTITY, STATUS_PAIR_HELD=LPF_STATUS_PAIR_HELD,
                      PAIR_HOLD_SAMPLES=_defined["LPF_PAIR_HOLD_SAMPLES"])
    return parameters


def __getattr__(name):
    """Any other constexpr of the headers, as lpfmap.NAME."""
    try:
        return _defined[name]
    except LookupError as e:
        raise AttributeError(str(e)) from None
