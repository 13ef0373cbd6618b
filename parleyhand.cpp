// parleyhand: two unrelated programs exchange lines through a System V shared
// memory segment and two signals. This is the second party, "User2".
//
// Both parties attach the segment with key 12345, which holds one
// exchange_block (peers/exchange.hpp). Each line typed here is stored in
// `text`; then `status` is set to ready, SIGUSR1 tells the first party
// ("User1"), and parleyhand busy-waits until the first party has taken the
// line and changed `status`. The first party sends the other way by storing
// a text and sending SIGUSR2; `handler` prints it at once, even while
// parleyhand is blocked reading.
//
// Run, in two terminals, from the top directory:
//   build/peers/parleylead     (the first party; start it first)
//   build/parleyhand
// Type lines in either one; the line "q" quits. The segment stays behind:
// `ipcs -m` shows it, `ipcrm -M 12345` removes it.

#include "peers/exchange.hpp"

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

constexpr unsigned long spins_per_check = 1UL << 16;   // busy-wait tests between exit checks
constexpr unsigned long checks_per_rescan = 1UL << 8;  // exit checks between attachment checks

// The first party a line goes to: its id, and a pidfd that names that very
// process even if the id is reused.
struct first_party {
    pid_t pid;
    int pidfd;
};

static void clear_inherited_mask();
static void hold_messages();
static void let_messages_in();
static void install_handler();
static void sleep_one_second();
static int end_of_input(int read_errno);
static void copy_into_text(const char* line);
static bool find_first_party(pid_t own_pid, int shmid, first_party* first);
static bool send_line_signal(const first_party& first);
static void wait_until_taken(std::atomic_ref<std::int32_t> status, const first_party& first, int shmid);
[[noreturn]] static void fail(const char* call, const char* argument);

// Set once before `handler` is installed; the handler reaches the segment
// through it.
static exchange_block* shared_memory = nullptr;

// Prints the first party's message. Only async-signal-safe work: the notice
// is built in a local buffer and written with one write(2). The text is read
// byte by byte through a volatile pointer, because the other process owns
// it, and never beyond its 100 bytes, whatever the other process left there.
static void handler(int sig)
{
    if (sig != message_signal)
        return;
    const int saved_errno = errno;
    constexpr char label[] = "Received From User1: ";
    char notice[sizeof label - 1 + text_size + 1];
    std::size_t length = sizeof label - 1;
    memcpy(notice, label, length);
    const volatile char* text = shared_memory->text;
    for (std::size_t i = 0; i < text_size; ++i) {
        const char c = text[i];
        if (c == '\0')
            break;
        notice[length++] = c;
    }
    notice[length++] = '\n';
    const ssize_t written = write(STDOUT_FILENO, notice, length);
    (void)written;  // nowhere to report a failed write from here
    errno = saved_errno;
}

int main()
{
    keep_standard_streams_open();  // /proc/PID/maps is opened later
    clear_inherited_mask();
    const pid_t own_pid = getpid();

    const int shmid = shmget(exchange_key, sizeof(exchange_block), IPC_CREAT | 0666);
    if (shmid == -1)
        fail("shmget", "key 12345");
    shared_memory = static_cast<exchange_block*>(shmat(shmid, nullptr, 0));
    if (shared_memory == reinterpret_cast<exchange_block*>(-1))
        fail("shmat", "key 12345");
    install_handler();  // before our id is published: SIGUSR2 may come at once
    std::atomic_ref<std::int32_t> status(shared_memory->status);  // read afresh each time
    std::atomic_ref<std::int32_t>(shared_memory->user2_pid).store(own_pid);
    status.store(not_ready);

    int exit_status = 0;
    for (;;) {
        let_messages_in();  // a message during the pause is printed at once
        sleep_one_second();
        hold_messages();  // never inside the prompt
        fputs("User2: ", stdout);
        fflush(stdout);  // shown before the read, on a terminal or a pipe
        // Read into a private buffer, not straight into text, where a message
        // of the first party's may arrive meanwhile: the line stays whole.
        char line[text_size];  // at most 99 characters and the terminator
        let_messages_in();
        const bool got_line = fgets(line, sizeof line, stdin) != nullptr;
        const int read_errno = errno;
        hold_messages();  // from here text is ours until the line is sent
        if (!got_line) {
            exit_status = end_of_input(read_errno);
            break;
        }
        if (strcmp(line, "q\n") == 0) {
            copy_into_text(line);
            break;  // the first party is not told; status stays as it is
        }
        // Every check first: nothing stands between text, ready and the signal.
        first_party first = {};
        if (!find_first_party(own_pid, shmid, &first))
            continue;
        copy_into_text(line);
        status.store(ready);  // ready is stored before the signal goes out
        if (send_line_signal(first)) {
            let_messages_in();
            wait_until_taken(status, first, shmid);
            hold_messages();
        } else {
            status.store(not_ready);  // nobody will take the line
        }
        close(first.pidfd);
    }
    // SIGUSR2 is blocked here: the handler cannot run once the segment is gone.
    if (shmdt(shared_memory) == -1)
        fail("shmdt", "key 12345");
    return exit_status;
}

