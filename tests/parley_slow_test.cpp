// parleyhand and its first party build/peers/parleylead: exchanges in both
// directions, what is and is not sent, no signal to anything but a live
// first party, no hang when the first party goes away. Every run is in a
// private IPC namespace; parleyhand pauses one second before each prompt.
#include "run.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <sys/shm.h>
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

Options hand(const IpcNamespace& ns, Output output = Output::pipe)
{
    Options options;
    options.argv = {program("parleyhand")};
    options.ipc = &ns;
    options.output = output;
    options.terminal_input = output == Output::terminal;
    return options;
}

Options lead(const IpcNamespace& ns, Output output = Output::pipe)
{
    Options options = hand(ns, output);
    options.argv = {program("peers/parleylead")};
    return options;
}

// Both parties running, each having prompted once.
struct Parties {
    explicit Parties(const IpcNamespace& ns, Output output = Output::pipe)
        : user1(lead(ns, output)), user2(hand(ns, output))
    {
        EXPECT_TRUE(user1.wait_for("User1: ")) << user1.out();
        EXPECT_TRUE(user2.wait_for("User2: ")) << user2.out();
    }
    Process user1;
    Process user2;
};

class Exchange : public testing::TestWithParam<Output> {};

// Both directions, and no new prompt while the first party (stopped here)
// has not answered.
TEST_P(Exchange, BothDirections)
{
    IpcNamespace ns;
    Parties p(ns, GetParam());

    p.user1.write("hello\n");
    EXPECT_TRUE(p.user2.wait_for("Received From User1: hello\n\n", 3s)) << p.user2.out();

    p.user1.kill(SIGSTOP);
    p.user2.write("hi there\n");
    p.user2.drain(1500ms);  // longer than the pause before a prompt
    EXPECT_EQ(p.user2.out(), "User2: Received From User1: hello\n\n");
    p.user1.kill(SIGCONT);
    EXPECT_TRUE(p.user1.wait_for("Received From User2: hi there\n\n", 3s)) << p.user1.out();
    EXPECT_TRUE(p.user2.wait_for("User2: ", 5s, 7)) << p.user2.out();

    p.user2.write("q\n");
    const Result r2 = p.user2.finish();
    EXPECT_EQ(r2.status, 0) << r2.describe();
    EXPECT_EQ(r2.out, "User2: Received From User1: hello\n\nUser2: ");
    EXPECT_EQ(r2.err, "");
    p.user1.write("q\n");
    const Result r1 = p.user1.finish();
    EXPECT_EQ(r1.status, 0) << r1.describe();
    EXPECT_EQ(r1.out, "User1: Received From User2: hi there\n\nUser1: ");
    EXPECT_EQ(r1.err, "");
}

// A message arrives while parleyhand is blocked in the middle of reading a
// line: it is printed at once, and the line still goes out whole.
TEST_P(Exchange, MessageWhileReadingIsPrintedAndLineStaysWhole)
{
    IpcNamespace ns;
    Parties p(ns, GetParam());

    p.user2.write("hel");
    p.user2.drain(200ms);  // parleyhand has the first part and reads on
    p.user1.write("news\n");
    EXPECT_TRUE(p.user2.wait_for("User2: Received From User1: news\n\n", 1s)) << p.user2.out();
    p.user2.write("lo\n");
    EXPECT_TRUE(p.user1.wait_for("Received From User2: hello\n\n", 3s)) << p.user1.out();
    EXPECT_TRUE(p.user2.wait_for("User2: ", 5s, 7)) << p.user2.out();

    const Result r2 = p.user2.finish();  // end of input
    EXPECT_EQ(r2.status, 0) << r2.describe();
    EXPECT_EQ(r2.out, "User2: Received From User1: news\n\nUser2: ");
    EXPECT_EQ(r2.err, "");
    // The reply comes in parleylead's one-second pause after "news", so
    // normally before its next prompt.
    const Result r1 = p.user1.finish();
    EXPECT_TRUE(r1.out == "User1: Received From User2: hello\n\nUser1: " ||
                r1.out == "User1: User1: Received From User2: hello\n\n")
        << r1.describe();
}

