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

static void block_wake_signal(sigset_t* original);
static void end_with_parent(pid_t parent);
static void install_handler();
static int close_output();
[[noreturn]] static void fail(const char* call, const char* argument);

int main()
{
    sigset_t original;
    block_wake_signal(&original);  // inherited by the child

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

        sigset_t waiting = original;
        sigdelset(&waiting, wake_signal);
        (void)sigsuspend(&waiting);  // always -1 (EINTR): it returns once the handler has run

        fputs("World!\n", stdout);
        return close_output();  // flushes "World!" and checks it arrived
    }

    // Parent: the flush puts the fragment out before the child is woken.
    fputs("Hello, ", stdout);
    const int status = close_output();
    if (kill(pid, wake_signal) == -1)
        fail("kill", "child, SIGUSR1");  // ending without the wait ends the child too
    // Our only child: the wait cannot fail, and its status is not wanted.
    (void)wait(nullptr);
    return status;
}

static void block_wake_signal(sigset_t* original)
{
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, wake_signal);
    if (sigprocmask(SIG_BLOCK, &blocked, original) == -1)
        fail("sigprocmask", "SIG_BLOCK, SIGUSR1");
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

// fclose writes out what is buffered and closes standard output, so a full
// disk or a closed descriptor shows here; each process checks its own
// output this way and returns the status to end with. ferror catches a
// write that failed earlier (a terminal flushes at each newline) and whose
// errno is gone.
static int close_output()
{
    const bool failed_earlier = ferror(stdout) != 0;
    errno = 0;
    if (fclose(stdout) == 0 && !failed_earlier)
        return 0;
    const int saved_errno = errno;
    if (saved_errno == 0)
        fputs("nudgegreet: write error\n", stderr);
    else
        fprintf(stderr, "nudgegreet: write error: %s\n", strerror(saved_errno));
    return 1;
}

// Reports a failed call in the usual shape and ends with status 1.
[[noreturn]] static void fail(const char* call, const char* argument)
{
    const int saved_errno = errno;
    fprintf(stderr, "nudgegreet: %s(%s): %s\n", call, argument, strerror(saved_errno));
    exit(1);
}
