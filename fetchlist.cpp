// fetchlist: fork combined with exec.
//
// The child replaces itself with git to clone a repository into
// TarnwickPanel under the working directory. The parent waits for the
// child, moves into the clone, pauses ten seconds, and replaces itself with
// "ls -l". Both programs are found through PATH (execvp). fetchlist writes
// nothing of its own unless a step fails: all output is git's and ls's.
//
// Run: build/fetchlist              (needs git and a reachable server)
// Run it a second time in the same directory: the clone fails because
// TarnwickPanel exists, and the parent lists the first run's copy.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

constexpr unsigned pause_seconds = 10;  // between the clone and the listing

int main()
{
    // Nothing is buffered yet, so fork duplicates no pending output.
    const pid_t pid = fork();
    if (pid == -1) {
        perror("fork() failed");
        return 1;
    }

    if (pid == 0) {
        // Child: become git. A server that wants credentials must not
        // leave git waiting for a user name on the terminal: without the
        // prompt it fails at once with its own message.
        char git[] = "git";
        char clone[] = "clone";
        char repository[] = "https://github.com/Orvanteska/TarnwickPanel";
        char* git_argv[] = {git, clone, repository, nullptr};
        setenv("GIT_TERMINAL_PROMPT", "0", 1);
        execvp(git, git_argv);
        const int saved_errno = errno;
        fprintf(stderr, "%s: %s\n", git, strerror(saved_errno));
        // _exit, not exit: the child's stdio buffers are copies of the
        // parent's, and flushing them would write the parent's output twice.
        _exit(saved_errno == ENOENT ? 127 : 126);
    }

    // Parent: wait for the clone to finish, whatever its outcome.
    wait(nullptr);

    // When the clone failed and no earlier copy exists, chdir fails and the
    // listing below falls back to the working directory.
    if (chdir("TarnwickPanel") != 0) {
        // Nothing to do: stay where we are.
    }

    char ls[] = "ls";
    char long_format[] = "-l";
    char* ls_argv[] = {ls, long_format, nullptr};

    sleep(pause_seconds);
    execvp(ls, ls_argv);
    const int saved_errno = errno;
    fprintf(stderr, "%s: %s\n", ls, strerror(saved_errno));
    return saved_errno == ENOENT ? 127 : 126;
}
