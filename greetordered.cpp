// greetordered: ordering parent and child by waiting.
//
// The child writes "Hello, " and the parent writes "World!". The parent
// waits for the child to end before it writes, and the child's buffered
// fragment is written out as part of ending, so the greeting is in order
// on a terminal, a pipe or a file alike.
//
// Run: build/greetordered

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

static int close_output();

int main()
{
    const pid_t pid = fork();
    if (pid == -1) {
        perror("fork() failed");
        return 1;
    }

    // Both processes wait. The parent returns once its child has ended; the
    // child has no children of its own, so its wait fails at once (ECHILD),
    // and that failure is the expected one: nothing to check.
    (void)wait(nullptr);

    if (pid == 0) {
        // Child: no newline, so the fragment stays buffered until the end.
        fputs("Hello, ", stdout);
        return close_output();
    }

    // Parent: the child, and with it "Hello, ", is already out.
    fputs("World!\n", stdout);
    return close_output();
}

// Buffered output is written out at the latest by fclose, so a
// full disk or a closed descriptor shows here: each process checks its own
// standard output before it ends, as careful utilities do, and returns the
// status to end with. ferror_unlocked (one thread: no lock needed, and
// glibc expands it inline) catches a write that failed earlier, such as
// the newline's flush on a terminal, whose errno is gone by now.
static int close_output()
{
    const bool failed_earlier = ferror_unlocked(stdout) != 0;
    if (fclose(stdout) != 0) {
        const int saved_errno = errno;
        fprintf(stderr, "greetordered: write error: %s\n", strerror(saved_errno));
        return 1;
    }
    if (failed_earlier) {
        fputs("greetordered: write error\n", stderr);
        return 1;
    }
    return 0;
}
