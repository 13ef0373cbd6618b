// What each mechanism of the demonstrations costs, measured on this machine.
//
// Every measurement is a Google Benchmark loop over one operation (a system
// call, a fork, a round trip between two processes...). Times are wall-clock
// (processes are involved, so CPU time of one process would miss the other's
// share), taken as the median of 11 repetitions after a warm-up, and
// reported per operation. The table then gives each median, with the cost of
// the timing loop itself subtracted, as a multiple of a null system call.
// A row that would not fit under the memory limit of our cgroup (v1 or v2)
// is skipped, with the reason in the table, rather than get us killed.
//
// Usage: bench/mechanisms [--json FILE] [--tour] [--peer] [--smoke]
//   --json FILE  also write Google Benchmark's own JSON report to FILE
//   --tour       also show each row's spread (its fastest and slowest
//                repetition), and end with notes on what to notice, saying
//                where a difference is within the spread (./tour --costs)
//   --peer       also run `perf bench sched pipe` and compare its round trip
//                with ours
//   --smoke      run every operation once (checks that everything works;
//                the times mean nothing)
//   --keep-ipc-namespace  make segments in the IPC namespace it was started
//                in (tests give it a private one of their own)
// Options of Google Benchmark (--benchmark_filter=...) are passed on.
//
// Segments are made in a private IPC namespace when the system allows one,
// are private (IPC_PRIVATE) and are marked for removal as soon as they are
// attached. Helper processes die with this one, the scratch file is
// unlinked as soon as it is open, and an interrupt removes whatever is left
// before the process ends: nothing stays behind, even on Ctrl-C.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr int repetitions = 11;                 // the median is taken over this many
constexpr double seconds_per_repetition = 0.1;  // at least, timed
constexpr double warm_up_seconds = 0.1;         // before the first repetition
constexpr int warm_up_operations = 2;           // untimed, before each repetition
constexpr std::size_t mebibyte = std::size_t{1} << 20;
constexpr std::size_t pages_per_region = 4096;  // fresh pages mapped at a time
constexpr int exit_not_found = 127;             // the tiny program was not found
constexpr int exit_not_runnable = 126;          // it was found but could not run
constexpr int bar_width = 40;                   // characters of the longest bar

bool smoke = false;        // --smoke: one operation each
std::string tiny_program;  // bench/empty_main, built next to this program
long page_size = 4096;

// ------------------------------------------------- what an interrupt undoes

// The handler reaches these: a helper process that would wait forever, a
// segment between shmget and IPC_RMID, the scratch file between mkstemp and
// unlink.
volatile sig_atomic_t partner_pid = 0;
volatile sig_atomic_t open_segment = -1;
char scratch_path[PATH_MAX] = {};
volatile sig_atomic_t scratch_named = 0;

// Undoes what is pending, reaps every child (the partner killed, any other
// about to exit by itself), then dies of the same signal with its default
// action, so that the shell sees an interrupted program. Only system calls.
void clean_up_and_die(int sig)
{
    if (partner_pid > 0)
        kill(partner_pid, SIGKILL);
    while (waitpid(-1, nullptr, 0) > 0) {
    }
    if (open_segment >= 0)
        shmctl(open_segment, IPC_RMID, nullptr);
    if (scratch_named != 0)
        unlink(scratch_path);
    signal(sig, SIG_DFL);
    raise(sig);
}

constexpr int fatal_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

bool install_clean_up()
{
    struct sigaction action = {};
    action.sa_handler = clean_up_and_die;
    sigfillset(&action.sa_mask);  // the handler runs once, undisturbed
    for (const int sig : fatal_signals)
        if (sigaction(sig, &action, nullptr) == -1)
            return false;
    return true;
}

// ---------------------------------------------------------------- helpers

// One operation's outcome: nullptr, or the name of the call that failed
// (errno says why; errno 0 means the name says it all).
using Failure = const char*;

void fail(benchmark::State& state, Failure call)
{
    const int saved = errno;
    std::string message = call;
    if (saved != 0)
        message += std::string(": ") + strerror(saved);
    state.SkipWithError(message.c_str());
}

// The timed loop of every measurement but the page touches: a few untimed
// operations first (caches, branch predictors and the kernel's paths warm,
// a new helper process scheduled), then one operation per iteration.
template <typename Operation> void measure(benchmark::State& state, Operation operation)
{
    for (int i = 0; i < (smoke ? 0 : warm_up_operations); ++i) {
        errno = 0;
        if (const Failure failure = operation()) {
            fail(state, failure);
            return;
        }
    }
    for (auto _ : state) {
        if (const Failure failure = operation()) {
            fail(state, failure);
            break;
        }
    }
}

// Waits for `pid` and tells whether it exited with status 0.
Failure reap(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) == -1)
        if (errno != EINTR)
            return "waitpid";
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        errno = 0;
        return WIFEXITED(status) && WEXITSTATUS(status) == exit_not_found ? "the tiny program was not found"
                                                                          : "the child did not exit with 0";
    }
    return nullptr;
}

// Memory the parent has touched, page by page, so that fork has page tables
// to copy. Small pages only: a transparent huge page would stand for 512.
struct Touched {
    void* base = MAP_FAILED;
    std::size_t size = 0;
    explicit Touched(std::size_t bytes) : size(bytes)
    {
        base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED)
            return;
        (void)madvise(base, size, MADV_NOHUGEPAGE);  // without it, only fewer page-table entries
        memset(base, 1, size);
    }
    ~Touched()
    {
        if (base != MAP_FAILED)
            munmap(base, size);
    }
    Touched(const Touched&) = delete;
    Touched& operator=(const Touched&) = delete;
};

