// copysplit, greetordered, greetloose and nudgegreet: exact traces on every
// kind of standard output, the report of a failed fork and of a failed
// write, and nudgegreet's child when its parent is gone.
#include "report.hpp"
#include "run.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <unistd.h>

namespace ipclab {
namespace {

Result run_program(std::string_view name, Output output)
{
    Options options;
    options.argv = {program(name)};
    options.output = output;
    // nudgegreet signals the id fork gave it: in a namespace of its own, a
    // broken build can signal nothing else.
    options.pid_namespace = name == "nudgegreet";
    return run(options);
}

// Runs a program `times` times on each kind of output and checks that every
// output is one of `allowed` and that it ended with status 0 and nothing on
// standard error. Returns the outputs seen.
std::set<std::string> outcomes(std::string_view name, const std::set<std::string>& allowed, int times)
{
    std::set<std::string> seen;
    for (const Output output : all_outputs) {
        for (int i = 0; i < times; ++i) {
            const Result r = run_program(name, output);
            EXPECT_TRUE(allowed.contains(r.out) && r.status == 0 && r.err.empty())
                << name << " on a " << name_of(output) << ": " << r.describe() << expected_stdout(allowed);
            seen.insert(r.out);
        }
    }
    return seen;
}

TEST(Copysplit, EachProcessShowsOnlyItsOwnChange)
{
    const std::string child = "Child process has variable a = aaadef\n";
    const std::string parent = "Parent process has variable a = abcbbb\n";
    outcomes("copysplit", {child + parent, parent + child}, 20);
}

TEST(Greetordered, GreetingIsInOrderOnEveryOutput)
{
    const auto seen = outcomes("greetordered", {"Hello, World!\n"}, 30);
    EXPECT_EQ(seen.size(), 1U) << "the runs gave " << seen.size()
                               << " different outputs: the greeting must come in order every time";
}

TEST(Greetloose, EitherHalfMayComeFirst)
{
    outcomes("greetloose", {"Hello, World!\n", "World!\nHello, "}, 30);
}

TEST(Nudgegreet, GreetingIsInOrderOnEveryOutput) { outcomes("nudgegreet", {"Hello, World!\n"}, 30); }

// Which process wrote which bytes to a descriptor, from strace's record
// (-xx: every byte as \xNN): the forking process is "parent", the process
// its fork made "child", any other "other". A call that strace split
// around another process's ("<unfinished ...>", "<... clone resumed>")
// gives its result on the second line.
struct Writes {
    std::map<std::string, std::string> by;  // "parent 1", "child 2": the bytes, in order
    bool forked = false;
};

// strace, recording every fork and write into test_dir()/writes for
// writes_in(); the program and its arguments follow.
std::vector<std::string> recording_writes()
{
    return {"/usr/bin/strace",
            "-f",
            "-qq",
            "-e",
            "trace=write,clone,clone3,fork,vfork",
            "-e",
            "signal=none",
            "-xx",
            "-s",
            "4096",
            "-o",
            test_dir() + "/writes"};
}

Writes writes_in(const std::string& log)
{
    Writes w;
    std::string parent;
    std::string child;
    std::istringstream lines(log);
    // Enough for any of our programs; a program that forks without end
    // leaves a record too long to be worth reading.
    std::vector<std::string> record;
    for (std::string line; record.size() < 10000 && std::getline(lines, line);)
        record.push_back(line);
    // The fork first: on a loaded machine the child may write, and end,
    // before strace sees its parent's fork return.
    const std::regex fork_call(
        R"(^(\d+) +(?:(?:clone3?|v?fork)\(|<\.\.\. (?:clone3?|v?fork) resumed>).*= (\d+)$)");
    const std::regex write_call(R"(^(\d+) +write\((\d+), \"((?:\\x[0-9a-f]{2})*)\")");
    const std::regex write_resumed(R"(^(\d+) +<\.\.\. write resumed>)");
    const std::regex restarted(R"(= \? ERESTART)");
    std::smatch m;
    for (const std::string& line : record) {
        if (std::regex_search(line, m, fork_call)) {
            parent = m[1];
            child = m[2];
            w.forked = true;
            break;
        }
    }
    // A write that a signal cut short before it wrote anything ("= ?
    // ERESTARTSYS": under ptrace even an ignored SIGCHLD does this to a
    // terminal write) is made again by the kernel: it counts once, when
    // its result is known. A failed write (a full disk) still counts.
    std::map<std::string, std::pair<std::string, std::string>> unfinished;  // by process: where, what
    for (const std::string& line : record) {
        if (std::regex_search(line, m, write_call)) {
            const std::string who = m[1] == parent ? "parent" : m[1] == child ? "child" : "other";
            std::pair<std::string, std::string> write{who + " " + m[2].str(), ""};
            const std::string hex = m[3];
            for (std::size_t at = 0; at + 4 <= hex.size(); at += 4)
                write.second += static_cast<char>(std::stoi(hex.substr(at + 2, 2), nullptr, 16));
            if (line.ends_with("<unfinished ...>"))
                unfinished[m[1]] = write;
            else if (!std::regex_search(line, restarted))
                w.by[write.first] += write.second;
        } else if (std::regex_search(line, m, write_resumed) && unfinished.contains(m[1])) {
            if (!std::regex_search(line, restarted))
                w.by[unfinished[m[1]].first] += unfinished[m[1]].second;
            unfinished.erase(m[1]);
        }
    }
    return w;
}

// Each side of the fork held back in turn (the fork shaker's
// IPCLAB_SHAKE_HOLD) until the other has ended or waits: an order the
// program fixes holds both ways, an order left to the scheduler comes out
// each way once. And each half comes from the process the lesson names.
TEST(Held, EachProcessWritesItsOwnPartInTheOrderTheLessonFixes)
{
    if (sanitized_build() || access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP()
            << "needs /usr/bin/strace, and a build without sanitizers (their runtime must come first)";
    struct Case {
        const char* name;
        std::string child_part;
        std::string parent_part;
        bool fixed;  // the order is the lesson's; else the scheduler's
    };
    const Case cases[] = {
        {"copysplit", "Child process has variable a = aaadef\n", "Parent process has variable a = abcbbb\n",
         false},
        {"greetordered", "Hello, ", "World!\n", true},
        {"greetloose", "Hello, ", "World!\n", false},
        {"nudgegreet", "World!\n", "Hello, ", true},
    };
    for (const Case& c : cases) {
        if (!checked(c.name))
            continue;
        const std::string in_order =
            c.fixed && c.name[0] == 'n' ? c.parent_part + c.child_part : c.child_part + c.parent_part;
        for (const std::string held : {"child", "parent"}) {
            const std::string first_free =
                held == "child" ? c.parent_part + c.child_part : c.child_part + c.parent_part;
            for (const Output output : all_outputs) {
                SCOPED_TRACE(std::string(c.name) + " with its " + held + " held back, on a " +
                             name_of(output));
                Options options;
                options.argv = recording_writes();
                options.argv.insert(options.argv.end(),
                                    {"-E",
                                     std::string("LD_PRELOAD=") + IPCLAB_BINARY_DIR "/tools/libshake.so",
                                     "-E", "IPCLAB_SHAKE_HOLD=" + held, "-E",
                                     "IPCLAB_SHAKE_LOG=" + test_dir() + "/held", program(c.name)});
                options.output = output;
                options.pid_namespace = true;
                const Result r = run(options);
                const std::string expected = c.fixed ? in_order : first_free;
                EXPECT_TRUE(r.out == expected && r.status == 0 && r.err.empty())
                    << c.name << ": " << r.describe() << expected_stdout({expected});
                const Writes w = writes_in(read_file(test_dir() + "/writes"));
                EXPECT_TRUE(std::filesystem::exists(test_dir() + "/held"))
                    << c.name
                    << " could not be held back: the library that holds a process at its fork was not "
                       "loaded (is it statically linked?)";
                const auto part = [&w](const std::string& who) {
                    return w.by.contains(who) ? w.by.at(who) : std::string();
                };
                EXPECT_EQ(part("child 1") + "|" + part("parent 1") + part("other 1"),
                          c.child_part + "|" + c.parent_part)
                    << c.name << ": the child must write \"" << c.child_part << "\" and the parent \""
                    << c.parent_part << "\" on standard output, each its own part; they wrote: "
                    << ::testing::PrintToString(w.by);
                std::filesystem::remove(test_dir() + "/held");
            }
        }
    }
}

// The parent may signal before the child has installed its handler or has
// suspended; on one CPU that happens often. The child must neither die of
// the early signal nor sleep through it. Every fourth run comes from a
// shell that writes END once nudgegreet has ended: the parent ends only
// after its child, so END always comes after "World!". (Fewer runs under the
// sanitizers, whose start-up makes each run ten times slower.)
TEST(Nudgegreet, EarlySignalIsNeitherFatalNorLostOnOneCpu)
{
    const int runs = sanitized_build() ? 500 : 2000;
    // Every run joins one PID namespace, held by a sleeping process: cheaper
    // than a namespace for each of the runs.
    Options holder;
    holder.argv = {"/bin/sh", "-c", "echo up; exec sleep 600"};
    holder.pid_namespace = true;
    holder.timeout = 600s;
    Process namespace_holder(holder);
    ASSERT_TRUE(namespace_holder.wait_for("up\n"));
    for (int i = 0; i < runs; ++i) {
        const bool from_shell = i % 4 == 0;
        Options options;
        options.argv = {program("nudgegreet")};
        if (from_shell)
            options.argv = {"/bin/sh", "-c", program("nudgegreet") + "; echo END"};
        options.cpu = 0;
        options.timeout = 30s;  // only a failing run waits it out: room for a loaded CPU 0
        options.pid_namespace_of = &namespace_holder;
        const Result r = run(options);
        ASSERT_TRUE(r.out == (from_shell ? "Hello, World!\nEND\n" : "Hello, World!\n") && r.status == 0 &&
                    r.err.empty())
            << "run " << i << ": " << r.describe();
    }
}

// The child's process id, once `parent` has one (from /proc), or 0.
pid_t child_of(pid_t parent)
{
    std::ifstream children("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) +
                           "/children");
    pid_t child = 0;
    children >> child;
    return child;
}

// True once `pid` sleeps in sigsuspend: its mask then lets SIGUSR1 in.
bool lets_sigusr1_in(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("SigBlk:"))
            return (std::stoull(line.substr(7), nullptr, 16) & (1ULL << (SIGUSR1 - 1))) == 0;
    return false;
}

// Standard output on a pipe whose reader the test holds: full (so that the
// parent's flush blocks) or with the reader closed at once (so that the
// flush kills the parent with SIGPIPE, as in "nudgegreet | true").
struct Pipe {
    int read_fd = -1;
    int write_fd = -1;
};

Pipe stdout_pipe(bool full)
{
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    if (full) {
        const std::string block(4096, 'x');
        while (write(fds[1], block.data(), block.size()) > 0) {
        }
        EXPECT_EQ(fcntl(fds[1], F_SETFL, 0), 0);
        return {fds[0], fds[1]};
    }
    close(fds[0]);
    return {-1, fds[1]};
}

// Only the parent can wake the child: a parent that dies first must take
// the child with it. On one CPU the parent mostly dies at its flush before
// the child has even run; with a full pipe, closed once the child sleeps in
// sigsuspend, it dies while the child waits for it. A child left behind
// holds standard error open, and the run times out.
TEST(Nudgegreet, ChildEndsWhenItsParentDiesFirst)
{
    for (const bool child_asleep : {false, true}) {
        for (int i = 0; i < (child_asleep ? 5 : 100); ++i) {
            const Pipe out = stdout_pipe(child_asleep);
            Options options;
            options.argv = {program("nudgegreet")};
            options.cpu = child_asleep ? -1 : 0;
            options.timeout = 3s;
            options.before_exec = [fd = out.write_fd] {
                if (dup2(fd, STDOUT_FILENO) < 0)
                    _exit(125);
            };
            Process p(options);
            close(out.write_fd);
            if (child_asleep) {
                pid_t child = 0;
                for (int tries = 0; tries < 3000 && (child == 0 || !lets_sigusr1_in(child)); ++tries) {
                    child = child == 0 ? child_of(p.pid()) : child;
                    usleep(1000);
                }
                EXPECT_TRUE(child != 0 && lets_sigusr1_in(child)) << "the child never slept in sigsuspend";
                close(out.read_fd);
            }
            const Result r = p.finish();
            ASSERT_FALSE(r.timed_out)
                << (child_asleep ? "child asleep" : "on one CPU") << ": the child outlived its parent";
            ASSERT_EQ(r.signal, SIGPIPE) << r.describe();
            ASSERT_EQ(r.err, "");
        }
    }
}

TEST(ForkFailure, IsReportedOnStandardErrorWithStatusOne)
{
    for (const char* name : {"copysplit", "greetordered", "greetloose", "nudgegreet"}) {
        if (!checked(name))
            continue;
        for (const Output output : all_outputs) {
            Options options;
            options.argv = {program(name)};
            options.output = output;
            options.fail_process_creation = true;
            // A nudgegreet that went on after the failure would signal -1:
            // every process it may signal.
            options.pid_namespace = true;
            const Result r = run(options);
            SCOPED_TRACE(name_of(output));
            expect_report(r, name, "fork() failed: Resource temporarily unavailable\n", "fork");
        }
    }
}

// A full disk or a closed standard output is reported by every process
// that wrote, child and parent, and ends it with status 1; nothing is lost
// in silence. So is a terminal opened for reading only: there a line fails
// at its newline and leaves nothing for the final flush, and the report
// comes without a reason, the errno being long gone; a fragment without a
// newline fails at the final flush, with its reason.
TEST(WriteError, IsReportedByEveryProcessWithStatusOne)
{
    struct Case {
        const char* name;
        int processes;  // how many processes write
        int fragments;  // how many of them end without a newline; -1: the
                        // parent may end first, and the terminal's hangup
                        // then ends the child (no terminal for them)
    };
    const Case cases[] = {{"copysplit", 2, -1},
                          {"greetordered", 2, 1},
                          {"greetloose", 2, -1},
                          {"nudgegreet", 2, 1},
                          {"launchfault", 1, 0}};
    enum Mode { full, closed, read_only_terminal };
    for (const Mode mode : {full, closed, read_only_terminal}) {
        const std::string reason = mode == full ? "No space left on device" : "Bad file descriptor";
        for (const Case& c : cases) {
            if (!checked(c.name) || (mode == read_only_terminal && c.fragments < 0))
                continue;
            Options options;
            options.argv = {program(c.name)};
            options.output = mode == read_only_terminal ? Output::terminal : Output::pipe;
            options.before_exec = [mode] {
                const int other = mode == closed ? -1
                                  : mode == full ? open("/dev/full", O_WRONLY | O_CLOEXEC)
                                                 : open("/proc/self/fd/1", O_RDONLY | O_NOCTTY | O_CLOEXEC);
                if (mode == closed ? close(STDOUT_FILENO) != 0 : other < 0 || dup2(other, STDOUT_FILENO) < 0)
                    _exit(125);
            };
            std::string expected;
            for (int i = 0; i < c.processes; ++i) {
                const bool with_reason = mode != read_only_terminal || i < c.fragments;
                expected += std::string(c.name) + ": write error" + (with_reason ? ": " + reason : "") + "\n";
            }
            SCOPED_TRACE(mode == closed ? "closed" : mode == full ? "/dev/full" : "read-only terminal");
            // On a full disk, strace's record tells which process wrote:
            // each one that wrote its output reports its own failure.
            const bool traced = mode == full && access("/usr/bin/strace", X_OK) == 0;
            if (traced && sanitized_build())
                options.env.push_back(
                    "ASAN_OPTIONS=detect_leaks=0");  // LeakSanitizer cannot work under ptrace
            if (traced) {
                const std::vector<std::string> strace = recording_writes();
                options.argv.insert(options.argv.begin(), strace.begin(), strace.end());
            }
            expect_report(run(options), c.name, expected, "write");
            const Writes w = writes_in(traced ? read_file(test_dir() + "/writes") : "");
            for (const char* who : {"parent", "child"}) {
                const std::string out = std::string(who) + " 1";
                const std::string err = std::string(who) + " 2";
                EXPECT_TRUE(!w.by.contains(out) || (w.by.contains(err) && names(w.by.at(err), "write")))
                    << c.name << ": the " << who << " wrote " << ::testing::PrintToString(w.by.at(out))
                    << " to the full disk, and must report its own failure to write on standard error; it "
                       "wrote "
                    << ::testing::PrintToString(w.by.contains(err) ? w.by.at(err) : "") << " there";
            }
        }
    }
}

}  // namespace
}  // namespace ipclab
