// The main of every test executable: each test gets a fresh temporary
// directory ($TMPDIR/ipclab-test.*), removed when it ends, and the process adopts the orphans of
// the programs it runs so that they can be reaped and never outlive a test.
#include "run.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <linux/close_range.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace ipclab {
namespace {

std::string current_dir;

class TestDirectories : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override
    {
        forget_timeouts();
        // In $TMPDIR when set (tools/mutants points it into its scratch
        // copy, so that an interrupted run leaves nothing behind), else /tmp.
        const char* tmpdir = getenv("TMPDIR");
        std::string pattern =
            std::string(tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp") + "/ipclab-test.XXXXXX";
        const char* made = mkdtemp(pattern.data());
        if (made == nullptr) {
            perror("mkdtemp");
            std::abort();
        }
        current_dir = made;
    }
    void OnTestEnd(const ::testing::TestInfo&) override
    {
        std::error_code ignored;
        std::filesystem::remove_all(current_dir, ignored);
        current_dir.clear();
    }
};

}  // namespace

const std::string& test_dir() { return current_dir; }

}  // namespace ipclab

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // A program that stops reading its input must not kill the test.
    signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    // The programs a test runs must not reach the test process: nothing it
    // inherited (a descriptor its results go to) is handed down to them,
    // and, not dumpable, it cannot be traced nor its /proc entries opened
    // by another process of the same user. Its forked helpers are dumpable
    // again: they write their own /proc/self/uid_map, and hold nothing of it.
    close_range(STDERR_FILENO + 1, ~0U, CLOSE_RANGE_CLOEXEC);
    prctl(PR_SET_DUMPABLE, 0);
    pthread_atfork(nullptr, nullptr, [] { prctl(PR_SET_DUMPABLE, 1); });
    ::testing::UnitTest::GetInstance()->listeners().Append(new ipclab::TestDirectories);
    return RUN_ALL_TESTS();
}