// The second process of a round trip. It dies with us (PR_SET_PDEATHSIG,
// even if we are killed), and is killed and reaped when the measurement
// ends. Its body never returns.
struct Partner {
    pid_t pid = -1;
    template <typename Body> explicit Partner(Body body)
    {
        const pid_t parent = getpid();
        pid = fork();
        if (pid == 0) {
            if (prctl(PR_SET_PDEATHSIG, SIGKILL) == -1 || getppid() != parent)
                _exit(1);  // the parent is gone already, or could go unnoticed
            for (const int sig : fatal_signals)
                signal(sig, SIG_DFL);  // the parent cleans up, not we
            body();
            _exit(0);
        }
        if (pid > 0)
            partner_pid = pid;
    }
    ~Partner()
    {
        if (pid <= 0)
            return;
        kill(pid, SIGKILL);
        while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
        }
        partner_pid = 0;
    }
    Partner(const Partner&) = delete;
    Partner& operator=(const Partner&) = delete;
};

// Pins this process, and the partners it forks meanwhile, to one CPU (the
// first it may use), or leaves them where the scheduler puts them.
enum class Placement { pinned, unpinned };

struct Pinning {
    cpu_set_t before = {};
    bool changed = false;
    explicit Pinning(Placement placement)
    {
        if (placement == Placement::unpinned || sched_getaffinity(0, sizeof before, &before) == -1)
            return;
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &before)) {
                cpu_set_t one;
                CPU_ZERO(&one);
                CPU_SET(cpu, &one);
                changed = sched_setaffinity(0, sizeof one, &one) == 0;
                return;
            }
        }
    }
    ~Pinning()
    {
        if (changed)
            sched_setaffinity(0, sizeof before, &before);
    }
    Pinning(const Pinning&) = delete;
    Pinning& operator=(const Pinning&) = delete;
};

// A one-page segment, attached and at once marked for removal: the system
// destroys it when the last process detaches or ends, whatever happens.
struct Segment {
    int id = -1;
    void* address = reinterpret_cast<void*>(-1);
    Failure failure = nullptr;
    Segment()
    {
        id = shmget(IPC_PRIVATE, static_cast<std::size_t>(page_size), IPC_CREAT | 0600);
        if (id == -1) {
            failure = "shmget";
            return;
        }
        open_segment = id;
        address = shmat(id, nullptr, 0);
        if (address == reinterpret_cast<void*>(-1))
            failure = "shmat";
        shmctl(id, IPC_RMID, nullptr);
        open_segment = -1;
    }
    ~Segment()
    {
        if (address != reinterpret_cast<void*>(-1))
            shmdt(address);
    }
    Segment(const Segment&) = delete;
    Segment& operator=(const Segment&) = delete;
};

// ----------------------------------------------------------- measurements

// The timing loop alone, subtracted from every other row of the table: the
// loop of `measure` with an operation that does nothing but return its
// verdict, which the compiler must not know (an empty loop would be
// compiled away, and nothing subtracted).
void empty_loop(benchmark::State& state)
{
    measure(state, []() -> Failure {
        Failure none = nullptr;
        benchmark::DoNotOptimize(none);
        return none;
    });
}

// The cheapest trip into the kernel and back, the unit of the table: what
// any system call costs before it does anything.
void null_call(benchmark::State& state)
{
    measure(state, []() -> Failure {
        benchmark::DoNotOptimize(getppid());
        return nullptr;
    });
}

// fork copies the parent's page tables (and marks every page copy-on-write),
// so its cost grows with the memory the parent has touched.
void fork_exit_wait(benchmark::State& state, std::size_t mebibytes)
{
    const Touched memory(mebibytes * mebibyte);
    if (memory.base == MAP_FAILED)
        return fail(state, "mmap");
    measure(state, []() -> Failure {
        const pid_t pid = fork();
        if (pid == -1)
            return "fork";
        if (pid == 0)
            _exit(0);  // child
        return reap(pid);
    });
}

// vfork copies nothing: the child borrows the parent's memory, and the
// parent sleeps until the child exits or execs. Flat, whatever the size.
void vfork_exit_wait(benchmark::State& state, std::size_t mebibytes)
{
    const Touched memory(mebibytes * mebibyte);
    if (memory.base == MAP_FAILED)
        return fail(state, "mmap");
    measure(state, []() -> Failure {
        const pid_t pid = vfork();
        if (pid == -1)
            return "vfork";
        if (pid == 0)
            _exit(0);  // child: only _exit or exec are allowed here
        return reap(pid);
    });
}

// The classic way to start a program: copy the parent, then replace the
// copy, throwing away the page tables fork just built.
void fork_exec_wait(benchmark::State& state, std::size_t mebibytes)
{
    const Touched memory(mebibytes * mebibyte);
    if (memory.base == MAP_FAILED)
        return fail(state, "mmap");
    const char* path = tiny_program.c_str();
    measure(state, [path]() -> Failure {
        const pid_t pid = fork();
        if (pid == -1)
            return "fork";
        if (pid == 0) {  // child
            char* const argv[] = {const_cast<char*>(path), nullptr};
            execv(path, argv);
            _exit(errno == ENOENT ? exit_not_found : exit_not_runnable);
        }
        return reap(pid);
    });
}

// posix_spawn starts a program without copying the parent (the C library
// uses a vfork-like clone), so it stays flat too.
void posix_spawn_wait(benchmark::State& state, std::size_t mebibytes)
{
    const Touched memory(mebibytes * mebibyte);
    if (memory.base == MAP_FAILED)
        return fail(state, "mmap");
    const char* path = tiny_program.c_str();
    measure(state, [path]() -> Failure {
        char* const argv[] = {const_cast<char*>(path), nullptr};
        pid_t pid = -1;
        const int error = posix_spawn(&pid, path, nullptr, nullptr, argv, environ);
        if (error != 0) {
            errno = error;
            return "posix_spawn";
        }
        return reap(pid);
    });
}

