#!/usr/bin/python3
"""Tests of tools/trace, in three groups, each a CTest test of its own:

  fixtures  the converter on strace records kept in tests/trace/ (made with
            tools/trace --save-strace, failed-calls.strace by strace with the
            same options and a failure injected, merge-user*.strace by hand),
            and on a record of a hundred thousand writes: deterministic
  live      tools/trace on a few built programs (needs strace)
  viewers   every Mermaid text we ship or generate, rendered by the real
            Mermaid library (the one mermaid-cli installs) in Debian's
            Chromium, and every timeline loaded by Chromium's own DevTools

    python3 tests/trace_test.py GROUP [unittest options]

A group whose tools are missing says what is missing and ends with status 77,
which CTest reports as skipped.
"""

import contextlib
import functools
import importlib.machinery
import importlib.util
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
TRACE = os.path.join(TOP, "tools", "trace")
FIXTURES = os.path.join(TOP, "tests", "trace")
SKIPPED = 77


def hang_bound(seconds):
    """A bound for a hung run, grown as CTest's limit for the build is grown
    (the sanitized build's runs are several times slower)."""
    return seconds * int(os.environ.get("IPCLAB_TEST_TIMEOUT", "240")) / 240


@functools.lru_cache(maxsize=None)
def convert(*names):
    """The Mermaid text and the timeline tools/trace draws from fixtures
    (several: the records of a run's parties)."""
    return draw(*(os.path.join(FIXTURES, name + ".strace") for name in names))


def draw(*logs):
    """The Mermaid text and the timeline tools/trace draws from records
    (through --from-strace, in this process: the suite runs it often)."""
    with tempfile.TemporaryDirectory() as scratch:
        mermaid, timeline = os.path.join(scratch, "m"), os.path.join(scratch, "t")
        status = tool().main(["--mermaid", mermaid, "--timeline", timeline, "--from-strace", *logs])
        assert status == 0, "tools/trace --from-strace %s: status %d" % (" ".join(logs), status)
        with open(mermaid, encoding="utf-8") as f, open(timeline, encoding="utf-8") as g:
            return f.read(), json.load(g)


@functools.lru_cache(maxsize=None)
def tool():
    """tools/trace, loaded as a module."""
    loader = importlib.machinery.SourceFileLoader("trace_tool", TRACE)
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("trace_tool", loader))
    loader.exec_module(module)
    return module


def body(text):
    """The arrows and notes, one per line, in order."""
    return [line.strip() for line in text.splitlines()[2:] if not line.strip().startswith("participant")]


def participants(text):
    return dict(re.findall(r"^    participant (\S+) as (.*)$", text, re.M))


def index_of(lines, pattern):
    for i, line in enumerate(lines):
        if re.search(pattern, line):
            return i
    raise AssertionError("no line matches %r in:\n%s" % (pattern, "\n".join(lines)))


class TimelineChecks:
    def check_timeline(self, timeline):
        """The fields Perfetto's UI and chrome://tracing need: every event
        has name, ph, pid and tid; slices a ts and a dur; each track a
        process_name; each flow a start and an end that bind to a slice of
        the same cat, pid, tid and ts; slices of one track nest."""
        self.assertIsInstance(timeline["traceEvents"], list)
        events = timeline["traceEvents"]
        slices, named, flows = {}, set(), {}
        for e in events:
            for field in ("name", "ph", "pid", "tid"):
                self.assertIn(field, e)
            if e["ph"] == "M":
                if e["name"] == "process_name":
                    named.add(e["pid"])
                continue
            self.assertIsInstance(e["ts"], (int, float))
            if e["ph"] == "X":
                self.assertGreaterEqual(e["dur"], 0)
                slices.setdefault((e["pid"], e["tid"]), []).append(e)
            elif e["ph"] in "sf":
                flows.setdefault(e["id"], []).append(e)
        self.assertEqual(named, {pid for pid, _ in slices})
        for flow in flows.values():
            self.assertEqual(sorted(e["ph"] for e in flow), ["f", "s"])
            self.assertEqual(len({(e["name"], e["cat"]) for e in flow}), 1)
            for e in flow:
                bound = [s for s in slices[(e["pid"], e["tid"])] if s["ts"] == e["ts"] and s["cat"] == e["cat"]]
                self.assertTrue(bound, "flow %s binds to no slice" % e)
        for track in slices.values():
            open_ends = []
            for s in sorted(track, key=lambda s: (s["ts"], -s["dur"])):
                while open_ends and open_ends[-1] <= s["ts"]:
                    open_ends.pop()
                if open_ends:
                    self.assertLessEqual(s["ts"] + s["dur"], open_ends[-1], "slices overlap: %s" % s)
                open_ends.append(s["ts"] + s["dur"])
        return flows, slices


