// nudgegreet: ordering parent and child by a signal.
//
// The parent writes "Hello, ", flushes it, and only then sends SIGUSR1 to
// the child. The child sleeps in sigsuspend until the signal has been
// caught, then writes "World!".
//
// The parent may signal before the child has installed its handler or
// before it has suspended. SIGUSR1 is therefore blocked before the fork:
// an early signal stays pending instead of killing the child, and
// sigsuspend unblocks it atomically, so the wake-up cannot be missed.
//
// Only the parent can wake the child. A parent that dies first (say of
// SIGPIPE at its flush, as in "build/nudgegreet | true") would leave the
// child asleep for good, so the child asks the kernel to end it along with
// its parent.
//
// Run: build/nudgegreet

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

constexpr int wake_signal = SIGUSR1;    // parent -> child: "Hello, " is out
constexpr int orphan_signal = SIGKILL;  // kernel -> child: the parent has ended

// Catching the signal is all that is needed: it ends sigsuspend, and it
// keeps the default action (termination) from happening.
static void parent_have_executed(int /*sig*/) {}

static void block_wake_signal(sigset_t* waiting);
static void end_with_parent(pid_t parent);
static void install_handler();
static int flush_output();
[[noreturn]] static void fail(const char* call, const char* argument);

int main()
{
    sigset_t waiting;             // the mask to wait with: SIGUSR1 let in
    block_wake_signal(&waiting);  // blocked from here on, in the child too

    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == -1) {
        perror("fork() failed");
        return 1;
    }

    if (pid == 0) {
        // Child: install the handler, then wait with the signal let in.
        end_with_parent(parent);
        install_handler();

        (void)sigsuspend(&waiting);  // always -1 (EINTR): it returns once the handler has run

        fputs("World!\n", stdout);
        // _exit, as a forked child usually ends: its output is flushed
        // and checked, and exit's clean-up has nothing left to do.
        _exit(flush_output());
    }

    // Parent: the flush puts the fragment out before the child is woken.
    fputs("Hello, ", stdout);
    const int status = flush_output();
    if (kill(pid, wake_signal) == -1)
        fail("kill", "child, SIGUSR1");  // ending without the wait ends the child too
    // Our only child: the wait cannot fail, and its status is not wanted.
    (void)wait(nullptr);
    return status;
}

static void block_wake_signal(sigset_t* waiting)
{
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, wake_signal);
    if (sigprocmask(SIG_BLOCK, &blocked, waiting) == -1)
        fail("sigprocmask", "SIG_BLOCK, SIGUSR1");
    sigdelset(waiting, wake_signal);
}

// The kernel sends orphan_signal to this process when its parent ends. A
// parent that ended before this request is gone already: then the child has
// been handed to another process, and its parent id tells.
static void end_with_parent(pid_t parent)
{
    if (prctl(PR_SET_PDEATHSIG, orphan_signal) == -1)
        fail("prctl", "PR_SET_PDEATHSIG");
    if (getppid() != parent)
        _exit(1);  // nobody is left to wake us, or to read this status
}

static void install_handler()
{
    struct sigaction action = {};
    action.sa_handler = parent_have_executed;
    sigemptyset(&action.sa_mask);
    if (sigaction(wake_signal, &action, nullptr) == -1)
        fail("sigaction", "SIGUSR1");
}

// The explicit flush, checked: a full disk or a closed descriptor shows
// here, while errno still says why; each process checks its own output and
// gets the status to end with. Nothing is written after it. ferror_unlocked
// (one thread: no lock needed, and glibc expands it inline) catches a write
// that failed earlier, such as the newline's flush on a terminal, whose
// errno is gone by now.
static int flush_output()
{
    const bool failed_earlier = ferror_unlocked(stdout) != 0;
    if (fflush(stdout) != 0) {
        const int saved_errno = errno;
        fprintf(stderr, "nudgegreet: write error: %s\n", strerror(saved_errno));
        return 1;
    }
    if (failed_earlier) {
        fputs("nudgegreet: write error\n", stderr);
        return 1;
    }
    return 0;
}

// Reports a failed call in the usual shape and ends with status 1.
[[noreturn]] static void fail(const char* call, const char* argument)
{
    const int saved_errno = errno;
    fprintf(stderr, "nudgegreet: %s(%s): %s\n", call, argument, strerror(saved_errno));
    exit(1);
}