// Takes the next `sig`, which the caller has blocked.
bool take_signal(const sigset_t& wanted)
{
    while (sigwaitinfo(&wanted, nullptr) == -1)
        if (errno != EINTR)
            return false;
    return true;
}

// nudgegreet's mechanism, both ways: kill, and the other side, with the
// signal blocked, takes it with sigwaitinfo. Blocked before the fork (the
// partner inherits the mask), an early signal stays pending, never lost.
void signal_round_trip(benchmark::State& state, Placement placement)
{
    const Pinning pinning(placement);
    sigset_t wanted;
    sigemptyset(&wanted);
    sigaddset(&wanted, SIGUSR1);
    sigset_t before;
    if (sigprocmask(SIG_BLOCK, &wanted, &before) == -1)
        return fail(state, "sigprocmask");
    const pid_t parent = getpid();
    {
        const Partner partner([&wanted, parent] {
            while (take_signal(wanted) && kill(parent, SIGUSR1) == 0) {
            }
        });
        if (partner.pid == -1)
            fail(state, "fork");
        else
            measure(state, [&wanted, &partner]() -> Failure {
                if (kill(partner.pid, SIGUSR1) == -1)
                    return "kill";
                return take_signal(wanted) ? nullptr : "sigwaitinfo";
            });
    }
    // The partner is gone; a reply it sent before it died must not kill us.
    const timespec now = {0, 0};
    while (sigtimedwait(&wanted, nullptr, &now) > 0) {
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

// Two pipes, one each way, and four bytes that go there and back: the round
// trip `perf bench sched pipe` times.
void pipe_round_trip(benchmark::State& state, Placement placement)
{
    const Pinning pinning(placement);
    int there[2];
    int back[2];
    if (pipe2(there, O_CLOEXEC) == -1)
        return fail(state, "pipe2");
    if (pipe2(back, O_CLOEXEC) == -1) {
        fail(state, "pipe2");
        close(there[0]);
        close(there[1]);
        return;
    }
    {
        const Partner partner([&there, &back] {
            std::int32_t word = 0;
            while (read(there[0], &word, sizeof word) == sizeof word &&
                   write(back[1], &word, sizeof word) == sizeof word) {
            }
        });
        if (partner.pid == -1)
            fail(state, "fork");
        else
            measure(state, [&there, &back]() -> Failure {
                std::int32_t word = 0;
                if (write(there[1], &word, sizeof word) != sizeof word)
                    return "write";
                return read(back[0], &word, sizeof word) == sizeof word ? nullptr : "read";
            });
    }
    for (const int fd : {there[0], there[1], back[0], back[1]})
        close(fd);
}

// parleyhand's mechanism: a word in a shared segment, and each side spins
// until the other has changed it. No system call at all; on two CPUs the
// cost is the cache line moving between them, and each side burns a CPU
// while it waits. Pinned to one CPU, a waiter spins until the scheduler
// takes the CPU away, and only then can the other side answer.
void busy_wait_round_trip(benchmark::State& state, Placement placement)
{
    const Pinning pinning(placement);
    const Segment segment;
    if (segment.failure != nullptr)
        return fail(state, segment.failure);
    std::atomic_ref<std::uint32_t> ball(*static_cast<std::uint32_t*>(segment.address));
    ball.store(0);
    // We serve odd numbers, the partner returns each as the next even one.
    const Partner partner([&ball] {
        for (std::uint32_t expected = 1;; expected += 2) {
            while (ball.load(std::memory_order_acquire) != expected) {
            }
            ball.store(expected + 1, std::memory_order_release);
        }
    });
    if (partner.pid == -1)
        return fail(state, "fork");
    std::uint32_t serve = 1;
    measure(state, [&ball, &serve]() -> Failure {
        ball.store(serve, std::memory_order_release);
        while (ball.load(std::memory_order_acquire) != serve + 1) {
        }
        serve += 2;
        return nullptr;
    });
}

// What a fresh segment costs from start to end, as segduet's parent and
// child pay it (get, attach, detach, remove).
void fresh_segment(benchmark::State& state)
{
    const auto size = static_cast<std::size_t>(page_size);
    measure(state, [size]() -> Failure {
        const int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
        if (id == -1)
            return "shmget";
        open_segment = id;
        void* address = shmat(id, nullptr, 0);
        const int attach_errno = errno;
        if (address != reinterpret_cast<void*>(-1))
            shmdt(address);
        if (shmctl(id, IPC_RMID, nullptr) == -1)
            return "shmctl(IPC_RMID)";
        open_segment = -1;
        errno = attach_errno;
        return address == reinterpret_cast<void*>(-1) ? "shmat" : nullptr;
    });
}

// Attaching a segment that exists already (as parleyhand does with its
// first party's), and detaching it: a mapping made and unmade.
void existing_segment(benchmark::State& state)
{
    const Segment segment;  // held attached, so that it lives on
    if (segment.failure != nullptr)
        return fail(state, segment.failure);
    const int id = segment.id;
    measure(state, [id]() -> Failure {
        void* address = shmat(id, nullptr, 0);
        if (address == reinterpret_cast<void*>(-1))
            return "shmat";
        return shmdt(address) == -1 ? "shmdt" : nullptr;
    });
}

// A region of fresh pages, of a file (MAP_SHARED, like pagewatch's) or
// anonymous and private; `renew` replaces it with fresh ones.
struct Region {
    int fd = -1;  // the file, or -1 for anonymous memory
    std::size_t size = pages_per_region * static_cast<std::size_t>(page_size);
    char* base = nullptr;
    bool renew()
    {
        if (base != nullptr)
            munmap(base, size);
        base = nullptr;
        // Truncating drops the file's pages: the next stores find holes.
        if (fd >= 0 && (ftruncate(fd, 0) == -1 || ftruncate(fd, static_cast<off_t>(size)) == -1))
            return false;
        void* address = fd >= 0
                            ? mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                            : mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (address == MAP_FAILED)
            return false;
        base = static_cast<char*>(address);
        (void)madvise(base, size, MADV_NOHUGEPAGE);  // else one fault could fill 512 pages
        return true;
    }
    ~Region()
    {
        if (base != nullptr)
            munmap(base, size);
        if (fd >= 0)
            close(fd);
    }
};

// A scratch file in $TMPDIR (or /tmp), unlinked as soon as it is open.
int scratch_file()
{
    const char* dir = getenv("TMPDIR");
    snprintf(scratch_path, sizeof scratch_path, "%s/ipclab-mechanisms.XXXXXX",
             dir != nullptr && *dir != '\0' ? dir : "/tmp");
    scratch_named = 1;
    const int fd = mkostemp(scratch_path, O_CLOEXEC);
    if (fd >= 0)
        unlink(scratch_path);
    scratch_named = 0;
    return fd;
}

enum class Backing { shared_file, private_anonymous };

// The first store to a page: a page fault that finds (file) or makes
// (anonymous) a zeroed page and maps it. One page per iteration; every
// pages_per_region stores, the region is replaced with the timer stopped.
void first_touch(benchmark::State& state, Backing backing)
{
    Region region;
    if (backing == Backing::shared_file && (region.fd = scratch_file()) == -1)
        return fail(state, "mkostemp");
    if (!region.renew())
        return fail(state, "mmap");
    // Warm-up: a few stores, on pages the loop will not reuse.
    std::size_t next = smoke ? 0 : warm_up_operations;
    for (std::size_t page = 0; page < next; ++page)
        region.base[page * static_cast<std::size_t>(page_size)] = 1;
    for (auto _ : state) {
        if (next == pages_per_region) {
            state.PauseTiming();
            const bool renewed = region.renew();
            state.ResumeTiming();
            if (!renewed) {
                fail(state, "mmap");
                break;
            }
            next = 0;
        }
        *static_cast<volatile char*>(region.base + next * static_cast<std::size_t>(page_size)) = 1;
        ++next;
    }
}

// A store to a page that is mapped already: no kernel, just memory.
void store_to_mapped_page(benchmark::State& state)
{
    const Touched page(static_cast<std::size_t>(page_size));
    if (page.base == MAP_FAILED)
        return fail(state, "mmap");
    volatile char* byte = static_cast<char*>(page.base);
    char value = 0;
    measure(state, [byte, &value]() -> Failure {
        *byte = ++value;
        return nullptr;
    });
}

// Whether /proc/PID/maps of `pid` lists the segment `id`: System V segments
// appear as /SYSV<key in hex> with the segment id as inode number. Read with
// stdio, line by line, as parleyhand reads it before each line it sends.
Failure find_segment_in_maps(pid_t pid, int id)
{
    char path[32];
    snprintf(path, sizeof path, "/proc/%d/maps", static_cast<int>(pid));
    FILE* maps = fopen(path, "re");
    if (maps == nullptr)
        return "fopen(/proc/PID/maps)";
    char* line = nullptr;
    std::size_t capacity = 0;
    bool found = false;
    while (!found && getline(&line, &capacity, maps) != -1) {
        // address perms offset device inode path: skip four fields
        const char* field = line;
        for (int skip = 0; skip < 4 && field != nullptr; ++skip)
            if ((field = strchr(field, ' ')) != nullptr)
                ++field;
        if (field == nullptr)
            continue;
        char* end = nullptr;
        const unsigned long inode = strtoul(field, &end, 10);
        found = end != field && inode == static_cast<unsigned long>(id) &&
                strncmp(end + strspn(end, " "), "/SYSV", 5) == 0;
    }
    free(line);
    fclose(maps);
    errno = 0;
    return found ? nullptr : "the segment is not in /proc/PID/maps";
}

void maps_scan(benchmark::State& state)
{
    const Segment segment;
    if (segment.failure != nullptr)
        return fail(state, segment.failure);
    const Partner partner([] {  // inherits the attachment, and waits
        for (;;)
            pause();
    });
    if (partner.pid == -1)
        return fail(state, "fork");
    const pid_t pid = partner.pid;
    const int id = segment.id;
    measure(state, [pid, id]() -> Failure { return find_segment_in_maps(pid, id); });
}

// ------------------------------------------------------- the memory limit

// A number from a cgroup file: its first word, or the word after `key` on
// the line that starts with it. False when missing or not a number ("max").
bool read_number(const std::string& path, const char* key, std::uint64_t& number)
{
    std::ifstream file(path);
    std::string word;
    while (file >> word) {
        if (key != nullptr && word != key) {
            file.ignore(LLONG_MAX, '\n');
            continue;
        }
        if (key != nullptr && !(file >> word))
            return false;
        char* end = nullptr;
        errno = 0;
        number = strtoull(word.c_str(), &end, 10);
        return errno == 0 && end != word.c_str() && *end == '\0';
    }
    return false;
}

// How much more memory this process may take before the kernel kills it for
// its cgroup's memory limit, and the tightest limit (the file that sets it,
// its value). `bytes` stays UINT64_MAX when no limit applies.
struct Headroom {
    std::uint64_t bytes = UINT64_MAX;
    std::uint64_t limit = 0;
    std::string file;
};

// Every level from `dir` up to the hierarchy's `top`: a limit applies to the
// usage of its whole subtree, less the inactive file cache (reclaimed before
// anything is killed).
void limit_levels(Headroom& room, std::string dir, const std::string& top, const char* limit_file,
                  const char* usage_file, const char* cache_key)
{
    for (;;) {
        std::uint64_t limit = 0;
        std::uint64_t charged = 0;
        std::uint64_t cache = 0;
        // cgroup v1 writes "no limit" as a huge page-aligned number.
        if (read_number(dir + "/" + limit_file, nullptr, limit) && limit < (std::uint64_t{1} << 60) &&
            read_number(dir + "/" + usage_file, nullptr, charged)) {
            if (!read_number(dir + "/memory.stat", cache_key, cache) || cache > charged)
                cache = 0;
            const std::uint64_t used = charged - cache;
            const std::uint64_t left = limit > used ? limit - used : 0;
            if (left < room.bytes)
                room = {left, limit, dir + "/" + limit_file};
        }
        if (dir.size() <= top.size())
            return;
        dir.erase(dir.rfind('/'));
    }
}

// Our cgroups from /proc/self/cgroup: "0::PATH" for cgroup v2 (mounted at
// /sys/fs/cgroup, or /sys/fs/cgroup/unified beside v1), "N:...,memory,...:PATH"
// for the v1 memory controller (at /sys/fs/cgroup/memory).
Headroom memory_headroom()
{
    Headroom room;
    std::ifstream cgroups("/proc/self/cgroup");
    std::string line;
    while (std::getline(cgroups, line)) {
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos)
            continue;
        const std::string controllers = "," + line.substr(first + 1, second - first - 1) + ",";
        std::string path = line.substr(second + 1);
        if (path == "/")
            path.clear();
        if (controllers == ",,") {
            for (const std::string top : {"/sys/fs/cgroup", "/sys/fs/cgroup/unified"})
                limit_levels(room, top + path, top, "memory.max", "memory.current", "inactive_file");
        } else if (controllers.find(",memory,") != std::string::npos) {
            const std::string top = "/sys/fs/cgroup/memory";
            limit_levels(room, top + path, top, "memory.limit_in_bytes", "memory.usage_in_bytes",
                         "total_inactive_file");
        }
    }
    return room;
}

std::string in_mebibytes(std::uint64_t bytes) { return std::to_string(bytes / mebibyte) + " MiB"; }

// ------------------------------------------------------------- the table

// One line of the table, in the order shown. `name` is Google Benchmark's
// (and the JSON's); `bar`, when set, puts the row in the chart of process
// creation against the parent's size; `mebibytes` is about what it takes at
// most (what it touches, a child's page tables, the program itself).
struct Row {
    std::string name;
    std::string label;
    std::string bar;
    std::function<void(benchmark::State&)> body;
    std::uint64_t mebibytes = 16;
};

std::vector<Row> rows()
{
    using namespace std::placeholders;
    std::vector<Row> all = {
        {"loop", "timing loop (subtracted below)", "", empty_loop},
        {"getppid", "null system call: getppid", "", null_call},
    };
    const struct {
        const char* name;
        const char* label;
        void (*body)(benchmark::State&, std::size_t);
        std::vector<std::size_t> sizes;
    } creation[] = {
        {"fork_exit_wait", "fork + _exit + wait", fork_exit_wait, {1, 16, 64, 256}},
        {"vfork_exit_wait", "vfork + _exit + wait", vfork_exit_wait, {1, 256}},
        {"fork_exec_wait", "fork + exec + wait (empty_main)", fork_exec_wait, {1, 256}},
        {"posix_spawn_wait", "posix_spawn + wait (empty_main)", posix_spawn_wait, {1, 256}},
    };
    for (const auto& kind : creation) {
        for (const std::size_t size : kind.sizes) {
            const std::string mib = std::to_string(size) + " MiB";
            std::string bar = std::string(kind.label).substr(0, std::string(kind.label).find(" + wait"));
            all.push_back({std::string(kind.name) + "/" + std::to_string(size),
                           std::string(kind.label) + ", parent " + mib, bar + ", " + mib,
                           std::bind(kind.body, _1, size), size + size / 64 + 16});
        }
    }
    for (const Placement placement : {Placement::pinned, Placement::unpinned}) {
        const bool pinned = placement == Placement::pinned;
        const std::string where = pinned ? "pinned" : "unpinned";
        const std::string shown = pinned ? ", one CPU" : ", unpinned";
        all.push_back({"signal_round_trip/" + where, "signal round trip" + shown, "",
                       std::bind(signal_round_trip, _1, placement)});
        all.push_back({"pipe_round_trip/" + where, "pipe round trip" + shown, "",
                       std::bind(pipe_round_trip, _1, placement)});
        all.push_back({"busy_wait_round_trip/" + where, "busy-wait round trip" + shown, "",
                       std::bind(busy_wait_round_trip, _1, placement)});
    }
    const Row rest[] = {
        {"fresh_segment", "shmget + shmat + shmdt + IPC_RMID", "", fresh_segment},
        {"existing_segment", "shmat + shmdt of an existing segment", "", existing_segment},
        {"first_touch/shared_file", "first store to a page, MAP_SHARED file", "",
         std::bind(first_touch, _1, Backing::shared_file), 32},
        {"first_touch/private_anonymous", "first store to a page, private anonymous", "",
         std::bind(first_touch, _1, Backing::private_anonymous), 32},
        {"store_to_mapped_page", "store to an already mapped page", "", store_to_mapped_page},
        {"maps_scan", "one scan of /proc/PID/maps", "", maps_scan},
    };
    all.insert(all.end(), std::begin(rest), std::end(rest));
    return all;
}

// Collects each benchmark's median (or, in smoke mode, its one run) for
// the table, and says on standard error what has been measured so far.
class Collector : public benchmark::BenchmarkReporter {
public:
    std::map<std::string, double> nanoseconds;               // by name, per operation
    std::map<std::string, std::string> errors;               // by name
    std::map<std::string, std::string> skipped;              // by name: why it was not run
    std::map<std::string, std::vector<double>> repetitions;  // by name: each one's time per operation

    bool ReportContext(const Context&) override { return true; }
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            const std::string& name = run.run_name.function_name;
            if (run.error_occurred)
                errors[name] = run.error_message;
            else if (run.run_type == Run::RT_Aggregate ? run.aggregate_name == "median" : smoke)
                nanoseconds[name] = run.GetAdjustedRealTime();
            if (!run.error_occurred && run.run_type == Run::RT_Iteration)
                repetitions[name].push_back(run.GetAdjustedRealTime());
        }
        if (!runs.empty() && progress)
            fprintf(stderr, "\rmeasured %zu of %zu \033[K", nanoseconds.size() + errors.size(), total);
    }
    void Finalize() override
    {
        if (progress)
            fprintf(stderr, "\r\033[K");
    }
    bool progress = false;
    std::size_t total = 0;
};

