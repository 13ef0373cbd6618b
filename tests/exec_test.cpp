// launchcount and launchfault: what survives an exec on each kind of
// standard output, and how a failed exec is reported.
#include "report.hpp"
#include "run.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <sys/mount.h>
#include <unistd.h>

namespace ipclab {
namespace {

Result run_in_test_dir(std::vector<std::string> argv, Output output)
{
    Options options;
    options.argv = std::move(argv);
    options.output = output;
    return run(options);
}

void copy_source_to_test_dir()
{
    write_file(test_dir() + "/launchcount.cpp", read_file(source_dir() + "/launchcount.cpp"));
}

constexpr const char* first_line = "I will never be printed!\n";

TEST(Launchcount, FirstLineSurvivesOnlyOnATerminal)
{
    copy_source_to_test_dir();
    for (const Output output : all_outputs) {
        const Result wc = run_in_test_dir({"/usr/bin/wc", "launchcount.cpp"}, output);
        ASSERT_EQ(wc.status, 0) << wc.describe();
        ASSERT_NE(wc.out.find(" launchcount.cpp\n"), std::string::npos) << wc.describe();

        const Result r = run_in_test_dir({program("launchcount")}, output);
        const std::string expected = std::string(output == Output::terminal ? first_line : "") + wc.out;
        SCOPED_TRACE(name_of(output));
        expect_result(r, expected);
    }
}

// wc itself complains about the missing file, with its own status.
TEST(Launchcount, MissingSourceFileIsReportedByTheWordCounter)
{
    for (const Output output : all_outputs) {
        const Result wc = run_in_test_dir({"/usr/bin/wc", "launchcount.cpp"}, output);
        ASSERT_NE(wc.status, 0) << wc.describe();
        ASSERT_NE(wc.err.find("launchcount.cpp"), std::string::npos) << wc.describe();

        const Result r = run_in_test_dir({program("launchcount")}, output);
        const std::string expected = std::string(output == Output::terminal ? first_line : "") + wc.out;
        SCOPED_TRACE(name_of(output));
        expect_result(r, expected, wc.err, wc.status);
    }
}

// Runs launchcount in a private mount namespace where `cover` is bound over
// `target`, so that /usr/bin/wc is missing or cannot be executed.
Result run_with_wc_covered(const std::string& cover, const std::string& target, Output output)
{
    Options options;
    options.argv = {program("launchcount")};
    options.output = output;
    options.before_exec = [cover, target] {
        // Private first: the bind mount must not propagate to the machine.
        if (!unshare_as_owner(CLONE_NEWNS) ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(cover.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
            _exit(125);
    };
    return run(options);
}

// A failed exec returns: the first line is written out at exit on every
// output, followed by the same text without a newline.
TEST(Launchcount, WordCounterThatCannotRunIsReported)
{
    copy_source_to_test_dir();
    const std::string empty_dir = test_dir() + "/empty";
    std::filesystem::create_directory(empty_dir);
    const std::string not_executable = test_dir() + "/not-executable";
    write_file(not_executable, "#!/bin/sh\n", 0644);
    const std::string both = std::string(first_line) + "I will never be printed!";

    for (const Output output : all_outputs) {
        const Result missing = run_with_wc_covered(empty_dir, "/usr/bin", output);
        SCOPED_TRACE(name_of(output));
        expect_report(missing, "launchcount", "launchcount: execv(/usr/bin/wc): No such file or directory\n",
                      "execv", 127, both);

        const Result denied = run_with_wc_covered(not_executable, "/usr/bin/wc", output);
        expect_report(denied, "launchcount", "launchcount: execv(/usr/bin/wc): Permission denied\n", "execv",
                      126, both);
    }
}

TEST(Launchfault, MissingWcGivesThreeLinesOnEveryOutput)
{
    for (const Output output : all_outputs) {
        const Result r = run_in_test_dir({program("launchfault")}, output);
        SCOPED_TRACE(name_of(output));
        expect_result(r, "Status of executing process: -1 \n"
                         "The is no such file as wc\n"
                         "I will be printed, because exec will fail.\n");
    }
}

// A wc in the working directory replaces launchfault: only its output, with
// the argument list launchfault built, and its status.
TEST(Launchfault, ExecutableWcReplacesTheProgram)
{
    write_file(test_dir() + "/wc", "#!/bin/sh\nprintf '[%s]' \"$@\"\necho\nexit 7\n", 0755);
    for (const Output output : all_outputs) {
        const Result r = run_in_test_dir({program("launchfault")}, output);
        SCOPED_TRACE(name_of(output));
        expect_result(r, "[launchcount.cpp]\n", "", 7);
    }
}

// EACCES is not ENOENT: no not-found line.
TEST(Launchfault, NonExecutableWcGivesStatusAndClosingLinesOnly)
{
    write_file(test_dir() + "/wc", "#!/bin/sh\necho should not run\n", 0644);
    for (const Output output : all_outputs) {
        const Result r = run_in_test_dir({program("launchfault")}, output);
        SCOPED_TRACE(name_of(output));
        expect_result(r, "Status of executing process: -1 \n"
                         "I will be printed, because exec will fail.\n");
    }
}

// What a parent may hand down through exec: every signal blocked; SIGUSR1,
// SIGUSR2, SIGCHLD and SIGPIPE ignored; standard input or error closed;
// stray descriptors open. Each program sets up what it relies on itself and
// behaves as usual.
TEST(InheritedState, EveryProgramBehavesAsUsual)
{
    struct State {
        const char* name;
        void (*set)();
    };
    const State states[] = {
        {"every signal blocked",
         [] {
             sigset_t all;
             sigfillset(&all);
             sigprocmask(SIG_SETMASK, &all, nullptr);
         }},
        {"signals ignored",
         [] {
             for (const int sig : {SIGUSR1, SIGUSR2, SIGCHLD, SIGPIPE})
                 signal(sig, SIG_IGN);
         }},
        {"standard input closed", [] { close(STDIN_FILENO); }},
        {"standard error closed", [] { close(STDERR_FILENO); }},
        {"stray descriptors",
         [] {
             (void)!open("/dev/null", O_RDONLY);
             (void)!dup2(STDOUT_FILENO, 9);
         }},
    };
    const std::string child = "Child process has variable a = aaadef\n";
    const std::string parent = "Parent process has variable a = abcbbb\n";
    const std::pair<const char*, std::set<std::string>> programs[] = {
        {"copysplit", {child + parent, parent + child}},
        {"greetordered", {"Hello, World!\n"}},
        {"greetloose", {"Hello, World!\n", "World!\nHello, "}},
        {"nudgegreet", {"Hello, World!\n"}},
        {"segduet", {"Child append Hello\nParent reads Hello\nParent append HelloWorld!\n\n"}},
        {"launchfault",
         {"Status of executing process: -1 \nThe is no such file as wc\nI will be printed, because exec will "
          "fail.\n"}},
        {"parleyhand", {"User2: "}},  // quits on "q" or at end of input
    };
    for (const State& state : states) {
        for (const auto& [name, outputs] : programs) {
            const IpcNamespace ns;
            Options options;
            options.argv = {program(name)};
            options.ipc = &ns;
            options.pid_namespace = true;
            options.input = "q\n";
            options.before_exec = state.set;
            const Result r = run(options);
            EXPECT_TRUE(outputs.contains(r.out) && r.err.empty() && r.status == 0)
                << name << " with " << state.name << ": " << r.describe();
        }
    }
}

}  // namespace
}  // namespace ipclab
