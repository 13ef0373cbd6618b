#include "run.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace ipclab {
namespace {

using Clock = std::chrono::steady_clock;

// In a forked child: report what failed on standard error (the test sees
// it) and end with 125, which no program under test uses.
[[noreturn]] void child_fail(const char* what)
{
    const int saved = errno;
    dprintf(STDERR_FILENO, "ipclab test helper: %s: %s\n", what, strerror(saved));
    _exit(125);
}

bool write_all(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool write_id_map(const char* file, unsigned id)
{
    const int fd = open(file, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char line[64];
    const int len = snprintf(line, sizeof line, "%u %u 1\n", id, id);
    const bool ok = write_all(fd, std::string_view(line, static_cast<std::size_t>(len)));
    close(fd);
    return ok;
}

// Makes fork, vfork and clone fail with EAGAIN, and clone3 with ENOSYS so
// that the C library falls back to clone and fails there.
bool deny_process_creation()
{
#if defined(__x86_64__)
    constexpr unsigned arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    constexpr unsigned arch = AUDIT_ARCH_AARCH64;
#else
#error "deny_process_creation: add this architecture's audit constant"
#endif
    constexpr unsigned eagain = SECCOMP_RET_ERRNO | (EAGAIN & SECCOMP_RET_DATA);
    constexpr unsigned enosys = SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA);
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone3, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, enosys),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, eagain),
#ifdef __NR_fork
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fork, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, eagain),
#endif
#ifdef __NR_vfork
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_vfork, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, eagain),
#endif
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog fprog = {static_cast<unsigned short>(std::size(filter)), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) == 0;
}

// The environment for the child: ours, with the test's changes applied.
std::vector<std::string> child_environment(const std::vector<std::string>& changes)
{
    std::vector<std::string> env;
    // The suite's own settings (IPCLAB_...) are not the program's business:
    // a program must not learn where our build is, nor that it is checked.
    for (char** e = environ; *e != nullptr; ++e)
        if (strncmp(*e, "IPCLAB_", 7) != 0)
            env.emplace_back(*e);
    for (const std::string& change : changes) {
        const std::size_t eq = change.find('=');
        const std::string name = change.substr(0, eq);
        std::erase_if(env, [&](const std::string& entry) {
            return entry.compare(0, name.size(), name) == 0 && entry.size() > name.size() &&
                   entry[name.size()] == '=';
        });
        if (eq != std::string::npos)
            env.push_back(change);
    }
    return env;
}

// Set by a run that timed out; the test's later runs are not started.
bool timed_out_in_this_test = false;

// Appends `bytes` to `kept` up to output_kept bytes; counts the rest.
void keep(std::string& kept, std::size_t& dropped, std::string_view bytes)
{
    const std::size_t room = output_kept - std::min(output_kept, kept.size());
    kept.append(bytes.substr(0, room));
    dropped += bytes.size() - std::min(room, bytes.size());
}

std::string visible(std::string_view bytes)
{
    std::string q = "\"";
    for (const char c : bytes) {
        if (c == '\n')
            q += "\\n";
        else if (c == '\r')
            q += "\\r";
        else if (c == '"' || c == '\\')
            (q += '\\') += c;
        else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
            q += hex;
        } else
            q += c;
    }
    return q + "\"";
}

std::string joined(const std::vector<std::string>& argv)
{
    std::string s;
    for (const std::string& a : argv)
        s += (s.empty() ? "" : " ") + a;
    return s;
}

}  // namespace

// ---------------------------------------------------------------- namespaces

bool unshare_as_owner(int flags)
{
    if (geteuid() == 0)
        return unshare(flags) == 0;
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER | flags) != 0)
        return false;
    const int fd = open("/proc/self/setgroups", O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        write_all(fd, "deny");
        close(fd);
    }
    return write_id_map("/proc/self/uid_map", uid) && write_id_map("/proc/self/gid_map", gid);
}