// 1.2 ns, 340 ns, 12.5 µs, 3.1 ms
std::string duration(double ns)
{
    char text[32];
    if (ns < 10)
        snprintf(text, sizeof text, "%.1f ns", ns);
    else if (ns < 1e3)
        snprintf(text, sizeof text, "%.0f ns", ns);
    else if (ns < 1e6)
        snprintf(text, sizeof text, "%.*f µs", ns < 1e4 ? 2 : 1, ns / 1e3);
    else
        snprintf(text, sizeof text, "%.*f ms", ns < 1e7 ? 2 : 1, ns / 1e6);
    return text;
}

std::string multiple(double ratio)
{
    char text[32];
    snprintf(text, sizeof text, ratio >= 10 ? "%.0f" : ratio >= 1 ? "%.1f" : "%.2g", ratio);
    return text;
}

std::string first_line_with(const char* path, const char* prefix)
{
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line))
        if (line.rfind(prefix, 0) == 0)
            return line;
    return "";
}

// CPU, kernel, whether virtual, and the load when we started.
void print_machine(bool private_ipc)
{
    std::string cpu = first_line_with("/proc/cpuinfo", "model name");
    cpu = cpu.empty() ? "unknown CPU" : cpu.substr(cpu.find(':') + 2);
    const bool virtual_machine =
        first_line_with("/proc/cpuinfo", "flags").find(" hypervisor") != std::string::npos;
    utsname system = {};
    uname(&system);
    std::ifstream loadavg("/proc/loadavg");
    std::string load;
    loadavg >> load;
    printf("machine: %s, %ld CPUs, Linux %s, %s; load average %s\n", cpu.c_str(),
           sysconf(_SC_NPROCESSORS_ONLN), system.release,
           virtual_machine ? "virtual (hypervisor flag set)" : "no hypervisor flag", load.c_str());
    printf("segments in %s\n",
           private_ipc ? "a private IPC namespace" : "the IPC namespace we were started in");
}

