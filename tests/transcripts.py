"""The transcripts of lpfconsole and ledset, as tables: for each input and
stand-in, every byte the program prints, its exit status and the registers
it leaves. e2e/e2e.py runs them against stand-ins; system/vm.py runs those it
can set up on a real kernel, against physical memory."""
from dataclasses import dataclass, field

from harness import BANNER, FIRST_SCREEN, HELP, LW_BASE, MMAP_ERROR, MUNMAP_ERROR, SEPARATOR, WINDOW_END

OPEN_ERROR = b"\0OPEN\0"  # stands for the open error naming the target's device


@dataclass
class Row:
    name: str
    program: str
    stdin: bytes = b""
    out: object = b""
    status: int = 0
    args: tuple = ()
    before: dict = field(default_factory=dict)
    after: dict = field(default_factory=dict)
    size: int = WINDOW_END
    present: bool = True
    env: dict = field(default_factory=dict)
    only: str = ""
    closed: tuple = ()  # standard descriptors closed when the program starts
    kind: str = "file"  # the stand-in: see harness.Board


def led(n):
    return b"LED value = \tWrite LED = %d\n" % n + SEPARATOR


def console(name, stdin, out, **kw):
    return Row(name, "lpfconsole", stdin, FIRST_SCREEN + out, **kw)


def ledset(name, args, line, led_after, **kw):
    return Row(name, "ledset", out=BANNER + line, args=args, after={"led": led_after}, **kw)


HELP_AGAIN = HELP + SEPARATOR


def f_report(ku, ky):
    return b"Filter Time constant = \tWrite\tKu = %8X\n\t\tKy = %8X\n" % (ku, ky) + SEPARATOR


def u_report(shown, raw):
    return b"Input Filter (float per-unit) = \tWrite U = %s [%d]\n" % (shown, raw) + SEPARATOR


def y_report(ku, ky, y):
    return b"Ku Filt = %s\nKy Filt = %s\nOutput filter: %s\n" % (ku, ky, y) + SEPARATOR


F_1E7 = f_report(0x50E95394, 0x5E2D58D8)

