// shake: a preload library that makes every fork sleep the parent or the
// child for a random while, so that interleavings the scheduler rarely
// gives (segrace's late child, greetloose's "World!" first, a signal sent
// before the child is ready for it) become common.
//
// Loaded with LD_PRELOAD, it wraps fork(). Before the real fork it draws
// which side sleeps and for how long (0 to IPCLAB_SHAKE_MAX_MS milliseconds,
// in microseconds); after it, that side sleeps before fork returns to the
// program, while the other goes on at once.
//
// Environment:
//   IPCLAB_SHAKE_SEED     the seed (any text). The same seed gives the same
//                         choices. Without it a seed is taken at random and
//                         written to standard error, to be given back.
//   IPCLAB_SHAKE_MAX_MS   the longest sleep, in whole milliseconds (default 5).
//   IPCLAB_SHAKE_COUNTER  a file counting the processes that forked with
//                         the library. Each one mixes its number into the
//                         seed, so a series of runs (tools/outcomes,
//                         tools/check) gets different choices in every run
//                         and the same ones again for the same seed.
//   IPCLAB_SHAKE_LOG      a file to which each choice is appended, one line
//                         per fork: "process N fork M: child sleeps U us".
//   IPCLAB_SHAKE_HOLD     "child" or "parent": no chance at all. At every
//                         fork that side is held back until the other has
//                         ended, replaced its program, or started to wait
//                         for a child or a signal (wait, waitpid, pause,
//                         sigsuspend...; a sleep does not count), or for
//                         IPCLAB_SHAKE_MAX_MS at the most (default 2000
//                         here). An order that holds only by luck (a sleep)
//                         fails every time; an order the program really
//                         fixes (a wait, a signal) holds both ways; a race
//                         shows each side first in turn. "child-to-end"
//                         or "parent-to-end": held until the other has
//                         ended or replaced its program, whatever it
//                         waits for (or for IPCLAB_SHAKE_MAX_MS).
//
// Run: LD_PRELOAD=build/tools/libshake.so IPCLAB_SHAKE_SEED=7 build/segrace
//      LD_PRELOAD=build/tools/libshake.so IPCLAB_SHAKE_HOLD=child build/segrace
//      tools/outcomes --shake segrace 200

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <csignal>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr unsigned default_max_ms = 5;      // the longest sleep unless told
constexpr unsigned default_hold_ms = 2000;  // the longest hold unless told
constexpr unsigned longest_max_ms = 60000;

using fork_function = pid_t (*)();

fork_function real_fork = nullptr;  // the C library's fork
std::uint64_t state = 0;            // the generator: splitmix64
unsigned max_us = default_max_ms * 1000;
unsigned long process_number = 0;   // from IPCLAB_SHAKE_COUNTER, else 0
unsigned fork_number = 0;           // forks made by this process so far
bool numbered = false;              // process_number taken
bool child_of_shaken_fork = false;  // names a child's own forks apart
enum class Hold { none, child, parent };
Hold hold = Hold::none;        // from IPCLAB_SHAKE_HOLD
bool released_by_wait = true;  // "-to-end": only an end or an exec lets the held side go on
int gate_writer = -1;          // the side not held: closing it lets the held side go on

std::uint64_t next_random()
{
    state += 0x9e3779b97f4a7c15ULL;
    std::uint64_t z = state;
    z = (z ^ (z >> 30U)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27U)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31U);
}

// FNV-1a: any text is a seed.
std::uint64_t hash(const char* text)
{
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (const char* c = text; *c != '\0'; ++c)
        h = (h ^ static_cast<unsigned char>(*c)) * 0x100000001b3ULL;
    return h;
}

// Takes this process's number from the counter file and writes the next.
unsigned long take_process_number(const char* path)
{
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd == -1)
        return 0;
    unsigned long number = 0;
    if (flock(fd, LOCK_EX) == 0) {
        char text[32] = {};
        const ssize_t got = pread(fd, text, sizeof text - 1, 0);
        if (got > 0)
            number = strtoul(text, nullptr, 10);
        const int len = snprintf(text, sizeof text, "%lu\n", number + 1);
        if (len > 0)
            (void)pwrite(fd, text, static_cast<size_t>(len), 0);  // a lost count only repeats choices
    }
    close(fd);  // releases the lock
    return number;
}