IpcNamespace::IpcNamespace()
{
    // A child makes the namespace and waits; we open handles to it, which
    // keep it alive after the child is gone.
    int ready[2];
    int done[2];
    if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(done, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        close(done[1]);
        const char ok = unshare_as_owner(CLONE_NEWIPC) ? 'y' : 'n';
        if (::write(ready[1], &ok, 1) != 1)
            _exit(1);
        char c;
        while (read(done[0], &c, 1) < 0 && errno == EINTR) {
        }
        _exit(0);
    }
    close(ready[1]);
    close(done[0]);
    char ok = 'n';
    const bool told = pid > 0 && read(ready[0], &ok, 1) == 1;
    if (told && ok == 'y') {
        const std::string proc = "/proc/" + std::to_string(pid) + "/ns/";
        if (geteuid() != 0)
            user_fd_ = open((proc + "user").c_str(), O_RDONLY | O_CLOEXEC);
        ipc_fd_ = open((proc + "ipc").c_str(), O_RDONLY | O_CLOEXEC);
    }
    close(done[1]);
    close(ready[0]);
    if (pid > 0)
        waitpid(pid, nullptr, 0);
    if (ipc_fd_ < 0 || (geteuid() != 0 && user_fd_ < 0))
        ADD_FAILURE() << "cannot make a private IPC namespace"
                      << (geteuid() != 0 ? " (user namespaces may be disabled)" : "");
}

IpcNamespace::~IpcNamespace()
{
    if (user_fd_ >= 0)
        close(user_fd_);
    if (ipc_fd_ >= 0)
        close(ipc_fd_);
}

void IpcNamespace::enter() const
{
    if (user_fd_ >= 0 && setns(user_fd_, CLONE_NEWUSER) != 0)
        child_fail("setns(user namespace)");
    if (setns(ipc_fd_, CLONE_NEWIPC) != 0)
        child_fail("setns(IPC namespace)");
}

