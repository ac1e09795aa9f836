#!/usr/bin/env python3
"""The mutation run: proves that the tests catch faults. Each fault in Tests/Mutations/*.faults breaks
one rule of the module; the run applies one fault at a time, rebuilds incrementally, runs the tests,
restores the file, and prints the faults that survived and the kill rate.

A fault file holds blocks like this one (lines starting with "#" are comments):

    [RM-07] ProcessMappingChanges reports in ascending USN order
    file: Sources/Subsystems/ConfigServer/Rolewarden/RolesMaintainer.cpp
    find: return a.usn < b.usn;
    replace: return a.usn > b.usn;
    survives: <why this fault cannot change anything observable>   (optional)

"find" is one line of the file, or part of one, and must occur exactly once in it; "replace" takes its
place. A fault marked "survives" is expected to pass every test and says why.

    mutation_run.py --check              checks that every fault applies, without building
    mutation_run.py [--only ID ...]      runs the faults (all, or those named) in build/
    mutation_run.py --list               lists the faults
    mutation_run.py --tests REGEX ...    runs only the test executables that match REGEX (a quick check
                                         while tests are reshaped; the result is not the run's)
    mutation_run.py --without REGEX ...  runs every test executable but those that match REGEX (do the
                                         others still catch these faults?)
    mutation_run.py --filter FILTER ...  passes FILTER to every test executable as GTEST_FILTER (with
                                         "-Suite.Name", do the other tests still catch these faults?)
"""
import argparse
import glob
import os
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FAULTS = os.path.join(ROOT, "Tests", "Mutations", "*.faults")
BUILD = os.path.join(ROOT, "build")
RESULTS = os.path.join(BUILD, "mutation-results.txt")
# A fault that makes the tests hang is caught by this limit and counts as killed.
TEST_LIMIT_S = 300
# The test executables that take longest run after the others have passed, so that most faults are
# caught in seconds.
SLOW = "^(Lifecycle|RoleAssignmentsRefresher|LocalGroupMembershipRefresher)Tests$"


class Fault:
    def __init__(self, ident, title, source):
        self.ident, self.title, self.source = ident, title, source
        self.file = self.find = self.replace = self.survives = None


def read_faults():
    faults = []
    for path in sorted(glob.glob(FAULTS)):
        current = None
        for number, line in enumerate(open(path, encoding="utf-8"), 1):
            line = line.rstrip("\n")
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            header = re.match(r"^\[([A-Za-z0-9.\-]+)\]\s*(.*)$", line)
            if header:
                current = Fault(header.group(1), header.group(2), "%s:%d" % (os.path.relpath(path, ROOT), number))
                faults.append(current)
                continue
            field = re.match(r"^(file|find|replace|survives):\s?(.*)$", line)
            if not field or current is None:
                sys.exit("%s:%d: not a fault line: %s" % (path, number, line))
            setattr(current, field.group(1), field.group(2))
    seen = set()
    for fault in faults:
        if fault.ident in seen:
            sys.exit("%s: fault %s is named twice" % (fault.source, fault.ident))
        seen.add(fault.ident)
        if not (fault.file and fault.find is not None and fault.replace is not None):
            sys.exit("%s: fault %s needs file, find and replace" % (fault.source, fault.ident))
    return faults


def applied(fault):
    """The file's text with the fault in it, or an error text."""
    path = os.path.join(ROOT, fault.file)
    if not os.path.isfile(path):
        return None, "no such file"
    text = open(path, encoding="utf-8").read()
    count = text.count(fault.find)
    if count != 1:
        return None, "the text to find occurs %d times" % count
    if fault.find == fault.replace:
        return None, "the replacement changes nothing"
    return text.replace(fault.find, fault.replace), None


def run(command, limit=None, env=None):
    """The exit code and output of command; no code when it ran past limit seconds (its whole process
    group is then killed)."""
    process = subprocess.Popen(command, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env,
                               encoding="utf-8", errors="replace",
                               start_new_session=True)
    try:
        output, _ = process.communicate(timeout=limit)
        return process.returncode, output
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        output, _ = process.communicate()
        return None, output