// `text` padded to `width` columns on the left or right (µ is two bytes but
// one column).
std::string padded(const std::string& text, int width, bool right)
{
    int columns = 0;
    for (const char c : text)
        columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    const std::string fill(static_cast<std::size_t>(std::max(0, width - columns)), ' ');
    return right ? fill + text : text + fill;
}

// A row's median, less the timing loop's; -1 when it has none.
double net(const Collector& results, const std::string& name)
{
    const auto found = results.nanoseconds.find(name);
    if (found == results.nanoseconds.end())
        return -1;
    const auto loop = results.nanoseconds.find("loop");
    return name == "loop" || loop == results.nanoseconds.end() ? found->second
                                                               : std::max(found->second - loop->second, 0.0);
}

// The spread of a row's repetitions: the fastest and the slowest, each less
// the timing loop's median, as for the median; {-1, -1} when it has none.
std::pair<double, double> spread(const Collector& results, const std::string& name)
{
    const auto found = results.repetitions.find(name);
    if (found == results.repetitions.end() || found->second.empty() || net(results, name) < 0)
        return {-1, -1};
    const auto [fastest, slowest] = std::minmax_element(found->second.begin(), found->second.end());
    const auto loop_median = results.nanoseconds.find("loop");
    const double loop = name == "loop" || loop_median == results.nanoseconds.end() ? 0 : loop_median->second;
    return {std::max(*fastest - loop, 0.0), std::max(*slowest - loop, 0.0)};
}

