// greetloose: the same greeting as greetordered, without the wait.
//
// The child writes "Hello, " and the parent writes "World!" and a newline.
// Nothing orders them, so either half may come first: "Hello, World!" and a
// newline, or "World!", a newline, and then "Hello, " after the prompt.
//
// Run: build/greetloose      (run it many times: tools/outcomes greetloose)

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

static int close_output();

int main()
{
    const pid_t pid = fork();
    if (pid == -1) {
        perror("fork() failed");
        return 1;
    }

    if (pid == 0) {
        // Child: the fragment is written out when the child ends.
        fputs("Hello, ", stdout);
        return close_output();
    }

    // Parent: does not wait, and may end before the child.
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
        fprintf(stderr, "greetloose: write error: %s\n", strerror(saved_errno));
        return 1;
    }
    if (failed_earlier) {
        fputs("greetloose: write error\n", stderr);
        return 1;
    }
    return 0;
}
