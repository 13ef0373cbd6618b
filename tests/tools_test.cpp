// tools/syscalls on recorded strace -f output (tests/fixtures/*.strace), so
// that what it shows does not depend on how a live run happens to interleave.
#include "run.hpp"

#include <gtest/gtest.h>

namespace ipclab {
namespace {

Result syscalls(const std::string& argument)
{
    Options options;
    options.argv = {source_dir() + "/tools/syscalls", argument};
    options.cwd = source_dir();
    return run(options);
}

// nudgegreet, recorded while parent and child ran at the same time: strace
// split the parent's kill and wait4 and the child's rt_sigaction into
// "<unfinished ...>" and "<... resumed>" halves around the other's calls.
// Each is shown as one call, where it completed; the loader's calls and
// the handler's rt_sigreturn are left out.
TEST(Syscalls, JoinsSplitCallsAndLabelsEachWithItsProcess)
{
    const Result r = syscalls(source_dir() + "/tests/fixtures/nudgegreet.strace");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(
        r.out,
        R"(  parent 22611             execve("/work/wt/tour/build/nudgegreet", ["/work/wt/tour/build/nudgegreet"], 0x7ffe7b69a6b0 /* 37 vars */) = 0
  parent 22611             rt_sigprocmask(SIG_BLOCK, [USR1], [], 8) = 0
  parent 22611             clone(child_stack=NULL, flags=CLONE_CHILD_CLEARTID|CLONE_CHILD_SETTID|SIGCHLD, child_tidptr=0x7f4fb71aaa10) = 22612
  parent 22611             write(1, "Hello, ", 7)            = 7
  parent 22611             kill(22612, SIGUSR1)               = 0
  child 22612              rt_sigaction(SIGUSR1, {sa_handler=0x55cb5ec96340, sa_mask=[], sa_flags=SA_RESTORER, sa_restorer=0x7f4fb71e9050}, NULL, 8) = 0
  child 22612              rt_sigsuspend([], 8)              = ? ERESTARTNOHAND (To be restarted if no handler)
  child 22612              --- SIGUSR1 {si_signo=SIGUSR1, si_code=SI_USER, si_pid=22611, si_uid=0} ---
  child 22612              write(1, "World!\n", 7)           = 7
  child 22612              +++ exited with 0 +++
  parent 22611             wait4(-1, NULL, 0, NULL) = 22612
  parent 22611             --- SIGCHLD {si_signo=SIGCHLD, si_code=CLD_EXITED, si_pid=22612, si_uid=0, si_status=0, si_utime=0, si_stime=0} ---
  parent 22611             +++ exited with 0 +++
)");

    const Result missing = syscalls(test_dir() + "/no-such-trace");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "syscalls: " + test_dir() + "/no-such-trace: no strace record to read\n");
    EXPECT_EQ(missing.out, "");
}

}  // namespace
}  // namespace ipclab