// True when two rows' spreads overlap: their difference is within the
// spread, and this run cannot tell them apart.
bool within_spread(const Collector& results, const std::string& a, const std::string& b)
{
    const auto [a_low, a_high] = spread(results, a);
    const auto [b_low, b_high] = spread(results, b);
    return a_low >= 0 && b_low >= 0 && a_low <= b_high && b_low <= a_high;
}

// The table, then process creation against the parent's size as bars. With
// `with_spread`, each row also shows its spread.
void print_table(const std::vector<Row>& all, const Collector& results, bool with_spread)
{
    constexpr int label_width = 48;
    const double unit = net(results, "getppid");
    printf("\n%s %10s %10s%s\n", padded("operation", label_width, false).c_str(),
           smoke ? "one run" : "median", "null calls", with_spread ? "  spread: fastest - slowest" : "");
    for (const Row& row : all) {
        const double ns = net(results, row.name);
        const std::string label = padded(row.label, label_width, false);
        if (ns < 0 && results.skipped.contains(row.name)) {
            printf("%s skipped: %s\n", label.c_str(), results.skipped.at(row.name).c_str());
        } else if (ns < 0) {
            const auto error = results.errors.find(row.name);
            printf("%s failed: %s\n", label.c_str(),
                   error == results.errors.end() ? "not run" : error->second.c_str());
        } else {
            const bool comparable = row.name != "loop" && unit > 0;
            const auto [fastest, slowest] = spread(results, row.name);
            const std::string range =
                with_spread && fastest >= 0 ? "  " + duration(fastest) + " - " + duration(slowest) : "";
            printf("%s %s %10s%s\n", label.c_str(), padded(duration(ns), 10, true).c_str(),
                   comparable ? multiple(ns / unit).c_str() : "", range.c_str());
        }
    }
    double longest = 0;
    for (const Row& row : all)
        if (!row.bar.empty())
            longest = std::max(longest, net(results, row.name));
    if (longest <= 0)
        return;
    printf("\nstarting a process against the memory the parent has touched:\n");
    for (const Row& row : all) {
        const double ns = net(results, row.name);
        if (row.bar.empty() || ns < 0)
            continue;
        const int width = std::max(1, static_cast<int>(std::lround(bar_width * ns / longest)));
        printf("%-24s %s %s\n", row.bar.c_str(),
               padded(std::string(static_cast<std::size_t>(width), '#'), bar_width, false).c_str(),
               duration(ns).c_str());
    }
}

