// segduet: a parent and its child build a greeting in System V shared memory.
//
// After the fork each process gets the segment with key 2009 on its own
// (whichever comes first creates it) and attaches it. The child empties the
// text, appends "Hello" one character at a time, prints it and ends. The
// parent waits for the child, prints what the child left, appends "World!"
// and a newline, and prints the text again. It then detaches and marks the
// segment for removal; the system destroys it once nobody is attached.
// The wait is the only coordination, and it is enough: the parent touches
// the text only after the child has ended. segrace leaves the wait out.
//
// Run: build/segduet     (afterwards `ipcs -m` shows no key 0x000007d9)

#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

constexpr key_t greeting_key = 2009;                  // the greeting segment, shared with segrace
constexpr std::size_t greeting_size = 27;             // a text of at most 26 characters and its '\0'
constexpr int attach_attempts = 5;                    // fresh gets after the segment vanished under us
constexpr std::string_view child_word = "Hello";      // appended by the child
constexpr std::string_view parent_word = "World!\n";  // by the parent; the newline ends the
                                                      // text, so an empty line follows

// The segment's first greeting_size bytes hold one text ended by '\0'. An
// earlier run or another program may have left anything there, so no access
// goes past those bytes. Each access goes through std::atomic_ref: another
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
    if (text == nullptr) {
        if (pid != 0)             // Parent: end after the child, as on success
            (void)wait(nullptr);  // fails only with no child left, and then it has ended too
        return 1;                 // nothing printed: nothing to check
    }

    if (pid == 0) {
        // Child: empty the text, whatever was left in it, then append.
        std::atomic_ref(text[0]).store('\0');
        for (const char c : child_word)
            append(text, c);
        printf("Child append %s\n", printable(text).data());
        (void)shmdt(text);  // cannot fail: text is our own attachment
        return finish_output(0);
    }

    // Parent: read only once the child has ended.
    (void)wait(nullptr);  // fails only with no child left, and then it has ended too
    printf("Parent reads %s\n", printable(text).data());
    for (const char c : parent_word)
        append(text, c);
    printf("Parent append %s\n", printable(text).data());

    // Detach, then mark for removal: the system destroys the segment once
    // the last process has detached.
    (void)shmdt(text);  // cannot fail: text is our own attachment
    const bool removed = remove_greeting(id);
    return finish_output(removed ? 0 : 1);
}

// Gets the greeting segment (created if missing) and attaches it; stores
// its identifier in `id`. Another run sharing the segment may remove it
// between our get and our attach; the attach then fails, and a new get
// creates a fresh segment. Returns nullptr after reporting a failure.
static char* attach_greeting(int& id)
{
    for (int attempt = 1;; ++attempt) {
        id = shmget(greeting_key, greeting_size, IPC_CREAT | 0666);
        if (id == -1) {
            const int error = errno;
            dprintf(STDERR_FILENO, "segduet: shmget(key %d): %s\n", greeting_key, strerror(error));
            return nullptr;
        }
        void* const address = shmat(id, nullptr, 0);
        const int error = errno;
        if (address != reinterpret_cast<void*>(-1))
            return static_cast<char*>(address);
        if ((error != EINVAL && error != EIDRM) || attempt == attach_attempts) {
            dprintf(STDERR_FILENO, "segduet: shmat(key %d): %s\n", greeting_key, strerror(error));
            return nullptr;
        }
    }
}

// Character append: find the end, store the new terminator, and only then
// the character over the old one, so that a reader never meets an
// unterminated text. The search and both stores stay within the segment's
// bytes; with no room the character is dropped.
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
            dprintf(STDERR_FILENO, "segduet: shmctl(key %d, IPC_RMID): %s\n", greeting_key, strerror(error));
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
    dprintf(STDERR_FILENO, "segduet: write error%s%s\n", error != 0 ? ": " : "",
            error != 0 ? strerror(error) : "");
    return 1;
}
