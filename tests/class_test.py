#!/usr/bin/python3
"""Tests of grading a whole class, in three groups, each a CTest test:

  class    tools/check --class over a class folder: right, wrong, not
           compiling, empty, a Makefile, and a hostile folder name; its CSV,
           JSON and JUnit XML read back
  bundle   tools/autograder/run_autograder in a temporary AUTOGRADER_ROOT
  install  cmake --install into a temporary prefix; the installed checker
           and quick tour run from another directory

    python3 tests/class_test.py GROUP [unittest options]

The build under test is $IPCLAB_BUILD_DIR (CTest sets it).
"""

import csv
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from xml.etree import ElementTree

TOP = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
BUILD = os.environ.get("IPCLAB_BUILD_DIR") or os.path.join(TOP, "build")
QUICK = ["--checks", "* on *"]  # the greeting's order, fork failure, launchcount's terminal line
WRONG = '#include <stdio.h>\nint main(void) { puts("Hello World!"); return 0; }\n'
ORDERED = ('#include <stdio.h>\n#include <sys/wait.h>\n#include <unistd.h>\n'
           'int main(void) { if (fork() == 0) { printf("Hello, "); return 0; } wait(NULL); printf("World!\\n"); '
           'return 0; }\n')
HOSTILE = os.fsdecode(b'-x, "q"\n=1\xff')


def run(argv, **kwargs):
    r = subprocess.run(argv, capture_output=True, timeout=600, **kwargs)
    return r.returncode, r.stdout.decode("utf-8", "replace") + r.stderr.decode("utf-8", "replace")


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


class Scratch(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="ipclab-class-test.")
        os.chmod(self.dir, 0o755)
        self.addCleanup(shutil.rmtree, self.dir, True)


class ClassFolder(Scratch):
    def test_every_student_scored_out_of_the_same_checks(self):
        students = os.path.join(self.dir, "class")
        os.makedirs(os.path.join(students, "right"))
        for program in ("greetordered", "launchcount"):
            shutil.copy(os.path.join(TOP, program + ".cpp"), os.path.join(students, "right"))
        write(os.path.join(students, "wrong", "greetordered.c"), WRONG)
        write(os.path.join(students, "broken", "greetordered.cpp"), "int main( { return 0 }\n")
        os.makedirs(os.path.join(students, "empty"))
        write(os.path.join(students, HOSTILE, "hello.c"), ORDERED)
        write(os.path.join(students, HOSTILE, "Makefile"), "greetordered: hello.c\n\tcc -o greetordered hello.c\n")
        os.symlink(os.path.join(students, "right"), os.path.join(students, "link"))  # not a student's own
        write(os.path.join(self.dir, "weights"), "# launchcount counts double\nlaunchcount/* 2\n")
        out = os.path.join(self.dir, "out")
        status, said = run([os.path.join(TOP, "tools", "check"), "--class", students, "--report", out,
                            "--weights", os.path.join(self.dir, "weights")] + QUICK + ["greetordered", "launchcount"],
                           env=dict(os.environ, IPCLAB_BUILD_DIR=BUILD))
        self.assertEqual(status, 0, said)
        names = ["right", "wrong", "broken", "empty", HOSTILE]
        self.assertEqual(sorted(os.listdir(out)), sorted(names + ["grades.csv"]))

        with open(os.path.join(out, "grades.csv"), encoding="utf-8", newline="") as f:
            rows = list(csv.reader(f))
        self.assertEqual(rows[0], ["student", "greetordered passed", "greetordered total", "launchcount passed",
                                   "launchcount total", "passed", "total", "score", "max_score"])
        grades = {row[0]: [float(x) for x in row[1:]] for row in rows[1:]}
        self.assertEqual(len(rows), 6, rows)
        self.assertEqual(grades["right"], [2, 2, 1, 1, 3, 3, 4, 4])
        # In order, but a failed fork goes unreported; no launchcount.
        self.assertEqual(grades["'-x, \"q\"\\n=1\\xff"], [1, 2, 0, 1, 1, 3, 1, 4])
        for name in ("wrong", "broken", "empty"):
            self.assertEqual(grades[name], [0, 2, 0, 1, 0, 3, 0, 4], name)

        for name in names:
            with open(os.path.join(out, name, "results.json"), encoding="utf-8") as f:
                results = json.load(f)
            tests = results["tests"]
            self.assertEqual(results["score"], sum(t["score"] for t in tests), name)
            self.assertEqual([t["max_score"] for t in tests], [1, 1, 2], name)
            cases = list(ElementTree.parse(os.path.join(out, name, "junit.xml")).iter("testcase"))
            self.assertEqual([c.find("failure") is None for c in cases], [t["score"] > 0 for t in tests], name)
        with open(os.path.join(out, "broken", "results.json"), encoding="utf-8") as f:
            broken = json.load(f)["tests"][0]
        self.assertIn("does not compile: c++ -std=c++20 -O2 -I/ipclab -o greetordered greetordered.cpp",
                      broken["output"])
        self.assertIn("error:", broken["output"])
        failure = next(ElementTree.parse(os.path.join(out, "broken", "junit.xml")).iter("failure"))
        self.assertIn("error:", failure.text)


