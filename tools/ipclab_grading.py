"""Batch mode of tools/check: a whole class at once.

    tools/check --class DIR --report OUT [--jobs N] [--weights FILE]
                [--checks PATTERN] [--shake] [--seed SEED] [PROGRAM...]

DIR holds one folder per student. For each program, a folder holds its
source NAME.c, NAME.cc or NAME.cpp (the first of these found), or a Makefile
that builds NAME. A source is compiled with fixed flags:

    cc -O2 -I/ipclab -o NAME NAME.c
    c++ -std=c++20 -O2 -I/ipclab -o NAME NAME.cc (or NAME.cpp)

where /ipclab holds only peers/exchange.hpp, the header the two parties
of the parley exchange share (parleyhand includes it).

and a folder without one but with a Makefile (Makefile, makefile or
GNUmakefile) gets `make NAME`. Compiling is sandboxed like a check: a copy
of the student's folder is the only writable place, no network, limits on
processes, memory, CPU time and file size, and a deadline. A program that
does not compile fails all its checks, with the compiler's first lines.

Students are checked in parallel (--jobs N, default the CPU count), each
student's checks concurrently as tools/check runs them. OUT gets
grades.csv (a header row, then one row per student: the name, each
program's checks passed and in all, then the totals and the weighted
score) and, per student, OUT/STUDENT/results.json (score and tests[] with
name, score, max_score, output: the format course platforms read) and
OUT/STUDENT/junit.xml (the GoogleTest test cases of the checks, and a failed
one, with the reason, for every check that could not run at all).

--weights FILE gives checks weights other than 1: each line is a shell
pattern and a number (the last word), '#' starts a comment. The pattern is
matched against PROGRAM/Suite.Test (e.g. greetordered/Greetordered.* or
*/ForkFailure.*); the last line that matches wins.

A check that was skipped (could not run on this machine) for every student
who ran it counts for nobody: its max_score is 0 for all. Every student
thus has the same max_score; a missing program scores 0 of its checks.
Exit status: 0 when the batch ran, whatever the students scored; 2 for bad
usage; 130, 143 or 129 when interrupted.
"""
import concurrent.futures
import csv
import fnmatch
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
from xml.etree import ElementTree

SOURCE_SUFFIXES = (".c", ".cc", ".cpp")
MAKEFILES = ("GNUmakefile", "makefile", "Makefile")
# /ipclab in the compile's sandbox holds peers/exchange.hpp, the layout of
# the segment the two parley parties share, and nothing else of ours.
C_COMPILE = ["cc", "-O2", "-I/ipclab"]
CXX_COMPILE = ["c++", "-std=c++20", "-O2", "-I/ipclab"]
SHARED_HEADERS = ["peers/exchange.hpp"]
COMPILE_DEADLINE = 120      # seconds for one program's compile (or make)
COMPILE_LIMITS = {"cpu": 120, "fsize": 256 << 20, "core": 0, "nofile": 1024, "as": 4 << 30}
COMPILER_LINES = 12         # lines of a compiler's messages kept
FORMULA_START = ("=", "+", "-", "@")  # what spreadsheets take for a formula


class Quiet:
    """A report that prints nothing: one student's checks, run in a worker.
    Its progress calls come at the start of every check; once the batch is
    stopping, they end the checks of a student that started meanwhile."""

    terminal = False
    bold = green = red = plain = ""

    def __init__(self, batch):
        self.batch = batch

    def line(self, text=""):
        pass

    def progress(self, text):
        if self.batch.stopping:
            self.batch.stop_runners()
        else:
            self.batch.show()

    def clear_progress(self):
        pass


class Batch:
    """The state shared by the workers: compiles running, and whether the
    batch is being stopped (tools/check's signal handler calls stop)."""

    def __init__(self, check, include, report, students):
        self.check, self.include, self.report = check, include, report
        self.lock = threading.Lock()
        self.compiles = set()
        self.stopping = False
        self.shown = threading.Lock()
        self.students, self.done, self.started = students, 0, time.monotonic()

    def show(self, line=None):
        """A finished student's line and the progress bar (on a terminal),
        from any thread."""
        with self.shown:
            if self.stopping:
                return
            if line is not None:
                self.done += 1
                self.report.line(line)
            width = 30
            filled = width * self.done // self.students
            self.report.progress(f"  [{'#' * filled}{'.' * (width - filled)}] {self.done} of {self.students} "
                                 f"students, {time.monotonic() - self.started:.0f} s")

    def stop(self):
        with self.lock:
            self.stopping = True
            for process in self.compiles:
                try:
                    os.killpg(process.pid, signal.SIGKILL)
                except OSError:
                    pass
        self.stop_runners()

    def stop_runners(self):
        for runner in list(self.check.CURRENT):
            if runner is not self:
                runner.stop()


