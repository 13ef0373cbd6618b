// parleyhand and parleylead: a segment they cannot get is reported with the
// call's name and status 1, before anything is printed or read.
#include "report.hpp"
#include "run.hpp"

#include <gtest/gtest.h>

#include <sys/shm.h>

namespace ipclab {
namespace {

TEST(Parley, SegmentThatCannotBeGotIsReported)
{
    IpcNamespace ns;
    // A segment with the key but too small for the exchange record.
    ASSERT_EQ(ns.run([] { _exit(shmget(12345, 50, IPC_CREAT | 0666) == -1 ? 1 : 0); }), 0);
    for (const char* name : {"parleyhand", "peers/parleylead"}) {
        Options options;
        options.argv = {program(name)};
        options.ipc = &ns;
        options.input = "hello\n";
        const Result r = run(options);
        expect_report(r, name,
                      std::string(name).substr(std::string(name).rfind('/') + 1) +
                          ": shmget(key 12345): Invalid argument\n",
                      "shmget");
    }
}

// Either party may be the one that makes the segment, and the other may
// run as another user: it is made readable and writable for everyone.
TEST(Parley, SegmentIsMadeForEveryUser)
{
    for (const char* name : {"parleyhand", "peers/parleylead"}) {
        IpcNamespace ns;
        Options options;
        options.argv = {program(name)};
        options.ipc = &ns;
        options.pid_namespace = true;
        options.input = "q\n";
        expect_result(run(options), std::string_view(name) == "parleyhand" ? "User2: " : "User1: ");
        const int mode_is_0666 = ns.run([] {
            shmid_ds state = {};
            const int id = shmget(12345, 0, 0);
            _exit(id != -1 && shmctl(id, IPC_STAT, &state) == 0 && (state.shm_perm.mode & 0777) == 0666 ? 0
                                                                                                        : 1);
        });
        EXPECT_EQ(mode_is_0666, 0) << name << " made the segment without read and write for everyone";
    }
}

}  // namespace
}  // namespace ipclab