int IpcNamespace::run(const std::function<void()>& body) const
{
    const pid_t pid = fork();
    if (pid == 0) {
        enter();
        body();
        _exit(0);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// ------------------------------------------------------------------ Process

namespace {

// Everything the child needs, made before the fork: after it, the child only
// makes system calls and reports failures with strings built here.
struct ChildPlan {
    const Options* options = nullptr;
    std::vector<std::string> env;
    std::vector<char*> argv;
    std::vector<char*> envp;
    std::string cwd;
    std::string chdir_failure;
    std::string exec_failure;
    int in = -1;  // the child's standard input, output and error
    int out = -1;
    int err = -1;
    int report = -1;  // PID namespace runs: the program writes its own id here
    // Joining another run's PID namespace: its user (or -1), mount and PID
    // namespaces.
    int join_user = -1;
    int join_mnt = -1;
    int join_pid = -1;
};

ChildPlan plan_child(const Options& options)
{
    ChildPlan plan;
    plan.options = &options;
    plan.cwd = options.cwd.empty() ? test_dir() : options.cwd;
    plan.chdir_failure = "chdir " + plan.cwd;
    plan.exec_failure = "exec " + options.argv[0];
    std::vector<std::string> changes = options.env;
    if (sanitized_build() && options.fail_process_creation) {
        // LeakSanitizer checks at exit from a tracer it clones, which the
        // filter forbids; it would add its own complaint to standard error.
        const char* asan = getenv("ASAN_OPTIONS");
        changes.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") + ":detect_leaks=0");
    }
    plan.env = child_environment(changes);
    for (const std::string& e : plan.env)
        plan.envp.push_back(const_cast<char*>(e.c_str()));
    plan.envp.push_back(nullptr);
    for (const std::string& a : options.argv)
        plan.argv.push_back(const_cast<char*>(a.c_str()));
    plan.argv.push_back(nullptr);
    return plan;
}

// The program itself: signals as a shell would leave them, then exec.
[[noreturn]] void exec_program(const ChildPlan& plan)
{
    const Options& options = *plan.options;
    if (plan.report >= 0) {
        const pid_t self = getpid();  // as the program will see it
        if (::write(plan.report, &self, sizeof self) != static_cast<ssize_t>(sizeof self))
            child_fail("report the process id");
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig = 1; sig < NSIG; ++sig)
        signal(sig, SIG_DFL);
    if (chdir(plan.cwd.c_str()) != 0)
        child_fail(plan.chdir_failure.c_str());
    if (options.cpu >= 0) {
        cpu_set_t cpus;
        CPU_ZERO(&cpus);
        CPU_SET(options.cpu, &cpus);
        if (sched_setaffinity(0, sizeof cpus, &cpus) != 0)
            child_fail("sched_setaffinity");
    }
    if (options.ipc != nullptr && !options.pid_namespace && options.pid_namespace_of == nullptr)
        options.ipc->enter();  // otherwise joined before the PID namespace
    if (options.before_exec)
        options.before_exec();
    if (options.fail_process_creation && !deny_process_creation())
        child_fail("seccomp");
    execve(plan.argv[0], plan.argv.data(), plan.envp.data());
    child_fail(plan.exec_failure.c_str());
}

// Ends the way `status` (from waitpid) says: the same exit status, or the
// same signal, without a second core dump.
[[noreturn]] void end_as(int status)
{
    if (WIFEXITED(status))
        _exit(WEXITSTATUS(status));
    const int sig = WTERMSIG(status);
    prctl(PR_SET_DUMPABLE, 0);
    signal(sig, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
    // cppcheck-suppress unreachableCode ; raise returns when the signal is caught
    _exit(128 + sig);
}

// The processes between the test and the program ignore what is sent to the
// run's process group: only the program is to see it. SIGCHLD keeps its
// default, or children would be reaped unseen.
void ignore_group_signals()
{
    for (int sig = 1; sig < NSIG; ++sig)
        if (sig != SIGCHLD && sig != SIGKILL && sig != SIGSTOP && sig != SIGCONT)
            signal(sig, SIG_IGN);
}

int wait_child(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) == -1)
        if (errno != EINTR)
            _exit(125);
    return status;
}

// The processes between the test and the program never exec, so descriptors
// marked close-on-exec (the test's ends of the pipes: end of input could
// never come) are closed by hand, all but those the child still needs.
void close_cloexec_descriptors(const ChildPlan& plan)
{
    const int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        child_fail("open /proc/self/fd");
    alignas(8) char buffer[4096];
    long n;
    while ((n = getdents64(dir, buffer, sizeof buffer)) > 0) {
        for (long at = 0; at < n;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            at += entry->d_reclen;
            const int fd = static_cast<int>(strtol(entry->d_name, nullptr, 10));
            const bool needed = fd == dir || fd == plan.report || fd == plan.join_user ||
                                fd == plan.join_mnt || fd == plan.join_pid;
            if (entry->d_name[0] != '.' && fd > STDERR_FILENO && !needed &&
                (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0)
                close(fd);
        }
    }
    close(dir);
}

// Whether a process of the namespace is none of our init's business: ended
// and waiting only to be reaped, or started by a run that joined (its
// parent is outside, so its parent id reads 0 here). That run waits for it;
// if its first process dies, the test process (a subreaper outside) adopts
// it, not our init.
bool not_ours(const char* pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%s/stat", pid);
    char stat[512] = {};
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    const ssize_t got = fd < 0 ? -1 : read(fd, stat, sizeof stat - 1);
    if (fd >= 0)
        close(fd);
    const char* state = got > 0 ? strrchr(stat, ')') : nullptr;  // ") S PPID ..."
    if (state == nullptr || state[1] == '\0' || state[2] == '\0')
        return true;
    return state[2] == 'Z' || state[2] == 'X' || strncmp(state + 3, " 0 ", 3) == 0;
}

// Whether /proc (the namespace's own) lists a live process of ours other
// than the init itself.
bool others_in_namespace()
{
    const int fd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool others = false;
    alignas(8) char buffer[4096];
    long n;
    while (!others && (n = getdents64(fd, buffer, sizeof buffer)) > 0) {
        for (long at = 0; at < n;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            const char* name = entry->d_name;
            if (name[0] >= '0' && name[0] <= '9' && strcmp(name, "1") != 0 && !not_ours(name))
                others = true;
            at += entry->d_reclen;
        }
    }
    close(fd);
    return others;
}

// Process 1 of a private PID namespace: mounts the namespace's /proc, starts
// the program as process 2, adopts every orphan of the namespace, and ends
// only when none of them is left in it (runs that joined wait for their own).
// Then it hands the program's wait status to its parent.
[[noreturn]] void namespace_init(const ChildPlan& plan, int status_fd)
{
    if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
        child_fail("mount /proc in the PID namespace");
    const pid_t program_pid = fork();
    if (program_pid == 0)
        exec_program(plan);
    if (program_pid < 0)
        child_fail("fork the program in the PID namespace");
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO, plan.report})
        close(fd);
    int program_status = 0;
    for (;;) {
        int status = 0;
        const pid_t ended = waitpid(-1, &status, 0);
        if (ended == program_pid)
            program_status = status;
        if (ended != -1 || errno == EINTR)
            continue;
        if (!others_in_namespace())
            break;
        const timespec pause = {0, 5000000};
        nanosleep(&pause, nullptr);
    }
    const ssize_t sent = ::write(status_fd, &program_status, sizeof program_status);
    _exit(sent == static_cast<ssize_t>(sizeof program_status) ? 0 : 125);
}

// The run's first process, outside: makes a PID namespace (and a mount
// namespace for its /proc), waits for its init and ends as the program did.
[[noreturn]] void start_in_new_pid_namespace(const ChildPlan& plan)
{
    constexpr int flags = CLONE_NEWPID | CLONE_NEWNS;
    if (plan.options->ipc != nullptr) {
        plan.options->ipc->enter();  // as owner of its user namespace, if any
        if (unshare(flags) != 0)
            child_fail("unshare(PID and mount namespaces)");
    } else if (!unshare_as_owner(flags)) {
        child_fail("unshare(PID and mount namespaces)");
    }
    close_cloexec_descriptors(plan);
    // Our /proc mount must not reach the rest of the machine.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        child_fail("mount --make-rprivate /");
    int status_pipe[2];
    if (pipe2(status_pipe, O_CLOEXEC) != 0)
        child_fail("pipe");
    ignore_group_signals();
    const pid_t init = fork();
    if (init == 0)
        namespace_init(plan, status_pipe[1]);
    if (init < 0)
        child_fail("fork the PID namespace's init");
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO, plan.report, status_pipe[1]})
        close(fd);
    const int init_status = wait_child(init);
    int program_status = 0;
    if (read(status_pipe[0], &program_status, sizeof program_status) == sizeof program_status)
        end_as(program_status);
    end_as(init_status);  // killed before it could tell
}

