"""The builds the virtual board runs: the board build's three tools and this
machine's lpfboard and lpfscope, brought up to date when a source changed
(configured the first time), through a stamp in each build folder: a look at
the sources' times costs a fraction of a second, `cmake --build` with nothing
to do several."""
import os
import subprocess
import time
from dataclasses import dataclass

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOLS = ("lpfconsole", "ledset", "lpfscope")
HOST_TOOLS = ("lpfboard", "lpfscope")
# The sources each build's binaries come from.
BOARD_SOURCES = ("CMakeLists.txt", "cmake", "lib", "lpfconsole", "ledset", "lpfscope")
HOST_SOURCES = ("CMakeLists.txt", "cmake", "lib", "lpfboard", "lpfscope")
STAMP = "virtual-board.stamp"


@dataclass
class Built:
    board: dict  # {tool: board binary}
    host: dict  # {tool: this machine's binary}


@dataclass
class _Building:
    directory: str
    stamp: str
    began: float  # a source saved after it is newer than the build
    process: subprocess.Popen


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
    """The binaries (Built), built first if needed."""
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
        started.append(_Building(directory, stamp, began, subprocess.Popen(
            ["cmake", "--build", directory, "-j2", "--target", *wanted], stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)))
    for build in started:
        said = build.process.communicate()[0].decode(errors="replace")
        if build.process.returncode != 0:
            raise RuntimeError("building in %s failed:\n%s" % (build.directory, said[-3000:]))
        with open(build.stamp, "w"):
            pass
        os.utime(build.stamp, (build.began, build.began))  # a source saved during the build is newer
    return Built(board, host)
