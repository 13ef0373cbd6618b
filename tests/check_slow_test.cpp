// tools/check and the fork-shaking library: the checks pass on our build and
// name the right check on versions broken the way learners break them;
// shaking makes segrace's late child common, and a seed repeats a series of
// runs' choices.
#include "run.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sys/stat.h>
#include <sys/shm.h>
#include <unistd.h>

namespace ipclab {
namespace {

constexpr const char* shake_library = IPCLAB_BINARY_DIR "/tools/libshake.so";

// A tool of ours, run from the top directory against the build under test.
Options tool(std::vector<std::string> argv, std::vector<std::string> env = {})
{
    Options options;
    options.argv = std::move(argv);
    options.argv[0] = source_dir() + "/" + options.argv[0];
    options.cwd = source_dir();
    options.env = std::move(env);
    options.env.push_back("IPCLAB_BUILD_DIR=" IPCLAB_BINARY_DIR);
    options.env.push_back("IPCLAB_PROGRAMS_DIR");  // tools/check sets it for the tests it runs
    options.env.push_back("TMPDIR=" + test_dir());
    options.timeout = 200s;
    chmod(test_dir().c_str(), 0711);  // run as root, the sandbox runs as nobody and reads its copy here
    return options;
}

// Builds our source of `name` into `dir` with each change (a regular
// expression and its replacement), as a learner might have written it.
void build_variant(const std::string& dir, const std::string& name,
                   const std::vector<std::pair<std::string, std::string>>& changes,
                   const std::vector<std::string>& flags = {})
{
    std::string source = read_file(source_dir() + "/" + name + ".cpp");
    for (const auto& [from, to] : changes) {
        const std::string changed = std::regex_replace(source, std::regex(from), to);
        ASSERT_NE(changed, source) << name << ": " << from << " no longer matches the source";
        source = changed;
    }
    const std::string copy = test_dir() + "/" + name + ".cpp";
    write_file(copy, source);
    Options options;
    options.argv = {"/usr/bin/g++", "-std=c++20", "-O1", "-o", dir + "/" + name, copy};
    options.argv.insert(options.argv.end(), flags.begin(), flags.end());
    options.timeout = 120s;
    const Result r = run(options);
    ASSERT_EQ(r.status, 0) << r.describe();
}

TEST(Check, EveryCheckPassesOnOurBuild)
{
    const Result r = run(tool({"tools/check", "greetordered", "segduet", "launchcount"}));
    EXPECT_EQ(r.status, 0) << r.describe();
    EXPECT_EQ(r.out.find("FAIL"), std::string::npos) << r.out;
    EXPECT_TRUE(std::regex_search(
        r.out,
        std::regex(
            "\n  in all +([1-9][0-9]*) of +\\1 checks passed(, [0-9]+ skipped \\(could not run here\\))?\n")))
        << r.out;
    EXPECT_NE(r.out.find("\n  OK    robustness Fork failure: is reported on standard error with status one."),
              std::string::npos)
        << r.out;
    // A check that cannot run here (the sandbox never runs as root) is
    // shown apart from the score, and fails nothing.
    const Result skip = run(tool({"tools/check", "--checks", "*detaching*", "parleyhand"}));
    EXPECT_EQ(skip.status, 0) << skip.describe();
    EXPECT_NE(skip.out.find("\n  SKIP  "), std::string::npos) << skip.out;
    EXPECT_NE(skip.out.find("\n  in all          0 of   0 checks passed, 1 skipped"), std::string::npos)
        << skip.out;
}

// One run over four broken programs and a missing one: each FAIL names the
// check that catches the fault, and the missing program fails its checks.
TEST(Check, NamesTheFailingCheckOfEachBrokenVersion)
{
    if (access("/usr/bin/g++", X_OK) != 0)
        GTEST_SKIP() << "needs /usr/bin/g++ to build the broken versions";
    const std::string dir = test_dir() + "/learner";
    std::filesystem::create_directory(dir);
    build_variant(dir, "greetordered", {{R"(\bwait\(nullptr\))", "0"}});
    // The naive way: nothing blocked, and pause() in place of sigsuspend().
    build_variant(dir, "nudgegreet",
                  {{R"(\bSIG_BLOCK\b)", "SIG_UNBLOCK"}, {R"(sigsuspend\(&\w+\))", "pause()"}});
    build_variant(dir, "segduet", {{R"(shmctl\(\w+, IPC_RMID, nullptr\))", "0"}});
    build_variant(dir, "launchcount", {{R"(execv\(wc_path, )", "fflush(stdout), execv(wc_path, "}});
    const std::string json = test_dir() + "/results.json";

    // Without its removal, segduet makes one check wait on every run for a
    // removal that never comes (over a minute in all): that one is left out.
    const Result r = run(tool({"tools/check", "--programs", dir, "--json", json, "--checks",
                               "!*Reader never meets an unterminated text*", "greetordered", "nudgegreet",
                               "segduet", "launchcount", "greetloose"}));
    EXPECT_EQ(r.status, 1) << r.describe();
    for (const char* failed : {"FAIL  trace      Greeting is in order on every output.",
                               "FAIL  trace      Early signal is neither fatal nor lost on one cpu.",
                               "FAIL  trace      Exact trace on every output and no segment left.",
                               "FAIL  trace      First line survives only on a terminal.",
                               "missing          | Hello, World!⏎\n", "unexpected       | World!⏎\n"})
        EXPECT_NE(r.out.find(failed), std::string::npos) << failed << " in:\n" << r.out;
    EXPECT_NE(r.out.find(" checks)\n  missing: there is no " + dir + "/greetloose\n"), std::string::npos)
        << r.out;
    EXPECT_NE(read_file(json).find(
                  R"("check":"Greeting is in order on every output","kind":"trace","result":"FAIL")"),
              std::string::npos);
    // The totals: the first "passed" and "checks", as the score says them.
    std::smatch totals;
    const std::string results = read_file(json);
    ASSERT_TRUE(std::regex_search(results, totals, std::regex(R"("passed":([0-9]+),"checks":([0-9]+))")));
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\n  in all +" + totals[1].str() + " of +" +
                                                    totals[2].str() + " checks passed")) &&
                std::stoi(totals[1]) < std::stoi(totals[2]))
        << results;
}