// The run's first process, outside: joins another run's PID namespace, starts
// the program in it, and ends as the program did.
[[noreturn]] void start_in_joined_pid_namespace(const ChildPlan& plan)
{
    if (plan.options->ipc != nullptr)
        plan.options->ipc->enter();
    close_cloexec_descriptors(plan);  // while /proc/self is still ours
    if (plan.join_user >= 0 && plan.options->ipc == nullptr && setns(plan.join_user, CLONE_NEWUSER) != 0)
        child_fail("setns(user namespace)");
    if (setns(plan.join_mnt, CLONE_NEWNS) != 0 || setns(plan.join_pid, CLONE_NEWPID) != 0)
        child_fail("setns(mount and PID namespaces)");
    ignore_group_signals();
    const pid_t program_pid = fork();
    if (program_pid == 0)
        exec_program(plan);
    if (program_pid < 0)
        child_fail("fork the program in the PID namespace");
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO, plan.report})
        close(fd);
    end_as(wait_child(program_pid));
}

// The child of the test process. Its own session: the whole tree can be
// killed as one group, and no terminal becomes its controlling terminal, so
// nothing is sent SIGHUP when the first process ends before its child.
[[noreturn]] void start_child(const ChildPlan& plan)
{
    setsid();
    if (dup2(plan.in, STDIN_FILENO) < 0 || dup2(plan.out, STDOUT_FILENO) < 0 ||
        dup2(plan.err, STDERR_FILENO) < 0)
        child_fail("dup2");
    if (plan.options->pid_namespace_of != nullptr)
        start_in_joined_pid_namespace(plan);
    if (plan.options->pid_namespace)
        start_in_new_pid_namespace(plan);
    exec_program(plan);
}

}  // namespace