CONSOLE = [
    console("exit with q", b"q\n", b""),
    console("exit with Q", b"Q\n", b""),
    console("exit with e", b"e\n", b""),
    console("exit with E", b"E\n", b""),
    console("exit with Esc and Enter", b"\x1b\n", b""),
    console("exit key without Enter", b"q", b""),
    console("arguments are ignored", b"q\n", b"", args=("-h", "5")),
    console("exit leaves the LEDs as they were", b"q\n", b"", before={"led": 0x0F}),
    console("L then 5 on the next line", b"L\n5\nq\n", led(5), after={"led": 5}),
    console("lower case l with -1", b"l\n-1\nq\n", led(-1), after={"led": 0xFFFFFFFF}),
    console("value on the same line", b"L 7\nq\n", led(7), after={"led": 7}),
    console("plus sign", b"L +12\nq\n", led(12), after={"led": 12}),
    console("text gives 0", b"L abc\nq\n", led(0), before={"led": 0xAA}, after={"led": 0}),
    console("digits then text", b"L 12abc\nq\n", led(12), after={"led": 12}),
    console("hexadecimal is not read", b"L 0x1F\nq\n", led(0), before={"led": 3}, after={"led": 0}),
    console("largest value", b"L 2147483647\nq\n", led(2147483647), after={"led": 0x7FFFFFFF}),
    console("smallest value", b"L -2147483648\nq\n", led(-2147483648), after={"led": 0x80000000}),
    console("just above the range saturates", b"L 2147483648\nq\n", led(2147483647), after={"led": 0x7FFFFFFF}),
    console("far above the range saturates", b"L 99999999999\nq\n", led(2147483647), after={"led": 0x7FFFFFFF}),
    console("far below the range saturates", b"L -99999999999\nq\n", led(-2147483648),
            after={"led": 0x80000000}),
    console("several L commands on one line, blanks between them print the help", b"L 1 L 2 l 3 q",
            led(1) + HELP_AGAIN + led(2) + HELP_AGAIN + led(3) + HELP_AGAIN, after={"led": 3}),
    console("unknown characters each print the help", b"xz\nq\n", HELP_AGAIN * 2),
    console("a blank between commands is a command", b"x x\nq\n", HELP_AGAIN * 3),
    console("tab is a command", b"\tq", HELP_AGAIN),
    console("NUL byte is a command", b"\x00q", HELP_AGAIN),
    console("byte 0xFF is a command, not end of input", b"\xff\nq\n", HELP_AGAIN),
    console("empty lines are skipped", b"\n\n\nL\n\n\n4\n\nq\n", led(4), after={"led": 4}),
    console("carriage returns print the help", b"L 5\r\n\r\nq\r\n", led(5) + HELP_AGAIN * 2, after={"led": 5}),
    console("token of 20 characters, the rest are commands", b"L 00000000000000000042xzq7\n",
            led(42) + HELP_AGAIN * 2, after={"led": 42}),
    console("20 digits saturate and a q past them exits", b"L 12345678901234567890q\n", led(2147483647),
            after={"led": 0x7FFFFFFF}),
    console("F with 1e-7 stores both and flips the LEDs", b"F 1e-7\nq\n", F_1E7, before={"led": 0x0F},
            after={"ku": 0x50E95394, "ky": 0x5E2D58D8, "led": 0xFFFFFFF0}),
    console("f then y reads the coefficients back", b"f\n1e-7\ny\nq\n",
            F_1E7 + y_report(b"0.316060", b"0.367879", b"0.000000"),
            after={"ku": 0x50E95394, "ky": 0x5E2D58D8, "led": 0xFFFFFFFF}),
    console("F twice restores the LEDs", b"F 1e-7 F 1e-7\nq\n", F_1E7 + HELP_AGAIN + F_1E7,
            before={"led": 0xA5}, after={"ku": 0x50E95394, "ky": 0x5E2D58D8, "led": 0xA5}),
    console("F with 0 writes zeros and still flips", b"F 0\nq\n", f_report(0, 0),
            before={"ku": 5, "ky": 6}, after={"ku": 0, "ky": 0, "led": 0xFFFFFFFF}),
    console("F with a negative time constant", b"F -5\nq\n", f_report(0, 0), after={"led": 0xFFFFFFFF}),
    console("F with text", b"F abc\nq\n", f_report(0, 0), after={"led": 0xFFFFFFFF}),
    console("F with nan", b"F nan\nq\n", f_report(0, 0), after={"led": 0xFFFFFFFF}),
    console("F with inf", b"F inf\nq\n", f_report(1, 0xFFFFFFFF),
            after={"ku": 1, "ky": 0xFFFFFFFF, "led": 0xFFFFFFFF}),
    console("F with an underflowing pole", b"F 1e-300\nq\n", f_report(0x80000000, 0),
            after={"ku": 0x80000000, "led": 0xFFFFFFFF}),
    console("F with 1e-3", b"F 1e-3\nq\n", f_report(0x000346D2, 0xFFF9725B),
            after={"ku": 0x000346D2, "ky": 0xFFF9725B, "led": 0xFFFFFFFF}),
    console("U with 0.5", b"U 0.5\nq\n", u_report(b"0.500", 1073741823), before={"led": 0x0F},
            after={"u": 0x3FFFFFFF, "led": 0xFFFFFFF0}),
    console("u with -0.5", b"u -0.5\nq\n", u_report(b"-0.500", -1073741823), after={"u": 0xC0000001,
                                                                                    "led": 0xFFFFFFFF}),
    console("U with 2 is clamped", b"U 2\nq\n", u_report(b"1.000", 2147483647),
            after={"u": 0x7FFFFFFF, "led": 0xFFFFFFFF}),
    console("U with -3 is clamped", b"U -3\nq\n", u_report(b"-1.000", -2147483647),
            after={"u": 0x80000001, "led": 0xFFFFFFFF}),
    console("U with nan writes 0", b"U nan\nq\n", u_report(b"nan", 0), before={"u": 9},
            after={"u": 0, "led": 0xFFFFFFFF}),
    console("U with text writes 0", b"U abc\nq\n", u_report(b"0.000", 0), before={"u": 9},
            after={"u": 0, "led": 0xFFFFFFFF}),
    console("U twice restores the LEDs", b"U 1\nU -1\nq\n", u_report(b"1.000", 2147483647) +
            u_report(b"-1.000", -2147483647), before={"led": 0x0F}, after={"u": 0x80000001, "led": 0x0F}),
    console("L between flips sets what the next flip inverts", b"U 0\nL 3\nU 0\nq\n",
            u_report(b"0.000", 0) + led(3) + u_report(b"0.000", 0), before={"led": 0x0F},
            after={"led": 0xFFFFFFFC}),
    console("Y shows the extremes", b"Y\nq\n", y_report(b"1.000000", b"0.000000", b"0.250000"),
            before={"ku": 0xFFFFFFFF, "ky": 1, "y": 0x7FFFFFFF, "led": 7}),
    console("Y shows the most negative output", b"Y\nq\n", y_report(b"0.500000", b"0.000000", b"-0.250000"),
            before={"ku": 0x80000000, "y": 0x80000000}),
    console("yy reads back twice; y, blank, y prints the help between", b"yy\ny y\nq\n",
            y_report(b"0.000000", b"0.000000", b"0.000000") * 3 + HELP_AGAIN +
            y_report(b"0.000000", b"0.000000", b"0.000000")),
    console("end of input at the first command", b"", b""),
    console("end of input after a command", b"L 5\n", led(5), after={"led": 5}),
    console("end of input after newlines", b"x\n\n\n", HELP_AGAIN),
    console("end of input awaiting a value", b"L", b"LED value = \n", before={"led": 0x0F}, after={"led": 0x0F}),
    console("end of input awaiting F's value", b"F\n", b"Filter Time constant = \n", before={"led": 0x0F},
            after={"led": 0x0F}),
    console("end of input awaiting U's value", b"u \n", b"Input Filter (float per-unit) = \n",
            before={"led": 0x0F}, after={"led": 0x0F}),
    console("end of input after blanks awaiting a value", b"L  \n \n", b"LED value = \n",
            before={"led": 0x0F}, after={"led": 0x0F}),
]

