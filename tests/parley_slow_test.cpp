// parleyhand and its first party build/peers/parleylead: exchanges in both
// directions, what is and is not sent, no signal to anything but a live
// first party, no hang when the first party goes away. Every run is in a
// private IPC namespace and in a private PID namespace, so that even a broken
// build that signals a planted id, 0 or -1 reaches only processes of the
// test; parleyhand pauses one second before each prompt.
#include "report.hpp"
#include "run.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>
#include <vector>
#include <sched.h>
#include <sys/shm.h>
#include <thread>
#include <unistd.h>

namespace ipclab {

namespace {

constexpr key_t exchange_key = 12345;
constexpr std::size_t block_size = 112;
constexpr std::size_t status_at = 100;
constexpr std::size_t user1_pid_at = 104;
constexpr std::size_t user2_pid_at = 108;

std::string int_bytes(std::int32_t value)
{
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

std::int32_t int_at(const std::string& block, std::size_t offset)
{
    std::int32_t value = 0;
    if (block.size() >= offset + sizeof value)
        memcpy(&value, block.data() + offset, sizeof value);
    return value;
}

// Writes `bytes` at `offset` into the exchange segment, creating it if missing.
void poke(const IpcNamespace& ns, std::size_t offset, const std::string& bytes)
{
    const int status = ns.run([&] {
        const int id = shmget(exchange_key, block_size, IPC_CREAT | 0666);
        void* at = id == -1 ? reinterpret_cast<void*>(-1) : shmat(id, nullptr, 0);
        if (at == reinterpret_cast<void*>(-1))
            _exit(1);
        memcpy(static_cast<char*>(at) + offset, bytes.data(), bytes.size());
        _exit(0);
    });
    ASSERT_EQ(status, 0) << "cannot write the exchange segment";
}

// The segment's 112 bytes, or "" when there is none.
std::string segment(const IpcNamespace& ns)
{
    const std::string path = test_dir() + "/segment";
    const int status = ns.run([&] {
        const int id = shmget(exchange_key, 0, 0);
        void* at = id == -1 ? reinterpret_cast<void*>(-1) : shmat(id, nullptr, SHM_RDONLY);
        if (at == reinterpret_cast<void*>(-1))
            _exit(1);
        write_file(path, std::string_view(static_cast<const char*>(at), block_size));
        _exit(0);
    });
    return status == 0 ? read_file(path) : std::string();
}

Options sleeper_options(const IpcNamespace& ipc)
{
    Options options;
    options.argv = {"/bin/sh", "-c", "echo up; exec sleep 60"};
    options.ipc = &ipc;
    options.pid_namespace = true;
    options.timeout = 60s;
    return options;
}

// The test's namespaces: IPC, and PID held by an unrelated process (a
// sleeper that attaches nothing), which lives longer than every party and
// must never be signalled by one.
struct Namespaces {
    Namespaces() : sleeper(sleeper_options(ipc)) { EXPECT_TRUE(sleeper.wait_for("up\n")); }
    // Ends the sleeper; it must not have been signalled before. Call it once
    // every other run has finished.
    void expect_sleeper_untouched()
    {
        // SIGKILL, which nothing can hold off: any signal a party sent it
        // before would have ended it with that signal instead.
        sleeper.kill(SIGKILL);
        EXPECT_EQ(sleeper.finish().signal, SIGKILL) << "the unrelated process was signalled";
    }
    IpcNamespace ipc;
    Process sleeper;
};

Options hand(const Namespaces& ns, Output output = Output::pipe)
{
    Options options;
    options.argv = {program("parleyhand")};
    options.ipc = &ns.ipc;
    options.pid_namespace_of = &ns.sleeper;
    options.output = output;
    options.terminal_input = output == Output::terminal;
    return options;
}

Options lead(const Namespaces& ns, Output output = Output::pipe)
{
    Options options = hand(ns, output);
    options.argv = {program("peers/parleylead")};
    return options;
}

// Both parties running, each having prompted once.
struct Parties {
    explicit Parties(const Namespaces& ns, Output output = Output::pipe)
        : user1(lead(ns, output)), user2(hand(ns, output))
    {
        EXPECT_TRUE(user1.wait_for("User1: ")) << user1.out();
        EXPECT_TRUE(user2.wait_for("User2: ")) << user2.out();
    }
    Process user1;
    Process user2;
};

// How many descriptors a running party holds, seen from outside.
long open_descriptors(const Process& party)
{
    const std::filesystem::path fds = "/proc/" + std::to_string(party.host_pid()) + "/fd";
    return std::distance(std::filesystem::directory_iterator(fds), std::filesystem::directory_iterator());
}

// Whether parleyhand stores its line (status ready) within 20 s: a machine
// under load may take its time to get there.
bool line_stored(const Namespaces& ns, Process& user2)
{
    for (int i = 0; i < 1000 && int_at(segment(ns.ipc), status_at) != 1; ++i)
        user2.drain(20ms);
    return int_at(segment(ns.ipc), status_at) == 1;
}

class Exchange : public testing::TestWithParam<Output> {};

// Both directions, and no new prompt while the first party (stopped here)
// has not answered.
TEST_P(Exchange, BothDirections)
{
    Namespaces ns;
    Parties p(ns, GetParam());
    const long descriptors[] = {open_descriptors(p.user1), open_descriptors(p.user2)};

    p.user1.write("hello\n");
    EXPECT_TRUE(p.user2.wait_for("Received From User1: hello\n\n", 10s)) << p.user2.out();
    // parleylead prompts again after its one-second pause; it is stopped
    // there, so the reply always comes at that prompt.
    EXPECT_TRUE(p.user1.wait_for("User1: ", 10s, 7)) << p.user1.out();

    p.user1.kill(SIGSTOP);
    p.user2.write("hi there\n");
    p.user2.drain(1500ms);  // longer than the pause before a prompt
    EXPECT_EQ(p.user2.out(), "User2: Received From User1: hello\n\n");
    p.user1.kill(SIGCONT);
    EXPECT_TRUE(p.user1.wait_for("Received From User2: hi there\n\n", 10s)) << p.user1.out();
    EXPECT_TRUE(p.user2.wait_for("User2: ", 10s, 7)) << p.user2.out();
    // Each line's pidfd is closed once the line is sent, on either side.
    EXPECT_EQ(open_descriptors(p.user1), descriptors[0]) << "parleylead";
    EXPECT_EQ(open_descriptors(p.user2), descriptors[1]) << "parleyhand";

    p.user2.write("q\n");
    const Result r2 = p.user2.finish();
    expect_result(r2, "User2: Received From User1: hello\n\nUser2: ");
    p.user1.write("q\n");
    const Result r1 = p.user1.finish();
    expect_result(r1, "User1: User1: Received From User2: hi there\n\n");
    ns.expect_sleeper_untouched();
}

// A message arrives while parleyhand is blocked in the middle of reading a
// line: it is printed at once, and the line still goes out whole.
TEST_P(Exchange, MessageWhileReadingIsPrintedAndLineStaysWhole)
{
    Namespaces ns;
    Parties p(ns, GetParam());

    p.user2.write("hel");
    p.user2.drain(200ms);  // parleyhand has the first part and reads on
    p.user1.write("news\n");
    EXPECT_TRUE(p.user2.wait_for("User2: Received From User1: news\n\n", 10s)) << p.user2.out();
    p.user2.write("lo\n");
    EXPECT_TRUE(p.user1.wait_for("Received From User2: hello\n\n", 10s)) << p.user1.out();
    EXPECT_TRUE(p.user2.wait_for("User2: ", 10s, 7)) << p.user2.out();

    const Result r2 = p.user2.finish();  // end of input
    expect_result(r2, "User2: Received From User1: news\n\nUser2: ");
    // The reply comes in parleylead's one-second pause after "news", so
    // normally before its next prompt.
    const Result r1 = p.user1.finish();
    EXPECT_TRUE(r1.out == "User1: Received From User2: hello\n\nUser1: " ||
                r1.out == "User1: User1: Received From User2: hello\n\n")
        << r1.describe();
    ns.expect_sleeper_untouched();
}

INSTANTIATE_TEST_SUITE_P(Parley, Exchange, testing::Values(Output::pipe, Output::terminal),
                         [](const auto& info) { return testing::PrintToString(info.param); });

// A message that comes in the one-second pause after a line is printed at
// once, and the pause then goes on: the next prompt comes a second or more
// after the line was taken, never sooner. parleylead is held while its
// reply waits in its input, so the reply goes out right after the line is
// taken, early in the pause.
TEST(Parley, MessageDuringThePauseDoesNotCutItShort)
{
    Namespaces ns;
    Parties p(ns);
    p.user1.kill(SIGSTOP);
    p.user1.write("news\n");
    p.user2.write("hello\n");
    ASSERT_TRUE(line_stored(ns, p.user2)) << "the line was never stored; " << p.user2.err();
    const auto continued = std::chrono::steady_clock::now();  // the line can be taken from now on
    p.user1.kill(SIGCONT);
    EXPECT_TRUE(p.user2.wait_for("User2: ", 10s, 7)) << p.user2.out();
    EXPECT_GE(std::chrono::steady_clock::now() - continued, 1s)
        << "the prompt came before the pause was over";
    const Result r2 = p.user2.finish();
    // Only a stall of over a second in parleylead puts the reply after the prompt.
    EXPECT_TRUE(r2.out == "User2: Received From User1: news\n\nUser2: " ||
                r2.out == "User2: User2: Received From User1: news\n\n")
        << r2.describe();
    EXPECT_TRUE(r2.err.empty() && r2.status == 0) << r2.describe();
    p.user1.finish();
    ns.expect_sleeper_untouched();
}

// 99 characters go out first, then the rest; the quit line is not sent and
// stays in the segment, with status as the first party left it.
TEST(Parley, LongLineIsSplitAndQuitLineStaysInSegment)
{
    Namespaces ns;
    Parties p(ns);
    const std::string a99(99, 'a');
    p.user2.write(a99 + "a\nq\n");
    const Result r2 = p.user2.finish();
    expect_result(r2, "User2: User2: User2: ");

    const std::string block = segment(ns.ipc);
    ASSERT_EQ(block.size(), block_size);
    EXPECT_EQ(block.substr(0, 3), std::string("q\n\0", 3));
    EXPECT_EQ(int_at(block, status_at), -1);
    EXPECT_EQ(int_at(block, user1_pid_at), p.user1.pid());
    EXPECT_EQ(int_at(block, user2_pid_at), p.user2.pid());

    const Result r1 = p.user1.finish();
    EXPECT_EQ(r1.out, "User1: Received From User2: " + a99 + "\nReceived From User2: a\n\n");
    ns.expect_sleeper_untouched();
}

// Only the exact line "q" quits; end of input ends the program without
// sending the last line again.
TEST(Parley, NearQuitLinesAreSentAndEndOfInputQuits)
{
    Namespaces ns;
    Parties p(ns);
    p.user2.write(" q\nquit\nq");
    const Result r2 = p.user2.finish();
    expect_result(r2, "User2: User2: User2: User2: ");
    EXPECT_EQ(segment(ns.ipc).substr(0, 2), std::string("q\0", 2));

    const Result r1 = p.user1.finish();
    EXPECT_EQ(r1.out,
              "User1: Received From User2:  q\n\nReceived From User2: quit\n\nReceived From User2: q\n");
    ns.expect_sleeper_untouched();
}

// user1_pid that names no first party: nothing is signalled (not us, not
// our group, not everyone, not the namespace's init, not an unrelated
// process, not another parleyhand, which has the segment attached too), a
// notice appears and the next prompt follows without a busy-wait.
enum class Stale { zero, minus_one, own, dead, unrelated, init, second_party };

std::string stale_name(Stale stale)
{
    switch (stale) {
    case Stale::zero:
        return "zero";
    case Stale::minus_one:
        return "minus_one";
    case Stale::own:
        return "own";
    case Stale::dead:
        return "dead";
    case Stale::unrelated:
        return "unrelated";
    case Stale::init:
        return "init";
    case Stale::second_party:
        return "second_party";
    }
    return "?";
}

void PrintTo(Stale stale, std::ostream* os) { *os << stale_name(stale); }

class StaleFirstParty : public testing::TestWithParam<Stale> {};

TEST_P(StaleFirstParty, GetsNoSignal)
{
    Namespaces ns;
    std::int32_t pid = GetParam() == Stale::init ? 1 : 0;
    std::unique_ptr<Process> planted;  // Stale::second_party: another parleyhand
    if (GetParam() == Stale::second_party) {
        Options other = hand(ns);
        other.before_exec = [] {  // handed down: it must not pass for a first party's
            sigset_t line;
            sigemptyset(&line);
            sigaddset(&line, SIGUSR1);
            sigprocmask(SIG_BLOCK, &line, nullptr);
        };
        planted = std::make_unique<Process>(other);
        ASSERT_TRUE(planted->wait_for("User2: ")) << planted->out();
        pid = planted->pid();
    }
    if (GetParam() == Stale::minus_one)
        pid = -1;
    if (GetParam() == Stale::unrelated)
        pid = ns.sleeper.pid();
    if (GetParam() == Stale::dead) {
        Options done = hand(ns);
        done.argv = {"/bin/true"};
        Process gone(done);
        pid = gone.pid();
        gone.finish();
    }
    poke(ns.ipc, user1_pid_at, int_bytes(pid));
    Process user2(hand(ns));
    ASSERT_TRUE(user2.wait_for("User2: ")) << user2.out();
    if (GetParam() == Stale::own) {
        pid = user2.pid();
        poke(ns.ipc, user1_pid_at, int_bytes(pid));
    }

    user2.write("hello\n");
    EXPECT_TRUE(user2.wait_for("User2: ", 10s, 7)) << user2.out();
    user2.write("q\n");
    const std::string id = std::to_string(pid);
    const std::string notice =
        GetParam() == Stale::dead ? "parleyhand: first party " + id + " is not running: line not sent\n"
        : GetParam() == Stale::unrelated
            ? "parleyhand: first party " + id + " has not attached the segment: line not sent\n"
        : GetParam() == Stale::second_party
            ? "parleyhand: first party " + id + " neither catches nor blocks SIGUSR1: line not sent\n"
            : "parleyhand: no first party (user1_pid is " + id + "): line not sent\n";
    expect_result(user2.finish(), "User2: User2: ", notice);
    if (planted)
        expect_result(planted->finish(), "User2: ");
    ns.expect_sleeper_untouched();
}

INSTANTIATE_TEST_SUITE_P(Parley, StaleFirstParty,
                         testing::Values(Stale::zero, Stale::minus_one, Stale::own, Stale::dead,
                                         Stale::unrelated, Stale::init, Stale::second_party),
                         [](const auto& info) { return testing::PrintToString(info.param); });

// The first party dies while parleyhand waits for its answer: the wait
// ends with a notice and the exchange goes on.
TEST(Parley, FirstPartyEndingWhileWaitedForIsReported)
{
    Namespaces ns;
    Parties p(ns);
    p.user1.kill(SIGSTOP);
    p.user2.write("hello\n");
    ASSERT_TRUE(line_stored(ns, p.user2)) << "the line was never stored; " << p.user2.err();
    EXPECT_EQ(p.user2.err(), "");
    p.user1.kill(SIGKILL);
    EXPECT_TRUE(p.user2.wait_for("User2: ", 10s, 7)) << p.user2.out();
    p.user2.write("q\n");
    expect_result(p.user2.finish(), "User2: User2: ",
                  "parleyhand: first party " + std::to_string(p.user1.pid()) +
                      " ended without taking the line\n");
    EXPECT_EQ(int_at(segment(ns.ipc), status_at), -1);
    p.user1.finish();
    ns.expect_sleeper_untouched();
}

// A stand-in first party that attaches, publishes its id, and detaches
// (still running) once the line's SIGUSR1 came: nobody will take the line,
// and parleyhand, which checked the attachment before sending, notices by
// looking again while it waits.
TEST(Parley, FirstPartyDetachingWhileWaitedForIsReported)
{
    // The stand-in never execs, so it keeps the credentials it got on joining
    // the test's user namespace, and an ordinary user's parleyhand may not
    // read its /proc/PID/maps.
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: parleyhand cannot read the stand-in's /proc/PID/maps otherwise";
    Namespaces ns;
    Options options = hand(ns);
    options.argv = {"/bin/false"};  // never run: the stand-in ends in before_exec
    options.before_exec = [] {
        signal(SIGUSR1, [](int) {});  // catches it, as a first party must
        sigset_t line;
        sigemptyset(&line);
        sigaddset(&line, SIGUSR1);
        sigprocmask(SIG_BLOCK, &line, nullptr);
        const int id = shmget(exchange_key, block_size, IPC_CREAT | 0666);
        auto* at = id == -1 ? reinterpret_cast<char*>(-1) : static_cast<char*>(shmat(id, nullptr, 0));
        if (at == reinterpret_cast<char*>(-1))
            _exit(1);
        const std::int32_t self = getpid();
        memcpy(at + user1_pid_at, &self, sizeof self);
        (void)!::write(STDOUT_FILENO, "attached\n", 9);
        int sig = 0;
        sigwait(&line, &sig);
        shmdt(at);
        (void)!::write(STDOUT_FILENO, "detached\n", 9);
        sleep(30);
        _exit(0);
    };
    Process stand_in(options);
    ASSERT_TRUE(stand_in.wait_for("attached\n"));
    Process user2(hand(ns));
    ASSERT_TRUE(user2.wait_for("User2: ")) << user2.out();
    user2.write("hello\n");
    EXPECT_TRUE(stand_in.wait_for("detached\n", 10s)) << stand_in.out();
    EXPECT_TRUE(user2.wait_for("User2: ", 10s, 7)) << user2.out();
    user2.write("q\n");
    expect_result(user2.finish(), "User2: User2: ",
                  "parleyhand: first party " + std::to_string(stand_in.pid()) +
                      " detached without taking the line\n");
    stand_in.kill(SIGKILL);
    stand_in.finish();
    ns.expect_sleeper_untouched();
}

// Whatever the other party leaves in text, each party prints no more than
// its 100 bytes: parleyhand on SIGUSR2, parleylead on SIGUSR1 (with status
// ready, which follows the text in the record).
TEST(Parley, EachPartyPrintsAtMostTheHundredBytesOfText)
{
    const std::string x100(100, 'x');
    for (const bool first : {false, true}) {
        Namespaces ns;
        poke(ns.ipc, 0, x100 + int_bytes(1) + "AAAAAAAA");
        Process party(first ? lead(ns) : hand(ns));
        const std::string prompt = first ? "User1: " : "User2: ";
        ASSERT_TRUE(party.wait_for(prompt)) << party.out();
        party.kill(first ? SIGUSR1 : SIGUSR2);
        EXPECT_TRUE(party.wait_for("\n", 10s)) << party.out();
        expect_result(party.finish(), prompt + "Received From User" + (first ? "2: " : "1: ") + x100 + "\n");
        ns.expect_sleeper_untouched();
    }
}

// Options for parleyhand run under strace with `arguments` (failures
// injected, calls delayed).
Options traced_hand(const Namespaces& ns, const std::vector<std::string>& arguments)
{
    Options options = hand(ns);
    options.argv = {"/usr/bin/strace", "-qq", "-o", "/dev/null"};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.argv.push_back(program("parleyhand"));
    if (sanitized_build())
        options.env = {"ASAN_OPTIONS=detect_leaks=0"};  // LeakSanitizer cannot work under ptrace
    return options;
}

// SIGUSR2 keeps coming while parleyhand quits: the handler must not run once
// the segment is detached (it would read unmapped memory). strace holds
// parleyhand for a while just after shmdt, while a process of the test sends
// SIGUSR2 to it again and again: a SIGUSR2 not blocked by then is delivered
// as soon as parleyhand goes on.
TEST(Parley, MessagesFloodingInWhileQuittingDoNoHarm)
{
    if (access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "needs /usr/bin/strace";
    Namespaces ns;
    Process user2(traced_hand(ns, {"-e", "trace=shmdt", "-e", "inject=shmdt:delay_exit=300000"}));
    ASSERT_TRUE(user2.wait_for("User2: ")) << user2.out();
    const std::int32_t target = int_at(segment(ns.ipc), user2_pid_at);
    Options flood = hand(ns);
    flood.argv = {"/bin/sh", "-c", "echo go; while kill -USR2 \"$0\" 2>/dev/null; do :; done",
                  std::to_string(target)};
    Process flooder(flood);
    ASSERT_TRUE(flooder.wait_for("go\n"));
    user2.write("q\n");
    const Result r = user2.finish();
    // The prompt, then notices of the empty text or of the quit line.
    std::string rest = r.out.substr(0, 7) == "User2: " ? r.out.substr(7) : r.out;
    for (const std::string notice : {"Received From User1: \n", "Received From User1: q\n\n"})
        for (std::size_t at = 0; (at = rest.find(notice, at)) != std::string::npos;)
            rest.erase(at, notice.size());
    EXPECT_EQ(rest, "") << r.describe();
    EXPECT_EQ(r.status, 0) << r.describe();
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(flooder.finish().status, 0);
    ns.expect_sleeper_untouched();
}

// Storing the line, storing ready and the signal follow each other
// directly: every check of the first party (the /proc/PID/maps scan, the
// pidfd poll) comes before the line is stored, so the first party, which may
// store a message of its own in the one text field at any time, cannot be
// handed its own message in their place. strace makes each of those checks
// slow; a process of the test watches the segment and measures how long the
// line stands in text before status says ready.
TEST(Parley, LineIsStoredJustBeforeReady)
{
    if (access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "needs /usr/bin/strace";
    Namespaces ns;
    Process user1(lead(ns));
    Process user2(traced_hand(ns, {"-e", "trace=openat,poll", "-e", "inject=openat,poll:delay_exit=300000"}));
    ASSERT_TRUE(user1.wait_for("User1: "));
    ASSERT_TRUE(user2.wait_for("User2: ")) << user2.out();
    user1.kill(SIGSTOP);  // the line stays untaken: status stays ready
    int watched = -1;
    std::thread watcher([&] {
        watched = ns.ipc.run([] {
            const int id = shmget(exchange_key, block_size, 0);
            const auto* at = static_cast<const char*>(shmat(id, nullptr, SHM_RDONLY));
            if (id == -1 || at == reinterpret_cast<const char*>(-1))
                _exit(3);
            const auto* status = reinterpret_cast<const volatile std::int32_t*>(at + status_at);
            const volatile char* text = at;
            const auto give_up = std::chrono::steady_clock::now() + hang_bound(8s);
            while (!(text[0] == 'w' && text[1] == 'i') && std::chrono::steady_clock::now() < give_up) {
            }
            const auto stored = std::chrono::steady_clock::now();
            while (*status != 1 && std::chrono::steady_clock::now() < give_up) {
            }
            const auto signalled = std::chrono::steady_clock::now();
            _exit(signalled >= give_up ? 2 : signalled - stored > 150ms ? 1 : 0);
        });
    });
    std::this_thread::sleep_for(100ms);  // the watcher is watching
    user2.write("window\n");
    watcher.join();
    EXPECT_EQ(watched, 0) << "1: the line stood in text long before ready; 2: never seen";
    user1.kill(SIGCONT);
    EXPECT_TRUE(user1.wait_for("Received From User2: window\n\n", 10s)) << user1.out();
    EXPECT_TRUE(user2.wait_for("User2: ", 10s, 7)) << user2.out();
    user2.write("q\n");
    expect_result(user2.finish(), "User2: User2: ");
    user1.write("q\n");
    expect_result(user1.finish(), "User1: Received From User2: window\n\n");
    ns.expect_sleeper_untouched();
}

// A failed call is reported with its name and what it was called on.
// strace makes the kernel fail it; "PID" in a row stands for the first
// party's id (the sleeper's, or parleylead's with `lead`).
struct Injected {
    const char* name;
    const char* program;
    std::vector<std::string> strace;
    bool lead;  // a real first party runs (else user1_pid names the sleeper)
    std::string out;
    std::string err;
    int status;
};

std::vector<Injected> injected()
{
    return {
        {"hand_shmat",
         "parleyhand",
         {"-e", "trace=shmat", "-e", "inject=shmat:error=ENOMEM"},
         false,
         "",
         "parleyhand: shmat(key 12345): Cannot allocate memory\n",
         1},
        {"lead_shmat",
         "peers/parleylead",
         {"-e", "trace=shmat", "-e", "inject=shmat:error=ENOMEM"},
         false,
         "",
         "parleylead: shmat(key 12345): Cannot allocate memory\n",
         1},
        {"pidfd_open",
         "parleyhand",
         {"-e", "trace=pidfd_open", "-e", "inject=pidfd_open:error=EMFILE"},
         false,
         "User2: User2: ",
         "parleyhand: pidfd_open(PID): Too many open files\n",
         0},
        {"maps",
         "parleyhand",
         {"-P", "/proc/PID/maps", "-e", "inject=openat:error=EACCES"},
         false,
         "User2: User2: ",
         "parleyhand: fopen(/proc/PID/maps): Permission denied\n",
         0},
        {"pidfd_send_signal",
         "parleyhand",
         {"-e", "trace=pidfd_send_signal", "-e", "inject=pidfd_send_signal:error=EPERM"},
         true,
         "User2: User2: ",
         "parleyhand: pidfd_send_signal(PID): Operation not permitted\n",
         0},
    };
}

void PrintTo(const Injected& row, std::ostream* os) { *os << row.name; }

std::string with_pid(std::string text, std::int32_t pid)
{
    for (std::size_t at; (at = text.find("PID")) != std::string::npos;)
        text.replace(at, 3, std::to_string(pid));
    return text;
}

class InjectedFailure : public testing::TestWithParam<Injected> {};

TEST_P(InjectedFailure, IsReportedWithTheCallsName)
{
    if (access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "needs /usr/bin/strace";
    const Injected& row = GetParam();
    Namespaces ns;
    std::unique_ptr<Process> user1;
    std::int32_t first = ns.sleeper.pid();
    if (row.lead) {
        user1 = std::make_unique<Process>(lead(ns));
        ASSERT_TRUE(user1->wait_for("User1: "));
        first = user1->pid();
    } else {
        poke(ns.ipc, user1_pid_at, int_bytes(first));
    }
    std::vector<std::string> strace;
    for (const std::string& argument : row.strace)
        strace.push_back(with_pid(argument, first));
    Options options = traced_hand(ns, strace);
    options.argv.back() = program(row.program);
    options.input = "hello\nq\n";
    // Another build's report need only name the call (any case, any words).
    const std::string name = row.name;
    const std::string call = name.starts_with("hand_") || name.starts_with("lead_") ? name.substr(5) : name;
    expect_report(run(options), row.program, with_pid(row.err, first), call, row.status, row.out);
    user1.reset();
    ns.expect_sleeper_untouched();
}

INSTANTIATE_TEST_SUITE_P(Parley, InjectedFailure, testing::ValuesIn(injected()),
                         [](const auto& info) { return std::string(info.param.name); });

// A read error on standard input (here a directory) is reported and ends the
// exchange with status 1.
TEST(Parley, ReadErrorIsReported)
{
    Namespaces ns;
    Options options = hand(ns);
    options.argv = {"/bin/sh", "-c", "exec \"$0\" < /", program("parleyhand")};
    expect_result(run(options), "User2: ", "parleyhand: fgets(stdin): Is a directory\n", 1);
    ns.expect_sleeper_untouched();
}

// The first party sends only to a live parleyhand, too: never to an
// unrelated process whose id is left in user2_pid.
TEST(Parleylead, SendsNothingToAStaleSecondParty)
{
    Namespaces ns;
    poke(ns.ipc, user2_pid_at, int_bytes(ns.sleeper.pid()));
    Options options = lead(ns);
    options.input = "hello\n";
    expect_result(run(options), "User1: User1: ",
                  "parleylead: second party " + std::to_string(ns.sleeper.pid()) +
                      " has not attached the segment: line not sent\n");
    ns.expect_sleeper_untouched();
}

}  // namespace
}  // namespace ipclab