# ------------------------------------------------------------- options

def parse(check, argv):
    """Takes --class, --report and --weights out; the rest is tools/check's."""
    chosen = {"class": None, "report": None, "weights": None}
    rest = []
    i = 0
    while i < len(argv):
        a = argv[i]
        if a in ("--class", "--report", "--weights"):
            if i + 1 >= len(argv):
                raise check.Usage(f"{a} needs a value")
            chosen[a[2:]] = argv[i + 1]
            i += 2
            continue
        if a in ("--programs", "--json"):
            raise check.Usage(f"{a} does not go with --class: each student's programs are compiled "
                              "from their sources, and the results go to --report")
        rest.append(a)
        i += 1
    if chosen["class"] is None or chosen["report"] is None:
        raise check.Usage("--class DIR and --report OUT go together")
    options = check.parse(rest)
    options.update(chosen)
    if not os.path.isdir(options["class"]):
        raise check.Usage(f"--class {check.safe(options['class'])}: no such directory")
    options["weights"] = read_weights(check, options["weights"]) if options["weights"] else []
    return options


def read_weights(check, path):
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().split("\n")
    except (OSError, UnicodeDecodeError) as e:
        raise check.Usage(f"--weights {check.safe(path)}: {getattr(e, 'strerror', None) or e}") from e
    weights = []
    for at, line in enumerate(lines, 1):
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        m = re.fullmatch(r"(.*?)\s+([0-9]{1,6}(?:\.[0-9]{1,6})?)", line)
        if m is None:
            raise check.Usage(f"--weights {check.safe(path)}, line {at}: not 'PATTERN WEIGHT' "
                              "with a number of at least 0")
        weights.append((m.group(1), float(m.group(2))))
    return weights


def weight_of(weights, program, test):
    weight = 1.0
    for pattern, w in weights:
        if fnmatch.fnmatchcase(f"{program}/{test}", pattern):
            weight = w
    return weight


# ----------------------------------------------------------- compiling

def students_of(directory, report_dir):
    """The student folders, by name: real directories only (not links), not
    hidden, and not the report's own folder."""
    report_real = os.path.realpath(report_dir)
    found = []
    with os.scandir(directory) as entries:
        for entry in entries:
            if (not entry.name.startswith(".") and entry.is_dir(follow_symlinks=False)
                    and os.path.realpath(entry.path) != report_real):
                found.append(entry.name)
    return sorted(found, key=lambda n: n.encode("utf-8", "surrogateescape"))


def copy_folder(source, target):
    """The student's folder: directories and regular files only."""
    def ignore(directory, names):
        return [n for n in names
                if os.path.islink(os.path.join(directory, n))
                or not (os.path.isfile(os.path.join(directory, n)) or os.path.isdir(os.path.join(directory, n)))]
    shutil.copytree(source, target, symlinks=True, ignore=ignore)


def regular_file(path):
    return os.path.isfile(path) and not os.path.islink(path)


def compile_command(check, include, copy, argv):
    """argv run in a sandbox where the student's copy, at /work, is the only
    writable place; no network; limits on every process in it."""
    command = check.bwrap_system() + [
                "--bind", copy, "/work", "--chdir", "/work", "--clearenv",
                "--setenv", "PATH", "/usr/local/bin:/usr/bin:/bin", "--setenv", "HOME", "/tmp",
                "--setenv", "TMPDIR", "/tmp", "--setenv", "LANG", "C.UTF-8"]
    command += ["--ro-bind", include, "/ipclab"]
    limits = dict(COMPILE_LIMITS)
    # Processes: limited inside the sandbox's own user namespace, where the
    # kernel counts them apart from every other sandbox's.
    return (["prlimit"] + [f"--{k}={v}" for k, v in limits.items()] + ["--"] + command +
            ["--", "prlimit", f"--nproc={check.PROCESSES}", "--"] + argv)


