// parleylead: the first party, "User1", of the exchange with build/parleyhand.
//
// It attaches the segment with key 12345 and registers its process id in
// user1_pid. A line typed here is stored in `text` and SIGUSR2 tells
// parleyhand to print it. On SIGUSR1 parleyhand has stored a line in `text`:
// parleylead prints it and then sets `status` to not_ready, which ends
// parleyhand's busy-wait.
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

constexpr key_t exchange_key = 12345;             // both parties attach this segment
constexpr char segment_name[] = "/SYSV00003039";  // its name in /proc/PID/maps (key in hex)
constexpr std::size_t text_size = 100;            // bytes of text, terminator included
constexpr std::int32_t not_ready = -1;            // status: no line waits for User1
constexpr std::int32_t ready = 1;                 // status: a line waits in text for User1
constexpr int line_signal = SIGUSR1;              // User2 -> User1: take the line in text
constexpr int message_signal = SIGUSR2;           // User1 -> User2: print the text
constexpr long long pace_ns = 1000000000LL;       // one second between our own lines
constexpr std::size_t input_size = 256;           // pending standard input (> one line)

// The record laid over the segment, in the machine's own byte order. One
// `text` field carries both directions.
struct exchange_block {
    char text[text_size];    // the current message, a terminated text
    std::int32_t status;     // not_ready or ready: the only coordination word
    std::int32_t user1_pid;  // process id of the first party: ours
    std::int32_t user2_pid;  // process id of parleyhand
};
static_assert(sizeof(exchange_block) == 112);
static_assert(offsetof(exchange_block, status) == 100);
static_assert(offsetof(exchange_block, user1_pid) == 104);
static_assert(offsetof(exchange_block, user2_pid) == 108);

static volatile sig_atomic_t line_waiting = 0;  // SIGUSR1 came: a line is in text