// For ./tour --costs: what to notice, with this machine's numbers.
void print_notes(const Collector& results)
{
    const auto at = [&results](const char* name) {
        const double ns = net(results, name);
        return ns < 0 ? std::string("(not measured)") : duration(ns);
    };
    // Said of a comparison whose two rows this run cannot tell apart.
    const auto apart = [&results](const char* a, const char* b) {
        return within_spread(results, a, b)
                   ? "\n  The difference is within the spread: this run cannot tell these two apart."
                   : "";
    };
    printf("\nWhat to notice (spread: the fastest and the slowest of the %d repetitions; where two rows'\n"
           "spreads overlap, the difference between them is within it, and this run cannot tell which is "
           "faster):\n",
           repetitions);
    if (spread(results, "fork_exec_wait/1").first >= 0 && spread(results, "fork_exit_wait/1").first >= 0) {
        const bool within = within_spread(results, "fork_exec_wait/1", "fork_exit_wait/1");
        const bool exec_slower = net(results, "fork_exec_wait/1") > net(results, "fork_exit_wait/1");
        printf(
            "- fork + exec took %s and fork + _exit %s, both with 1 MiB touched:\n  %s.\n",
            at("fork_exec_wait/1").c_str(), at("fork_exit_wait/1").c_str(),
            within ? "the difference is within the spread, so this run cannot tell the two apart"
            : exec_slower
                ? "beyond the spread, what exec adds is loading and starting a program"
                : "exec came out faster, beyond the spread: a sign that the load changed while it measured");
    }
    printf(
        "- fork took %s with 1 MiB touched and %s with 256 MiB: it copies the parent's page tables, so it\n"
        "  grows with the memory the parent has touched; vfork (%s) and posix_spawn (%s) borrow the\n"
        "  parent's memory until the child execs or exits, and stay flat.%s\n",
        at("fork_exit_wait/1").c_str(), at("fork_exit_wait/256").c_str(), at("vfork_exit_wait/256").c_str(),
        at("posix_spawn_wait/256").c_str(), apart("fork_exit_wait/1", "fork_exit_wait/256"));
    const double signal = net(results, "signal_round_trip/unpinned");
    const double pipe = net(results, "pipe_round_trip/unpinned");
    printf("- A signal round trip took %s, %.1f times a pipe round trip (%s, both unpinned): each costs a\n"
           "  system call to send and one to wait on each side, and a wake-up each way, so a signal is no\n"
           "  shortcut; it only carries less (no data, just the news that it came).%s\n",
           at("signal_round_trip/unpinned").c_str(), pipe > 0 ? signal / pipe : 0.0,
           at("pipe_round_trip/unpinned").c_str(),
           apart("signal_round_trip/unpinned", "pipe_round_trip/unpinned"));
    printf(
        "- The busy-wait round trip took %s unpinned and %s pinned to one CPU: with a CPU for each side\n"
        "  it needs no system call and beats every other round trip, but each side burns a whole CPU\n"
        "  while it waits; when the two share a CPU (pinned, or on a busy machine) the waiter spins until\n"
        "  the scheduler takes the CPU away, and a round trip costs whole time slices.%s\n",
        at("busy_wait_round_trip/unpinned").c_str(), at("busy_wait_round_trip/pinned").c_str(),
        apart("busy_wait_round_trip/unpinned", "busy_wait_round_trip/pinned"));
}

// ------------------------------------------------- the peer: perf's figure

// Runs `perf bench sched pipe` and returns its "usecs/op" (-1 on failure).
// One op of perf's is a round trip: each of its two processes writes four
// bytes into one pipe and reads four bytes from the other.
double perf_pipe_microseconds(int loops)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) == -1)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    const std::string count = std::to_string(loops);
    const char* argv[] = {"perf", "bench", "sched", "pipe", "-l", count.c_str(), nullptr};
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, "perf", &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error == 0)
        partner_pid = pid;  // an interrupt ends it too
    close(out[1]);
    std::string text;
    char buffer[512];
    ssize_t got = 0;
    while (error == 0 && (got = read(out[0], buffer, sizeof buffer)) != 0)
        if (got > 0)
            text.append(buffer, static_cast<std::size_t>(got));
        else if (errno != EINTR)
            break;
    close(out[0]);
    const bool ended_well = error == 0 && reap(pid) == nullptr;
    partner_pid = 0;
    if (!ended_well)
        return -1;
    const std::size_t unit = text.find("usecs/op");
    if (unit == std::string::npos)
        return -1;
    const std::size_t start = text.find_last_of(" \n", unit - 2) + 1;
    return strtod(text.c_str() + start, nullptr);
}

// perf's figure beside ours, both measured now; perf, like our unpinned
// row, leaves its two processes where the scheduler puts them.
bool compare_with_perf(const Collector& results)
{
    const int runs = smoke ? 1 : 5;
    const int loops = smoke ? 1000 : 100000;
    std::vector<double> figures;
    for (int i = 0; i < runs; ++i) {
        const double us = perf_pipe_microseconds(loops);
        if (us <= 0) {
            fprintf(stderr, "mechanisms: perf bench sched pipe failed (is linux-perf installed?)\n");
            return false;
        }
        figures.push_back(us);
    }
    std::sort(figures.begin(), figures.end());
    const double perf_ns = figures[figures.size() / 2] * 1e3;
    const double ours = net(results, "pipe_round_trip/unpinned");
    printf("\nperf bench sched pipe -l %d (median of %d runs): %s per op, and one op is a round trip\n",
           loops, runs, duration(perf_ns).c_str());
    if (ours < 0)
        return false;
    const double ratio = ours / perf_ns;
    printf("our pipe round trip, unpinned: %s; ours / perf = %.2f (%s ±25%%)\n", duration(ours).c_str(),
           ratio, ratio >= 0.75 && ratio <= 1.25 ? "within" : "NOT within");
    return true;
}