LEDSET = [
    ledset("no argument clears", (), b"Azzeramento\n", 0, before={"led": 0xAA}),
    ledset("255", ("255",), b"255\n", 0xFF),
    ledset("-1", ("-1",), b"-1\n", 0xFFFFFFFF),
    ledset("text gives 0", ("abc",), b"abc\n", 0, before={"led": 0xAA}),
    ledset("hexadecimal is not read", ("0x0F",), b"0x0F\n", 0, before={"led": 0xAA}),
    ledset("further arguments are ignored", ("3", "9"), b"3\n", 3),
    ledset("empty argument", ("",), b"\n", 0, before={"led": 0xAA}),
    ledset("leading blanks and a sign", ("  +12",), b"  +12\n", 12),
    ledset("argument is printed as data", ("%n%s%x",), b"%n%s%x\n", 0, before={"led": 0xAA}),
    ledset("above the range saturates", ("99999999999",), b"99999999999\n", 0x7FFFFFFF),
    ledset("below the range saturates", ("-99999999999",), b"-99999999999\n", 0x80000000),
    ledset("smallest value", ("-2147483648",), b"-2147483648\n", 0x80000000),
]

SHORT = LW_BASE + 0x1000  # holds the registers, but ends before the window does
WINDOW = [
    Row("console: missing device", "lpfconsole", b"q\n", BANNER + OPEN_ERROR, 1, present=False),
    Row("ledset: missing device", "ledset", out=BANNER + OPEN_ERROR, status=1, args=("5",), present=False),
    Row("console: stand-in ending inside the window", "lpfconsole", b"L 5\nq\n", BANNER + MMAP_ERROR, 1,
        size=SHORT, before={"led": 0x0F}, after={"led": 0x0F}),
    Row("ledset: stand-in ending inside the window", "ledset", out=BANNER + MMAP_ERROR, status=1, args=("5",),
        size=SHORT, before={"led": 0x0F}, after={"led": 0x0F}),
    Row("ledset: stand-in one byte short", "ledset", out=BANNER + MMAP_ERROR, status=1, args=("5",),
        size=WINDOW_END - 1, before={"led": 0x0F}, after={"led": 0x0F}),
    Row("ledset: empty stand-in", "ledset", out=BANNER + MMAP_ERROR, status=1, size=0),
    Row("ledset: stand-in longer than the window", "ledset", out=BANNER + b"6\n", args=("6",),
        size=WINDOW_END + 4096, after={"led": 6}),
    Row("console: failed unmapping", "lpfconsole", b"L 3\nq\n", FIRST_SCREEN + led(3) + MUNMAP_ERROR, 1,
        after={"led": 3}, env={"LPF_TEST_FAIL_MUNMAP": "1"}, only="host"),
    Row("ledset: failed unmapping", "ledset", out=BANNER + b"9\n" + MUNMAP_ERROR, status=1, args=("9",),
        after={"led": 9}, env={"LPF_TEST_FAIL_MUNMAP": "1"}, only="host"),
    # A closed standard stream must not become the device: no text lands in it.
    Row("console: standard output closed", "lpfconsole", b"L 5\nq\n", b"", after={"led": 5}, closed=(1,)),
    Row("console: standard input closed reads as end of input", "lpfconsole", out=FIRST_SCREEN,
        before={"led": 0x0F}, closed=(0,)),
    Row("ledset: standard output and error closed", "ledset", out=b"", args=("5",), after={"led": 5},
        closed=(1, 2)),
    # A stand-in that is not this user's private regular file is never opened.
    Row("console: stand-in is a symbolic link", "lpfconsole", b"L 5\nq\n", BANNER + OPEN_ERROR, 1,
        before={"led": 0x0F}, kind="symlink", only="host"),
    Row("ledset: stand-in is a symbolic link", "ledset", out=BANNER + OPEN_ERROR, status=1, args=("5",),
        before={"led": 0x0F}, kind="symlink", only="host"),
    Row("ledset: stand-in is a FIFO", "ledset", out=BANNER + OPEN_ERROR, status=1, args=("5",), kind="fifo",
        only="host"),
    Row("ledset: stand-in that others may write", "ledset", out=BANNER + OPEN_ERROR, status=1, args=("5",),
        before={"led": 0x0F}, kind="shared", only="host"),
    Row("ledset: stand-in that its group may write", "ledset", out=BANNER + OPEN_ERROR, status=1, args=("5",),
        before={"led": 0x0F}, kind="group", only="host"),
    Row("ledset: another user's stand-in", "ledset", out=BANNER + OPEN_ERROR, status=1, args=("5",),
        before={"led": 0x0F}, kind="foreign", only="host"),
    # No space for the register page: the mapping error, not SIGBUS.
    Row("ledset: full file system", "ledset", out=BANNER + MMAP_ERROR, status=1, args=("5",), kind="full",
        only="host"),
    Row("console: full file system", "lpfconsole", b"L 5\nq\n", BANNER + MMAP_ERROR, 1, kind="full",
        only="host"),
    # Room for one page: the register page's, or the first store is a bus error.
    Row("ledset: room for the register page alone", "ledset", out=BANNER + b"5\n", args=("5",), after={"led": 5},
        kind="onepage", only="host"),
]