// Only records; the main loop takes the line.
static void handler(int /*sig*/) { line_waiting = 1; }

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
    auto* shared_memory = static_cast<exchange_block*>(address);

    // SIGUSR1 is blocked except inside ppoll (and one chosen moment below),
    // so it cannot slip in between a test of line_waiting and the wait, and
    // interrupts nothing else: ppoll returns EINTR and the loop takes over.
    sigset_t blocked;
    sigset_t waiting;
    sigemptyset(&blocked);
    sigaddset(&blocked, line_signal);
    sigprocmask(SIG_BLOCK, &blocked, &waiting);
    sigdelset(&waiting, line_signal);
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    if (sigaction(line_signal, &action, nullptr) == -1) {
        perror("sigaction");
        shmdt(address);
        return 1;
    }

    // The other process changes these words: every access goes to memory.
    std::atomic_ref<std::int32_t> status(shared_memory->status);
    std::atomic_ref<std::int32_t> user2_pid(shared_memory->user2_pid);
    std::atomic_ref<std::int32_t>(shared_memory->user1_pid).store(own_pid);
    volatile char* text = shared_memory->text;

    char input[input_size];  // read but not yet handled
    std::size_t buffered = 0;
    bool input_ended = false;
    bool prompt_due = true;
    long long not_before_ns = 0;  // CLOCK_MONOTONIC time of our next line
    int exit_status = 0;
    for (;;) {
        if (line_waiting != 0) {
            line_waiting = 0;
            if (status.load() != ready)
                continue;              // no untaken line: a stray signal
            char line[text_size + 1];  // bounded, whatever parleyhand left
            std::size_t length = 0;
            while (length < text_size && (line[length] = text[length]) != '\0')
                ++length;
            line[length] = '\0';
            printf("Received From User2: %s\n", line);
            fflush(stdout);
            status.store(not_ready);  // taken: parleyhand stops waiting
            continue;
        }

        timespec now = {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long now_ns = now.tv_sec * 1000000000LL + now.tv_nsec;
        if (now_ns < not_before_ns) {
            // The pause after our own line, open to SIGUSR1 only.
            const long long left = not_before_ns - now_ns;
            const timespec pause = {static_cast<time_t>(left / 1000000000LL),
                                    static_cast<long>(left % 1000000000LL)};
            ppoll(nullptr, 0, &pause, &waiting);
            continue;
        }
        if (prompt_due) {
            fputs("User1: ", stdout);
            fflush(stdout);
            prompt_due = false;
        }

        // A SIGUSR1 that came since the last wait is let in now: parleyhand's
        // line is taken before one of ours overwrites text.
        sigprocmask(SIG_SETMASK, &waiting, nullptr);
        sigprocmask(SIG_BLOCK, &blocked, nullptr);
        if (line_waiting != 0)
            continue;

        // The next line as fgets would take it into a 100-byte buffer: up
        // to and including a newline, at most 99 characters, or what is
        // left at end of input.
        std::size_t length = 0;
        while (length < buffered && length < text_size - 1)
            if (input[length++] == '\n')
                break;
        const bool complete = (length > 0 && input[length - 1] == '\n') || length == text_size - 1 ||
                              (input_ended && length > 0);
        if (complete) {
            char line[text_size];
            memcpy(line, input, length);
            line[length] = '\0';
            memmove(input, input + length, buffered - length);
            buffered -= length;
            if (strcmp(line, "q\n") == 0)
                break;
            prompt_due = true;
            not_before_ns = now_ns + pace_ns;

            for (std::size_t i = 0; i <= length; ++i)
                text[i] = line[i];
            // The same care as parleyhand's: SIGUSR2 goes only to a live
            // process other than us that has this segment attached, through
            // a pidfd so that a reused id cannot redirect it.
            const pid_t target = user2_pid.load();
            if (target <= 1 || target == own_pid) {
                fprintf(stderr, "parleylead: no second party (user2_pid is %d): line not sent\n",
                        static_cast<int>(target));
                continue;
            }
            const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, target, 0));
            if (pidfd == -1) {
                if (errno == ESRCH)
                    fprintf(stderr, "parleylead: second party %d is not running: line not sent\n",
                            static_cast<int>(target));
                else
                    perror("pidfd_open");
                continue;
            }
            char maps_path[32];
            snprintf(maps_path, sizeof maps_path, "/proc/%d/maps", static_cast<int>(target));
            bool attached = false;
            int maps_errno = 0;
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
            // Polled after the scan: still running means the maps we read
            // were this process's.
            pollfd exit_check = {pidfd, POLLIN, 0};
            if (poll(&exit_check, 1, 0) > 0)
                fprintf(stderr, "parleylead: second party %d is not running: line not sent\n",
                        static_cast<int>(target));
            else if (!attached && maps_errno != 0 && maps_errno != ENOENT && maps_errno != ESRCH)
                fprintf(stderr, "parleylead: %s: %s: line not sent\n", maps_path, strerror(maps_errno));
            else if (!attached)
                fprintf(stderr, "parleylead: second party %d has not attached the segment: line not sent\n",
                        static_cast<int>(target));
            else if (syscall(SYS_pidfd_send_signal, pidfd, message_signal, nullptr, 0) == -1)
                perror("pidfd_send_signal");
            close(pidfd);
            continue;
        }
        if (input_ended)
            break;

        // Wait for input or SIGUSR1, whichever comes first.
        pollfd in = {STDIN_FILENO, POLLIN, 0};
        if (ppoll(&in, 1, nullptr, &waiting) == -1) {
            if (errno == EINTR)
                continue;  // the handler ran
            perror("ppoll");
            exit_status = 1;
            break;
        }
        const ssize_t n = read(STDIN_FILENO, input + buffered, sizeof input - buffered);
        if (n > 0) {
            buffered += static_cast<std::size_t>(n);
        } else if (n == 0) {
            input_ended = true;
        } else if (errno != EINTR && errno != EAGAIN) {
            perror("read");
            exit_status = 1;
            break;
        }
    }

    shmdt(address);
    return exit_status;
}
