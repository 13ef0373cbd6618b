// launchfault: detecting and reporting a failed exec.
//
// execv takes its first argument as a path and makes no search of PATH, so
// the bare name "wc" means a file called wc in the working directory. There
// normally is none: execv returns -1 with errno set, and the program goes on
// to report it. Had it succeeded, none of the lines below would be written.
//
// Run: build/launchfault            (from the top directory)
// Put an executable file named wc in the working directory and the exec
// succeeds; put a non-executable one there and errno is EACCES instead.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

static int close_output();

int main()
{
    char launched[] = "wc";                  // a path relative to the working directory
    char source_file[] = "launchcount.cpp";  // what wc would count

    char* wc_argv[] = {launched, source_file, nullptr};
    const int result = execv(launched, wc_argv);
    // errno first: printf may change it.
    const int saved_errno = errno;

    printf("%s %i \n", "Status of executing process:", result);
    if (result == -1 && saved_errno == ENOENT)
        printf("%s%s\n", "The is no such file as ", launched);
    puts("I will be printed, because exec will fail.");
    return close_output();
}

// Nothing was buffered before execv, so a failed exec loses no output and a
// successful one leaves none behind. The three lines are written out at the
// latest by fclose, so a full disk or a closed descriptor shows here, as
// careful utilities check, and the status to end with is returned.
// ferror_unlocked (one thread: no lock needed, and glibc expands it inline)
// catches a write that failed earlier, such as the newline's flush on a
// terminal, whose errno is gone by now.
static int close_output()
{
    const bool failed_earlier = ferror_unlocked(stdout) != 0;
    if (fclose(stdout) != 0) {
        const int saved_errno = errno;
        fprintf(stderr, "launchfault: write error: %s\n", strerror(saved_errno));
        return 1;
    }
    if (failed_earlier) {
        fputs("launchfault: write error\n", stderr);
        return 1;
    }
    return 0;
}