// Makes standard output for the child (returned; -1 on failure) and keeps
// our end in out_fd_ (a pipe or a terminal) or out_path_ (a file).
int Process::open_stdout()
{
    int out_child = -1;
    if (options_.output == Output::terminal) {
        // Output bytes pass unchanged (no \n -> \r\n), input comes in
        // lines and is not echoed, and no character raises a signal.
        termios mode = {};
        cfmakeraw(&mode);
        mode.c_cflag |= CREAD;
        mode.c_lflag |= ICANON;
        mode.c_cc[VEOF] = 4;
        mode.c_cc[VMIN] = 1;
        if (openpty(&out_fd_, &out_child, nullptr, &mode, nullptr) != 0) {
            ADD_FAILURE() << "openpty: " << strerror(errno);
            return -1;
        }
        fcntl(out_fd_, F_SETFD, FD_CLOEXEC);
        fcntl(out_child, F_SETFD, FD_CLOEXEC);
    } else if (options_.output == Output::file) {
        // In $TMPDIR when set, as the test directories are (see main.cpp).
        const char* tmpdir = getenv("TMPDIR");
        std::string path =
            std::string(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp") + "/ipclab-out.XXXXXX";
        out_child = mkostemp(path.data(), O_CLOEXEC);
        if (out_child < 0) {
            ADD_FAILURE() << "mkostemp: " << strerror(errno);
            return -1;
        }
        out_path_ = path;
    } else {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe: " << strerror(errno);
            return -1;
        }
        out_fd_ = p[0];
        out_child = p[1];
    }
    return out_child;
}

// The run we join: its namespaces, opened through its first process, which
// lives as long as the namespace.
void Process::open_namespaces()
{
    const std::string ns = "/proc/" + std::to_string(pid_) + "/ns/";
    ns_pid_fd_ = open((ns + "pid_for_children").c_str(), O_RDONLY | O_CLOEXEC);
    ns_mnt_fd_ = open((ns + "mnt").c_str(), O_RDONLY | O_CLOEXEC);
    if (geteuid() != 0 && options_.ipc == nullptr)
        ns_user_fd_ = open((ns + "user").c_str(), O_RDONLY | O_CLOEXEC);
    // A short run may be over already; nothing can join it then.
    const bool over = errno == ENOENT || errno == ESRCH;
    if ((ns_pid_fd_ < 0 || ns_mnt_fd_ < 0 ||
         (geteuid() != 0 && options_.ipc == nullptr && ns_user_fd_ < 0)) &&
        !over)
        ADD_FAILURE() << "cannot open the namespaces of " << joined(options_.argv) << ": " << strerror(errno);
}

// PID namespace runs: the program's id as it sees it, sent before exec.
bool Process::read_program_pid(int report)
{
    pollfd ready = {report, POLLIN, 0};
    const auto left = std::chrono::duration_cast<Millis>(deadline_ - Clock::now()).count();
    pid_t inside = -1;
    const bool told = poll(&ready, 1, static_cast<int>(std::max<long long>(left, 0))) == 1 &&
                      read(report, &inside, sizeof inside) == static_cast<ssize_t>(sizeof inside);
    close(report);
    if (!told) {
        timed_out_in_this_test = true;  // its deadline is spent: the test's other runs are not started
        ADD_FAILURE() << joined(options_.argv) << ": did not start in its PID namespace";
        return false;
    }
    program_pid_ = inside;
    return true;
}

pid_t Process::host_pid() const
{
    const Process* owner = options_.pid_namespace ? this : options_.pid_namespace_of;
    if (owner == nullptr)
        return pid_;
    // The process in the run's PID namespace whose last NSpid is ours.
    char want[64] = {};
    const std::string fd_link = "/proc/self/fd/" + std::to_string(owner->ns_pid_fd_);
    if (owner->ns_pid_fd_ < 0 || readlink(fd_link.c_str(), want, sizeof want - 1) < 0)
        return -1;
    DIR* proc = opendir("/proc");
    pid_t found = -1;
    for (const dirent* entry = proc ? readdir(proc) : nullptr; entry != nullptr && found < 0;
         entry = readdir(proc)) {
        const std::string dir = std::string("/proc/") + entry->d_name;
        char ns[64] = {};
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9' ||
            readlink((dir + "/ns/pid").c_str(), ns, sizeof ns - 1) < 0 || strcmp(ns, want) != 0)
            continue;
        std::string status(4096, '\0');  // a process that ended meanwhile reads as empty
        const int fd = open((dir + "/status").c_str(), O_RDONLY | O_CLOEXEC);
        const ssize_t got = fd < 0 ? 0 : read(fd, status.data(), status.size());
        if (fd >= 0)
            close(fd);
        status.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        const std::size_t line = status.find("\nNSpid:");
        const std::size_t end = status.find('\n', line + 1);
        if (line == std::string::npos || end == std::string::npos)
            continue;
        const std::size_t last = status.find_last_of(" \t", end - 1);
        if (std::stoi(status.substr(last + 1, end - last - 1)) == program_pid_)
            found = std::stoi(entry->d_name);
    }
    if (proc != nullptr)
        closedir(proc);
    return found;
}