// Learner versions, made from our sources: wrong ones that luck, a sleep or
// the wrong process would let pass, and right ones worded their own way.
// Each gets its verdict from the check that judges the lesson.
struct Learner {
    const char* what;
    const char* program;
    std::vector<std::pair<std::string, std::string>> changes;  // regular expression, replacement
    const char* checks;
    const char* verdict;  // a line of the report
};

const std::vector<Learner>& learners()
{
    static const std::vector<Learner> table = {
        {"orders by a sleep",
         "greetordered",
         {{R"(\(void\)wait\(nullptr\);)", "usleep(50000);"}},
         "Held.*",
         "  FAIL  trace      Held: each process writes its own part in the order the lesson fixes."},
        {"greets from the parent alone",
         "greetordered",
         {{R"(fputs\("Hello, ", stdout\);)", ""},
          {R"(fputs\("World!\\n", stdout\);)", R"(fputs("Hello, World!\n", stdout);)"}},
         "Held.*",
         "  FAIL  trace      Held: each process writes its own part in the order the lesson fixes."},
        {"prints both lines from the parent",
         "copysplit",
         {{R"(fputs\("Child process has variable a = ", stdout\);\n(.*\n){4})", "\n"},
          {R"(fputs\("Parent process)",
           R"(fputs("Child process has variable a = aaadef\n", stdout); fputs("Parent process)"}},
         "Held.*",
         "  FAIL  trace      Held: each process writes its own part in the order the lesson fixes."},
        {"waits, so that nothing races",
         "greetloose",
         {{R"(fputs\("World!)", R"((void)wait(nullptr); fputs("World!)"},
          {"#include <unistd.h>", "#include <sys/wait.h>\n#include <unistd.h>"}},
         "Held.*",
         "  FAIL  trace      Held: each process writes its own part in the order the lesson fixes."},
        {"child never checks its writes",
         "greetordered",
         {{R"(fputs\("Hello, ", stdout\);\n\s*return close_output\(\);)",
           R"(fputs("Hello, ", stdout); return 0;)"}},
         "WriteError.*",
         "  FAIL  robustness Write error: is reported by every process with status one."},
        {"child appends without emptying",
         "segrace",
         {{R"(std::atomic_ref\(text\[0\]\)\.store\('\\0'\);)", ""}},
         "*EarlierText*",
         "  FAIL  trace      Earlier text shows in parent reads."},
        {"reports in its own words",
         "greetordered",
         {{R"(perror\("fork\(\) failed"\))", R"(perror("Fork failed"))"},
          {"greetordered: write error", "Write error"}},
         "*",
         "  greetordered: 4 of 4 checks passed"},
        {"lists through execlp",
         "fetchlist",
         {{R"(execvp\(ls, ls_argv\))", R"(execlp(ls, "ls", "-l", (char*)nullptr))"},
          {"fetchlist: execvp", "fetchlist: Execlp"}},
         "*Non executable*",
         "  fetchlist: 1 of 1 checks passed"},
    };
    return table;
}

TEST(Check, JudgesTheLessonNotTheWording)
{
    if (sanitized_build())
        GTEST_SKIP() << "the checks that hold a side back need a build without sanitizers";
    if (access("/usr/bin/g++", X_OK) != 0 || access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "needs /usr/bin/g++ and /usr/bin/strace";
    for (const Learner& l : learners()) {
        SCOPED_TRACE(std::string(l.program) + " that " + l.what);
        const std::string dir = test_dir() + "/learner";
        std::filesystem::remove_all(dir);
        std::filesystem::create_directory(dir);
        build_variant(dir, l.program, l.changes, {"-I", source_dir() + "/peers"});
        const Result r = run(tool({"tools/check", "--programs", dir, "--checks", l.checks, l.program}));
        EXPECT_NE(r.out.find(std::string("\n") + l.verdict + (l.verdict[2] == 'F' ? "" : "\n")),
                  std::string::npos)
            << r.out;
    }
}

// Learner programs that attack the checker instead of greeting. Each is
// checked as greetordered, through tools/check in a PID namespace of its
// own (the run ends only once nothing of it is left), and must get a FAIL,
// within its bound (stated for the default build), with a report that
// carries no raw control byte and nothing that is not UTF-8, and leave our
// build as it was.
struct Hostile {
    const char* what;
    const char* main_body;  // C, with <signal.h>, <stdio.h>, <stdlib.h>, <string.h>, <sys/wait.h>, <unistd.h>
    std::chrono::seconds bound;
};

const std::vector<Hostile>& hostile_programs()
{
    static const std::vector<Hostile> table = {
        {"forges the verdicts",
         R"C(puts("[       OK ] Greetordered.GreetingIsInOrderOnEveryOutput (1 ms)");
        const char* pass = "<?xml version=\"1.0\"?><testsuites><testsuite name=\"Greetordered\"><testcase "
            "name=\"GreetingIsInOrderOnEveryOutput\" status=\"run\" result=\"completed\" "
            "classname=\"Greetordered\"/></testsuite></testsuites>";
        for (int fd = 3; fd < 64; ++fd) { char p[64]; snprintf(p, sizeof p, "/proc/%d/fd/%d", getppid(), fd);
            FILE* f = fopen(p, "w"); if (f) { fputs(pass, f); fclose(f); } }
        kill(getppid(), SIGKILL);)C",
         60s},
        {"learns it is checked",
         R"C(if (getenv("IPCLAB_CHECKED_PROGRAM") || getenv("IPCLAB_PROGRAMS_DIR")) {
            if (fork() == 0) { printf("Hello, "); return 0; } wait(NULL); printf("World!\n"); })C",
         60s},
        {"runs our build", R"C(execl(IPCLAB_BINARY_DIR "/greetordered", "greetordered", (char*)0);)C", 60s},
        {"replaces the test executables",
         R"C(const char* names[] = {"fork_test", "segment_test", "exec_test"};
        for (int i = 0; i < 3; ++i) { char p[4096]; snprintf(p, sizeof p, "%s/tests/%s", IPCLAB_BINARY_DIR, names[i]);
            FILE* f = fopen(p, "w"); if (f) { fputs("#!/bin/sh\nexit 0\n", f); fclose(f); } })C",
         60s},
        {"never ends", "for (;;) pause();", 150s},
        {"stops its parent", "kill(getppid(), SIGSTOP); kill(-1, SIGSTOP); pause();", 150s},
        {"floods its output",
         R"C(static char block[65536]; memset(block, 'x', sizeof block);
        for (int i = 0; i < 64; ++i) fwrite(block, 1, sizeof block, stdout);)C",
         120s},
        {"forks without limit", "for (;;) fork();", 150s},
        {"leaves processes behind",
         "if (fork() == 0) { setsid(); if (fork() == 0) { close(1); close(2); for (;;) pause(); } }", 60s},
        {"writes escapes and bytes that are not UTF-8",
         R"C(fputs("\033]0;owned\007\033[2J\033[32mOK\r\377\376\n", stdout); fputs("\033[31m\377\n", stderr);)C",
         60s},
    };
    return table;
}

