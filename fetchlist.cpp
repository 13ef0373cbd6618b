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
constexpr int exit_not_found = 127;     // as a shell reports a command it cannot find
constexpr int exit_not_runnable = 126;  // found, but it cannot be executed

// A server that accepts the connection and never answers would hold git,
// and with it the parent's wait, for good. git gives up on a transfer that
// stays below this many bytes a second for this many seconds.
constexpr const char* low_speed_limit = "1000";  // bytes per second
constexpr const char* low_speed_time = "30";     // seconds

static void prepare_git_environment();

int main()
{
    // Nothing is buffered yet, so fork duplicates no pending output.
    const pid_t pid = fork();
    if (pid == -1) {
        perror("fork() failed");
        return 1;
    }

    if (pid == 0) {
        // Child: become git, without a terminal prompt and with a bound on
        // a stalled transfer.
        char git[] = "git";
        char clone[] = "clone";
        char repository[] = "https://github.com/Orvanteska/TarnwickPanel";
        char* git_argv[] = {git, clone, repository, nullptr};
        prepare_git_environment();
        execvp(git, git_argv);
        const int saved_errno = errno;
        fprintf(stderr, "fetchlist: execvp(%s): %s\n", git, strerror(saved_errno));
        // _exit, not exit: the child's stdio buffers are copies of the
        // parent's, and flushing them would write the parent's output twice.
        _exit(saved_errno == ENOENT ? exit_not_found : exit_not_runnable);
    }

    // Parent: wait for the clone to finish. Its outcome does not matter:
    // the listing follows either way, and our only child cannot be missing.
    (void)wait(nullptr);

    // When the clone failed and no earlier copy exists, chdir fails and the
    // listing below falls back to the working directory. ("(void)!": glibc
    // marks chdir warn_unused_result, which a plain cast does not silence.)
    (void)!chdir("TarnwickPanel");

    char ls[] = "ls";
    char long_format[] = "-l";
    char* ls_argv[] = {ls, long_format, nullptr};

    (void)sleep(pause_seconds);  // no signal is caught, so it is never cut short
    execvp(ls, ls_argv);
    const int saved_errno = errno;
    fprintf(stderr, "fetchlist: execvp(%s): %s\n", ls, strerror(saved_errno));
    return saved_errno == ENOENT ? exit_not_found : exit_not_runnable;
}

// Sets `name` in the child's environment, which git inherits; with
// `replace` false a value the user set is kept. A failure ends the child.
static void set_variable(const char* name, const char* value, bool replace)
{
    if (setenv(name, value, replace ? 1 : 0) == 0)
        return;
    const int saved_errno = errno;
    fprintf(stderr, "fetchlist: setenv(%s): %s\n", name, strerror(saved_errno));
    _exit(1);
}

// A server that wants credentials must not leave git waiting for a user
// name on the terminal: without the prompt it fails at once with its own
// message. A stalled transfer ends after low_speed_time seconds, unless the
// user chose other bounds.
static void prepare_git_environment()
{
    set_variable("GIT_TERMINAL_PROMPT", "0", true);
    set_variable("GIT_HTTP_LOW_SPEED_LIMIT", low_speed_limit, false);
    set_variable("GIT_HTTP_LOW_SPEED_TIME", low_speed_time, false);
}
