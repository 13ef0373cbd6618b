// parleyhand: two unrelated programs exchange lines through a System V shared
// memory segment and two signals. This is the second party, "User2".
//
// Both parties attach the segment with key 12345, which holds one
// exchange_block. Each line typed here is stored in `text`; then `status` is
// set to ready, SIGUSR1 tells the first party ("User1"), and parleyhand
// busy-waits until the first party has taken the line and changed `status`.
// The first party sends the other way by storing a text and sending SIGUSR2;
// `handler` prints it at once, even while parleyhand is blocked reading.
//
// Run, in two terminals, from the top directory:
//   build/peers/parleylead     (the first party; start it first)
//   build/parleyhand
// Type lines in either one; the line "q" quits. The segment stays behind:
// `ipcs -m` shows it, `ipcrm -M 12345` removes it.

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

constexpr key_t exchange_key = 12345;                  // both parties attach this segment
constexpr char segment_name[] = "/SYSV00003039";       // its name in /proc/PID/maps (key in hex)
constexpr std::size_t text_size = 100;                 // bytes of text, terminator included
constexpr std::int32_t not_ready = -1;                 // status: no line waits for User1
constexpr std::int32_t ready = 1;                      // status: a line waits in text for User1
constexpr int line_signal = SIGUSR1;                   // User2 -> User1: take the line in text
constexpr int message_signal = SIGUSR2;                // User1 -> User2: print the text
constexpr unsigned long spins_per_check = 1UL << 16;   // busy-wait tests between exit checks
constexpr unsigned long checks_per_rescan = 1UL << 8;  // exit checks between attachment checks