Process::Process(Options options) : options_(std::move(options))
{
    options_.timeout = hang_bound(options_.timeout);
    deadline_ = Clock::now() + options_.timeout;
    exited_ = true;  // until the program is running
    if (options_.argv.empty()) {
        ADD_FAILURE() << "Process: no argv";
        return;
    }
    if (options_.terminal_input && options_.output != Output::terminal)
        ADD_FAILURE() << "terminal_input needs Output::terminal";
    if (timed_out_in_this_test) {
        ADD_FAILURE() << joined(options_.argv) << ": not run, since an earlier run of this test timed out";
        result_.timed_out = true;
        return;
    }
    const Process* owner = options_.pid_namespace_of;
    if (owner != nullptr && (owner->ns_pid_fd_ < 0 || owner->options_.ipc != options_.ipc)) {
        ADD_FAILURE() << "pid_namespace_of: a run with pid_namespace and the same ipc";
        return;
    }
    ChildPlan plan = plan_child(options_);
    plan.out = open_stdout();
    if (plan.out < 0)
        return;
    int err_pipe[2];
    int in_pipe[2] = {-1, -1};
    int report[2] = {-1, -1};
    const bool in_namespace = options_.pid_namespace || owner != nullptr;
    if (pipe2(err_pipe, O_CLOEXEC) != 0 || (!options_.terminal_input && pipe2(in_pipe, O_CLOEXEC) != 0) ||
        (in_namespace && pipe2(report, O_CLOEXEC) != 0)) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return;
    }
    plan.in = options_.terminal_input ? plan.out : in_pipe[0];
    plan.err = err_pipe[1];
    plan.report = report[1];
    if (owner != nullptr) {
        plan.join_user = owner->ns_user_fd_;
        plan.join_mnt = owner->ns_mnt_fd_;
        plan.join_pid = owner->ns_pid_fd_;
    }

    pid_ = fork();
    if (pid_ == 0)
        start_child(plan);
    const int fork_errno = errno;
    for (const int fd : {plan.out, err_pipe[1], in_pipe[0], report[1]})
        if (fd >= 0)
            close(fd);
    err_fd_ = err_pipe[0];
    in_fd_ = options_.terminal_input ? out_fd_ : in_pipe[1];
    if (pid_ < 0) {
        ADD_FAILURE() << "fork: " << strerror(fork_errno);
        return;
    }
    exited_ = false;
    program_pid_ = pid_;
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (in_namespace && read_program_pid(report[0]) && options_.pid_namespace)
        open_namespaces();
    for (const int fd : {out_fd_, err_fd_, in_fd_})
        fcntl(fd, F_SETFL, O_NONBLOCK);  // -1 (none) just fails
    pending_input_ = options_.input;
    close_after_input_ = !options_.input.empty();
}

Process::~Process()
{
    if (pid_ > 0 && !finished_) {
        kill(SIGKILL);
        reap(true);
    }
    for (const int fd : {pidfd_, out_fd_, err_fd_, ns_pid_fd_, ns_mnt_fd_, ns_user_fd_})
        if (fd >= 0)
            close(fd);
    if (in_fd_ >= 0 && in_fd_ != out_fd_)
        close(in_fd_);
    if (!out_path_.empty())
        unlink(out_path_.c_str());
}

void Process::write(std::string_view bytes)
{
    pending_input_ += bytes;
    pump(Clock::now());
}

void Process::close_input()
{
    close_after_input_ = true;
    pump(Clock::now());
}

void Process::kill(int sig)
{
    if (pid_ > 0 && !finished_) {
        // Before the child has made its own group there is no such group.
        if (::kill(-pid_, sig) == -1 && errno == ESRCH && !exited_)
            ::kill(pid_, sig);
    }
}

