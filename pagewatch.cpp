// pagewatch: a file mapped shared into memory shows other processes' changes.
//
// The first six bytes of ./temp_mmap.txt are mapped with MAP_SHARED. The
// mapping and the file are the same page of the page cache: the letters a
// to f stored into the mapping are in the file at once, without a write(2),
// and a change another process makes to those bytes (through its own shared
// mapping, or by writing the file) shows in the next line printed. Six
// bytes are printed once a second for fifty seconds.
//
// Run: build/pagewatch
// While it runs, in a second terminal in the same directory:
//   build/peers/pagepoke 0 z
//   printf z | dd of=temp_mmap.txt bs=1 count=1 conv=notrunc

#include <cerrno>
#include <cstddef>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

constexpr const char* file_name = "./temp_mmap.txt";
constexpr mode_t file_mode = 0600;       // a new file: owner read and write
constexpr std::size_t mapped_bytes = 6;  // the letters a to f
constexpr int line_count = 50;           // one line a second
constexpr unsigned line_interval = 1;    // seconds between lines

// Another process may truncate the file while it is mapped. Touching a
// mapped byte that no longer lies in the file raises SIGBUS, and the access
// would fault again if the handler returned, so the handler ends the
// program itself, with async-signal-safe calls only. Lines still waiting in
// the stdout buffer (output not a terminal) go with it.
static void mapping_lost(int /*sig*/)
{
    constexpr char message[] = "pagewatch: SIGBUS: ./temp_mmap.txt shrank under the mapping\n";
    if (write(STDERR_FILENO, message, sizeof message - 1) < 0) {
        // Nothing left to tell anyone.
    }
    _exit(1);
}

int main()
{
    // The address of the six mapped bytes, for the whole run. volatile makes
    // every access a fresh load from the mapping, never a copy the compiler
    // kept in a register, so another process's change is seen.
    static volatile char* shared_variable = nullptr;

    // No O_TRUNC: everything past byte 5 stays as it was. O_NONBLOCK keeps
    // a FIFO or device in the file's place from making open wait; for a
    // regular file it changes nothing.
    const int fd = open(file_name, O_RDWR | O_CREAT | O_NONBLOCK, file_mode);
    if (fd == -1) {
        perror("pagewatch: open ./temp_mmap.txt");
        return 1;
    }

    // Only a regular file's page cache is what this shows: a FIFO cannot be
    // mapped, and storing the letters into a mapped device would write to
    // the device.
    struct stat st = {};
    if (fstat(fd, &st) == -1) {
        perror("pagewatch: fstat ./temp_mmap.txt");
        return 1;
    }
    if (!S_ISREG(st.st_mode)) {
        fputs("pagewatch: mmap ./temp_mmap.txt: not a regular file\n", stderr);
        return 1;
    }

    // A new file is empty, and mapped bytes past the end of a file are not
    // in it (touching them raises SIGBUS). posix_fallocate makes the file at
    // least six bytes long: it never shrinks it, and leaves the bytes it
    // holds alone, in one call, so nothing another process appends between
    // a size check and a resize can be cut off.
    const int error = posix_fallocate(fd, 0, mapped_bytes);
    if (error != 0) {
        errno = error;
        perror("pagewatch: posix_fallocate ./temp_mmap.txt");
        return 1;
    }

    void* const mapping = mmap(nullptr, mapped_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapping == MAP_FAILED) {
        perror("pagewatch: mmap ./temp_mmap.txt");
        return 1;
    }
    shared_variable = static_cast<volatile char*>(mapping);

    struct sigaction action = {};
    action.sa_handler = mapping_lost;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, nullptr);

    // Plain stores into memory: the file holds "abcdef" from here on.
    for (std::size_t i = 0; i < mapped_bytes; ++i)
        shared_variable[i] = static_cast<char>('a' + i);

    for (int line = 0; line < line_count; ++line) {
        // Six fresh loads from the shared page.
        printf("%c %c %c %c %c %c \n", shared_variable[0], shared_variable[1], shared_variable[2],
               shared_variable[3], shared_variable[4], shared_variable[5]);
        sleep(line_interval);
    }

    munmap(mapping, mapped_bytes);
    if (close(fd) == -1) {
        perror("pagewatch: close ./temp_mmap.txt");
        return 1;
    }
    return 0;
}