// Reports a failed call as "parleyhand: CALL(ARGUMENT): reason" and ends.
[[noreturn]] static void fail(const char* call, const char* argument)
{
    const int saved_errno = errno;
    fprintf(stderr, "parleyhand: %s(%s): %s\n", call, argument, strerror(saved_errno));
    exit(1);
}

// SIGUSR2 is blocked while the main loop writes to standard output or
// changes text, so the handler's notice never lands inside the prompt and
// never shows a half-copied line.
static void change_messages(int how, const char* name)
{
    sigset_t messages;
    sigemptyset(&messages);
    sigaddset(&messages, message_signal);
    if (sigprocmask(how, &messages, nullptr) == -1)
        fail("sigprocmask", name);
}

// A parent may hand down blocked signals through exec. None stays blocked
// here: SIGUSR2 is blocked only where the main loop chooses, and SIGUSR1
// never, so that no parleyhand looks like a first party (see
// check_line_signal).
static void clear_inherited_mask()
{
    sigset_t none;
    sigemptyset(&none);
    if (sigprocmask(SIG_SETMASK, &none, nullptr) == -1)
        fail("sigprocmask", "SIG_SETMASK");
}

static void hold_messages() { change_messages(SIG_BLOCK, "SIG_BLOCK"); }

static void let_messages_in() { change_messages(SIG_UNBLOCK, "SIG_UNBLOCK"); }

// SA_RESTART: a read the signal interrupts carries on afterwards.
static void install_handler()
{
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(message_signal, &action, nullptr) == -1)
        fail("sigaction", "SIGUSR2");
}

// A whole second, even when the handler interrupts it.
static void sleep_one_second()
{
    timespec pause = {1, 0};
    while (nanosleep(&pause, &pause) == -1 && errno == EINTR) {
    }
}

// End of input ends the exchange like the quit line; a failed read is
// reported. Returns the exit status.
static int end_of_input(int read_errno)
{
    if (!ferror(stdin))
        return 0;
    fprintf(stderr, "parleyhand: fgets(stdin): %s\n", strerror(read_errno));
    return 1;
}

// Stores the line, terminator included, in the shared text, one byte at a
// time through a volatile pointer: the other process reads it.
static void copy_into_text(const char* line)
{
    volatile char* text = shared_memory->text;
    const std::size_t length = strlen(line);
    for (std::size_t i = 0; i <= length; ++i)
        text[i] = line[i];
}

// The guard below the lesson. What can be wrong with the first party: the id
// is not one (0 in a fresh segment would signal our own process group, -1
// every process we may signal); it names no process; the process has ended;
// it does not have this segment attached (a stale id reused by an unrelated
// process); it ends or detaches while we wait.
// And it may be no first party at all but another second party (another
// parleyhand) whose id was planted in user1_pid: SIGUSR1 would end it.
enum class partner { present, ended, detached, unreadable, unprepared };

// Looks at the first party: scans its /proc/PID/maps for this segment when
// `scan`, then polls its pidfd (readable once it has ended). Polled after
// the scan, the maps read belong to the process behind the pidfd. Without
// the segment, a first party that is ending has ended, not detached.
static partner look_at(const first_party& first, int shmid, bool scan, char (&maps_path)[maps_path_size],
                       int* maps_errno)
{
    bool attached = true;
    *maps_errno = 0;
    if (scan)
        attached = partner_has_segment(first.pid, shmid, maps_path, maps_errno);
    pollfd exit_check = {first.pidfd, POLLIN, 0};
    if (poll(&exit_check, 1, 0) > 0)
        return partner::ended;
    if (attached)
        return partner::present;
    if (*maps_errno != 0)
        return partner::unreadable;
    return partner_is_ending(first.pid, first.pidfd) ? partner::ended : partner::detached;
}

