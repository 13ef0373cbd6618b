// pagewatch's refusals and its growing of a short file, and the peer
// pagepoke: the byte it changes, and what it refuses. Failures of single
// calls are injected with strace, with the fifty one-second sleeps skipped.
#include "report.hpp"
#include "run.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <sched.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <utility>

namespace ipclab {
namespace {

constexpr std::string_view a_line = "a b c d e f \n";

std::string mapped_file() { return test_dir() + "/temp_mmap.txt"; }

std::string fifty_a_lines()
{
    std::string s;
    for (int i = 0; i < 50; ++i)
        s += a_line;
    return s;
}

Result run_program(std::vector<std::string> argv)
{
    Options options;
    options.argv = std::move(argv);
    return run(options);
}

TEST(Pagewatch, RefusesADirectoryOrAFifoInPlaceOfTheFile)
{
    ASSERT_EQ(mkdir(mapped_file().c_str(), 0700), 0);
    Result r = run_program({program("pagewatch")});
    expect_report(r, "pagewatch", "pagewatch: open(./temp_mmap.txt): Is a directory\n", "open");

    ASSERT_EQ(rmdir(mapped_file().c_str()), 0);
    ASSERT_EQ(mkfifo(mapped_file().c_str(), 0600), 0);
    r = run_program({program("pagewatch")});
    expect_report(r, "pagewatch", "pagewatch: mmap(./temp_mmap.txt): not a regular file\n", "mmap");
}

// The letters are in the file before the first line is printed: in a file
// of the test directory, and through a symlink to a file on tmpfs (where
// /tmp often lives).
TEST(Pagewatch, GrowsAShortFileToSixBytesThroughASymlinkToo)
{
    struct statfs fs = {};
    if (statfs("/dev/shm", &fs) != 0 || fs.f_type != 0x01021994)  // TMPFS_MAGIC
        GTEST_SKIP() << "needs /dev/shm on tmpfs";
    char on_tmpfs[] = "/dev/shm/ipclab-pagewatch.XXXXXX";
    const int fd = mkstemp(on_tmpfs);
    ASSERT_GE(fd, 0);
    close(fd);
    for (const std::string& target : {mapped_file(), std::string(on_tmpfs)}) {
        write_file(target, "xy");
        if (target != mapped_file()) {
            EXPECT_EQ(symlink(target.c_str(), mapped_file().c_str()), 0);
        }
        Options options;
        options.argv = {program("pagewatch")};
        options.output = Output::terminal;
        Process watcher(options);
        EXPECT_TRUE(watcher.wait_for(a_line)) << target << ": " << watcher.out() << watcher.err();
        EXPECT_EQ(read_file(target), "abcdef") << target;
        unlink(mapped_file().c_str());
    }
    unlink(on_tmpfs);
}

// ./temp_mmap.txt a symlink to /proc/sys/kernel/hostname: the file is a
// kernel interface, and nothing is written into it, not even a message
// when standard error was closed and the file took descriptor 2. Each run
// has a private UTS namespace with a host name of its own, so a broken
// build can only change that one; a shell in the namespace prints the host
// name after the run.
TEST(Pagewatch, NeverWritesIntoAKernelInterfaceFile)
{
    ASSERT_EQ(symlink("/proc/sys/kernel/hostname", mapped_file().c_str()), 0);
    for (const std::string name : {"pagewatch", "pagepoke"}) {
        if (!checked(name))
            continue;
        for (const bool stderr_closed : {false, true}) {
            Options options;
            options.argv = {"/bin/sh", "-c", "\"$0\"; status=$?; cat /proc/sys/kernel/hostname; exit $status",
                            program(name == "pagepoke" ? "peers/pagepoke" : name)};
            options.before_exec = [stderr_closed] {
                constexpr std::string_view host = "ipclab-uts";
                if (!unshare_as_owner(CLONE_NEWUTS) || sethostname(host.data(), host.size()) != 0)
                    _exit(125);
                if (stderr_closed)
                    close(STDERR_FILENO);
            };
            const Result r = run(options);
            const std::string message =
                name + ": mmap(./temp_mmap.txt): on proc, a kernel interface: refused\n";
            // Only root may open the file for writing; others meet EACCES first.
            const std::string denied = name + ": open(./temp_mmap.txt): Permission denied\n";
            EXPECT_EQ(r.out, "ipclab-uts\n")
                << name << ", stderr closed " << stderr_closed << ": " << r.describe();
            EXPECT_EQ(r.status, 1) << name << ": " << r.describe();
            if (stderr_closed)
                EXPECT_EQ(r.err, "") << name;
            else
                EXPECT_TRUE(ours(name == "pagepoke" ? "peers/pagepoke" : name)
                                ? r.err == message || (geteuid() != 0 && r.err == denied)
                                : names(r.err, "mmap") || names(r.err, "open"))
                    << name << ": a report naming the refused call (mmap or open) on standard error; "
                    << r.describe();
        }
    }
}

// strace, with pagewatch's one-second sleeps skipped (they return at once).
std::vector<std::string> strace_skipping_sleeps(std::vector<std::string> options)
{
    std::vector<std::string> argv = {"/usr/bin/strace", "-qq", "-e", "inject=clock_nanosleep:retval=0"};
    argv.insert(argv.end(), options.begin(), options.end());
    return argv;
}

// Which call of its kind, counted from the program's start as strace's
// when= counts, is the first one on ./temp_mmap.txt: a first traced run
// tells. Returns the system call's name (a class such as %fstat names
// several) and its number, or {call, 1} when the program makes no such call
// on the file.
std::pair<std::string, int> first_call_on_file(const std::string& call, Options options)
{
    const std::string trace = test_dir() + "/trace";
    std::vector<std::string> argv =
        strace_skipping_sleeps({"-y", "-o", trace, "-e", "trace=" + call + ",clock_nanosleep"});
    argv.insert(argv.end(), options.argv.begin(), options.argv.end());
    options.argv = argv;
    run(options);
    std::istringstream lines(read_file(trace));
    std::map<std::string, int> seen;
    for (std::string line; std::getline(lines, line);) {
        const std::string name = line.substr(0, line.find('('));
        const int count = ++seen[name];
        // munmap names no file: the unmapping of six bytes is the file's.
        if (line.find("temp_mmap.txt>") != std::string::npos ||
            (name == "munmap" && line.find(", 6)") != std::string::npos))
            return {name, count};
    }
    return {call, 1};
}

// One run in which a call on the file fails as the kernel could make it
// fail, or standard output is /dev/full.
struct Injection {
    std::string program;
    std::string call;  // made to fail on the file; empty: none
    std::string error;
    std::string before;  // the file's bytes before the run
    bool output_full;    // standard output on /dev/full
    std::string out;
    std::string err;
    int status;
    std::string after;
};

const std::vector<Injection>& injections()
{
    static const std::string fifty = fifty_a_lines();
    static const std::vector<Injection> rows = {
        {"pagewatch", "%fstat", "EIO", "123456", false, "",
         "pagewatch: fstat(./temp_mmap.txt): Input/output error\n", 1, "123456"},
        {"pagewatch", "%fstatfs", "ENOSYS", "123456", false, "",
         "pagewatch: fstatfs(./temp_mmap.txt): Function not implemented\n", 1, "123456"},
        {"pagewatch", "fallocate", "ENOSPC", "ab", false, "",
         "pagewatch: posix_fallocate(./temp_mmap.txt): No space left on device\n", 1, "ab"},
        // Six bytes or more: never extended, so a failing fallocate is never met.
        {"pagewatch", "fallocate", "ENOSPC", "1234567", false, fifty, "", 0, "abcdef7"},
        {"pagewatch", "mmap", "ENOMEM", "123456", false, "",
         "pagewatch: mmap(./temp_mmap.txt): Cannot allocate memory\n", 1, "123456"},
        {"pagewatch", "close", "EIO", "123456", false, fifty,
         "pagewatch: close(./temp_mmap.txt): Input/output error\n", 1, "abcdef"},
        {"pagewatch", "", "", "123456", true, "", "pagewatch: write error: No space left on device\n", 1,
         "abcdef"},
        {"peers/pagepoke", "mmap", "ENOMEM", "abcdef", false, "",
         "pagepoke: mmap(./temp_mmap.txt): Cannot allocate memory\n", 1, "abcdef"},
        {"peers/pagepoke", "", "", "abcdef", true, "", "pagepoke: write error: No space left on device\n", 1,
         "zbcdef"},
        {"peers/pagepoke", "munmap", "EINVAL", "abcdef", false,
         "pagepoke: byte 0 of ./temp_mmap.txt: 'a' -> 'z'\n",
         "pagepoke: munmap(./temp_mmap.txt): Invalid argument\n", 1, "zbcdef"},
    };
    return rows;
}

Result run_with(const Injection& injection)
{
    write_file(mapped_file(), injection.before);
    Options options;
    options.argv = {program(injection.program)};
    if (sanitized_build())
        options.env = {"ASAN_OPTIONS=detect_leaks=0"};  // LeakSanitizer cannot work under ptrace
    if (injection.output_full) {
        options.before_exec = [] {
            const int full = open("/dev/full", O_WRONLY);
            if (full < 0 || dup2(full, STDOUT_FILENO) < 0)
                _exit(125);
            close(full);
        };
    }
    std::vector<std::string> strace = strace_skipping_sleeps({"-o", "/dev/null"});
    if (injection.call == "mmap" || injection.call.starts_with("%")) {
        // Met before the first line, so before any sleep: strace's path
        // filter alone picks the file's own call. (Counting calls would not:
        // a sanitizer's runtime maps memory of its own, more in some runs.)
        strace = {"/usr/bin/strace",
                  "-qq",
                  "-o",
                  "/dev/null",
                  "-P",
                  mapped_file(),
                  "-e",
                  "inject=" + injection.call + ":error=" + injection.error};
    } else if (!injection.call.empty()) {
        const auto [name, nth] = first_call_on_file(injection.call, options);
        write_file(mapped_file(), injection.before);
        strace.insert(strace.end(), {"-e", "inject=" + name + ":error=" + injection.error +
                                               ":when=" + std::to_string(nth)});
    }
    options.argv.insert(options.argv.begin(), strace.begin(), strace.end());
    return run(options);
}

// A failed call is reported by its name and the file's, nothing more is
// done, status 1; so is a failed write of the output.
TEST(PagewatchAndPagepoke, FailedCallsAreReportedByName)
{
    if (access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "needs /usr/bin/strace";
    for (const Injection& injection : injections()) {
        if (!checked(injection.program))
            continue;
        const std::string what =
            injection.program + " " + (injection.call.empty() ? "on /dev/full" : injection.call);
        const Result r = run_with(injection);
        SCOPED_TRACE(what);
        // A class of calls (%fstat: fstat, newfstatat, statx...) is named
        // in a report by what its members share ("stat").
        const std::string call = injection.call.empty()             ? "write"
                                 : injection.call.starts_with("%f") ? injection.call.substr(2)
                                                                    : injection.call;
        expect_report(r, injection.program, injection.err, call, injection.status, injection.out);
        EXPECT_EQ(read_file(mapped_file()), injection.after) << what;
    }
}

TEST(Pagepoke, ChangesOneByteInPlace)
{
    write_file(mapped_file(), "abcdef and more");
    Result r = run_program({program("peers/pagepoke")});
    EXPECT_TRUE(r.status == 0 && r.err.empty()) << r.describe();
    EXPECT_EQ(r.out, "pagepoke: byte 0 of ./temp_mmap.txt: 'a' -> 'z'\n");
    r = run_program({program("peers/pagepoke"), "5", "Q"});
    EXPECT_EQ(r.out, "pagepoke: byte 5 of ./temp_mmap.txt: 'f' -> 'Q'\n") << r.describe();
    EXPECT_EQ(read_file(mapped_file()), "zbcdeQ and more");

    write_file(test_dir() + "/other", "123456");
    r = run_program({program("peers/pagepoke"), "2", "#", "other"});
    EXPECT_EQ(r.out, "pagepoke: byte 2 of other: '3' -> '#'\n") << r.describe();
    EXPECT_EQ(read_file(test_dir() + "/other"), "12#456");
}

TEST(Pagepoke, RejectsBadArgumentsWithUsage)
{
    write_file(mapped_file(), "abcdef");
    const std::vector<std::vector<std::string>> bad = {
        {"0"},       {"6", "z"}, {"-1", "z"}, {"x", "z"},
        {"00", "z"}, {"0", ""},  {"0", "zz"}, {"0", "z", "temp_mmap.txt", "extra"}};
    for (const auto& args : bad) {
        std::vector<std::string> argv = {program("peers/pagepoke")};
        argv.insert(argv.end(), args.begin(), args.end());
        const Result r = run_program(argv);
        EXPECT_EQ(r.status, 2) << args[0] << ": " << r.describe();
        EXPECT_EQ(r.err.rfind("usage: pagepoke [INDEX CHAR [FILE]]\n", 0), 0U) << r.describe();
    }
    EXPECT_EQ(read_file(mapped_file()), "abcdef");
}

TEST(Pagepoke, RefusesAMissingShortOrNonRegularFile)
{
    const std::string poke = program("peers/pagepoke");
    Result r = run_program({poke});
    EXPECT_EQ(r.status, 1) << r.describe();
    EXPECT_EQ(r.err, "pagepoke: open(./temp_mmap.txt): No such file or directory\n");
    EXPECT_NE(access(mapped_file().c_str(), F_OK), 0) << "created the file";

    write_file(mapped_file(), "abcde");
    r = run_program({poke});
    EXPECT_EQ(r.status, 1) << r.describe();
    EXPECT_EQ(r.err, "pagepoke: mmap(./temp_mmap.txt): shorter than six bytes (start pagewatch first)\n");
    EXPECT_EQ(read_file(mapped_file()), "abcde");

    // With standard error closed, the file would be descriptor 2, and the
    // message would go into it.
    write_file(test_dir() + "/s.txt", "ab");
    Options closed;
    closed.argv = {poke, "0", "z", "s.txt"};
    closed.before_exec = [] { close(STDERR_FILENO); };
    r = run(closed);
    EXPECT_EQ(r.status, 1) << r.describe();
    EXPECT_EQ(read_file(test_dir() + "/s.txt"), "ab");

    ASSERT_EQ(mkfifo((test_dir() + "/fifo").c_str(), 0600), 0);
    r = run_program({poke, "0", "z", "fifo"});
    EXPECT_EQ(r.status, 1) << r.describe();
    EXPECT_EQ(r.err, "pagepoke: mmap(fifo): not a regular file\n");
}

}  // namespace
}  // namespace ipclab