INSTANTIATE_TEST_SUITE_P(Parley, Exchange, testing::Values(Output::pipe, Output::terminal),
                         [](const auto& info) { return testing::PrintToString(info.param); });

// 99 characters go out first, then the rest; the quit line is not sent and
// stays in the segment, with status as the first party left it.
TEST(Parley, LongLineIsSplitAndQuitLineStaysInSegment)
{
    IpcNamespace ns;
    Parties p(ns);
    const std::string a99(99, 'a');
    p.user2.write(a99 + "a\nq\n");
    const Result r2 = p.user2.finish();
    EXPECT_EQ(r2.status, 0) << r2.describe();
    EXPECT_EQ(r2.out, "User2: User2: User2: ");
    EXPECT_EQ(r2.err, "");

    const std::string block = segment(ns);
    ASSERT_EQ(block.size(), block_size);
    EXPECT_EQ(block.substr(0, 3), std::string("q\n\0", 3));
    EXPECT_EQ(int_at(block, status_at), -1);
    EXPECT_EQ(int_at(block, user1_pid_at), p.user1.pid());
    EXPECT_EQ(int_at(block, user2_pid_at), p.user2.pid());

    const Result r1 = p.user1.finish();
    EXPECT_EQ(r1.out, "User1: Received From User2: " + a99 + "\nReceived From User2: a\n\n");
}

// Only the exact line "q" quits; end of input ends the program without
// sending the last line again.
TEST(Parley, NearQuitLinesAreSentAndEndOfInputQuits)
{
    IpcNamespace ns;
    Parties p(ns);
    p.user2.write(" q\nquit\nq");
    const Result r2 = p.user2.finish();
    EXPECT_EQ(r2.status, 0) << r2.describe();
    EXPECT_EQ(r2.out, "User2: User2: User2: User2: ");
    EXPECT_EQ(r2.err, "");
    EXPECT_EQ(segment(ns).substr(0, 2), std::string("q\0", 2));

    const Result r1 = p.user1.finish();
    EXPECT_EQ(r1.out,
              "User1: Received From User2:  q\n\nReceived From User2: quit\n\nReceived From User2: q\n");
}

// user1_pid that names no first party: nothing is signalled (not us, not
// our group, not everyone, not an unrelated process), a notice appears
// and the next prompt follows without a busy-wait.
enum class Stale { zero, minus_one, own, dead, unrelated };

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
    }
    return "?";
}

void PrintTo(Stale stale, std::ostream* os) { *os << stale_name(stale); }

class StaleFirstParty : public testing::TestWithParam<Stale> {};

TEST_P(StaleFirstParty, GetsNoSignal)
{
    IpcNamespace ns;
    Options sleeper_options;
    // In the same user namespace, so that its maps are readable; it has
    // joined once it speaks.
    sleeper_options.argv = {"/bin/sh", "-c", "echo up; exec sleep 30"};
    sleeper_options.ipc = &ns;
    sleeper_options.timeout = 20s;
    Process sleeper(sleeper_options);
    ASSERT_TRUE(sleeper.wait_for("up\n"));

    std::int32_t pid = 0;
    if (GetParam() == Stale::minus_one)
        pid = -1;
    if (GetParam() == Stale::unrelated)
        pid = sleeper.pid();
    if (GetParam() == Stale::dead) {
        Options done;
        done.argv = {"/bin/true"};
        Process gone(done);
        pid = gone.pid();
        gone.finish();
    }
    poke(ns, user1_pid_at, int_bytes(pid));
    Process user2(hand(ns));
    ASSERT_TRUE(user2.wait_for("User2: ")) << user2.out();
    if (GetParam() == Stale::own) {
        pid = user2.pid();
        poke(ns, user1_pid_at, int_bytes(pid));
    }

    user2.write("hello\n");
    EXPECT_TRUE(user2.wait_for("User2: ", 5s, 7)) << user2.out();
    user2.write("q\n");
    const Result r = user2.finish();
    EXPECT_EQ(r.status, 0) << r.describe();
    EXPECT_EQ(r.out, "User2: User2: ");
    const std::string id = std::to_string(pid);
    const std::string notice =
        GetParam() == Stale::dead ? "parleyhand: first party " + id + " is not running: line not sent\n"
        : GetParam() == Stale::unrelated
            ? "parleyhand: first party " + id + " has not attached the segment: line not sent\n"
            : "parleyhand: no first party (user1_pid is " + id + "): line not sent\n";
    EXPECT_EQ(r.err, notice);

    sleeper.kill(SIGTERM);
    EXPECT_EQ(sleeper.finish().signal, SIGTERM) << "the unrelated process was signalled";
}

