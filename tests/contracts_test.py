#!/usr/bin/python3
"""Keeps the contracts, the checks and the map between them in step:

- every check tools/check runs for a program (its CHECKS_OF patterns over
  the built test executables' lists) has a line in tools/contracts.tsv
  that names the program (or *) and cites a line of that program's
  contract, and every line of the map names a check that exists;
- every contract line the map cites is defined in CONTRACTS.md, in its
  program's section, and each section numbers its lines 1, 2, 3 ...;
- each program's section of the README and each "Write your own" exercise
  of EXERCISES.md links to the program's contract.

    python3 tests/contracts_test.py [unittest options]

The build directory is $IPCLAB_BUILD_DIR (default build/).
"""

import fnmatch
import functools
import glob
import importlib.machinery
import importlib.util
import os
import re
import sys
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
BUILD = os.environ.get("IPCLAB_BUILD_DIR", os.path.join(TOP, "build"))


@functools.lru_cache(maxsize=None)
def check_tool():
    """tools/check, loaded as a module (its CHECKS_OF and list_tests)."""
    loader = importlib.machinery.SourceFileLoader("check_tool", os.path.join(TOP, "tools", "check"))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("check_tool", loader))
    loader.exec_module(module)
    return module


@functools.lru_cache(maxsize=None)
def checks():
    """{program: [test name, ...]}: what tools/check runs for each program."""
    tool = check_tool()
    executables = sorted(glob.glob(os.path.join(BUILD, "tests", "*_test")))
    if not executables:
        raise unittest.SkipTest(f"no test executables in {BUILD}/tests: build first")
    tests = [t for e in executables for t in tool.list_tests(e)]
    return {p: [t for t in tests if any(fnmatch.fnmatchcase(t.lower(), q.lower()) for q in tool.CHECKS_OF[p])]
            for p in tool.ALL_PROGRAMS}


def read(name):
    with open(os.path.join(TOP, name), encoding="utf-8") as f:
        return f.read()


@functools.lru_cache(maxsize=None)
def mapping():
    """The map's lines as (line number, pattern, program, [ids])."""
    rows = []
    for number, line in enumerate(read("tools/contracts.tsv").splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        fields = line.split("\t")
        if len(fields) != 3:
            raise AssertionError(f"tools/contracts.tsv:{number}: {len(fields)} fields, not 3 separated by tabs")
        rows.append((number, fields[0], fields[1], fields[2].split(",")))
    return rows


def sections(text, heading):
    """{name: body} for each heading matched by `heading` (one group: the name)."""
    parts = re.split(heading, text)
    return {parts[i]: parts[i + 1] for i in range(1, len(parts), 2)}


@functools.lru_cache(maxsize=None)
def contract_lines():
    """{program: [ids in order of appearance]} from CONTRACTS.md."""
    return {name: re.findall(r"(?m)^- \*\*([a-z]+\.[0-9]+)\*\*", body)
            for name, body in sections(read("CONTRACTS.md"), r"(?m)^## ([a-z]+)\n").items()}


class Contracts(unittest.TestCase):
    longMessage = False  # our messages say it all; no reprs of whole files

    def test_every_program_has_its_lines_numbered_in_order(self):
        lines = contract_lines()
        for program in check_tool().ALL_PROGRAMS:
            self.assertTrue(program in lines, f"CONTRACTS.md has no section '## {program}'")
            expected = [f"{program}.{n}" for n in range(1, len(lines[program]) + 1)]
            self.assertTrue(lines[program], f"CONTRACTS.md: {program} has no numbered lines")
            self.assertEqual(lines[program], expected, f"CONTRACTS.md: {program}'s lines are not numbered 1, 2, 3 ...")

    def test_every_check_is_mapped_to_a_line_of_its_program(self):
        unmapped = []
        for program, tests in checks().items():
            for test in tests:
                if not any(fnmatch.fnmatchcase(test, pattern) and owner in (program, "*")
                           and any(i.startswith(program + ".") for i in ids)
                           for _, pattern, owner, ids in mapping()):
                    unmapped.append(f"{program}: {test}")
        self.assertEqual(unmapped, [], "checks with no line in tools/contracts.tsv citing their program's "
                         "contract: " + ", ".join(unmapped))

    def test_every_map_line_names_a_check_and_cites_lines_that_exist(self):
        defined = {i for ids in contract_lines().values() for i in ids}
        for number, pattern, owner, ids in mapping():
            where = f"tools/contracts.tsv:{number}"
            programs = list(checks()) if owner == "*" else [owner]
            self.assertTrue(owner == "*" or owner in checks(), f"{where}: '{owner}' is not one of the programs")
            self.assertTrue(any(fnmatch.fnmatchcase(t, pattern) for p in programs for t in checks()[p]),
                            f"{where}: '{pattern}' matches no check of {owner}")
            for i in ids:
                self.assertTrue(i in defined, f"{where}: {i} is not a line of CONTRACTS.md")
                self.assertTrue(owner == "*" or i.startswith(owner + "."),
                                f"{where}: {i} is not a line of {owner}'s contract")

    def test_readme_and_exercises_link_each_contract(self):
        readme = sections(read("README.md"), r"(?m)^### [0-9]+\. ([a-z]+)\n")
        exercises = sections(read("EXERCISES.md"), r"(?m)^## [0-9]+\. ([a-z]+)\n")
        for program in check_tool().ALL_PROGRAMS:
            link = f"(CONTRACTS.md#{program})"
            self.assertTrue(link in readme.get(program, ""), f"README.md: {program}'s section does not link {link}")
            own = re.search(r"\*Write your own\*(?:[^\n]|\n(?![0-9]+\. |## ))*", exercises.get(program, ""))
            self.assertTrue(own and link in own.group(0),
                            f"EXERCISES.md: {program}'s 'Write your own' does not link {link}")


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[1:])