// Reaps the processes of our group: the program itself and any of its
// children that were left to us (the test process is a subreaper).
void Process::reap(bool block)
{
    if (pid_ <= 0)
        return;
    const auto record = [this](const siginfo_t& info) {
        if (info.si_pid != pid_)
            return;
        exited_ = true;
        if (info.si_code == CLD_EXITED)
            result_.status = info.si_status;
        else
            result_.signal = info.si_status;
    };
    siginfo_t info = {};
    if (!exited_ && waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | (block ? 0 : WNOHANG)) == 0)
        record(info);
    // The program itself may end between the two calls, so this one can
    // collect it too.
    for (;;) {
        info = {};
        if (waitid(P_PGID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG) != 0 || info.si_pid == 0)
            return;
        record(info);
    }
}

// Standard input: what is pending, then end of input if asked.
void Process::feed_input()
{
    if (in_fd_ < 0)
        return;
    while (!pending_input_.empty()) {
        const ssize_t n = ::write(in_fd_, pending_input_.data(), pending_input_.size());
        if (n > 0) {
            partial_line_ = pending_input_[static_cast<std::size_t>(n) - 1] != '\n';
            pending_input_.erase(0, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            break;
        pending_input_.clear();  // the reader is gone
        close_after_input_ = true;
    }
    if (pending_input_.empty() && close_after_input_) {
        if (in_fd_ == out_fd_) {
            // Terminal: EOF is the EOF character at the start of a line.
            // After a partial line, the first EOF character only
            // ends that line's read; the second is the end of input.
            const std::string_view eof = partial_line_ ? "\x04\x04" : "\x04";
            if (::write(in_fd_, eof.data(), eof.size()) == static_cast<ssize_t>(eof.size()) ||
                errno != EAGAIN) {
                in_fd_ = -1;
                close_after_input_ = false;
            }
        } else {
            close(in_fd_);
            in_fd_ = -1;
            close_after_input_ = false;
        }
    }
}

// Moves bytes until `until`; returns false once there is nothing left to
// wait for (program ended and every output closed).
bool Process::pump(Clock::time_point until)
{
    for (;;) {
        feed_input();

        pollfd fds[4];
        nfds_t count = 0;
        if (out_fd_ >= 0 && options_.output != Output::file)
            fds[count++] = {out_fd_, POLLIN, 0};
        if (err_fd_ >= 0)
            fds[count++] = {err_fd_, POLLIN, 0};
        if (pidfd_ >= 0 && !exited_)
            fds[count++] = {pidfd_, POLLIN, 0};
        if (in_fd_ >= 0 && in_fd_ != out_fd_ && !pending_input_.empty())
            fds[count++] = {in_fd_, POLLOUT, 0};
        const bool output_open = (out_fd_ >= 0 && options_.output != Output::file) || err_fd_ >= 0;
        if (exited_ && !output_open)
            return false;

        const auto now = Clock::now();
        const auto left = std::chrono::duration_cast<Millis>(until - now).count();
        const int timeout = left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 100));
        const int ready = poll(fds, count, timeout);
        if (ready < 0 && errno != EINTR)
            return false;

        for (nfds_t i = 0; i < count; ++i) {
            if (fds[i].revents == 0)
                continue;
            if (fds[i].fd == pidfd_) {
                reap(false);
                continue;
            }
            if (fds[i].fd == in_fd_ && in_fd_ != out_fd_)
                continue;  // writable again, or the reader is gone: next round
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                const bool err = fds[i].fd == err_fd_;
                keep(err ? result_.err : result_.out, err ? result_.err_dropped : result_.out_dropped,
                     std::string_view(buffer, static_cast<std::size_t>(n)));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                // End of file; on a terminal, EIO once no process holds it.
                if (fds[i].fd == out_fd_) {
                    close(out_fd_);
                    if (in_fd_ == out_fd_)
                        in_fd_ = -1;
                    out_fd_ = -1;
                } else {
                    close(err_fd_);
                    err_fd_ = -1;
                }
            }
        }
        if (!exited_)
            reap(false);
        if (Clock::now() >= until)
            return true;
    }
}

