// parleylead: the first party, "User1", of the exchange with build/parleyhand.
//
// It attaches the segment with key 12345 (the record is in exchange.hpp) and
// registers its process id in user1_pid. A line typed here is stored in
// `text` and SIGUSR2 tells parleyhand to print it. On SIGUSR1 parleyhand has
// stored a line in `text`: parleylead prints it and then sets `status` to
// not_ready, which ends parleyhand's busy-wait.
//
// One loop waits for both at once: ppoll on standard input with SIGUSR1 let
// in only during the wait. The handler merely records the signal; the loop
// takes the line. After each line of its own it pauses one second, as
// parleyhand does, so a message is not overwritten by the next one before
// parleyhand has printed it, and only then prompts again. Every output is
// flushed at once, so the trace comes in the same order on a pipe.
//
// Run: build/peers/parleylead, then build/parleyhand in a second terminal.
// The line "q" or end of input quits.

#include "exchange.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#include <unistd.h>

constexpr long long pace_ns = 1000000000LL;  // one second between our own lines
constexpr std::size_t input_size = 256;      // pending standard input (> one line)

// Standard input read but not yet handled.
struct pending_input {
    char bytes[input_size];
    std::size_t buffered;
    bool ended;
};

static volatile sig_atomic_t line_waiting = 0;  // SIGUSR1 came: a line is in text

// Only records; the main loop takes the line.
static void handler(int /*sig*/) { line_waiting = 1; }

static void catch_line_signal(sigset_t* blocked, sigset_t* waiting);
static void take_line(exchange_block* shared_memory);
static long long now_ns();
static void pause_until(long long not_before_ns, const sigset_t& waiting);
static bool next_line(pending_input& input, char (&line)[text_size]);
static void send_line(exchange_block* shared_memory, const char* line, pid_t own_pid, int shmid);
static void signal_line(exchange_block* shared_memory, const char* line, int pidfd, int id);
static int read_input(pending_input& input, const sigset_t& waiting);
[[noreturn]] static void fail(const char* call, const char* argument);

int main()
{
    keep_standard_streams_open();  // /proc/PID/maps is opened later
    const pid_t own_pid = getpid();
    const int shmid = shmget(exchange_key, sizeof(exchange_block), IPC_CREAT | 0666);
    if (shmid == -1)
        fail("shmget", "key 12345");
    void* address = shmat(shmid, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1))
        fail("shmat", "key 12345");
    auto* shared_memory = static_cast<exchange_block*>(address);
    sigset_t blocked;  // SIGUSR1 alone
    sigset_t waiting;  // the mask inside ppoll: SIGUSR1 let in
    catch_line_signal(&blocked, &waiting);
    std::atomic_ref<std::int32_t>(shared_memory->user1_pid).store(own_pid);
    pending_input input = {};
    bool prompt_due = true;
    long long not_before_ns = 0;  // CLOCK_MONOTONIC time of our next line
    int exit_status = 0;
    for (;;) {
        if (line_waiting != 0) {
            line_waiting = 0;
            take_line(shared_memory);
            continue;
        }
        if (now_ns() < not_before_ns) {
            pause_until(not_before_ns, waiting);  // open to SIGUSR1 only
            continue;
        }
        if (prompt_due) {
            fputs("User1: ", stdout);
            fflush(stdout);
            prompt_due = false;
        }
        // A SIGUSR1 come since the last wait is let in: its line is taken first.
        if (sigprocmask(SIG_SETMASK, &waiting, nullptr) == -1 ||
            sigprocmask(SIG_BLOCK, &blocked, nullptr) == -1)
            fail("sigprocmask", "SIG_SETMASK");
        if (line_waiting != 0)
            continue;

        char line[text_size];
        if (next_line(input, line)) {
            if (strcmp(line, "q\n") == 0)
                break;
            prompt_due = true;
            not_before_ns = now_ns() + pace_ns;
            send_line(shared_memory, line, own_pid, shmid);
            continue;
        }
        if (input.ended)
            break;
        exit_status = read_input(input, waiting);  // input or SIGUSR1
        if (exit_status != 0)
            break;
    }
    if (shmdt(address) == -1)
        fail("shmdt", "key 12345");
    return exit_status;
}

// Reports a failed call as "parleylead: CALL(ARGUMENT): reason" and ends.
[[noreturn]] static void fail(const char* call, const char* argument)
{
    const int saved_errno = errno;
    fprintf(stderr, "parleylead: %s(%s): %s\n", call, argument, strerror(saved_errno));
    exit(1);
}

// SIGUSR1 is blocked except inside ppoll (and one chosen moment in the
// loop), so it cannot slip in between a test of line_waiting and the wait,
// and interrupts nothing else: ppoll returns EINTR and the loop takes over.
static void catch_line_signal(sigset_t* blocked, sigset_t* waiting)
{
    sigemptyset(blocked);
    sigaddset(blocked, line_signal);
    if (sigprocmask(SIG_BLOCK, blocked, waiting) == -1)
        fail("sigprocmask", "SIG_BLOCK");
    sigdelset(waiting, line_signal);
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    if (sigaction(line_signal, &action, nullptr) == -1)
        fail("sigaction", "SIGUSR1");
}

