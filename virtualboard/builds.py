"""The builds the virtual board runs: the board build's three tools and this
machine's lpfboard and lpfscope, brought up to date when a source changed
(configured the first time), through a stamp in each build folder: a look at
the sources' times costs a fraction of a second, `cmake --build` with nothing
to do several."""
import os
import subprocess
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOLS = ("lpfconsole", "ledset", "lpfscope")
HOST_TOOLS = ("lpfboard", "lpfscope")
# The sources each build's binaries come from.
BOARD_SOURCES = ("CMakeLists.txt", "cmake", "lib", "lpfconsole", "ledset", "lpfscope")
HOST_SOURCES = ("CMakeLists.txt", "cmake", "lib", "lpfboard", "lpfscope")
STAMP = "virtual-board.stamp"


def newer_than(stamp, sources):
    try:
        built = os.stat(stamp).st_mtime
    except FileNotFoundError:
        return True
    for top in sources:
        path = os.path.join(ROOT, top)
        if os.path.isfile(path) and os.stat(path).st_mtime > built:
            return True
        for directory, _, names in os.walk(path):
            if any(os.stat(os.path.join(directory, n)).st_mtime > built for n in names):
                return True
    return False


def bring_up_to_date(board_build, host_build, say):
    """({tool: board binary}, {tool: host binary}), built first if needed."""
    board = {name: os.path.join(board_build, name, name) for name in TOOLS}
    host = {name: os.path.join(host_build, name, name) for name in HOST_TOOLS}
    started = []
    for preset, directory, wanted, sources in (("board", board_build, board, BOARD_SOURCES),
                                               ("host", host_build, host, HOST_SOURCES)):
        stamp = os.path.join(directory, STAMP)
        if all(os.access(p, os.X_OK) for p in wanted.values()) and not newer_than(stamp, sources):
            continue
        if not os.path.exists(os.path.join(directory, "CMakeCache.txt")):
            say("configuring the %s build (once; it takes a few minutes)" % preset)
            subprocess.run([os.path.join(ROOT, "scripts", "install-deps"), "--virtual-board"], check=True,
                           stdout=subprocess.DEVNULL)
            configured = subprocess.run(["cmake", "--preset", preset, "-B", directory], cwd=ROOT,
                                        capture_output=True)
            if configured.returncode != 0:
                raise RuntimeError("cmake --preset %s failed:\n%s" % (preset, configured.stdout.decode()[-3000:]))
        began = time.time()
        started.append((directory, stamp, began, subprocess.Popen(
            ["cmake", "--build", directory, "-j2", "--target", *wanted], stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)))
    for directory, stamp, began, process in started:
        said = process.communicate()[0].decode(errors="replace")
        if process.returncode != 0:
            raise RuntimeError("building in %s failed:\n%s" % (directory, said[-3000:]))
        with open(stamp, "w"):
            pass
        os.utime(stamp, (began, began))  # a source saved during the build is newer
    return board, host