class Bundle(Scratch):
    def test_grades_the_submission_in_its_root(self):
        os.makedirs(os.path.join(self.dir, "submission", "mine"))  # uploaded as one folder
        shutil.copy(os.path.join(TOP, "greetordered.cpp"), os.path.join(self.dir, "submission", "mine"))
        status, said = run([os.path.join(TOP, "tools", "autograder", "run_autograder")] + QUICK + ["greetordered"],
                           env=dict(os.environ, IPCLAB_BUILD_DIR=BUILD, AUTOGRADER_ROOT=self.dir))
        self.assertEqual(status, 0, said)
        with open(os.path.join(self.dir, "results", "results.json"), encoding="utf-8") as f:
            results = json.load(f)
        self.assertEqual((results["score"], [t["max_score"] for t in results["tests"]]), (2, [1, 1]), results)


class Installed(Scratch):
    def test_check_and_quick_tour_run_from_elsewhere(self):
        prefix, elsewhere = os.path.join(self.dir, "prefix"), os.path.join(self.dir, "elsewhere")
        os.makedirs(elsewhere)
        status, said = run(["cmake", "--install", BUILD, "--prefix", prefix])
        self.assertEqual(status, 0, said)
        env = {k: v for k, v in os.environ.items() if not k.startswith("IPCLAB_")}
        # Its check reads launchcount.cpp from the source directory compiled in.
        status, said = run([os.path.join(prefix, "bin", "ipclab-check"), "--checks", "*terminal*", "launchcount"],
                           cwd=elsewhere, env=env)
        self.assertEqual(status, 0, said)
        self.assertIn("in all          1 of   1 checks passed", said)
        # A few runs a histogram: the installed paths are the point, not the spread.
        status, said = run([os.path.join(prefix, "bin", "ipclab-tour"), "--quick", "--runs", "10"], cwd=elsewhere,
                           env=env)
        self.assertEqual(status, 0, said)
        self.assertIn(os.path.join(prefix, "libexec", "ipclab", "launchcount") + " | cat\n", said)
        self.assertIn(" launchcount.cpp\n", said)  # wc's counts of the source it was given
        self.assertNotIn("not built", said)


def main():
    cases = {"class": ClassFolder, "bundle": Bundle, "install": Installed}
    group = sys.argv[1] if len(sys.argv) > 1 else ""
    if group not in cases:
        sys.exit("usage: class_test.py class|bundle|install [unittest options]")
    program = unittest.main(argv=[sys.argv[0]] + sys.argv[2:], defaultTest=cases[group].__name__, exit=False)
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