def run_compile(batch, copy, argv):
    """(status, output) of one compile; status None when it was ended."""
    check = batch.check
    user = {"user": check.NOBODY, "group": check.NOBODY, "extra_groups": []} if os.geteuid() == 0 else {}
    with batch.lock:
        if batch.stopping:
            return None, b""
        process = subprocess.Popen(compile_command(check, batch.include, copy, argv), stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                   start_new_session=True, **user)
        batch.compiles.add(process)
    output = bytearray()
    reader = threading.Thread(target=check.drain, args=(process.stdout.fileno(), output, 64 << 10))
    reader.start()
    try:
        process.wait(timeout=COMPILE_DEADLINE)
        timed_out = False
    except subprocess.TimeoutExpired:
        timed_out = True
    try:
        os.killpg(process.pid, signal.SIGKILL)  # nothing it started outlives it
    except OSError:
        pass
    process.wait()
    reader.join()
    process.stdout.close()
    with batch.lock:
        batch.compiles.discard(process)
    if timed_out:
        output += f"\n(ended: not done within {COMPILE_DEADLINE} s)".encode()
        return 124, bytes(output)
    return process.returncode, bytes(output)


def build_program(batch, copy, out, program):
    """Compiles one program of a student into `out`: None when it built, or
    why there is no program."""
    check = batch.check
    source = next((program + s for s in SOURCE_SUFFIXES if regular_file(os.path.join(copy, program + s))), None)
    makefile = any(regular_file(os.path.join(copy, m)) for m in MAKEFILES)
    if source is not None:
        compiler = C_COMPILE if source.endswith(".c") else CXX_COMPILE
        argv = compiler + ["-o", program, source]
    elif makefile:
        argv = ["make", "--no-print-directory", program]
    else:
        return (f"missing: no {program}.c, {program}.cc or {program}.cpp, and no Makefile, "
                "in the student's folder")
    built = os.path.join(copy, program)
    if os.path.lexists(built):
        # Not a left-over executable: only what this compile makes.
        shutil.rmtree(built) if os.path.isdir(built) and not os.path.islink(built) else os.unlink(built)
    status, output = run_compile(batch, copy, argv)
    if status is None:
        return "not built: the batch was interrupted"
    shown = [check.cut(line) for line in output.decode("utf-8", "surrogateescape").rstrip("\n").split("\n")]
    if len(shown) > COMPILER_LINES:
        shown = shown[:COMPILER_LINES] + [f"(… {len(shown) - COMPILER_LINES} lines more)"]
    command = " ".join(argv)
    if status != 0:
        return f"does not compile: {command} ended with status {status}:\n" + "\n".join(shown)
    if not regular_file(built) or not os.access(built, os.X_OK):
        return f"not built: {command} made no executable file {program}"
    shutil.copyfile(built, os.path.join(out, program))
    os.chmod(os.path.join(out, program), 0o755)
    return None


# ------------------------------------------------------------ grading

def grade_student(batch, options, top, build, scratch, index, name):
    """One student: compile into a scratch folder, then tools/check's run
    over what was built. The outcome, with the reason for each program
    that was not built."""
    check = batch.check
    if batch.stopping:
        raise check.Interrupted(2)
    work = os.path.join(scratch, f"student-{index:05d}")
    copy, out = os.path.join(work, "src"), os.path.join(work, "bin")
    os.makedirs(out)
    try:
        copy_folder(os.path.join(options["class"], name), copy)
    except OSError:
        pass  # what could not be read (shutil.Error lists it) is not there: the programs it held are missing
    os.makedirs(copy, exist_ok=True)
    for d, _, files in os.walk(work):
        for entry in [d] + [os.path.join(d, f) for f in files]:
            if os.geteuid() == 0:
                os.chown(entry, check.NOBODY, check.NOBODY)  # the compile runs as nobody
            os.chmod(entry, 0o755 if os.path.isdir(entry) or os.access(entry, os.X_OK) else 0o644)
    reasons = {}
    for program in options["chosen"]:
        reason = build_program(batch, copy, out, program)
        if reason is not None:
            reasons[program] = reason
    if batch.stopping:
        raise check.Interrupted(2)
    outcome = check.check_all(dict(options, programs=out, json=None), Quiet(batch), top, build)
    for program, reason in reasons.items():
        outcome[program] = {"tests": outcome[program]["tests"], "missing": reason}
    shutil.rmtree(work, ignore_errors=True)
    return outcome