TEST(Check, ContainsBoundsAndHonestlyFailsHostilePrograms)
{
    if (access("/usr/bin/cc", X_OK) != 0 || access("/usr/bin/bwrap", X_OK) != 0)
        GTEST_SKIP() << "needs /usr/bin/cc and /usr/bin/bwrap";
    const std::string ours = read_file(IPCLAB_BINARY_DIR "/tests/fork_test");
    for (const Hostile& h : hostile_programs()) {
        SCOPED_TRACE(h.what);
        const std::string dir = test_dir() + "/learner";
        std::filesystem::remove_all(dir);
        std::filesystem::create_directory(dir);
        write_file(dir + "/greetordered.c",
                   std::string("#include <signal.h>\n#include <stdio.h>\n#include <stdlib.h>\n#include "
                               "<string.h>\n#include <sys/wait.h>\n#include <unistd.h>\nint main(void) {\n") +
                       h.main_body + "\nreturn 0;\n}\n");
        Options cc;
        const std::string where = std::string("-DIPCLAB_BINARY_DIR=\"") + IPCLAB_BINARY_DIR + "\"";
        cc.argv = {"/usr/bin/cc", where, "-o", dir + "/greetordered", dir + "/greetordered.c"};
        ASSERT_EQ(run(cc).status, 0);
        Options check = tool({"tools/check", "--programs", dir, "--json", test_dir() + "/r.json", "--checks",
                              "*Greeting is in order*", "greetordered"});
        check.pid_namespace = true;
        const auto started = std::chrono::steady_clock::now();
        const Result r = run(check);
        EXPECT_LT(std::chrono::steady_clock::now() - started, hang_bound(h.bound));
        EXPECT_EQ(r.status, 1) << r.describe();
        EXPECT_NE(r.out.find("\n  FAIL  trace      Greeting is in order on every output."), std::string::npos)
            << r.out;
        EXPECT_LT(r.out.size(), 200000U);
        const std::string json = read_file(test_dir() + "/r.json");
        for (const std::string& shown : {r.out, json})
            EXPECT_EQ(shown.find_first_of("\033\377\376\007\r"), std::string::npos) << shown;
        EXPECT_NE(json.find(R"("result":"FAIL")"), std::string::npos) << json;
        EXPECT_EQ(read_file(IPCLAB_BINARY_DIR "/tests/fork_test"), ours);
        for (const auto& left : std::filesystem::directory_iterator(test_dir()))
            EXPECT_FALSE(left.path().filename().string().starts_with("ipclab-check.")) << left.path();
    }
}

