// Runs the built programs as a user would, for black-box tests.
//
// A program runs in its own session and process group, in the test's
// temporary directory unless told otherwise. Its standard output is a pipe,
// a regular file or a pseudo-terminal; standard error is always a pipe.
// Output is read until every process that holds it has closed it, so a
// child that outlives its parent is still heard. Every run has a deadline:
// past it the whole process group is killed and the test fails with a
// message that names the program and shows what it printed.
//
// Use:
//   TEST(Greetordered, ChildBeforeParent)
//   {
//       ipclab::Options options;
//       options.argv = {ipclab::program("greetordered")};
//       options.output = ipclab::Output::terminal;
//       const ipclab::Result r = ipclab::run(options);
//       ipclab::expect_result(r, "Hello, World!\n");  // out, err "" and status 0
//   }
// and, to talk to a program while it runs:
//   ipclab::IpcNamespace ns;             // System V keys of the test's own
//   options.ipc = &ns;
//   options.pid_namespace = true;        // ids it signals reach only this run
//   ipclab::Process user2(options);
//   ASSERT_TRUE(user2.wait_for("User2: "));
//   user2.write("q\n");
//   ipclab::expect_result(user2.finish(), "User2: ");
#pragma once

#include <chrono>
#include <csignal>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

namespace ipclab {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

// A bound that only a hang should outlast (a run's deadline, a wait for
// output): `base` for the default build, stretched as CTest's own limit for
// a test of this build is (the sanitizers slow every program down), so that
// a hang is still reported with its output before CTest ends the test.
// Process applies it to Options::timeout and to every wait_for.
constexpr Millis hang_bound(Millis base) { return base * IPCLAB_TEST_TIMEOUT_S / 240; }

// Where standard output goes.
enum class Output {
    pipe,      // fully buffered by stdio
    file,      // a regular file in the test directory, read back at the end
    terminal,  // a pseudo-terminal: line buffered by stdio
};

// Every kind of standard output, for tests that check all three.
constexpr Output all_outputs[] = {Output::pipe, Output::file, Output::terminal};

// "pipe", "file" or "terminal": for failure messages.
const char* name_of(Output output);
// Names the output in GoogleTest's messages and parameterised test names.
void PrintTo(Output output, std::ostream* os);

// A private System V IPC namespace (with a user namespace when not root).
// Segments made in it are invisible to the rest of the machine and vanish
// with it. Several runs may share one, so programs meet each other's
// segments as they would on a real machine.
class IpcNamespace {
public:
    IpcNamespace();
    ~IpcNamespace();
    IpcNamespace(const IpcNamespace&) = delete;
    IpcNamespace& operator=(const IpcNamespace&) = delete;

    // Joins the namespace. Only for a freshly forked, single-threaded child.
    void enter() const;

    // Runs `body` in a child process inside the namespace and returns its
    // exit status (0 when `body` returns normally, 125 when it cannot join).
    // Use it to prepare or inspect segments with the system calls directly.
    int run(const std::function<void()>& body) const;

private:
    int user_fd_ = -1;  // -1 when running as root: no user namespace needed
    int ipc_fd_ = -1;
};

class Process;

struct Options {
    // argv[0] is a path; program("name") gives the path of a built program.
    std::vector<std::string> argv;
    // Working directory; empty means the test's own temporary directory.
    std::string cwd;
    // Changes to the inherited environment: "NAME=value" sets, "NAME" removes.
    std::vector<std::string> env;
    // Written to standard input, which is then closed (see also Process).
    std::string input;
    Output output = Output::pipe;
    // Standard input is the same pseudo-terminal (needs Output::terminal).
    // The terminal does not echo, and writes output bytes unchanged.
    bool terminal_input = false;
    // Join this namespace before exec.
    const IpcNamespace* ipc = nullptr;
    // Make fork, vfork and clone fail with EAGAIN (clone3 with ENOSYS, so
    // the C library falls back to clone) through a seccomp filter installed
    // just before exec.
    bool fail_process_creation = false;
    // Pin to this CPU (-1: leave the affinity as it is).
    int cpu = -1;
    // Run in a private PID namespace, with its own /proc (and a user
    // namespace when not root), so that whatever process ids the program
    // signals — planted ones, 0, -1 — it reaches only processes of this run.
    // The namespace's process 1 is a small init of ours, which starts the
    // program as process 2, adopts its orphans and lives until the last
    // process in the namespace has ended; the Result is the program's.
    // pid() is then the program's id inside (what getpid() gives it).
    bool pid_namespace = false;
    // Join the PID namespace of that run (started with pid_namespace and the
    // same `ipc`), so that programs of both runs can signal each other. The
    // namespace ends with that run: start it first, finish it last.
    const Process* pid_namespace_of = nullptr;
    // Runs in the child just before exec (after the namespaces are joined).
    // Throwing or returning with errno set is not possible there: call
    // _exit(125) on failure.
    std::function<void()> before_exec;
    // For the whole run, from start to the last byte of output, on the
    // default build (stretched by hang_bound for a slower build).
    Millis timeout = Millis(10000);
};

// Each output is kept up to this many bytes; the rest is counted, not
// kept, so that a program that floods its output cannot flood the test.
constexpr std::size_t output_kept = std::size_t{256} * 1024;

struct Result {
    std::string out;
    std::string err;
    std::size_t out_dropped = 0;  // bytes past output_kept, not kept
    std::size_t err_dropped = 0;
    int status = -1;  // exit status, or -1 when ended by a signal or timed out
    int signal = 0;   // the signal that ended it, or 0
    bool timed_out = false;