void sleep_for(unsigned us)
{
    timespec left = {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
}

// The held side waits at a gate: a pipe whose write end only the other
// side holds, closed on exit, on exec (close-on-exec) and as it starts to
// wait for something (a child, a signal). A gate with no writer left reads
// as end of file. Or for `us` at the most.
void wait_at_gate(int gate, unsigned us)
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long until = now.tv_sec * 1000000LL + now.tv_nsec / 1000 + us;
    for (;;) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long left = until - (now.tv_sec * 1000000LL + now.tv_nsec / 1000);
        pollfd ready = {gate, POLLIN, 0};
        if (left <= 0 || poll(&ready, 1, static_cast<int>((left + 999) / 1000)) > 0)
            return;
    }
}

// The other side, as it ends its part: whoever is held goes on.
void open_gate()
{
    if (!released_by_wait)
        return;
    if (gate_writer != -1) {
        close(gate_writer);
        gate_writer = -1;
    }
}

void log_choice(bool child_sleeps, unsigned us)
{
    const char* path = getenv("IPCLAB_SHAKE_LOG");
    if (path == nullptr || *path == '\0')
        return;
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd == -1)
        return;
    char line[96];
    const int len =
        snprintf(line, sizeof line, "process %lu%s fork %u: %s sleeps %u us\n", process_number,
                 child_of_shaken_fork ? "'s child" : "", fork_number, child_sleeps ? "child" : "parent", us);
    if (len > 0)
        (void)write(fd, line, static_cast<size_t>(len));  // the log is for people; the run goes on
    close(fd);
}

__attribute__((constructor)) void start()
{
    const int saved = errno;
    real_fork = reinterpret_cast<fork_function>(dlsym(RTLD_NEXT, "fork"));
    const char* max = getenv("IPCLAB_SHAKE_MAX_MS");
    if (max != nullptr && *max != '\0') {
        char* end = nullptr;
        const unsigned long ms = strtoul(max, &end, 10);
        if (*end == '\0' && ms <= longest_max_ms)
            max_us = static_cast<unsigned>(ms) * 1000;
    }
    const char* held = getenv("IPCLAB_SHAKE_HOLD");
    if (held != nullptr && (strncmp(held, "child", 5) == 0 || strncmp(held, "parent", 6) == 0) &&
        (strchr(held, '-') == nullptr || strcmp(strchr(held, '-'), "-to-end") == 0)) {
        hold = held[0] == 'c' ? Hold::child : Hold::parent;
        released_by_wait = strchr(held, '-') == nullptr;
        if (max == nullptr || *max == '\0')
            max_us = default_hold_ms * 1000;
    }
    const char* seed = getenv("IPCLAB_SHAKE_SEED");
    std::uint64_t base = 0;
    if ((seed != nullptr && *seed != '\0') || hold != Hold::none) {
        base = hash(seed != nullptr ? seed : "");  // a hold draws nothing: no seed to give back
    } else {
        if (getrandom(&base, sizeof base, 0) != sizeof base)
            base = static_cast<std::uint64_t>(time(nullptr)) ^ static_cast<std::uint64_t>(getpid());
        base %= 1000000000;
        char text[32];
        snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(base));
        dprintf(STDERR_FILENO, "shake: seed %s (IPCLAB_SHAKE_SEED=%s repeats these choices)\n", text, text);
        base = hash(text);
    }
    state = base;
    errno = saved;
}

// One side of a fork: held at the gate until the other opens it, or the
// other, keeping the gate's write end.
void held_at(const int gate[2], bool held, unsigned us)
{
    if (gate[0] == -1)
        return;
    if (held) {
        close(gate[1]);
        wait_at_gate(gate[0], us);
        close(gate[0]);
    } else {
        close(gate[0]);
        gate_writer = gate[1];
    }
}