// Prints parleyhand's line and tells it the line is taken. A SIGUSR1 while
// no line waits (status not ready) is a stray signal and changes nothing.
static void take_line(exchange_block* shared_memory)
{
    // The other process changes these words: every access goes to memory.
    std::atomic_ref<std::int32_t> status(shared_memory->status);
    if (status.load() != ready)
        return;
    const volatile char* text = shared_memory->text;
    char line[text_size + 1];  // bounded, whatever parleyhand left
    std::size_t length = 0;
    while (length < text_size && (line[length] = text[length]) != '\0')
        ++length;
    line[length] = '\0';
    printf("Received From User2: %s\n", line);
    fflush(stdout);
    status.store(not_ready);  // taken: parleyhand stops waiting
}

static long long now_ns()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// The pause after our own line, open to SIGUSR1 only.
static void pause_until(long long not_before_ns, const sigset_t& waiting)
{
    const long long left = not_before_ns - now_ns();
    if (left <= 0)
        return;
    const timespec pause = {static_cast<time_t>(left / 1000000000LL), static_cast<long>(left % 1000000000LL)};
    (void)ppoll(nullptr, 0, &pause, &waiting);  // EINTR: the handler ran, which the loop sees
}

// Takes the next line out of `input` as fgets would take it into a 100-byte
// buffer: up to and including a newline, at most 99 characters, or what is
// left at end of input. Returns false when no whole line is there yet.
static bool next_line(pending_input& input, char (&line)[text_size])
{
    std::size_t length = 0;
    while (length < input.buffered && length < text_size - 1)
        if (input.bytes[length++] == '\n')
            break;
    const bool complete = (length > 0 && input.bytes[length - 1] == '\n') || length == text_size - 1 ||
                          (input.ended && length > 0);
    if (!complete)
        return false;
    memcpy(line, input.bytes, length);
    line[length] = '\0';
    memmove(input.bytes, input.bytes + length, input.buffered - length);
    input.buffered -= length;
    return true;
}

// Stores the line in text and sends SIGUSR2, with the same care as
// parleyhand's: only to a live process other than us that has this segment
// attached, through a pidfd so that a reused id cannot redirect it. Every
// check comes first: the line is stored just before the signal.
static void send_line(exchange_block* shared_memory, const char* line, pid_t own_pid, int shmid)
{
    const pid_t target = std::atomic_ref<std::int32_t>(shared_memory->user2_pid).load();
    const int id = static_cast<int>(target);
    if (target <= 1 || target == own_pid) {
        fprintf(stderr, "parleylead: no second party (user2_pid is %d): line not sent\n", id);
        return;
    }
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, target, 0));
    if (pidfd == -1) {
        if (errno == ESRCH)
            fprintf(stderr, "parleylead: second party %d is not running: line not sent\n", id);
        else
            fprintf(stderr, "parleylead: pidfd_open(%d): %s\n", id, strerror(errno));
        return;
    }
    char maps_path[maps_path_size] = {};
    int maps_errno = 0;
    const bool attached = partner_has_segment(target, shmid, maps_path, &maps_errno);
    // Polled after the scan: still running means the maps we read were this
    // process's.
    pollfd exit_check = {pidfd, POLLIN, 0};
    if (poll(&exit_check, 1, 0) > 0 || (!attached && maps_errno == 0 && partner_is_ending(target, pidfd)))
        fprintf(stderr, "parleylead: second party %d is not running: line not sent\n", id);
    else if (!attached && maps_errno != 0)
        fprintf(stderr, "parleylead: fopen(%s): %s\n", maps_path, strerror(maps_errno));
    else if (!attached)
        fprintf(stderr, "parleylead: second party %d has not attached the segment: line not sent\n", id);
    else
        signal_line(shared_memory, line, pidfd, id);
    close(pidfd);
}

static void signal_line(exchange_block* shared_memory, const char* line, int pidfd, int id)
{
    volatile char* text = shared_memory->text;
    const std::size_t length = strlen(line);
    for (std::size_t i = 0; i <= length; ++i)
        text[i] = line[i];
    if (syscall(SYS_pidfd_send_signal, pidfd, message_signal, nullptr, 0) == -1)
        fprintf(stderr, "parleylead: pidfd_send_signal(%d): %s\n", id, strerror(errno));
}

// Waits for standard input or SIGUSR1, whichever comes first, and reads what
// came. Returns 0, or 1 after reporting a failure.
static int read_input(pending_input& input, const sigset_t& waiting)
{
    pollfd in = {STDIN_FILENO, POLLIN, 0};
    if (ppoll(&in, 1, nullptr, &waiting) == -1) {
        if (errno == EINTR)
            return 0;  // the handler ran
        fprintf(stderr, "parleylead: ppoll(stdin): %s\n", strerror(errno));
        return 1;
    }
    const ssize_t n = read(STDIN_FILENO, input.bytes + input.buffered, sizeof input.bytes - input.buffered);
    if (n > 0)
        input.buffered += static_cast<std::size_t>(n);
    else if (n == 0)
        input.ended = true;
    else if (errno != EINTR && errno != EAGAIN) {
        fprintf(stderr, "parleylead: read(stdin): %s\n", strerror(errno));
        return 1;
    }
    return 0;
}
