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
        fprintf(stderr, "copysplit: write error: %s\n", strerror(saved_errno));
        return 1;
    }
    if (failed_earlier) {
        fputs("copysplit: write error\n", stderr);
        return 1;
    }
    return 0;
}