template <typename Function> Function real(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

// Waiting for a child or a signal ends this side's part for now: a side
// held until then goes on. (Sleeping does not: a sleep orders nothing.)
extern "C" pid_t wait(int* status)
{
    open_gate();
    return real<pid_t (*)(int*)>("wait")(status);
}
extern "C" pid_t waitpid(pid_t pid, int* status, int options)
{
    open_gate();
    return real<pid_t (*)(pid_t, int*, int)>("waitpid")(pid, status, options);
}
extern "C" pid_t wait3(int* status, int options, struct rusage* usage)
{
    open_gate();
    return real<pid_t (*)(int*, int, struct rusage*)>("wait3")(status, options, usage);
}
extern "C" pid_t wait4(pid_t pid, int* status, int options, struct rusage* usage)
{
    open_gate();
    return real<pid_t (*)(pid_t, int*, int, struct rusage*)>("wait4")(pid, status, options, usage);
}
extern "C" int waitid(idtype_t type, id_t id, siginfo_t* info, int options)
{
    open_gate();
    return real<int (*)(idtype_t, id_t, siginfo_t*, int)>("waitid")(type, id, info, options);
}
extern "C" int pause()
{
    open_gate();
    return real<int (*)()>("pause")();
}
extern "C" int sigsuspend(const sigset_t* mask)
{
    open_gate();
    return real<int (*)(const sigset_t*)>("sigsuspend")(mask);
}
extern "C" int sigwait(const sigset_t* set, int* sig)
{
    open_gate();
    return real<int (*)(const sigset_t*, int*)>("sigwait")(set, sig);
}
extern "C" int sigwaitinfo(const sigset_t* set, siginfo_t* info)
{
    open_gate();
    return real<int (*)(const sigset_t*, siginfo_t*)>("sigwaitinfo")(set, info);
}
extern "C" int sigtimedwait(const sigset_t* set, siginfo_t* info, const timespec* timeout)
{
    open_gate();
    return real<int (*)(const sigset_t*, siginfo_t*, const timespec*)>("sigtimedwait")(set, info, timeout);
}

extern "C" pid_t fork()
{
    if (real_fork == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    if (!numbered) {
        // Numbered at its first fork, not at start: a process that never
        // forks (a cat reading the output) takes no number from the series.
        numbered = true;
        const char* counter = getenv("IPCLAB_SHAKE_COUNTER");
        if (counter != nullptr && *counter != '\0')
            process_number = take_process_number(counter);
        state ^= process_number * 0xd1342543de82ef95ULL;
    }
    const std::uint64_t draw = next_random();
    const bool child_sleeps = hold == Hold::none ? (draw & 1U) != 0 : hold == Hold::child;
    const unsigned us = hold == Hold::none ? static_cast<unsigned>((draw >> 1U) % (max_us + 1)) : max_us;
    ++fork_number;

    int gate[2] = {-1, -1};
    if (hold != Hold::none && pipe2(gate, O_CLOEXEC) == -1)
        gate[0] = gate[1] = -1;  // no gate: nobody is held
    const pid_t pid = real_fork();
    const int saved = errno;
    if (pid == 0) {
        // The child draws on from a state of its own, not the parent's.
        state = hash("child") ^ next_random();
        if (gate_writer != -1) {  // its parent's gate is not the child's to open
            close(gate_writer);
            gate_writer = -1;
        }
        if (child_sleeps) {
            log_choice(true, us);
            if (hold == Hold::none)
                sleep_for(us);
        }
        held_at(gate, hold == Hold::child, us);
        child_of_shaken_fork = true;
        fork_number = 0;
    } else if (pid > 0) {
        if (!child_sleeps) {
            log_choice(false, us);
            if (hold == Hold::none)
                sleep_for(us);
        }
        held_at(gate, hold == Hold::parent, us);
    } else if (gate[0] != -1) {
        close(gate[0]);
        close(gate[1]);
    }
    errno = saved;
    return pid;
}