def stop_wine(env):
    subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def first_failure(output):
    for line in output.splitlines():
        failed = re.search(r"\d+ - (\S+) \((Failed|Timeout|.*)\)", line)
        if failed:
            return failed.group(1)
    return "?"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--only", nargs="*")
    parser.add_argument("--tests")
    parser.add_argument("--without")
    parser.add_argument("--filter")
    arguments = parser.parse_args()
    faults = read_faults()
    if arguments.only:
        faults = [fault for fault in faults if fault.ident in arguments.only]
    if arguments.list:
        for fault in faults:
            print("%-10s %s" % (fault.ident, fault.title))
        return 0
    problems = [(fault, error) for fault in faults for _, error in [applied(fault)] if error]
    for fault, error in problems:
        print("%s %s (%s): %s" % (fault.ident, fault.file, fault.source, error))
    if arguments.check or problems:
        print("%d faults, %d that do not apply" % (len(faults), len(problems)))
        return 1 if problems else 0

    # The tests wait 20 s instead of a minute for what should happen: most faults make some wait run out.
    env = dict(os.environ, WINEPREFIX=os.path.join(BUILD, "wineprefix"), WINEDEBUG="-all", RW_TEST_TIMEOUT_S="20")
    if arguments.filter:
        env["GTEST_FILTER"] = arguments.filter
    for command in (["bash", "scripts/setup.sh"], ["cmake", "--preset", "default"], ["cmake", "--build", "--preset", "default"]):
        code, output = run(command, env=env)
        if code != 0:
            print(output)
            sys.exit("the unchanged tree does not build: %s" % " ".join(command))
    if not os.path.isfile(os.path.join(BUILD, "wineprefix", "system.reg")):
        run([os.path.join(BUILD, "wine-run"), "wineboot", "-i"], env=env)
        run(["wineserver", "-w"], env=env)

    restore = {}

    def put_back(*_):
        for path, text in restore.items():
            open(path, "w", encoding="utf-8").write(text)
        restore.clear()

    signal.signal(signal.SIGINT, lambda *_: (put_back(), stop_wine(env), sys.exit(130)))
    signal.signal(signal.SIGTERM, lambda *_: (put_back(), stop_wine(env), sys.exit(143)))

    results = []
    started = time.time()
    for index, fault in enumerate(faults, 1):
        path = os.path.join(ROOT, fault.file)
        original = open(path, encoding="utf-8").read()
        mutated, _ = applied(fault)
        restore[path] = original
        begun = time.time()
        try:
            open(path, "w", encoding="utf-8").write(mutated)
            code, output = run(["cmake", "--build", "--preset", "default"], env=env)
            if code != 0:
                outcome, by = "stillborn", "does not build"
            else:
                run(["rm", "-rf", os.path.join(BUILD, "bin", "Logs")])
                first, then = (["-R", arguments.tests], None) if arguments.tests else (["-E", SLOW], ["-R", SLOW])
                if arguments.without:
                    first, then = ["-E", arguments.without], None
                code, output = run(["ctest", "--preset", "default", "--stop-on-failure"] + first, limit=TEST_LIMIT_S, env=env)
                if code == 0 and then:
                    code, output = run(["ctest", "--preset", "default", "--stop-on-failure"] + then, limit=TEST_LIMIT_S, env=env)
                if code is None:
                    outcome, by = "killed", "hang"
                elif code != 0:
                    outcome, by = "killed", first_failure(output)
                else:
                    outcome, by = "survived", ""
        finally:
            put_back()
            stop_wine(env)
        results.append((fault, outcome, by))
        print("[%d/%d] %-10s %-9s %-28s %4.0f s  %s" % (index, len(faults), fault.ident, outcome, by, time.time() - begun,
                                                       fault.title), flush=True)
    # The tree as it was, built again, so that the build folder matches the sources.
    run(["cmake", "--build", "--preset", "default"], env=env)

    killed = sum(1 for _, outcome, _ in results if outcome == "killed")
    considered = sum(1 for _, outcome, _ in results if outcome != "stillborn")
    lines = ["Mutation run of %s, %s, %d faults, %.0f min" % (
        run(["git", "rev-parse", "--short", "HEAD"])[1].strip(), time.strftime("%Y-%m-%d"), len(results),
        (time.time() - started) / 60) + (", only tests matching %s" % arguments.tests if arguments.tests else "") + (
        ", without tests matching %s" % arguments.without if arguments.without else "")]
    lines.append("killed %d of %d (%.1f%%); stillborn %d" % (
        killed, considered, 100.0 * killed / max(considered, 1), len(results) - considered))
    for fault, outcome, _ in results:
        if outcome != "killed":
            note = " -- expected: %s" % fault.survives if fault.survives else ""
            lines.append("  %s %s: %s (%s)%s" % (outcome, fault.ident, fault.title, fault.source, note))
    report = "\n".join(lines)
    print(report)
    open(RESULTS, "w", encoding="utf-8").write(report + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
