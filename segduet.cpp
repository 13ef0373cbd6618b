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

int main()
{
    const pid_t pid = fork();
    if (pid == -1) {
        perror("fork() failed");
        return 1;
    }

    // Child and parent alike: get the segment (created if missing) and
    // attach it. Another run sharing the segment may remove it between our
    // get and our attach; the attach then fails, and a new get creates a
    // fresh segment.
    int id = -1;
    char* text = nullptr;
    for (int attempt = 1; text == nullptr; ++attempt) {
        id = shmget(greeting_key, greeting_size, IPC_CREAT | 0666);
        if (id == -1) {
            const int error = errno;
            fprintf(stderr, "segduet: shmget(key %d): %s\n", greeting_key, strerror(error));
            break;
        }
        void* const address = shmat(id, nullptr, 0);
        const int error = errno;
        if (address != reinterpret_cast<void*>(-1))
            text = static_cast<char*>(address);
        else if ((error != EINVAL && error != EIDRM) || attempt == attach_attempts) {
            fprintf(stderr, "segduet: shmat(key %d): %s\n", greeting_key, strerror(error));
            break;
        }
    }
    if (text == nullptr) {
        if (pid != 0)
            wait(nullptr);  // Parent: end after the child, as on success
        return 1;
    }

    char shown[greeting_size + 1] = {};  // a copy to print, always terminated

    if (pid == 0) {
        // Child: empty the text, whatever was left in it, then append.
        std::atomic_ref(text[0]).store('\0');
        for (const char c : child_word) {
            // Character append: find the end, store the new terminator, and
            // only then the character over the old one, so that a reader
            // never meets an unterminated text. No room: the character is
            // dropped.
            std::size_t end = 0;
            while (end < greeting_size && std::atomic_ref(text[end]).load() != '\0')
                ++end;
            if (end + 1 < greeting_size) {
                std::atomic_ref(text[end + 1]).store('\0');
                std::atomic_ref(text[end]).store(c);
            }
        }
        // Copy the text to print: up to its terminator, never past the
        // segment's bytes.
        for (std::size_t i = 0; i < greeting_size; ++i)
            if ((shown[i] = std::atomic_ref(text[i]).load()) == '\0')
                break;
        printf("Child append %s\n", shown);
        shmdt(text);
        return 0;
    }

    // Parent: read only once the child has ended.
    wait(nullptr);
    for (std::size_t i = 0; i < greeting_size; ++i)  // copy to print, as in the child
        if ((shown[i] = std::atomic_ref(text[i]).load()) == '\0')
            break;
    printf("Parent reads %s\n", shown);

    for (const char c : parent_word) {
        std::size_t end = 0;  // character append, as in the child
        while (end < greeting_size && std::atomic_ref(text[end]).load() != '\0')
            ++end;
        if (end + 1 < greeting_size) {
            std::atomic_ref(text[end + 1]).store('\0');
            std::atomic_ref(text[end]).store(c);
        }
    }
    for (std::size_t i = 0; i < greeting_size; ++i)  // copy to print, as in the child
        if ((shown[i] = std::atomic_ref(text[i]).load()) == '\0')
            break;
    printf("Parent append %s\n", shown);

    // Detach, then mark for removal: the system destroys the segment once
    // the last process has detached. Another run sharing it may have
    // removed it already (EINVAL, EIDRM): it is gone either way.
    shmdt(text);
    if (shmctl(id, IPC_RMID, nullptr) == -1) {
        const int error = errno;
        if (error != EINVAL && error != EIDRM) {
            fprintf(stderr, "segduet: shmctl(key %d, IPC_RMID): %s\n", greeting_key, strerror(error));
            return 1;
        }
    }
    return 0;
}
