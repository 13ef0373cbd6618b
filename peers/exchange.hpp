// The exchange between parleyhand (the second party, "User2") and
// peers/parleylead (the first party, "User1"): what both sides must agree on.
//
// Both attach the System V segment with key 12345, which holds one
// exchange_block. A party that sends stores a terminated text in `text` and
// signals the other: SIGUSR1 to user1_pid for a line of parleyhand's (which
// then busy-waits while `status` is ready), SIGUSR2 to user2_pid for a
// message of parleylead's. Before a signal goes out, the sender makes sure
// the id in the block names a live process that has this segment attached:
// see partner_has_segment().
#pragma once

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/shm.h>
#include <unistd.h>

constexpr key_t exchange_key = 12345;             // both parties attach this segment
constexpr char segment_name[] = "/SYSV00003039";  // its name in /proc/PID/maps (key in hex)
constexpr std::size_t text_size = 100;            // bytes of text, terminator included
constexpr std::int32_t not_ready = -1;            // status: no line waits for User1
constexpr std::int32_t ready = 1;                 // status: a line waits in text for User1
constexpr int line_signal = SIGUSR1;              // User2 -> User1: take the line in text
constexpr int message_signal = SIGUSR2;           // User1 -> User2: print the text
constexpr std::size_t maps_path_size = 32;        // "/proc/PID/maps" and its terminator
constexpr int ending_within_ms = 1000;            // a process without memory ends within this

// The record laid over the segment, in the machine's own byte order. One
// `text` field carries both directions.
struct exchange_block {
    char text[text_size];    // the current message, a terminated text
    std::int32_t status;     // not_ready or ready: the only coordination word
    std::int32_t user1_pid;  // process id of the first party, written by it
    std::int32_t user2_pid;  // process id of parleyhand, written by it at start
};
static_assert(sizeof(exchange_block) == 112);
static_assert(offsetof(exchange_block, status) == 100);
static_assert(offsetof(exchange_block, user1_pid) == 104);
static_assert(offsetof(exchange_block, user2_pid) == 108);

// Makes sure descriptors 0, 1 and 2 are open (on /dev/null when not), before
// anything else is opened: a file opened later must never become standard
// output or error and receive our messages.
inline void keep_standard_streams_open()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        if (open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) != fd)
            _exit(1);  // no standard error to report it on
    }
}

// Whether one line of /proc/PID/maps is the exchange segment with id shmid:
// address perms offset device inode path, one blank between the first five;
// a System V segment has its id as inode number and its key in its name.
inline bool is_exchange_segment(const char* entry, int shmid)
{
    const char* field = entry;
    for (int skip = 0; skip < 4 && field != nullptr; ++skip) {
        field = strchr(field, ' ');
        if (field != nullptr)
            ++field;
    }
    if (field == nullptr)
        return false;
    char* end = nullptr;
    const unsigned long inode = strtoul(field, &end, 10);
    if (end == field || *end != ' ')
        return false;
    const char* path = end + strspn(end, " ");
    const std::size_t name_length = sizeof segment_name - 1;
    return inode == static_cast<unsigned long>(shmid) && strncmp(path, segment_name, name_length) == 0 &&
           (path[name_length] == ' ' || path[name_length] == '\n');
}

// Whether process `pid` has the segment with id shmid attached, read from
// maps_path (/proc/PID/maps, filled in here). Returns false with *error set
// to errno when the file cannot be read, 0 when it was read. A process that
// has ended has no maps file (ENOENT, ESRCH): that counts as not attached.
inline bool partner_has_segment(pid_t pid, int shmid, char (&maps_path)[maps_path_size], int* error)
{
    snprintf(maps_path, sizeof maps_path, "/proc/%d/maps", static_cast<int>(pid));
    *error = 0;
    FILE* maps = fopen(maps_path, "re");
    if (maps == nullptr) {
        *error = errno == ENOENT || errno == ESRCH ? 0 : errno;
        return false;
    }
    bool attached = false;
    char* entry = nullptr;
    std::size_t capacity = 0;
    while (!attached && getline(&entry, &capacity, maps) != -1)
        attached = is_exchange_segment(entry, shmid);
    free(entry);
    (void)fclose(maps);  // read only: nothing is lost when closing fails
    return attached;
}

// Whether process `pid`, just found without the segment, is ending rather
// than detached. A process that ends lets go of all its memory, the segment
// with it, a moment before its pidfd reports the end, while a live process
// always has some memory mapped. So when its maps have become empty, its
// pidfd is given that moment to report the end.
inline bool partner_is_ending(pid_t pid, int pidfd)
{
    char maps_path[maps_path_size];
    snprintf(maps_path, sizeof maps_path, "/proc/%d/maps", static_cast<int>(pid));
    const int maps = open(maps_path, O_RDONLY | O_CLOEXEC);
    char first_byte = 0;
    const bool memory_gone = maps == -1 || read(maps, &first_byte, 1) <= 0;
    if (maps != -1)
        close(maps);
    pollfd exit_check = {pidfd, POLLIN, 0};
    return memory_gone && poll(&exit_check, 1, ending_within_ms) > 0;
}