class Fixtures(unittest.TestCase, TimelineChecks):
    def test_every_fixture_gives_a_diagram_and_a_sound_timeline(self):
        for name in sorted(f[:-7] for f in os.listdir(FIXTURES) if f.endswith(".strace")):
            with self.subTest(name):
                text, timeline = convert(name)
                self.assertTrue(text.startswith("sequenceDiagram\n"))
                self.assertNotRegex(text, r"unfinished|resumed")
                lines = body(text)
                ids = participants(text)
                for line in lines:
                    m = re.match(r"^(?:Note over )?(\w+)(?:-?->>(\w+))?:", line)
                    self.assertIsNotNone(m, line)
                    self.assertTrue(set(filter(None, m.groups())) <= set(ids), line)
                # a process's fork comes before anything the process does
                for pid in (p for p in ids if p.startswith("p")):
                    made = [i for i, line in enumerate(lines) if re.search(r"->>%s: \w+\(\) = \d+ \(" % pid, line)]
                    own = [i for i, line in enumerate(lines) if re.match(r"^(Note over )?%s\b" % pid, line)]
                    if made:
                        self.assertLess(made[0], own[0], "%s acts before it is made" % pid)
                self.check_timeline(timeline)

    def test_split_calls_are_joined_and_a_signal_ends_the_wait_it_interrupted(self):
        text, timeline = convert("nudgegreet")
        lines = body(text)
        ids = participants(text)
        self.assertEqual(ids["p21527"], "parent 21527 nudgegreet")
        self.assertEqual(ids["p21529"], "child 21529 nudgegreet")
        kill = index_of(lines, r"^p21527->>p21529: kill\(21529, SIGUSR1\) = 0$")
        suspended = index_of(lines, r"^p21529->>p21529: rt_sigsuspend\(\[\]\) = \? ERESTARTNOHAND")
        arrives = index_of(lines, r"^p21529->>p21529: SIGUSR1 arrives from 21527: its handler runs$")
        world = index_of(lines, r'^p21529->>stdout: write\(1, "World!\\n"\) = 7$')
        ended = index_of(lines, r"^Note over p21529: exited with 0$")
        waited = index_of(lines, r"^p21529-->>p21527: wait4 returns 21529: exited with 0$")
        self.assertEqual([kill, suspended, arrives, world, ended, waited], sorted([kill, suspended, arrives, world, ended, waited]))
        # the split rt_sigsuspend is one slice: from its first line, as long as -T said
        flows, slices = self.check_timeline(timeline)
        child = slices[(21529, 21529)]
        sigsuspend = [s for s in child if s["name"] == "rt_sigsuspend"]
        self.assertEqual(len(sigsuspend), 1)
        self.assertEqual(sigsuspend[0]["dur"], 182)
        self.assertEqual(sigsuspend[0]["args"]["call"], "rt_sigsuspend([], 8) = ? ERESTARTNOHAND (To be restarted if no handler) <0.000182>")
        self.assertEqual(sorted(flow[0]["name"] for flow in flows.values()), ["SIGUSR1", "fork"])
        handler = [s for s in child if s["name"] == "SIGUSR1"][0]
        self.assertIn(handler["ts"], [e["ts"] for flow in flows.values() for e in flow if e["ph"] == "f"])

    def test_exec_that_fails_and_exec_that_succeeds(self):
        failed, _ = convert("launchfault")
        self.assertEqual(participants(failed)["p21888"], "process 21888 launchfault")
        self.assertIn('p21888->>p21888: execve("wc", ["wc", "launchcount.cpp"]) = -1 ENOENT (No such file or directory)', body(failed))
        done, _ = convert("launchcount")
        self.assertEqual(participants(done)["p26738"], "process 26738 launchcount then wc")
        lines = body(done)
        now = index_of(lines, r'^p26738->>p26738: execve\("/usr/bin/wc", \["/usr/bin/wc", "launchcount.cpp"\]\) = 0: now runs wc$')
        counts = index_of(lines, r'^p26738->>stdout: write\(1, " *\d+ +\d+ +\d+ launchcount.cpp\\n"\)')
        self.assertLess(now, counts)
        self.assertNotRegex(done, r"I will never be printed")   # lost with the buffer: standard output was a pipe

    def test_grandchildren_by_role_and_program(self):
        text, _ = convert("grandchild")
        self.assertEqual(sorted(participants(text).values()), [
            "child 32027 sh then sh", "child 32060 sh then echo", "grandchild 32034 sh then echo",
            "grandchild 32053 sh then true", "parent 32021 sh", "standard output"])
        self.assertIn("p32027->>p32034: vfork() = 32034 (vfork)", body(text))
        self.assertIn("p32034-->>p32027: wait4 returns 32034: exited with 0", body(text))

    def test_segment_by_key_and_its_removal(self):
        text, _ = convert("segduet")
        self.assertEqual(participants(text)["s0"], "segment key 2009 (id 0)")
        lines = body(text)
        index_of(lines, r"^p27186->>s0: shmget\(key 2009, 27, IPC_CREAT\|0666\) = 0$")
        rmid = index_of(lines, r"^p27185->>s0: shmctl\(IPC_RMID\) = 0: marked for removal$")
        self.assertLess(index_of(lines, r"^p27185->>s0: shmdt"), rmid)
        self.assertNotIn("outlives the run", text)
        # a child that comes after the removal makes a fresh segment, which stays
        late = convert("segrace-late")[0]
        self.assertEqual(participants(late)["s1"], "segment key 2009 (id 1)")
        self.assertEqual(body(late)[-1], "Note over s1: not marked for removal: outlives the run")
        self.assertEqual(late.count("outlives the run"), 1)

    def test_two_parties_each_with_its_terminal_and_signals_between_them(self):
        text, timeline = convert("parleyhand")
        ids = participants(text)
        self.assertEqual(ids["p32467"], "User1 32467 parleylead")
        self.assertEqual(ids["p32471"], "User2 32471 parleyhand")
        lines = body(text)
        typed = index_of(lines, r'^stdin_User2->>p32471: read\(0\) = 17 "Hello from User2\\n"$')
        sent = index_of(lines, r"^p32471->>p32467: pidfd_send_signal\(32467, SIGUSR1\) = 0$")
        shown = index_of(lines, r'^p32467->>stdout_User1: write\(1, "Received From User2: Hello from User2\\n"\)')
        self.assertLess(typed, sent)
        self.assertLess(sent, shown)
        flows, _ = self.check_timeline(timeline)
        self.assertEqual(sorted(f[0]["name"] for f in flows.values()), ["SIGUSR1", "SIGUSR2"])

    def test_hostile_texts_failed_calls_a_child_that_execs_early_and_two_parties(self):
        for names, pattern in (
                (["hostile-output"], r'^    p23241->>stdout: write\(1, "#35;35#59; is not #35; #38; #lt;b#gt;not bold#lt;/b#gt;#59; end\\n"\) = 37$'),
                (["hostile-output"], r"\A[^%]*%%[^%]*\Z"),   # the title's comment alone: %% starts a directive
                (["failed-calls"], r"^    p9347->>s0: shmctl\(IPC_RMID\) = -1 EPERM \(Operation not permitted\) \(INJECTED\)$"),
                (["failed-calls"], r"^    p9346->>p9346: kill\(9349, SIGUSR1\) = -1 ESRCH"),
                (["fork-held-parent"], r'^    participant p26026 as child 26026 python3 then echo\n.*->>p26026: execve\("/bin/echo"'),
                # hand-made: user1's read began first, but ended when user2's kill came
                (["merge-user1", "merge-user2"], r"kill\(100, SIGUSR1\) = 0\n.*p100->>p100: read\(0\) interrupted")):
            with self.subTest(names=names, pattern=pattern):
                self.assertRegex(convert(*names)[0], re.compile(pattern, re.M | re.S))

    def test_a_hundred_thousand_writes_are_drawn_bounded(self):
        with tempfile.TemporaryDirectory() as scratch:
            with open(os.path.join(scratch, "w"), "w", encoding="utf-8") as f:
                f.writelines('7 1000.%06d write(1, "%05d", 5) = 5 <0.000001>\n' % (2 * i, i) for i in range(100000))
                f.write("7 1001.000000 +++ exited with 0 +++\n")
            text, timeline = draw(os.path.join(scratch, "w"))
        lines = body(text)
        self.assertEqual((len(lines), lines[-2:]), (401, ['p7->>stdout: write(1, "99999") = 5', "Note over p7: exited with 0"]))
        self.assertEqual(lines[360], "Note over p7: … 99601 more calls not drawn: a diagram draws the first 360 and the last 40, the timeline more")
        self.assertLessEqual(len(self.check_timeline(timeline)[1][(7, 7)]), 5000)
        self.assertIn("95001 calls not shown", [e["name"] for e in timeline["traceEvents"]])

    def test_a_malformed_parties_file_is_named_with_its_line(self):
        for parties, error in (('{"1": "User1",\n "2": }', r"line 2, column \d+: not JSON: "), ('["User1"]', r"line 1: not an object"),
                               ('{"1": "User1",\n "me": "User2"}', r'line 2: "me" is not a process id'),
                               ('{\n"1": 7}', r"line 2: the label of 1 is 7, not a text")):
            with self.subTest(parties), tempfile.TemporaryDirectory() as scratch:
                log = shutil.copy(os.path.join(FIXTURES, "segduet.strace"), scratch)
                with open(log + ".parties", "w", encoding="utf-8") as f:
                    f.write(parties)
                with self.assertRaisesRegex(tool().TraceError, r"^%s\.parties: %s" % (re.escape(log), error)):
                    draw(log)

    def test_long_runs_fold_into_notes_and_the_change_shows_between_them(self):
        lines = body(convert("pagewatch")[0])
        before = index_of(lines, r'^Note over p32463: 3 × \[write\(1, "a b c d e f \\n"\) = 13, then clock_nanosleep\(1 s\) = 0\], in 3\.\d+ s$')
        poke = index_of(lines, r"^p32626->>f1: mmap\(6 bytes, PROT_READ\|PROT_WRITE, MAP_SHARED\)")
        after = index_of(lines, r'^Note over p32463: 47 × \[write\(1, "z b c d e f \\n"\) = 13, then clock_nanosleep\(1 s\) = 0\], in 47\.\d+ s$')
        self.assertEqual([before, poke, after], sorted([before, poke, after]))
        self.assertFalse([line for line in lines if "write(1, " in line and "p32463->>" in line])