// INT, TERM or HUP to tools/check alone, while a check that takes fifty
// seconds runs: at once, it ends every sandbox it started (the run in its
// PID namespace ends only when nothing is left) and removes its scratch copy.
TEST(Check, EndsEverythingItStartedWhenInterrupted)
{
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        Options options = tool({"tools/check", "--checks", "*fifty lines*", "pagewatch"});
        options.output = Output::terminal;
        options.pid_namespace = true;
        options.timeout = 90s;
        Process check(options);
        ASSERT_TRUE(check.wait_for(" running", 30s)) << check.out();
        const auto signalled = std::chrono::steady_clock::now();
        ::kill(check.host_pid(), sig);
        const Result r = check.finish();
        EXPECT_LT(std::chrono::steady_clock::now() - signalled, hang_bound(25s))
            << "the check was waited out";
        EXPECT_EQ(r.status, 128 + sig) << r.describe();
        EXPECT_NE(r.err.find("every check it started was ended"), std::string::npos) << r.err;
        for (const auto& left : std::filesystem::directory_iterator(test_dir()))
            EXPECT_FALSE(left.path().filename().string().starts_with("ipclab-check.")) << left.path();
    }
}

// No library can be preloaded into a static program: its checks are not
// run as if it had been shaken.
TEST(Check, SaysWhenAProgramCannotBeShaken)
{
    if (access("/usr/bin/g++", X_OK) != 0)
        GTEST_SKIP() << "needs /usr/bin/g++ to build a static version";
    const std::string dir = test_dir() + "/learner";
    std::filesystem::create_directory(dir);
    build_variant(dir, "greetloose", {}, {"-static"});
    const Result r = run(tool({"tools/check", "--shake", "--programs", dir, "greetloose"}));
    EXPECT_EQ(r.status, 1) << r.describe();
    EXPECT_NE(r.out.find("  cannot be shaken: it is statically linked, so no library can be preloaded into "
                         "it; its checks were not run\n"),
              std::string::npos)
        << r.out;
}