INSTANTIATE_TEST_SUITE_P(Parley, StaleFirstParty,
                         testing::Values(Stale::zero, Stale::minus_one, Stale::own, Stale::dead,
                                         Stale::unrelated),
                         [](const auto& info) { return testing::PrintToString(info.param); });

// The first party dies while parleyhand waits for its answer: the wait
// ends with a notice and the exchange goes on.
TEST(Parley, FirstPartyEndingWhileWaitedForIsReported)
{
    IpcNamespace ns;
    Parties p(ns);
    p.user1.kill(SIGSTOP);
    p.user2.write("hello\n");
    p.user2.drain(300ms);
    EXPECT_EQ(p.user2.err(), "");
    p.user1.kill(SIGKILL);
    EXPECT_TRUE(p.user2.wait_for("User2: ", 5s, 7)) << p.user2.out();
    p.user2.write("q\n");
    const Result r = p.user2.finish();
    EXPECT_EQ(r.status, 0) << r.describe();
    EXPECT_EQ(r.out, "User2: User2: ");
    EXPECT_EQ(r.err, "parleyhand: first party " + std::to_string(p.user1.pid()) +
                         " ended without taking the line\n");
    EXPECT_EQ(int_at(segment(ns), status_at), -1);
}

// Whatever the first party leaves in text, the handler prints no more than
// its 100 bytes.
TEST(Parley, HandlerPrintsAtMostTheHundredBytesOfText)
{
    IpcNamespace ns;
    const std::string x100(100, 'x');
    poke(ns, 0, x100 + "AAAAAAAAAAAA");
    Process user2(hand(ns));
    ASSERT_TRUE(user2.wait_for("User2: ")) << user2.out();
    user2.kill(SIGUSR2);
    EXPECT_TRUE(user2.wait_for("\n", 3s)) << user2.out();
    const Result r = user2.finish();
    EXPECT_EQ(r.status, 0) << r.describe();
    EXPECT_EQ(r.out, "User2: Received From User1: " + x100 + "\n");
}

// The first party sends only to a live parleyhand, too: never to an
// unrelated process whose id is left in user2_pid.
TEST(Parleylead, SendsNothingToAStaleSecondParty)
{
    IpcNamespace ns;
    Options sleeper_options;
    // In the same user namespace, so that its maps are readable; it has
    // joined once it speaks.
    sleeper_options.argv = {"/bin/sh", "-c", "echo up; exec sleep 30"};
    sleeper_options.ipc = &ns;
    Process sleeper(sleeper_options);
    ASSERT_TRUE(sleeper.wait_for("up\n"));
    poke(ns, user2_pid_at, int_bytes(sleeper.pid()));

    Options options = lead(ns);
    options.input = "hello\n";
    const Result r = run(options);
    EXPECT_EQ(r.status, 0) << r.describe();
    EXPECT_EQ(r.out, "User1: User1: ");
    EXPECT_EQ(r.err, "parleylead: second party " + std::to_string(sleeper.pid()) +
                         " has not attached the segment: line not sent\n");
    sleeper.kill(SIGTERM);
    EXPECT_EQ(sleeper.finish().signal, SIGTERM) << "the unrelated process was signalled";
}

}  // namespace
}  // namespace ipclab
