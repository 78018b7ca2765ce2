#!/usr/bin/env python3
"""The virtual board, in one boot of scripts/virtual-board: the guest's
console steps the filter while the guest's lpfscope records it, and the
recorded step has the time constant of lpfboard's model on this machine;
and this machine's lpfscope, watching the window file, sees what the
guest's ledset wrote."""
import argparse
import os
import subprocess
import sys
import tempfile
import time

from harness import STEP_TAU, STEP_U, Check, judge_step, parse_csv, run_table

GUEST = ("lpfscope --trigger --csv -r 1000 -d 1 > /tmp/step.csv & sleep 1; "
         "printf 'F %g\\nU %g\\nq\\n' | lpfconsole > /dev/null; wait; cat /tmp/step.csv; "
         "ledset 165 > /dev/null; sleep 5" % (STEP_TAU, STEP_U))
LED = 165


def watch_led(lpfscope, window, deadline):
    """This machine's lpfscope on the window file, until it shows the LED
    value the guest writes (or the deadline)."""
    while time.monotonic() < deadline:
        if os.path.exists(window):
            done = subprocess.run([lpfscope, "--window", window, "--csv", "-d", "0.001"], capture_output=True)
            rows = done.stdout.decode().splitlines()[1:]
            if done.returncode == 0 and rows and int(rows[-1].split(",")[1]) == LED:
                return True
        time.sleep(0.2)
    return False


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--script", required=True, help="scripts/virtual-board")
    parser.add_argument("--board-build", required=True)
    parser.add_argument("--host-build", required=True, help="holds lpfboard and lpfscope for this machine")
    parser.add_argument("--cache", required=True)
    parser.add_argument("--qemu-system", required=True)
    a = parser.parse_args()
    lpfscope = os.path.join(a.host_build, "lpfscope", "lpfscope")

    with tempfile.TemporaryDirectory(prefix="lpf-virtual-") as scratch:
        window = os.path.join(scratch, "window")
        start = time.monotonic()
        run = subprocess.Popen([a.script, "--window", window, "--board-build", a.board_build, "--host-build",
                                a.host_build, "--cache", a.cache, "--qemu", a.qemu_system, GUEST],
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        seen = watch_led(lpfscope, window, start + 300)
        out, err = run.communicate(timeout=300)
        took = time.monotonic() - start
        left = os.listdir(scratch)

    def step():
        assert run.returncode == 0, (run.returncode, err)
        judge_step(parse_csv(out))

    def led():
        assert seen, "this machine's lpfscope never saw LED %d in the window file" % LED

    def nothing_left():
        assert left == [], left

    print("one boot and the run: %.1f s" % took)
    checks = [Check("the guest records a step with the model's time constant", step),
              Check("this machine's lpfscope sees the guest's ledset", led),
              Check("no window file left", nothing_left)]
    return 0 if run_table(checks) else 1


if __name__ == "__main__":
    sys.exit(main())
