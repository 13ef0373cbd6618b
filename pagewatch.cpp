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
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

constexpr const char* file_name = "./temp_mmap.txt";
constexpr mode_t file_mode = 0600;       // a new file: owner read and write
constexpr std::size_t mapped_bytes = 6;  // the letters a to f
constexpr int line_count = 50;           // one line a second
constexpr unsigned line_interval = 1;    // seconds between lines

static bool standard_descriptors_open();
static bool stored_file(int fd, const struct stat& st);
static bool grow_to_six_bytes(int fd);
static bool end_program_on_sigbus();
static bool output_written(int earlier_error);
static int fail(const char* call, const char* argument = file_name, int error = errno);

int main()
{
    // Points at the six mapped bytes for the whole run. volatile makes every
    // access a fresh load from the mapping, never a copy the compiler kept
    // in a register, so another process's change is seen.
    static volatile char* shared_variable = nullptr;

    if (!standard_descriptors_open())
        return 1;

    // No O_TRUNC: everything past byte 5 stays as it was. O_NONBLOCK keeps
    // a device in the file's place from making open wait (a FIFO opened
    // read-write never waits); for a regular file it changes nothing.
    const int fd = open(file_name, O_RDWR | O_CREAT | O_NONBLOCK, file_mode);
    if (fd == -1)
        return fail("open");
    struct stat st = {};
    if (fstat(fd, &st) == -1)
        return fail("fstat");
    if (!stored_file(fd, st))
        return 1;
    // Mapped bytes past the end of a file are not in it: a short (or new,
    // empty) file is made six bytes long first. A longer one is not touched.
    if (st.st_size < static_cast<off_t>(mapped_bytes) && !grow_to_six_bytes(fd))
        return 1;

    void* const mapping = mmap(nullptr, mapped_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapping == MAP_FAILED)
        return fail("mmap");
    shared_variable = static_cast<volatile char*>(mapping);
    if (!end_program_on_sigbus())
        return 1;

    // Plain stores into memory: the file holds "abcdef" from here on.
    for (std::size_t i = 0; i < mapped_bytes; ++i)
        shared_variable[i] = static_cast<char>('a' + i);

    int output_error = 0;  // errno of the first line that could not be written
    for (int line = 0; line < line_count; ++line) {
        // Six fresh loads from the shared page.
        printf("%c %c %c %c %c %c \n", shared_variable[0], shared_variable[1], shared_variable[2],
               shared_variable[3], shared_variable[4], shared_variable[5]);
        if (ferror(stdout)) {  // a line written at once (to a terminal) failed
            output_error = errno;
            break;
        }
        sleep(line_interval);
    }

    int status = 0;
    if (munmap(mapping, mapped_bytes) == -1)
        status = fail("munmap");
    if (close(fd) == -1)
        status = fail("close");
    if (!output_written(output_error))
        status = 1;
    return status;
}

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed. Run
// with one of them closed (`pagewatch 2>&-`), open(2) would give that
// number to ./temp_mmap.txt, and a message meant for standard error would
// be written into the file.
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

// File systems that are kernel interfaces: their "files" are settings and
// registers of the running system, not stored bytes. ./temp_mmap.txt may
// be a symlink to one (/proc/sys/kernel/hostname, a device's registers
// under /sys), and the letters must never be stored there.
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

// Only a regular file's page cache is what this shows: a FIFO cannot be
// mapped, storing the letters into a mapped device would write to the
// device, and a file of a kernel interface is no stored file at all. This
// is checked on the open file, before anything is written to it.
static bool stored_file(int fd, const struct stat& st)
{
    if (!S_ISREG(st.st_mode)) {
        fprintf(stderr, "pagewatch: mmap(%s): not a regular file\n", file_name);
        return false;
    }
    struct statfs fs = {};
    if (fstatfs(fd, &fs) == -1) {
        fail("fstatfs");
        return false;
    }
    for (const kernel_filesystem& kernel : kernel_filesystems) {
        if (static_cast<std::uint32_t>(fs.f_type) == kernel.magic) {
            fprintf(stderr, "pagewatch: mmap(%s): on %s, a kernel interface: refused\n", file_name,
                    kernel.name);
            return false;
        }
    }
    return true;
}

// Touching a mapped byte past the end of the file raises SIGBUS.
// posix_fallocate makes the file at least six bytes long: it never shrinks
// it and leaves the bytes it holds alone, in one call, so nothing another
// process appends between the size check and this call is cut off.
static bool grow_to_six_bytes(int fd)
{
    const int error = posix_fallocate(fd, 0, mapped_bytes);
    if (error != 0) {
        fail("posix_fallocate", file_name, error);
        return false;
    }
    return true;
}

// Another process may truncate the file while it is mapped. Touching a
// mapped byte that no longer lies in the file raises SIGBUS, and the access
// would fault again if the handler returned, so the handler ends the
// program itself, with async-signal-safe calls only. Lines still waiting in
// the stdout buffer (output not a terminal) go with it.
static void report_lost_mapping_and_exit(int /*sig*/)
{
    constexpr char message[] = "pagewatch: SIGBUS: ./temp_mmap.txt shrank under the mapping\n";
    const ssize_t written = write(STDERR_FILENO, message, sizeof message - 1);
    (void)written;  // nowhere left to report a failed write
    _exit(1);
}

static bool end_program_on_sigbus()
{
    struct sigaction action = {};
    action.sa_handler = report_lost_mapping_and_exit;
    (void)sigemptyset(&action.sa_mask);  // cannot fail: the set is ours
    if (sigaction(SIGBUS, &action, nullptr) == -1) {
        fail("sigaction", "SIGBUS");
        return false;
    }
    return true;
}

// Standard output is checked at the end, as careful utilities do: through a
// pipe or into a file the lines are still in the stdio buffer until here,
// and a write that fails (a full disk, /dev/full) shows only now. On a
// terminal each line is written at once, and the first that fails ended
// the loop with its errno.
static bool output_written(int earlier_error)
{
    int error = earlier_error;
    if (fclose(stdout) != 0 && error == 0)
        error = errno;
    if (error == 0)
        return true;
    fprintf(stderr, "pagewatch: write error: %s\n", strerror(error));
    return false;
}

// Reports a failed call in the err(3) shape "pagewatch: CALL(ARGUMENT):
// reason" and gives the exit status. error defaults to errno as it is at
// the call site, before anything here can change it.
static int fail(const char* call, const char* argument, int error)
{
    fprintf(stderr, "pagewatch: %s(%s): %s\n", call, argument, strerror(error));
    return 1;
}
