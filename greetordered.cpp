// greetordered: ordering parent and child by waiting.
//
// The child writes "Hello, " and the parent writes "World!". The parent
// waits for the child to end before it writes, and the child's buffered
// fragment is written out as part of ending, so the greeting is in order
// on a terminal, a pipe or a file alike.
//
// Run: build/greetordered

#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

int main()
{
    const pid_t pid = fork();
    if (pid == -1) {
        perror("fork() failed");
        return 1;
    }

    // Both processes wait. The parent returns once its child has ended; the
    // child has no children of its own, so its wait fails at once (ECHILD).
    wait(nullptr);

    if (pid == 0) {
        // Child: no newline, so the fragment stays buffered until exit.
        fputs("Hello, ", stdout);
        return 0;
    }

    // Parent: the child, and with it "Hello, ", is already out.
    fputs("World!\n", stdout);
    return 0;
}
