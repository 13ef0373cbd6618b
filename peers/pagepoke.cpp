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
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

constexpr const char* default_file = "./temp_mmap.txt";
constexpr std::size_t mapped_bytes = 6;  // the bytes pagewatch prints
constexpr int usage_status = 2;

static bool standard_descriptors_open();
static bool read_arguments(int argc, const char* const argv[], std::size_t& index, char& value,
                           const char*& file);
static bool six_stored_bytes(int fd, const char* file);
static int fail(const char* call, const char* argument, int error = errno);

int main(int argc, char* argv[])
{
    if (!standard_descriptors_open())
        return 1;

    std::size_t index = 0;
    char value = 'z';
    const char* file = default_file;
    if (!read_arguments(argc, argv, index, value, file)) {
        fputs("usage: pagepoke [INDEX CHAR [FILE]]\n"
              "  sets byte INDEX (0 to 5) of FILE (default ./temp_mmap.txt) to the single\n"
              "  character CHAR; without arguments, byte 0 to 'z'\n",
              stderr);
        return usage_status;
    }

    // No O_CREAT: a missing file is an error, not something to make here.
    const int fd = open(file, O_RDWR | O_NONBLOCK);
    if (fd == -1)
        return fail("open", file);
    if (!six_stored_bytes(fd, file))
        return 1;

    void* const mapping = mmap(nullptr, mapped_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapping == MAP_FAILED)
        return fail("mmap", file);
    volatile char* const bytes = static_cast<volatile char*>(mapping);

    // One store into the shared page: every mapping of the file, and every
    // read of it, sees the new byte from now on.
    const char old = bytes[index];
    bytes[index] = value;
    printf("pagepoke: byte %zu of %s: '%c' -> '%c'\n", index, file, old, value);

    int status = 0;
    if (munmap(mapping, mapped_bytes) == -1)
        status = fail("munmap", file);
    if (close(fd) == -1)
        status = fail("close", file);
    if (fclose(stdout) != 0) {
        const int error = errno;
        fprintf(stderr, "pagepoke: write error: %s\n", strerror(error));
        status = 1;
    }
    return status;
}

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// the file never gets one of those numbers (`pagepoke 0 z FILE 2>&-` would
// otherwise write its own error message into FILE).
static bool standard_descriptors_open()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free number is fd itself: the ones below are open now.
        if (open("/dev/null", O_RDWR) == -1) {
            fail("open", "/dev/null");
            return false;
        }
    }
    return true;
}

// No arguments, or INDEX and CHAR and perhaps FILE: INDEX is one digit from
// 0 to 5, CHAR exactly one byte.
static bool read_arguments(int argc, const char* const argv[], std::size_t& index, char& value,
                           const char*& file)
{
    if (argc == 1)
        return true;
    if (argc != 3 && argc != 4)
        return false;
    const std::string_view index_arg = argv[1];
    const std::string_view value_arg = argv[2];
    if (index_arg.size() != 1 || index_arg[0] < '0' || index_arg[0] >= '0' + static_cast<int>(mapped_bytes) ||
        value_arg.size() != 1)
        return false;
    index = static_cast<std::size_t>(index_arg[0] - '0');
    value = value_arg[0];
    if (argc == 4)
        file = argv[3];
    return true;
}

// File systems that are kernel interfaces: their "files" are settings and
// registers of the running system (a PCI device's memory under /sys can be
// mapped), not stored bytes. The same list as pagewatch's.
struct kernel_filesystem {
    std::uint32_t magic;  // statfs f_type
    const char* name;
};
constexpr kernel_filesystem kernel_filesystems[] = {
    {PROC_SUPER_MAGIC, "proc"},
    {SYSFS_MAGIC, "sysfs"},
    {DEBUGFS_MAGIC, "debugfs"},
    {TRACEFS_MAGIC, "tracefs"},
    {CGROUP_SUPER_MAGIC, "cgroup"},
    {CGROUP2_SUPER_MAGIC, "cgroup2"},
    {SECURITYFS_MAGIC, "securityfs"},
    {SELINUX_MAGIC, "selinuxfs"},
    {SMACK_MAGIC, "smackfs"},
    {AAFS_MAGIC, "apparmorfs"},
    {BPF_FS_MAGIC, "bpf"},
    {PSTOREFS_MAGIC, "pstore"},
    {EFIVARFS_MAGIC, "efivarfs"},
    {BINFMTFS_MAGIC, "binfmt_misc"},
    {RDTGROUP_SUPER_MAGIC, "resctrl"},
    {USBDEVICE_SUPER_MAGIC, "usbfs"},
    {OPENPROM_SUPER_MAGIC, "openpromfs"},
    {XENFS_SUPER_MAGIC, "xenfs"},
    {BINDERFS_SUPER_MAGIC, "binder"},
    {0x62656570, "configfs"},  // not in <linux/magic.h>
    {0x65735543, "fusectl"},   // not in <linux/magic.h>
};

// The byte is stored only into a regular file on ordinary storage that
// already holds six bytes: a mapped byte past the end of the file is not in
// it (touching it may raise SIGBUS), and this program does not resize files.
static bool six_stored_bytes(int fd, const char* file)
{
    struct stat st = {};
    if (fstat(fd, &st) == -1) {
        fail("fstat", file);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        fprintf(stderr, "pagepoke: mmap(%s): not a regular file\n", file);
        return false;
    }
    struct statfs fs = {};
    if (fstatfs(fd, &fs) == -1) {
        fail("fstatfs", file);
        return false;
    }
    for (const kernel_filesystem& kernel : kernel_filesystems) {
        if (static_cast<std::uint32_t>(fs.f_type) == kernel.magic) {
            fprintf(stderr, "pagepoke: mmap(%s): on %s, a kernel interface: refused\n", file, kernel.name);
            return false;
        }
    }
    if (st.st_size < static_cast<off_t>(mapped_bytes)) {
        fprintf(stderr, "pagepoke: mmap(%s): shorter than six bytes (start pagewatch first)\n", file);
        return false;
    }
    return true;
}

// Reports a failed call in the err(3) shape "pagepoke: CALL(ARGUMENT):
// reason" and gives the exit status. error defaults to errno as it is at
// the call site, before anything here can change it.
static int fail(const char* call, const char* argument, int error)
{
    fprintf(stderr, "pagepoke: %s(%s): %s\n", call, argument, strerror(error));
    return 1;
}