    // For failure messages: status, signal, and both outputs quoted.
    std::string describe() const;
};

// A running program, for tests that talk to it while it runs.
class Process {
public:
    explicit Process(Options options);
    ~Process();  // kills the process group if it is still there
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // The program's process id as it sees it itself: in a PID namespace its
    // id there, which is what it stores or prints.
    pid_t pid() const { return program_pid_; }
    // The program's id as this test sees it (the same as pid() outside a
    // PID namespace), for signalling the program alone; -1 once it is gone.
    pid_t host_pid() const;

    // Sends bytes to standard input (Options::input was sent first).
    void write(std::string_view bytes);
    // End of input: closes the pipe, or sends the EOF character on a terminal.
    void close_input();

    // Reads output until standard output holds `text` at or after byte
    // `from`, or `within` (stretched by hang_bound) has passed. Returns
    // whether it was seen.
    bool wait_for(std::string_view text, Millis within = Millis(5000), std::size_t from = 0);
    // Reads whatever output comes within `period` (for "nothing more
    // arrives" checks).
    void drain(Millis period);

    const std::string& out() const { return result_.out; }
    const std::string& err() const { return result_.err; }

    // Sends a signal to the whole process group.
    void kill(int sig = SIGKILL);

    // Closes input, waits until the program has ended and all its output
    // is read, and returns what happened. On timeout the process group is
    // killed and the test fails with a message.
    Result finish();

private:
    int open_stdout();
    bool read_program_pid(int report);
    void open_namespaces();
    void feed_input();
    bool pump(std::chrono::steady_clock::time_point until);
    void reap(bool block);
    void fail_timeout(const char* what);

    Options options_;
    pid_t pid_ = -1;          // our child, leader of the run's process group
    pid_t program_pid_ = -1;  // see pid()
    int pidfd_ = -1;
    int ns_pid_fd_ = -1;  // pid_namespace: the namespaces others may join
    int ns_mnt_fd_ = -1;
    int ns_user_fd_ = -1;
    int in_fd_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string out_path_;
    std::string pending_input_;
    bool close_after_input_ = false;
    bool exited_ = false;
    bool finished_ = false;
    bool partial_line_ = false;  // the last byte sent was not a newline
    std::chrono::steady_clock::time_point deadline_;
    Result result_;
};

// Runs a program to its end.
Result run(const Options& options);

// Checks a finished run, each part with its own EXPECT_EQ so that a failure
// shows both sides of what differs (and the whole run).
void expect_result(const Result& r, std::string_view out, std::string_view err = "", int status = 0);

// The path of a built program: program("copysplit") is build/copysplit.
std::string program(std::string_view name);
// Whether a table's row for program `name` runs: always, but when
// tools/check checks one program (IPCLAB_CHECKED_PROGRAM), only its rows.
bool checked(std::string_view name);
// Forgets a timed-out run: from the first one on, the rest of a test starts
// no program (each such run fails at once), so that a program that never
// ends costs one timeout per test, not one per run. Called as a test starts.
void forget_timeouts();
// The repository's top directory.
std::string source_dir();
// The current test's temporary directory (made before each test, removed after).
const std::string& test_dir();
// True when the programs are built with sanitizers.
constexpr bool sanitized_build()
{
#ifdef IPCLAB_SANITIZE
    return true;
#else
    return false;
#endif
}

// Reads and writes whole files (test fixtures, checks of what a program left).
std::string read_file(const std::string& path);
void write_file(const std::string& path, std::string_view bytes, mode_t mode = 0644);

// Makes the calling process root of a new user namespace that maps its own
// ids, and unshares `flags` (CLONE_NEWNS, CLONE_NEWIPC...) with it; as root,
// only unshares `flags`. For before_exec hooks. Returns false on failure.
bool unshare_as_owner(int flags);

}  // namespace ipclab
