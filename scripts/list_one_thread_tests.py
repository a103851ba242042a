#!/usr/bin/env python3
"""Writes tests/one_thread_tests.txt: the tests of the ThreadSanitizer pass that
start no thread (nor a child that does). ThreadSanitizer finds races between
threads only, so scripts/test leaves these out of that pass, where they would
only run several times slower than under AddressSanitizer.

Each test runs once, alone, from the AddressSanitizer build under strace; a
test counts as threaded when any process it makes creates a thread. Run it
after adding tests (scripts/test builds both folders first):

    scripts/list_one_thread_tests.py [--jobs N]

A window test needs TARVELO_TEST_DISPLAY (or it skips and reads as threadless:
keep the list from a run that had a display)."""
import argparse
import concurrent.futures
import json
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LIST = os.path.join(ROOT, "tests", "one_thread_tests.txt")
HEADER = """# The tests of the ThreadSanitizer pass that start no thread: scripts/test
# leaves them out of that pass (they run under AddressSanitizer). Written by
# scripts/list_one_thread_tests.py; run it again after adding tests.
"""


def read_list(path=LIST):
    """The names the list holds, comments left out."""
    names = []
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                line = line.strip()
                if line and not line.startswith("#"):
                    names.append(line)
    return names


def listed_tests(build):
    """The build folder's tests in ctest's order (test i + 1 is number i + 1)."""
    out = subprocess.run(["ctest", "--show-only=json-v1"], cwd=build, check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)["tests"]


def tests_of(build):
    """Each test of a build folder with its command."""
    return {t["name"]: t["command"] for t in listed_tests(build) if "command" in t}


def threads_started(command, env):
    """How many threads the test's processes created; None when it failed."""
    with tempfile.NamedTemporaryFile(prefix="tarvelo_threads_") as trace:
        run = subprocess.run(["strace", "-f", "-qq", "-e", "trace=clone,clone3", "-o", trace.name] + command,
                             env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=900)
        if run.returncode != 0:
            return None
        with open(trace.name) as f:
            return sum("CLONE_THREAD" in line for line in f)


def threaded_numbers(build, left_out_pattern):
    """ctest's -I list of the build's tests that start a thread and match no
    pattern: by number alone, as ctest numbers only what a -E pattern leaves."""
    listed = set(read_list())
    pattern = re.compile(left_out_pattern)
    tests = listed_tests(build)
    return "0,0,0," + ",".join(str(i + 1) for i, t in enumerate(tests)
                               if t["name"] not in listed and not pattern.search(t["name"]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--threaded-numbers", nargs=2, metavar=("BUILD", "PATTERN"),
                        help="print the -I list of BUILD's threaded tests that match no PATTERN, and stop")
    args = parser.parse_args()
    if args.threaded_numbers:
        print(threaded_numbers(*args.threaded_numbers))
        return
    asan = tests_of(os.path.join(ROOT, "build", "test"))
    tsan = tests_of(os.path.join(ROOT, "build", "tsan"))
    env = dict(os.environ, TARVELO_HEADLESS="1", SDL_VIDEODRIVER="dummy", SDL_AUDIODRIVER="dummy",
               ASAN_OPTIONS="detect_leaks=0")
    names = sorted(n for n in tsan if n in asan)
    one_thread, failed = [], []
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        for name, n in zip(names, pool.map(lambda n: threads_started(asan[n], env), names)):
            if n is None:
                failed.append(name)
            elif n == 0:
                one_thread.append(name)
    if failed:
        # A failing test keeps whatever the list said of it.
        kept = set(read_list())
        one_thread += [n for n in failed if n in kept]
        print("failed, kept as listed:", *failed, sep="\n  ", file=sys.stderr)
    with open(LIST, "w") as f:
        f.write(HEADER)
        f.writelines(n + "\n" for n in sorted(one_thread))
    print(f"{len(one_thread)} of {len(names)} tests start no thread")


if __name__ == "__main__":
    main()