// The runs in which segrace's child got the segment only after the parent
// had removed it: it made a fresh one, which outlives the run.
int late_children(const IpcNamespace& ns, int runs, const std::vector<std::string>& env)
{
    int late = 0;
    for (int i = 0; i < runs; ++i) {
        Options options;
        options.argv = {program("segrace")};
        options.ipc = &ns;
        options.env = env;
        const Result r = run(options);
        EXPECT_TRUE(r.status == 0 && r.err.empty()) << r.describe();
        late += ns.run([] {
            const int id = shmget(2009, 0, 0);
            _exit(id == -1 || shmctl(id, IPC_RMID, nullptr) == -1 ? 1 : 0);
        }) == 0;
    }
    return late;
}

// Held until the parent has ended, segrace's child is late in every run;
// held the other way, never. Nothing is left to the scheduler, so a loaded
// machine gives the same counts. (The bound on a hold is set far above
// any run's length: only the other side's end releases the held one.)
// segrace's child is late even unheld; a greetordered whose parent sleeps
// where both would wait has a child that comes first unless it is held.
TEST(Shake, HoldsTheChosenSideUntilTheOtherHasEnded)
{
    if (sanitized_build())
        GTEST_SKIP() << "the sanitizer runtime must come first; a preloaded library cannot";
    const IpcNamespace ns;
    constexpr int runs = 10;
    for (const auto& [side, late] : {std::pair{"child", runs}, std::pair{"parent", 0}}) {
        EXPECT_EQ(late_children(ns, runs,
                                {std::string("LD_PRELOAD=") + shake_library,
                                 std::string("IPCLAB_SHAKE_HOLD=") + side, "IPCLAB_SHAKE_MAX_MS=60000"}),
                  late)
            << "late children in " << runs << " runs with the " << side << " held";
    }
    if (access("/usr/bin/g++", X_OK) != 0)
        return;
    build_variant(test_dir(), "greetordered",
                  {{R"(\(void\)wait\(nullptr\);)", "if (pid != 0) usleep(300000);"}});
    for (const auto& [side, out] :
         {std::pair{"child", "World!\nHello, "}, std::pair{"parent", "Hello, World!\n"}}) {
        Options options;
        options.argv = {test_dir() + "/greetordered"};
        options.env = {std::string("LD_PRELOAD=") + shake_library, std::string("IPCLAB_SHAKE_HOLD=") + side,
                       "IPCLAB_SHAKE_MAX_MS=60000"};
        EXPECT_EQ(run(options).out, out) << "the sleeping greetordered with its " << side << " held";
    }
}

// tools/outcomes --shake prints its seed; given back, it repeats every
// choice of the series; another seed makes other choices.
TEST(Shake, SeedGivenBackRepeatsTheChoices)
{
    if (sanitized_build())
        GTEST_SKIP() << "the sanitizer runtime must come first; a preloaded library cannot";
    const IpcNamespace ns;
    const auto series = [&](std::vector<std::string> options, const std::string& log) {
        options.insert(options.begin(), "tools/outcomes");
        options.insert(options.end(), {"segrace", "20"});
        Options o = tool(options, {"IPCLAB_SHAKE_LOG=" + log});
        o.ipc = &ns;
        const Result r = run(o);
        EXPECT_EQ(r.status, 0) << r.describe();
        return r.out;
    };
    const std::string first = series({"--shake"}, test_dir() + "/first");
    std::smatch seed;
    ASSERT_TRUE(std::regex_search(first, seed, std::regex("with seed ([0-9]+): tools/outcomes --seed \\1 ")))
        << first;
    series({"--seed", seed[1]}, test_dir() + "/again");
    series({"--seed", seed[1].str() + "1"}, test_dir() + "/other");
    const std::string choices = read_file(test_dir() + "/first");
    EXPECT_EQ(std::count(choices.begin(), choices.end(), '\n'), 20) << choices;
    EXPECT_EQ(read_file(test_dir() + "/again"), choices);
    EXPECT_NE(read_file(test_dir() + "/other"), choices);
}

}  // namespace
}  // namespace ipclab