def unavailable_checks(outcomes):
    """Checks skipped (cannot run on this machine) for every student who
    ran them: they count for nobody."""
    skipped, ran = set(), set()
    for outcome in outcomes.values():
        for program, state in outcome.items():
            for test, result in state.get("results", {}).items():
                (skipped if result and result["verdict"] == "SKIP" else ran).add((program, test))
    return skipped - ran


def scored(check, options, outcome, unavailable):
    """The tests of one student, in the platform's format, with what
    junit.xml needs."""
    tests = []
    for program, state in outcome.items():
        for _, test in state["tests"]:
            weight = weight_of(options["weights"], program, test)
            result = state.get("results", {}).get(test)
            if "missing" in state or "unshakeable" in state:
                result = {"verdict": "FAIL", "failures": [state.get("missing") or
                                                          "cannot be shaken: " + state["unshakeable"]]}
            elif result is None:
                result = {"verdict": "FAIL", "failures": ["not run: the check was interrupted"]}
            verdict = result["verdict"]
            if verdict == "FAIL":
                output = "\n".join(check.render_failures(result["failures"])) or "failed"
            elif verdict == "SKIP":
                output = "could not run here: " + check.placeholders(result.get("why", "")).strip()
            else:
                output = "passed"
            max_score = 0 if (program, test) in unavailable else weight
            tests.append({"program": program, "test": test, "verdict": verdict, "result": result,
                          "name": f"{program}: {check.sentence(test, program)}",
                          "score": max_score if verdict == "OK" else 0, "max_score": max_score,
                          "output": check.safe(output)})
    return tests


def number(x):
    return int(x) if float(x).is_integer() else round(x, 6)


def junit(check, tests):
    """GoogleTest's own <testcase> elements, grouped by program; a failed
    testcase with the reason where a check gave none."""
    root = ElementTree.Element("testsuites", name="ipclab")
    suites = {}
    for t in tests:
        suite = suites.get(t["program"])
        if suite is None:
            suite = suites[t["program"]] = ElementTree.SubElement(root, "testsuite", name=t["program"])
        xml = t["result"].get("xml")
        if xml is not None:
            case = ElementTree.fromstring(xml)
        else:
            classname, _, test_name = t["test"].partition(".")
            case = ElementTree.Element("testcase", name=test_name, classname=classname,
                                       status="notrun", time="0")
            failure = ElementTree.SubElement(case, "failure", message=t["output"].split("\n")[0])
            failure.text = t["output"]
        suite.append(case)
    for element in [root] + list(suites.values()):
        cases = list(element.iter("testcase"))
        element.set("tests", str(len(cases)))
        element.set("failures", str(sum(c.find("failure") is not None for c in cases)))
        element.set("skipped", str(sum(c.get("result") == "skipped" for c in cases)))
    return ElementTree.ElementTree(root)


def fresh_file(path):
    if os.path.lexists(path):
        os.unlink(path)
    return path


def student_folder(report_dir, name):
    """OUT/NAME: the student's own name is one path component (a folder
    name holds no '/', and '.' and '..' are never listed), made a real
    directory whatever was there. A student named grades.csv gets
    OUT/.grades.csv (hidden names are never students')."""
    path = os.path.join(report_dir, "." + name if name == "grades.csv" else name)
    if os.path.islink(path) or (os.path.lexists(path) and not os.path.isdir(path)):
        os.unlink(path)
    os.makedirs(path, exist_ok=True)
    return path


def shown_name(check, name):
    """A student's name on one line, every byte that is not text escaped."""
    return check.safe(name).replace("\n", "\\n")


def csv_name(check, name):
    shown = shown_name(check, name)
    return "'" + shown if shown.startswith(FORMULA_START) else shown


