// pagepoke: changes one of the first six bytes of a file through a shared
// mapping of its own, for pagewatch to see.
//
// Usage: pagepoke [INDEX CHAR [FILE]]
//   Sets byte INDEX (0 to 5) of FILE (default ./temp_mmap.txt) to the single
//   byte CHAR; without arguments, byte 0 to 'z'. The file must already hold
//   at least six bytes: it is never created, extended or shrunk.
//
// Run while build/pagewatch runs in another terminal, in the same directory:
//   build/peers/pagepoke 0 z

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

constexpr const char* default_file = "./temp_mmap.txt";
constexpr std::size_t mapped_bytes = 6;  // the bytes pagewatch prints
constexpr int usage_status = 2;

int main(int argc, char* argv[])
{
    std::size_t index = 0;
    char value = 'z';
    const char* file = default_file;

    if (argc != 1) {
        // INDEX is one digit from 0 to 5, CHAR exactly one byte.
        const std::string_view index_arg = argc > 1 ? argv[1] : "";
        const std::string_view value_arg = argc > 2 ? argv[2] : "";
        if ((argc != 3 && argc != 4) || index_arg.size() != 1 || index_arg[0] < '0' ||
            index_arg[0] >= '0' + static_cast<int>(mapped_bytes) || value_arg.size() != 1) {
            fputs("usage: pagepoke [INDEX CHAR [FILE]]\n"
                  "  sets byte INDEX (0 to 5) of FILE (default ./temp_mmap.txt) to the single\n"
                  "  character CHAR; without arguments, byte 0 to 'z'\n",
                  stderr);
            return usage_status;
        }
        index = static_cast<std::size_t>(index_arg[0] - '0');
        value = value_arg[0];
        if (argc == 4)
            file = argv[3];
    }

    // No O_CREAT: a missing file is an error, not something to make here.
    const int fd = open(file, O_RDWR | O_NONBLOCK);
    if (fd == -1) {
        const int saved = errno;
        fprintf(stderr, "pagepoke: open %s: %s\n", file, strerror(saved));
        return 1;
    }
    struct stat st = {};
    if (fstat(fd, &st) == -1) {
        const int saved = errno;
        fprintf(stderr, "pagepoke: fstat %s: %s\n", file, strerror(saved));
        return 1;
    }
    if (!S_ISREG(st.st_mode)) {
        fprintf(stderr, "pagepoke: mmap %s: not a regular file\n", file);
        return 1;
    }
    // A mapped byte past the end of the file is not in the file (touching
    // it may raise SIGBUS), and this program does not resize files.
    if (st.st_size < static_cast<off_t>(mapped_bytes)) {
        fprintf(stderr, "pagepoke: %s: shorter than six bytes (start pagewatch first)\n", file);
        return 1;
    }

    void* const mapping = mmap(nullptr, mapped_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapping == MAP_FAILED) {
        const int saved = errno;
        fprintf(stderr, "pagepoke: mmap %s: %s\n", file, strerror(saved));
        return 1;
    }
    volatile char* const bytes = static_cast<volatile char*>(mapping);

    // One store into the shared page: every mapping of the file, and every
    // read of it, sees the new byte from now on.
    const char old = bytes[index];
    bytes[index] = value;
    printf("pagepoke: byte %zu of %s: '%c' -> '%c'\n", index, file, old, value);

    munmap(mapping, mapped_bytes);
    if (close(fd) == -1) {
        const int saved = errno;
        fprintf(stderr, "pagepoke: close %s: %s\n", file, strerror(saved));
        return 1;
    }
    return 0;
}
