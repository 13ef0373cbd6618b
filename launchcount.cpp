// launchcount: a successful exec replaces the running program.
//
// The program writes a line through the buffered standard output, then
// replaces itself with the word counter, run on this very source file.
// Nothing after execv runs when it succeeds, and the stdio buffer is part
// of the old program image: whatever is still in it is gone.
//
// Run: build/launchcount            (from the top directory)
//      build/launchcount | cat      (the first line is lost)
// On a terminal stdout is line buffered, so the newline has already sent
// the first line out before execv. On a pipe or a file stdout is fully
// buffered, the line is still in the buffer, and only wc's counts appear.
// If /usr/bin/wc cannot be run, execv returns and the program reports it.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

constexpr int exit_not_found = 127;     // as a shell reports a command it cannot find
constexpr int exit_not_runnable = 126;  // found, but it cannot be executed

int main()
{
    char wc_path[] = "/usr/bin/wc";          // run by path: execv makes no search
    char source_file[] = "launchcount.cpp";  // relative to the working directory

    printf("I will never be printed!\n");  // no flush on purpose

    char* wc_argv[] = {wc_path, source_file, nullptr};
    execv(wc_path, wc_argv);

    // Only a failed execv returns. Our image, stdio buffer included, is
    // still here: returning from main writes out whatever is buffered.
    const int saved_errno = errno;
    fputs("I will never be printed!", stdout);
    fprintf(stderr, "launchcount: execv(%s): %s\n", wc_path, strerror(saved_errno));
    return saved_errno == ENOENT ? exit_not_found : exit_not_runnable;
}
