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

// Buffered output is written out at the latest by fclose, so a full disk or
// a closed descriptor shows only here: each process checks its own standard
// output before it ends, and returns the status to end with. ferror catches
// a write that failed earlier (a terminal flushes at each newline) and
// whose errno is gone.
static int close_output()
{
    const bool failed_earlier = ferror(stdout) != 0;
    errno = 0;
    if (fclose(stdout) == 0 && !failed_earlier)
        return 0;
    const int saved_errno = errno;
    if (saved_errno == 0)
        fputs("greetordered: write error\n", stderr);
    else
        fprintf(stderr, "greetordered: write error: %s\n", strerror(saved_errno));
    return 1;
}
