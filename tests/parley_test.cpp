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

}  // namespace
}  // namespace ipclab
