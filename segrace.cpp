// segrace: parent and child change one shared text with nothing to order them.
//
// The same System V segment as segduet (key 2009), but the parent does not
// wait. The child empties the text and appends "aaa"; the parent prints the
// text at once, appends "bbb" and a newline, and prints it again. Each
// character is appended in place, one at a time, while the other process
// may be reading or appending too, so what each line shows depends on how
// the scheduler interleaves the two. Typical runs:
//
//   child first:                    parent first:
//     Child append aaa                Parent reads
//     Parent reads aaa                Parent append bbb
//     Parent append aaabbb
//                                     Child append aaa
//
// and anything in between. When the child gets the segment only after the
// parent has removed it, the child creates a fresh one, which outlives the
// run (`ipcs -m`) and shows "aaa" in the next run's "Parent reads".
//
// Run: build/segrace     (many times: on one CPU, taskset -c 0 build/segrace)

#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <sys/shm.h>
#include <unistd.h>

constexpr key_t greeting_key = 2009;               // the greeting segment, shared with segduet
constexpr std::size_t greeting_size = 27;          // a text of at most 26 characters and its '\0'
constexpr int attach_attempts = 5;                 // fresh gets after the segment vanished under us
constexpr std::string_view child_word = "aaa";     // appended by the child
constexpr std::string_view parent_word = "bbb\n";  // appended by the parent

// The segment's first greeting_size bytes hold one text ended by '\0'. An
// earlier run or another program may have left anything there, so no access
// goes past those bytes. Each access goes through std::atomic_ref: the other
// process changes the bytes while we look, so every load and store must
// really happen, and in program order.
static_assert(std::atomic_ref<char>::is_always_lock_free);  // no lock: works across processes

using Shown = std::array<char, greeting_size + 1>;  // a copy of the text to print, always terminated

// Failure messages go straight to descriptor 2 (dprintf): unbuffered, as
// stderr is, and one symbol fewer to resolve when the program starts.
static char* attach_greeting(int& id);
static void append(char* text, char c);
static Shown printable(char* text);
static bool remove_greeting(int id);
static int finish_output(int status);

int main()
{
    const pid_t pid = fork();
    if (pid == -1) {
        perror("fork() failed");
        return 1;
    }

    // Child and parent alike: get the segment (created if missing) and
    // attach it.
    int id = -1;
    char* const text = attach_greeting(id);
    if (text == nullptr)
        return 1;  // nothing printed: nothing to check

    if (pid == 0) {
        // Child: empty the text, whatever is in it by now, then append.
        std::atomic_ref(text[0]).store('\0');
        for (const char c : child_word)
            append(text, c);
        printf("Child append %s\n", printable(text).data());
        (void)shmdt(text);  // cannot fail: text is our own attachment
        return finish_output(0);
    }

    // Parent: print the text at once, without waiting for anyone, then
    // append, while the child may be appending too.
    printf("Parent reads %s\n", printable(text).data());
    for (const char c : parent_word)
        append(text, c);
    printf("Parent append %s\n", printable(text).data());

    // Detach, then mark for removal. The child may still be attached; the
    // system destroys the segment after its last detach.
    (void)shmdt(text);  // cannot fail: text is our own attachment
    const bool removed = remove_greeting(id);
    return finish_output(removed ? 0 : 1);
}

// Gets the greeting segment (created if missing) and attaches it; stores
// its identifier in `id`. The child may get the identifier just before the
// parent removes the segment, and then find it destroyed when it attaches
// (EINVAL, EIDRM): a new get creates a fresh segment. Returns nullptr after
// reporting a failure.
static char* attach_greeting(int& id)
{
    for (int attempt = 1;; ++attempt) {
        id = shmget(greeting_key, greeting_size, IPC_CREAT | 0666);
        if (id == -1) {
            const int error = errno;
            dprintf(STDERR_FILENO, "segrace: shmget(key %d): %s\n", greeting_key, strerror(error));
            return nullptr;
        }
        void* const address = shmat(id, nullptr, 0);
        const int error = errno;
        if (address != reinterpret_cast<void*>(-1))
            return static_cast<char*>(address);
        if ((error != EINVAL && error != EIDRM) || attempt == attach_attempts) {
            dprintf(STDERR_FILENO, "segrace: shmat(key %d): %s\n", greeting_key, strerror(error));
            return nullptr;
        }
    }
}

// Character append: find the end, store the new terminator, and only then
// the character over the old one, so that a reader never meets an
// unterminated text. The search and both stores stay within the segment's
// bytes; with no room the character is dropped. The other process may
// append at the same end between our search and our stores; then one of
// the two characters is lost.
static void append(char* text, char c)
{
    std::size_t end = 0;
    while (end < greeting_size && std::atomic_ref(text[end]).load() != '\0')
        ++end;
    if (end + 1 < greeting_size) {
        std::atomic_ref(text[end + 1]).store('\0');
        std::atomic_ref(text[end]).store(c);
    }
}

// A copy of the text to print: up to its terminator, never past the
// segment's bytes.
static Shown printable(char* text)
{
    Shown shown = {};
    for (std::size_t i = 0; i < greeting_size; ++i)
        if ((shown[i] = std::atomic_ref(text[i]).load()) == '\0')
            break;
    return shown;
}

// Marks the segment for removal. Another run sharing it may have removed it
// already (EINVAL, EIDRM): it is gone either way. Returns false after
// reporting any other failure.
static bool remove_greeting(int id)
{
    if (shmctl(id, IPC_RMID, nullptr) == -1) {
        const int error = errno;
        if (error != EINVAL && error != EIDRM) {
            dprintf(STDERR_FILENO, "segrace: shmctl(key %d, IPC_RMID): %s\n", greeting_key, strerror(error));
            return false;
        }
    }
    return true;
}

// Standard output is written out when the process ends, too late to report
// a write that failed. So each process that has printed flushes and closes
// it itself before it ends: a full disk or a closed descriptor then gives a
// message and status 1 instead of passing for success.
static int finish_output(int status)
{
    // A line already written out failed (ferror_unlocked: single-threaded, and
    // inlined, so it costs no symbol lookup at start-up).
    const bool failed_before = ferror_unlocked(stdout) != 0;
    errno = 0;
    if (fclose(stdout) == 0 && !failed_before)
        return status;
    const int error = errno;  // 0: the reason went with the earlier line
    dprintf(STDERR_FILENO, "segrace: write error%s%s\n", error != 0 ? ": " : "",
            error != 0 ? strerror(error) : "");
    return 1;
}
