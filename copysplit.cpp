// copysplit: a forked child gets its own copy of the parent's data.
//
// Parent and child start from the same six characters "abcdef". After the
// fork each process changes its own half of its own copy and prints it;
// neither print shows the other process's change, because fork gave each
// process a private copy of the array.
//
// Run: build/copysplit
// Either line may come first: the scheduler decides, and nobody waits.

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

static int close_output();

int main()
{
    std::array<char, 6> text = {'a', 'b', 'c', 'd', 'e', 'f'};  // six characters, no terminator

    // Nothing has been written yet, so the stdio buffer that fork duplicates
    // is empty and no output can appear twice.
    const pid_t pid = fork();
    if (pid == -1) {
        perror("fork() failed");
        return 1;
    }

    if (pid == 0) {
        // Child: change the first half of the child's copy.
        fputs("Child process has variable a = ", stdout);
        for (std::size_t i = 0; i < 3; ++i)
            text[i] = 'a';
        fwrite(text.data(), 1, text.size(), stdout);
        putchar('\n');
        return close_output();
    }

    // Parent: change the second half of the parent's copy.
    fputs("Parent process has variable a = ", stdout);
    for (std::size_t i = 3; i < 6; ++i)
        text[i] = 'b';
    fwrite(text.data(), 1, text.size(), stdout);
    putchar('\n');
    return close_output();  // no wait: the child may still be running
}

// The line is still in the stdio buffer (on a pipe or a file) until fclose
// writes it out, so a full disk or a closed descriptor shows only here: each
// process checks its own copy of standard output before it ends, and
// returns the status to end with. ferror catches a write that failed
// earlier (a terminal flushes at each newline) and whose errno is gone.
static int close_output()
{
    const bool failed_earlier = ferror(stdout) != 0;
    errno = 0;
    if (fclose(stdout) == 0 && !failed_earlier)
        return 0;
    const int saved_errno = errno;
    if (saved_errno == 0)
        fputs("copysplit: write error\n", stderr);
    else
        fprintf(stderr, "copysplit: write error: %s\n", strerror(saved_errno));
    return 1;
}