// Whether the first party is ready for SIGUSR1, as a first party must be:
// it catches it (SigCgt in /proc/PID/status) or holds it blocked for
// sigwait or a signalfd (SigBlk). A second party does neither: parleyhand
// never catches SIGUSR1 and clears any blocked signals it inherits, so for
// another parleyhand the signal's default action, the end, would follow.
// The pidfd is polled after the read, so the status read was its process's.
static partner check_line_signal(const first_party& first, char (&path)[maps_path_size], int* error)
{
    snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(first.pid));
    *error = 0;
    FILE* status = fopen(path, "re");
    if (status == nullptr)
        *error = errno == ENOENT || errno == ESRCH ? 0 : errno;
    const unsigned long long line_bit = 1ULL << (line_signal - 1);
    bool takes = false;
    char* entry = nullptr;
    std::size_t capacity = 0;
    while (status != nullptr && getline(&entry, &capacity, status) != -1) {
        for (const char* field : {"SigBlk:", "SigCgt:"})
            if (strncmp(entry, field, strlen(field)) == 0)
                takes = takes || (strtoull(entry + strlen(field), nullptr, 16) & line_bit) != 0;
    }
    free(entry);
    if (status != nullptr)
        (void)fclose(status);  // read only: nothing is lost when closing fails
    pollfd exit_check = {first.pidfd, POLLIN, 0};
    if (poll(&exit_check, 1, 0) > 0)
        return partner::ended;
    if (*error != 0)
        return partner::unreadable;
    return takes ? partner::present : partner::unprepared;
}

// Says why the line was not sent (`sent` false) or why we stopped waiting.
static void report(partner state, pid_t pid, bool sent, const char* maps_path, int maps_errno)
{
    const int id = static_cast<int>(pid);
    if (state == partner::unreadable)
        fprintf(stderr, "parleyhand: fopen(%s): %s\n", maps_path, strerror(maps_errno));
    else if (state == partner::ended && !sent)
        fprintf(stderr, "parleyhand: first party %d is not running: line not sent\n", id);
    else if (state == partner::ended)
        fprintf(stderr, "parleyhand: first party %d ended without taking the line\n", id);
    else if (state == partner::unprepared)
        fprintf(stderr, "parleyhand: first party %d neither catches nor blocks SIGUSR1: line not sent\n", id);
    else if (!sent)
        fprintf(stderr, "parleyhand: first party %d has not attached the segment: line not sent\n", id);
    else
        fprintf(stderr, "parleyhand: first party %d detached without taking the line\n", id);
}

// Only a live process other than us that has this segment attached and is
// ready for SIGUSR1 gets it, and through a pidfd, so that an id reused meanwhile cannot
// redirect the signal. Returns false, with a notice, when there is none.
static bool find_first_party(pid_t own_pid, int shmid, first_party* first)
{
    std::atomic_ref<std::int32_t> user1_pid(shared_memory->user1_pid);
    first->pid = user1_pid.load();
    if (first->pid <= 1 || first->pid == own_pid) {
        fprintf(stderr, "parleyhand: no first party (user1_pid is %d): line not sent\n",
                static_cast<int>(first->pid));
        return false;
    }
    first->pidfd = static_cast<int>(syscall(SYS_pidfd_open, first->pid, 0));
    if (first->pidfd == -1) {
        if (errno == ESRCH)
            fprintf(stderr, "parleyhand: first party %d is not running: line not sent\n",
                    static_cast<int>(first->pid));
        else
            fprintf(stderr, "parleyhand: pidfd_open(%d): %s\n", static_cast<int>(first->pid),
                    strerror(errno));
        return false;
    }
    char maps_path[maps_path_size] = {};
    int maps_errno = 0;
    partner state = look_at(*first, shmid, true, maps_path, &maps_errno);
    if (state == partner::present)
        state = check_line_signal(*first, maps_path, &maps_errno);
    if (state == partner::present)
        return true;
    report(state, first->pid, false, maps_path, maps_errno);
    close(first->pidfd);
    return false;
}

// SIGUSR1 through the pidfd; a failure is reported.
static bool send_line_signal(const first_party& first)
{
    if (syscall(SYS_pidfd_send_signal, first.pidfd, line_signal, nullptr, 0) == 0)
        return true;
    fprintf(stderr, "parleyhand: pidfd_send_signal(%d): %s\n", static_cast<int>(first.pid), strerror(errno));
    return false;
}

// Busy-waits until the first party has taken the line: reads status again
// and again, from memory. Every spins_per_check tests it makes sure the first
// party is still running; rarely, that it still has the segment attached. If
// not, nobody will take the line: status goes back to not_ready.
static void wait_until_taken(std::atomic_ref<std::int32_t> status, const first_party& first, int shmid)
{
    for (unsigned long spins = 1;; ++spins) {
        if (status.load() != ready)
            return;  // the first party has taken the line
        if (spins % spins_per_check != 0)
            continue;
        const bool scan = (spins / spins_per_check) % checks_per_rescan == 0;
        char maps_path[maps_path_size] = {};
        int maps_errno = 0;
        const partner state = look_at(first, shmid, scan, maps_path, &maps_errno);
        if (state == partner::present)
            continue;
        hold_messages();  // the notice goes to standard error alone
        report(state, first.pid, true, maps_path, maps_errno);
        status.store(not_ready);
        return;
    }
}