bool Process::wait_for(std::string_view text, Millis within, std::size_t from)
{
    const auto until = std::min(Clock::now() + hang_bound(within), deadline_);
    for (;;) {
        if (result_.out.size() >= from && result_.out.find(text, from) != std::string::npos)
            return true;
        if (Clock::now() >= until || !pump(std::min(until, Clock::now() + Millis(10))))
            return result_.out.size() >= from && result_.out.find(text, from) != std::string::npos;
    }
}

void Process::drain(Millis period)
{
    const auto until = std::min(Clock::now() + period, deadline_);
    while (Clock::now() < until && pump(until)) {
    }
}

void Process::fail_timeout(const char* what)
{
    result_.timed_out = true;
    timed_out_in_this_test = true;
    ADD_FAILURE() << joined(options_.argv) << ": " << what << " after " << options_.timeout.count()
                  << " ms; killed its process group\n"
                  << "  stdout so far: " << visible(result_.out) << "\n"
                  << "  stderr so far: " << visible(result_.err);
}

Result Process::finish()
{
    if (pid_ <= 0)
        return result_;
    close_input();
    while (pump(deadline_)) {
        if (Clock::now() >= deadline_) {
            kill(SIGKILL);
            fail_timeout(exited_ ? "output still held open" : "still running");
            // Collect what the dying group still wrote, then reap it.
            const auto grace = Clock::now() + Millis(2000);
            while (pump(grace) && Clock::now() < grace) {
            }
            reap(true);
            result_.status = -1;
            break;
        }
    }
    reap(false);
    ::kill(-pid_, SIGKILL);  // nothing of this run stays behind
    reap(false);
    finished_ = true;
    if (!out_path_.empty()) {
        result_.out.clear();
        keep(result_.out, result_.out_dropped, read_file(out_path_));
        unlink(out_path_.c_str());
        out_path_.clear();
    }
    return result_;
}

std::string Result::describe() const
{
    std::string s = "status " + std::to_string(status);
    if (signal != 0)
        s += ", killed by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
    if (timed_out)
        s += ", timed out";
    const auto more = [](std::size_t dropped) {
        return dropped == 0 ? std::string() : " ... " + std::to_string(dropped) + " bytes more";
    };
    return s + "\n  stdout: " + visible(out) + more(out_dropped) + "\n  stderr: " + visible(err) +
           more(err_dropped);
}

Result run(const Options& options)
{
    Process process(options);
    return process.finish();
}

void expect_result(const Result& r, std::string_view out, std::string_view err, int status)
{
    EXPECT_EQ(r.out, out) << r.describe();
    EXPECT_EQ(r.err, err) << r.describe();
    EXPECT_EQ(r.status, status) << r.describe();
}

const char* name_of(Output output)
{
    switch (output) {
    case Output::pipe:
        return "pipe";
    case Output::file:
        return "file";
    case Output::terminal:
        return "terminal";
    }
    return "?";
}

void PrintTo(Output output, std::ostream* os) { *os << name_of(output); }

// -------------------------------------------------------------------- paths

std::string program(std::string_view name)
{
    // tools/check points the tests at other builds of the programs; the
    // peers stay ours.
    const char* dir = getenv("IPCLAB_PROGRAMS_DIR");
    const bool elsewhere = dir != nullptr && *dir != '\0' && !name.starts_with("peers/");
    return std::string(elsewhere ? dir : IPCLAB_BINARY_DIR) + "/" + std::string(name);
}

std::string source_dir() { return IPCLAB_SOURCE_DIR; }

bool checked(std::string_view name)
{
    const char* only = getenv("IPCLAB_CHECKED_PROGRAM");
    return only == nullptr || *only == '\0' || name == only;
}

void forget_timeouts() { timed_out_in_this_test = false; }

std::string read_file(const std::string& path)
{
    std::string bytes;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ADD_FAILURE() << "open " << path << ": " << strerror(errno);
        return bytes;
    }
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        bytes.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    return bytes;
}

void write_file(const std::string& path, std::string_view bytes, mode_t mode)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0 || !write_all(fd, bytes))
        ADD_FAILURE() << "write " << path << ": " << strerror(errno);
    if (fd >= 0) {
        fchmod(fd, mode);
        close(fd);
    }
}

}  // namespace ipclab
