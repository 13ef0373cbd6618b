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
// Run: build/nudgegreet

#include <csignal>
#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

constexpr int wake_signal = SIGUSR1;  // parent -> child: "Hello, " is out

// Catching the signal is all that is needed: it ends sigsuspend, and it
// keeps the default action (termination) from happening.
static void parent_have_executed(int /*sig*/) {}

int main()
{
    sigset_t blocked;
    sigset_t original;
    sigemptyset(&blocked);
    sigaddset(&blocked, wake_signal);
    sigprocmask(SIG_BLOCK, &blocked, &original);  // inherited by the child

    const pid_t pid = fork();
    if (pid == -1) {
        perror("fork() failed");
        return 1;
    }

    if (pid == 0) {
        // Child: install the handler, then wait with the signal let in.
        struct sigaction action = {};
        action.sa_handler = parent_have_executed;
        sigemptyset(&action.sa_mask);
        sigaction(wake_signal, &action, nullptr);

        sigset_t waiting = original;
        sigdelset(&waiting, wake_signal);
        sigsuspend(&waiting);  // returns once the handler has run

        fputs("World!\n", stdout);
        fflush(stdout);
        return 0;
    }

    // Parent: the flush puts the fragment out before the child is woken.
    fputs("Hello, ", stdout);
    fflush(stdout);
    kill(pid, wake_signal);
    wait(nullptr);
    return 0;
}