def write_reports(check, options, names, outcomes):
    unavailable = unavailable_checks(outcomes)
    report_dir = options["report"]
    programs = options["chosen"]
    rows = []
    for name in names:
        tests = scored(check, options, outcomes[name], unavailable)
        folder = student_folder(report_dir, name)
        results = {"score": number(sum(t["score"] for t in tests)),
                   "tests": [{"name": t["name"], "score": number(t["score"]), "max_score": number(t["max_score"]),
                              "output": t["output"]} for t in tests]}
        with open(fresh_file(os.path.join(folder, "results.json")), "w", encoding="utf-8") as f:
            json.dump(results, f, ensure_ascii=False, indent=1)
            f.write("\n")
        junit(check, tests).write(fresh_file(os.path.join(folder, "junit.xml")), encoding="utf-8",
                                  xml_declaration=True)
        row = [csv_name(check, name)]
        for program in programs:
            counted = [t for t in tests if t["program"] == program and (program, t["test"]) not in unavailable]
            row += [sum(t["verdict"] == "OK" for t in counted), len(counted)]
        row += [sum(row[1::2]), sum(row[2::2]), results["score"], number(sum(t["max_score"] for t in tests))]
        rows.append(row)
    with open(fresh_file(os.path.join(report_dir, "grades.csv")), "w", encoding="utf-8", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(["student"] + [f"{p} {what}" for p in programs for what in ("passed", "total")]
                        + ["passed", "total", "score", "max_score"])
        writer.writerows(rows)
    return rows


def sandbox_works(check, include, scratch):
    """Why no sandbox can be made here, or None."""
    try:
        r = subprocess.run(compile_command(check, include, scratch, ["true"]), capture_output=True, timeout=60)
    except (OSError, subprocess.SubprocessError) as e:
        return str(e)
    return None if r.returncode == 0 else check.safe(r.stdout + r.stderr).strip()


def grade_class(check, options, report, top, build):
    if shutil.which("bwrap") is None:
        raise check.Usage("bwrap (bubblewrap) is not installed: every compile and check runs in its sandbox "
                          "(sudo apt-get install bubblewrap)")
    where, out = os.path.realpath(options["class"]), os.path.realpath(options["report"])
    if where == out or where.startswith(out + "/") or (out.startswith(where + "/")
                                                         and os.path.dirname(out) != where):
        raise check.Usage("--report OUT must be neither DIR, nor hold it, nor be inside a student's folder")
    names = students_of(options["class"], options["report"])
    if not names:
        raise check.Usage(f"--class {check.safe(options['class'])}: no student folders in it")
    jobs = options["jobs"] or os.cpu_count() or 1
    options = dict(options, jobs=None)  # each student's checks: tools/check's own default
    base = os.environ.get("TMPDIR") or "/tmp"
    if os.geteuid() == 0 and not check.traversable(base):
        base = "/tmp"  # the sandboxes run as nobody, who must reach their copies
    scratch = tempfile.mkdtemp(prefix="ipclab-class.", dir=base)
    outcomes = {}
    try:
        os.chmod(scratch, 0o755)
        include = os.path.join(scratch, "include")
        for header in SHARED_HEADERS:
            os.makedirs(os.path.dirname(os.path.join(include, header)), mode=0o755, exist_ok=True)
            shutil.copyfile(os.path.join(top, header), os.path.join(include, header))
            os.chmod(os.path.join(include, header), 0o644)
        for d, _, _ in os.walk(include):
            os.chmod(d, 0o755)
        why = sandbox_works(check, include, scratch)
        if why is not None:
            raise check.Usage(f"no sandbox can be made here (bwrap: {why}): no student was checked")
        try:
            os.makedirs(options["report"], exist_ok=True)
        except OSError as e:
            raise check.Usage(f"--report {check.safe(options['report'])}: {e.strerror}") from e
        batch = Batch(check, include, report, len(names))
        check.CURRENT.append(batch)
        started = time.monotonic()
        report.line(f"Checking {len(names)} students in {check.safe(options['class'])} ({jobs} at a time); "
                    f"reports in {check.safe(options['report'])}")
        with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
            futures = {pool.submit(grade_student, batch, options, top, build, scratch, i, name): name
                       for i, name in enumerate(names)}
            batch.show()
            for future in check.as_they_end(futures):
                name = futures[future]
                outcomes[name] = future.result()
                passed = sum(r["verdict"] == "OK" for s in outcomes[name].values()
                             for r in s.get("results", {}).values() if r)
                checks = sum(len(s["tests"]) for s in outcomes[name].values())
                batch.show(f"  {shown_name(check, name)}: {passed} of {checks} checks passed")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    if batch.stopping:
        raise check.Interrupted(2)
    rows = write_reports(check, options, names, outcomes)
    report.line(f"{len(rows)} students checked in {time.monotonic() - started:.0f} s: "
                f"{os.path.join(check.safe(options['report']), 'grades.csv')}, and per student "
                "results.json and junit.xml")
    return 0


def main(check, argv, report, top, build):
    options = parse(check, argv)
    return grade_class(check, options, report, top, build)