def skip(reason):
    print("SKIPPED: " + reason)
    sys.exit(SKIPPED)


def strace_usable():
    if shutil.which("strace") is None:
        return "strace is not installed (Debian: apt-get install strace)"
    if subprocess.run(["strace", "-f", "-o", "/dev/null", "true"], capture_output=True).returncode != 0:
        return "strace cannot trace here (ptrace is not permitted)"
    return None


def trace_live(name, scratch):
    mermaid, timeline = os.path.join(scratch, name + ".mmd"), os.path.join(scratch, name + ".json")
    # LeakSanitizer cannot run under ptrace: the sanitize build's leak check is off here
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0")
    run = subprocess.run([sys.executable, TRACE, "--mermaid", mermaid, "--timeline", timeline, name],
                         capture_output=True, text=True, timeout=hang_bound(60), env=env)
    if run.returncode != 0:
        raise AssertionError("tools/trace %s: status %d\n%s" % (name, run.returncode, run.stderr))
    with open(mermaid, encoding="utf-8") as f, open(timeline, encoding="utf-8") as g:
        return f.read(), json.load(g), run.stderr


def leftovers(marker):
    """Ids of the processes whose command line holds marker."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError), open("/proc/%s/cmdline" % pid, "rb") as f:
            found += [pid] if marker.encode() in f.read() else []
    return found


class Live(unittest.TestCase, TimelineChecks):
    def test_any_path_a_child_left_running_and_int_term_hup(self):
        # a shell at a path that is not UTF-8 leaves a child of its own session
        # holding standard output: it is ended 5 s after the shell, or with
        # the whole run at once by INT, TERM or HUP (status 128 + the signal).
        # The child says it is ready only once it is in its own session, where
        # killing the shell's process group no longer reaches it.
        for sig in (None, signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            marker = "100.%d%02d" % (os.getpid(), sig or 0)
            with self.subTest(sig), tempfile.TemporaryDirectory() as scratch, tempfile.TemporaryFile("w+") as err:
                shell = shutil.copy("/bin/sh", os.path.join(os.fsencode(scratch), b"s\xffh"))
                mermaid, ready, tmp = (os.path.join(scratch, name) for name in ("m", "ready", "tmp"))
                os.mkdir(tmp)
                script = "setsid sh -c ': >\"%s\"; exec sleep %s' & echo started%s" % (ready, marker, "; wait" if sig else "")
                trace = subprocess.Popen([sys.executable, TRACE, "--mermaid", mermaid, shell, "-c", script],
                                         env=dict(os.environ, TMPDIR=tmp), stderr=err)
                while not os.path.exists(ready) and trace.poll() is None:
                    time.sleep(0.05)
                if sig:
                    trace.send_signal(sig)
                self.assertEqual((trace.wait(hang_bound(60)), leftovers(marker), os.listdir(tmp)), (128 + sig if sig else 0, [], []))
                if sig is None:
                    err.seek(0)
                    self.assertRegex(err.read(), r"^started\ntrace: .*/s\\xffh ended, but left a process running \(\d+\): ended 5 s later\n$")
                    with open(mermaid, encoding="utf-8") as f:
                        text = f.read()
                    self.assertRegex(text, r"participant p\d+ as parent \d+ s\\377h\n(.|\n)*: killed by SIGKILL: still "
                                           r"running 5 s after the program ended, ended by tools/trace\n")

    def test_a_few_programs(self):
        with tempfile.TemporaryDirectory() as scratch:
            text, timeline, out = trace_live("segrace", scratch)
            self.assertRegex(out, r"Child append aaa")
            self.assertRegex(text, r"participant s\d+ as segment key 2009 \(id \d+\)")
            self.assertRegex(text, r"->>s\d+: shmctl\(IPC_RMID\) = 0: marked for removal")
            self.check_timeline(timeline)
            text, timeline, _ = trace_live("nudgegreet", scratch)
            self.assertRegex(text, r"p(\d+)->>p(\d+): kill\(\2, SIGUSR1\) = 0")
            self.assertRegex(text, r"SIGUSR1 arrives from \d+: its handler runs")
            flows, _ = self.check_timeline(timeline)
            self.assertEqual(sorted(f[0]["name"] for f in flows.values()), ["SIGUSR1", "fork"])
            text, _, _ = trace_live("launchfault", scratch)
            self.assertIn('execve("wc", ["wc", "launchcount.cpp"]) = -1 ENOENT', text)


def mermaid_texts(scratch):
    """Every Mermaid text we ship (the README's) or generate (each fixture's
    diagram, and a live run's when strace works here), and the timelines."""
    texts, timelines = [], []
    with open(os.path.join(TOP, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    texts += [("README.md block %d" % (i + 1), t) for i, t in enumerate(re.findall(r"```mermaid\n(.*?)```", readme, re.S))]
    for name in sorted(f[:-7] for f in os.listdir(FIXTURES) if f.endswith(".strace")):
        text, timeline = convert(name)
        texts.append(("tests/trace/%s.strace" % name, text))
        timelines.append(("tests/trace/%s.strace" % name, timeline))
    if strace_usable() is None:
        text, timeline, _ = trace_live("segrace", scratch)
        texts.append(("tools/trace segrace", text))
        timelines.append(("tools/trace segrace", timeline))
    else:
        print("note: no live run in this check: " + strace_usable())
    return texts, timelines


# In one Chromium, driven by the puppeteer mermaid-cli installed: renders each
# Mermaid text with the Mermaid library mermaid-cli installed, all in one page
# (mmdc opens a page per diagram, which is slow), and loads each timeline into
# the trace engine of Chromium's own DevTools, the one its Performance panel
# opens trace files with. Prints one line of JSON: for each text null or the
# library's error; for each timeline the process names and flows it found.
RENDER = r"""
const path = require('path');
const fs = require('fs');
const [modules, chromium, input, bound] = process.argv.slice(2);
const puppeteer = require(path.join(modules, 'puppeteer'));
// One bound for every wait (the launch, a page's load, a call into the page):
// puppeteer's own 30 s is too short for a loaded machine.
const timeout = Number(bound);
(async () => {
  const browser = await puppeteer.launch({executablePath: chromium, headless: true, timeout, protocolTimeout: timeout,
    args: ['--no-sandbox', '--disable-setuid-sandbox', '--disable-gpu', '--disable-dev-shm-usage']});
  try {
    const {texts, shown, timelines} = JSON.parse(fs.readFileSync(input, 'utf8'));
    const page = await browser.newPage();
    page.setDefaultTimeout(timeout);
    await page.setContent('<!doctype html><html><body></body></html>');
    await page.addScriptTag({path: path.join(modules, 'mermaid', 'dist', 'mermaid.min.js')});
    const results = await page.evaluate(async (texts, shown) => {
      mermaid.initialize({startOnLoad: false, securityLevel: 'strict'});
      const out = [];
      for (let i = 0; i < texts.length; i++) {
        try {
          const {svg} = await mermaid.render('diagram' + i, texts[i]);
          const drawn = document.createElement('div');
          drawn.innerHTML = svg;
          const missing = shown[i].filter((text) => !drawn.textContent.includes(text));
          out.push(!svg.includes('<svg') ? 'no SVG' : missing.length ? 'not shown: ' + missing.join(' | ') : null);
        } catch (e) {
          out.push(String((e && e.message) || e));
        }
      }
      return out;
    }, texts, shown);
    const devtools = await browser.newPage();
    devtools.setDefaultTimeout(timeout);
    await devtools.goto('devtools://devtools/bundled/devtools_app.html');
    const loaded = await devtools.evaluate(async (timelines) => {
      const Trace = await import('./models/trace/trace.js');
      const out = [];
      for (const timeline of timelines) {
        const model = Trace.TraceModel.Model.createWithAllHandlers();
        await model.parse(JSON.parse(timeline).traceEvents);
        const data = model.parsedTrace(0).data || model.parsedTrace(0);
        out.push({processes: [...data.Meta.processNames.values()].map((e) => e.args.name),
                  flows: data.Flows.flows.map((flow) => flow.length)});
      }
      return out;
    }, timelines);
    console.log(JSON.stringify({results, loaded}));
  } finally {
    await browser.close();
  }
})().catch((e) => { console.error(e); process.exit(1); });
"""


# Texts a diagram must show as they are, whatever Mermaid makes of them
SHOWN = {"tests/trace/hostile-output.strace": [
    "process 23241 %%{init: {'theme':'dark'}}%%", 'write(1, "%%{init: {\\"theme\\": \\"forest\\"}}%%\\n")',
    'write(1, "%% not a comment\\n")', 'write(1, "#35; is not # & <b>not bold</b>; end\\n")']}


class Viewers(unittest.TestCase):
    modules = chromium = None

    def test_every_diagram_renders_and_every_timeline_loads(self):
        with tempfile.TemporaryDirectory() as scratch:
            texts, timelines = mermaid_texts(scratch)
            self.assertGreaterEqual(len([t for t in texts if t[0].startswith("README")]), 11)
            script, page = os.path.join(scratch, "render.cjs"), os.path.join(scratch, "input.json")
            with open(script, "w", encoding="utf-8") as f:
                f.write(RENDER)
            with open(page, "w", encoding="utf-8") as f:
                json.dump({"texts": [text for _, text in texts], "shown": [SHOWN.get(where, []) for where, _ in texts],
                           "timelines": [json.dumps(timeline) for _, timeline in timelines]}, f)
            # node's own bound ends it before ours does, so that it closes Chromium
            bound = hang_bound(200)
            run = subprocess.run(["node", script, self.modules, self.chromium, page, str(int((bound - 20) * 1000))],
                                 capture_output=True, text=True, timeout=bound)
            self.assertEqual(run.returncode, 0, run.stderr[-3000:])
            answer = json.loads(run.stdout.strip().splitlines()[-1])
            rejected = ["%s: %s" % (where, error) for (where, _), error in zip(texts, answer["results"]) if error]
            self.assertEqual(len(answer["results"]), len(texts))
            self.assertEqual(rejected, [])
            # DevTools names each track as the timeline does, and binds both
            # ends of every flow to a slice (an unbound end drops the flow)
            self.assertEqual(len(answer["loaded"]), len(timelines))
            for (where, timeline), loaded in zip(timelines, answer["loaded"]):
                names = [e["args"]["name"] for e in timeline["traceEvents"] if e["name"] == "process_name"]
                starts = [e for e in timeline["traceEvents"] if e["ph"] == "s"]
                self.assertEqual(sorted(loaded["processes"]), sorted(names), where)
                self.assertEqual(loaded["flows"], [2] * len(starts), where)
            with open(os.path.join(self.modules, "mermaid", "package.json"), encoding="utf-8") as f:
                version = json.load(f).get("version", "?")
            print("Mermaid %s rendered all %d diagrams; Chromium's DevTools loaded all %d timelines"
                  % (version, len(texts), len(timelines)))


def main():
    group = sys.argv[1] if len(sys.argv) > 1 else ""
    cases = {"fixtures": Fixtures, "live": Live, "viewers": Viewers}
    if group not in cases:
        sys.exit("usage: trace_test.py fixtures|live|viewers [unittest options]")
    if group == "live" and strace_usable():
        skip(strace_usable())
    if group == "viewers":
        Viewers.modules = os.path.abspath(os.environ.get("IPCLAB_MERMAID_MODULES") or os.path.join(
            TOP, "build", "mermaid-cli", "node_modules"))
        Viewers.chromium = os.environ.get("IPCLAB_CHROMIUM") or shutil.which("chromium") or "/usr/bin/chromium"
        if shutil.which("node") is None:
            skip("node is not installed (Debian: apt-get install nodejs npm)")
        for part in ("puppeteer", "mermaid/dist/mermaid.min.js"):
            if not os.path.exists(os.path.join(Viewers.modules, part)):
                skip("no %s in %s: .ci/run installs @mermaid-js/mermaid-cli there with npm "
                     "(or set IPCLAB_MERMAID_MODULES)" % (part, Viewers.modules))
        if not os.access(Viewers.chromium, os.X_OK):
            skip("Chromium is not installed (Debian: apt-get install chromium; or set IPCLAB_CHROMIUM)")
    program = unittest.main(argv=[sys.argv[0]] + sys.argv[2:], defaultTest=cases[group].__name__, exit=False)
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