// The record laid over the segment, in the machine's own byte order. One
// `text` field carries both directions.
struct exchange_block {
    char text[text_size];    // the current message, a terminated text
    std::int32_t status;     // not_ready or ready: the only coordination word
    std::int32_t user1_pid;  // process id of the first party, written by it
    std::int32_t user2_pid;  // process id of parleyhand, written at start
};
static_assert(sizeof(exchange_block) == 112);
static_assert(offsetof(exchange_block, status) == 100);
static_assert(offsetof(exchange_block, user1_pid) == 104);
static_assert(offsetof(exchange_block, user2_pid) == 108);

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
    const pid_t own_pid = getpid();

    const int shmid = shmget(exchange_key, sizeof(exchange_block), IPC_CREAT | 0666);
    if (shmid == -1) {
        perror("shmget");
        return 1;
    }
    void* address = shmat(shmid, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        perror("shmat");
        return 1;
    }
    shared_memory = static_cast<exchange_block*>(address);

    // The handler goes in before our id is published: a first party that
    // finds the id may signal at once, and SIGUSR2 would otherwise kill us.
    // SA_RESTART: a read the signal interrupts carries on afterwards.
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(message_signal, &action, nullptr) == -1) {
        perror("sigaction");
        shmdt(address);
        return 1;
    }

    // The other process changes these words: every access goes to memory.
    std::atomic_ref<std::int32_t> status(shared_memory->status);
    std::atomic_ref<std::int32_t> user1_pid(shared_memory->user1_pid);
    std::atomic_ref<std::int32_t>(shared_memory->user2_pid).store(own_pid);
    status.store(not_ready);

    // SIGUSR2 is blocked while the main loop writes to standard output or
    // changes text, so the handler's notice never lands inside the prompt
    // and never shows a half-copied line.
    sigset_t message_only;
    sigemptyset(&message_only);
    sigaddset(&message_only, message_signal);

    int exit_status = 0;
    for (;;) {
        // A message during the pause is printed at once; the pause is still
        // a whole second.
        sigprocmask(SIG_UNBLOCK, &message_only, nullptr);
        timespec pause = {1, 0};
        while (nanosleep(&pause, &pause) == -1 && errno == EINTR) {
        }

        sigprocmask(SIG_BLOCK, &message_only, nullptr);
        fputs("User2: ", stdout);
        fflush(stdout);  // shown before the read, on a terminal or a pipe
        sigprocmask(SIG_UNBLOCK, &message_only, nullptr);

        // The line is read into a private buffer, not straight into text:
        // a message that arrives while the user is typing is stored in text
        // by the first party and printed by the handler, and a read into
        // text would splice the two. Copied below, the line arrives whole.
        char line[text_size];  // at most 99 characters and the terminator
        const bool got_line = fgets(line, sizeof line, stdin) != nullptr;
        const int read_errno = errno;
        sigprocmask(SIG_BLOCK, &message_only, nullptr);
        if (!got_line) {
            // End of input ends the exchange like the quit line.
            if (ferror(stdin)) {
                errno = read_errno;
                perror("fgets");
                exit_status = 1;
            }
            break;
        }
        volatile char* text = shared_memory->text;
        const std::size_t length = strlen(line);
        for (std::size_t i = 0; i <= length; ++i)
            text[i] = line[i];
        if (strcmp(line, "q\n") == 0)
            break;  // the first party is not told; status stays as it is

        // user1_pid is whatever the segment holds: 0 in a fresh segment
        // would signal our own process group, -1 every process we may
        // signal, a stale id some unrelated process. Only a live process
        // that has this segment attached gets SIGUSR1, and through a pidfd,
        // so that an id reused meanwhile cannot redirect the signal.
        const pid_t target = user1_pid.load();
        if (target <= 1 || target == own_pid) {
            fprintf(stderr, "parleyhand: no first party (user1_pid is %d): line not sent\n",
                    static_cast<int>(target));
            continue;
        }
        const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, target, 0));
        if (pidfd == -1) {
            if (errno == ESRCH)
                fprintf(stderr, "parleyhand: first party %d is not running: line not sent\n",
                        static_cast<int>(target));
            else
                perror("pidfd_open");
            continue;
        }

        // One loop both checks before the signal and busy-waits after it.
        // Every spins_per_check tests of status it polls the pidfd (readable
        // once the process has ended); rarely, and once before the signal,
        // it looks in /proc/PID/maps for this segment: named by its key,
        // with the segment id as inode number. The pidfd is polled after
        // the scan, so the maps read belong to the process behind the pidfd.
        bool sent = false;
        sigprocmask(SIG_UNBLOCK, &message_only, nullptr);
        for (unsigned long spins = 0;; ++spins) {
            if (sent && status.load() != ready)
                break;  // the first party has taken the line
            if (spins % spins_per_check != 0)
                continue;
            const bool scan = !sent || (spins / spins_per_check) % checks_per_rescan == 0;
            bool attached = true;
            int maps_errno = 0;
            char maps_path[32] = {};
            if (scan) {
                snprintf(maps_path, sizeof maps_path, "/proc/%d/maps", static_cast<int>(target));
                attached = false;
                FILE* maps = fopen(maps_path, "re");
                if (maps == nullptr) {
                    maps_errno = errno;
                } else {
                    char* entry = nullptr;
                    std::size_t capacity = 0;
                    while (!attached && getline(&entry, &capacity, maps) != -1) {
                        // address perms offset device inode path, one blank between the
                        // first five; a System V segment has its id as inode number
                        const char* field = entry;
                        for (int skip = 0; skip < 4 && field != nullptr; ++skip) {
                            field = strchr(field, ' ');
                            if (field != nullptr)
                                ++field;
                        }
                        if (field == nullptr)
                            continue;
                        char* end = nullptr;
                        const unsigned long inode = strtoul(field, &end, 10);
                        if (end == field || *end != ' ')
                            continue;
                        const char* path = end + strspn(end, " ");
                        const std::size_t name_length = sizeof segment_name - 1;
                        attached = inode == static_cast<unsigned long>(shmid) &&
                                   strncmp(path, segment_name, name_length) == 0 &&
                                   (path[name_length] == ' ' || path[name_length] == '\n');
                    }
                    free(entry);
                    fclose(maps);
                }
            }
            pollfd exit_check = {pidfd, POLLIN, 0};
            const bool ended = poll(&exit_check, 1, 0) > 0;
            if (ended || !attached) {
                sigprocmask(SIG_BLOCK, &message_only, nullptr);
                const char* outcome = sent ? " without taking the line" : ": line not sent";
                if (ended)
                    fprintf(stderr, "parleyhand: first party %d %s%s\n", static_cast<int>(target),
                            sent ? "ended" : "is not running", outcome);
                else if (maps_errno != 0 && maps_errno != ENOENT && maps_errno != ESRCH)
                    fprintf(stderr, "parleyhand: %s: %s%s\n", maps_path, strerror(maps_errno),
                            sent ? "; stopped waiting" : ": line not sent");
                else
                    fprintf(stderr, "parleyhand: first party %d %s%s\n", static_cast<int>(target),
                            sent ? "detached" : "has not attached the segment", outcome);
                status.store(not_ready);  // nobody will take the line
                break;
            }
            if (!sent) {
                // ready is stored before the signal goes out.
                status.store(ready);
                if (syscall(SYS_pidfd_send_signal, pidfd, line_signal, nullptr, 0) == -1) {
                    sigprocmask(SIG_BLOCK, &message_only, nullptr);
                    perror("pidfd_send_signal");
                    status.store(not_ready);
                    break;
                }
                sent = true;
            }
        }
        close(pidfd);
    }

    // SIGUSR2 is blocked: the handler cannot run once the segment is gone.
    shmdt(address);
    return exit_status;
}