// ------------------------------------------------------------------ main

// A private IPC namespace: our segments are invisible to everybody else and
// vanish with us. As an ordinary user, a user namespace comes with it.
bool enter_private_ipc_namespace()
{
    if (geteuid() == 0)
        return unshare(CLONE_NEWIPC) == 0;
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWIPC) == -1)
        return false;
    const auto put = [](const char* path, const std::string& text) {
        std::ofstream file(path);
        file << text;
        file.close();
        return !file.fail();
    };
    return put("/proc/self/setgroups", "deny") &&
           put("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n") &&
           put("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n");
}

// bench/empty_main, next to this program.
std::string find_tiny_program()
{
    char self[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return "empty_main";
    std::string path(self, static_cast<std::size_t>(length));
    return path.substr(0, path.rfind('/') + 1) + "empty_main";
}

struct Settings {
    std::string json;
    bool tour = false;
    bool peer = false;
    bool keep_ipc_namespace = false;
    std::vector<char*> benchmark_arguments;  // for Google Benchmark
};

[[noreturn]] void usage(int status)
{
    fprintf(status == 0 ? stdout : stderr,
            "usage: bench/mechanisms [--json FILE] [--tour] [--peer] [--smoke] [--keep-ipc-namespace]\n"
            "                        [--benchmark_...]\n");
    exit(status);
}

Settings parse(int argc, char** argv)
{
    Settings settings;
    settings.benchmark_arguments.push_back(argv[0]);
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--json" && i + 1 < argc)
            settings.json = argv[++i];
        else if (argument == "--tour")
            settings.tour = true;
        else if (argument == "--peer")
            settings.peer = true;
        else if (argument == "--smoke")
            smoke = true;
        else if (argument == "--keep-ipc-namespace")
            settings.keep_ipc_namespace = true;
        else if (argument.rfind("--benchmark_", 0) == 0)
            settings.benchmark_arguments.push_back(argv[i]);
        else
            usage(argument == "--help" ? 0 : 2);
    }
    return settings;
}

}  // namespace

int main(int argc, char** argv)
{
    Settings settings = parse(argc, argv);
    // --json FILE becomes Google Benchmark's own file output, in JSON.
    if (!settings.json.empty()) {
        static char json_format[] = "--benchmark_out_format=json";
        settings.json = "--benchmark_out=" + settings.json;
        settings.benchmark_arguments.push_back(settings.json.data());
        settings.benchmark_arguments.push_back(json_format);
    }
    int benchmark_argc = static_cast<int>(settings.benchmark_arguments.size());
    benchmark::Initialize(&benchmark_argc, settings.benchmark_arguments.data());
    if (benchmark::ReportUnrecognizedArguments(benchmark_argc, settings.benchmark_arguments.data()))
        return 2;

    page_size = sysconf(_SC_PAGESIZE);
    tiny_program = find_tiny_program();
    if (access(tiny_program.c_str(), X_OK) == -1) {
        fprintf(stderr, "mechanisms: %s: %s (build it: cmake --workflow --preset default)\n",
                tiny_program.c_str(), strerror(errno));
        return 1;
    }
    if (!install_clean_up()) {
        fprintf(stderr, "mechanisms: sigaction: %s\n", strerror(errno));
        return 1;
    }
    const bool private_ipc = !settings.keep_ipc_namespace && enter_private_ipc_namespace();

    const std::vector<Row> all = rows();
    Collector results;
    // A row that would not fit under the cgroup's memory limit would get the
    // whole process killed, table and all: it is left out, with the reason.
    const Headroom room = memory_headroom();
    for (const Row& row : all) {
        if (row.mebibytes * mebibyte > room.bytes) {
            results.skipped[row.name] = "needs about " + in_mebibytes(row.mebibytes * mebibyte) +
                                        ", and the memory limit of " + in_mebibytes(room.limit) + " (" +
                                        room.file + ") leaves " + in_mebibytes(room.bytes);
            continue;
        }
        benchmark::internal::Benchmark* registered = benchmark::RegisterBenchmark(row.name.c_str(), row.body);
        registered->UseRealTime()->Unit(benchmark::kNanosecond);
        if (smoke)
            registered->Iterations(1)->Repetitions(1);
        else
            registered->MinTime(seconds_per_repetition)
                ->MinWarmUpTime(warm_up_seconds)
                ->Repetitions(repetitions);
    }

    print_machine(private_ipc);
    if (smoke)
        printf("smoke run: one operation each, the times mean nothing\n");
    else
        printf("median of %d repetitions after a warm-up, wall clock, per operation\n", repetitions);
    if (!results.skipped.empty())
        printf("memory limit %s (%s), %s of it free: %zu rows that need more are skipped\n",
               in_mebibytes(room.limit).c_str(), room.file.c_str(), in_mebibytes(room.bytes).c_str(),
               results.skipped.size());
    fflush(stdout);
    results.total = all.size() - results.skipped.size();
    results.progress = isatty(STDERR_FILENO) != 0;
    benchmark::RunSpecifiedBenchmarks(&results);
    benchmark::Shutdown();

    print_table(all, results, settings.tour);
    if (settings.tour)
        print_notes(results);
    const bool compared = !settings.peer || compare_with_perf(results);
    return results.errors.empty() && compared ? 0 : 1;
}
