// greetloose: the same greeting as greetordered, without the wait.
//
// The child writes "Hello, " and the parent writes "World!" and a newline.
// Nothing orders them, so either half may come first: "Hello, World!" and a
// newline, or "World!", a newline, and then "Hello, " after the prompt.
//
// Run: build/greetloose      (run it many times: tools/outcomes greetloose)

#include <cstdio>
#include <unistd.h>

int main()
{
    const pid_t pid = fork();
    if (pid == -1) {
        perror("fork() failed");
        return 1;
    }

    if (pid == 0) {
        // Child: the fragment is written out when the child exits.
        fputs("Hello, ", stdout);
        return 0;
    }

    // Parent: does not wait, and may end before the child.
    fputs("World!\n", stdout);
    return 0;
}
