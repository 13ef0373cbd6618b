// bench/mechanisms in its smoke mode: every measurement runs once, each shows
// up in the table and in Google Benchmark's JSON, and nothing is left behind
// (segment, scratch file or process). The times themselves are not checked.
#include "run.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <regex>
#include <sys/shm.h>
#include <unistd.h>

namespace ipclab {
namespace {

// Every measurement: its name in the JSON, its line in the table.
constexpr struct {
    const char* name;
    const char* label;
} measurements[] = {
    {"loop", "timing loop (subtracted below)"},
    {"getppid", "null system call: getppid"},
    {"fork_exit_wait/1", "fork + _exit + wait, parent 1 MiB"},
    {"fork_exit_wait/16", "fork + _exit + wait, parent 16 MiB"},
    {"fork_exit_wait/64", "fork + _exit + wait, parent 64 MiB"},
    {"fork_exit_wait/256", "fork + _exit + wait, parent 256 MiB"},
    {"vfork_exit_wait/1", "vfork + _exit + wait, parent 1 MiB"},
    {"vfork_exit_wait/256", "vfork + _exit + wait, parent 256 MiB"},
    {"fork_exec_wait/1", "fork + exec + wait (empty_main), parent 1 MiB"},
    {"fork_exec_wait/256", "fork + exec + wait (empty_main), parent 256 MiB"},
    {"posix_spawn_wait/1", "posix_spawn + wait (empty_main), parent 1 MiB"},
    {"posix_spawn_wait/256", "posix_spawn + wait (empty_main), parent 256 MiB"},
    {"signal_round_trip/pinned", "signal round trip, one CPU"},
    {"pipe_round_trip/pinned", "pipe round trip, one CPU"},
    {"busy_wait_round_trip/pinned", "busy-wait round trip, one CPU"},
    {"signal_round_trip/unpinned", "signal round trip, unpinned"},
    {"pipe_round_trip/unpinned", "pipe round trip, unpinned"},
    {"busy_wait_round_trip/unpinned", "busy-wait round trip, unpinned"},
    {"fresh_segment", "shmget + shmat + shmdt + IPC_RMID"},
    {"existing_segment", "shmat + shmdt of an existing segment"},
    {"first_touch/shared_file", "first store to a page, MAP_SHARED file"},
    {"first_touch/private_anonymous", "first store to a page, private anonymous"},
    {"store_to_mapped_page", "store to an already mapped page"},
    {"maps_scan", "one scan of /proc/PID/maps"},
};

TEST(Mechanisms, SmokeRunShowsEveryRowAndLeavesNothingBehind)
{
    const std::string binary = program("bench/mechanisms");
    if (access(binary.c_str(), X_OK) != 0)
        GTEST_SKIP() << binary << " is not built (Google Benchmark, libbenchmark-dev, is missing)";

    IpcNamespace ns;
    const std::string json = test_dir() + "/report.json";
    const std::string scratch = test_dir() + "/scratch";
    std::filesystem::create_directory(scratch);
    Options options;
    options.argv = {binary, "--smoke", "--tour", "--keep-ipc-namespace", "--json", json};
    options.ipc = &ns;
    options.env = {"TMPDIR=" + scratch};
    options.timeout = Millis(60000);
    Process bench(options);
    const pid_t group = bench.pid();  // its own process group
    const Result r = bench.finish();
    ASSERT_EQ(r.status, 0) << r.describe();

    const std::string report = read_file(json);
    for (const auto& m : measurements) {
        EXPECT_NE(r.out.find(std::string("\n") + m.label + " "), std::string::npos) << m.label << "\n"
                                                                                    << r.out;
        EXPECT_NE(report.find(std::string("\"run_name\": \"") + m.name + "/"), std::string::npos) << m.name;
    }
    EXPECT_EQ(r.out.find("failed"), std::string::npos) << r.out;
    // --tour: one run each, so each spread is that run, and no two rows' spreads overlap.
    EXPECT_TRUE(std::regex_search(
        r.out, std::regex(R"(\nfork \+ _exit \+ wait, parent 1 MiB +(\S+ \S+) .*  \1 - \1\n)")));
    EXPECT_EQ(r.out.find("within the spread"), std::string::npos) << r.out;

    // Nothing left: no segment in the namespace, no file, no process.
    EXPECT_EQ(ns.run([] {
        shm_info info = {};
        _exit(shmctl(0, SHM_INFO, reinterpret_cast<shmid_ds*>(&info)) >= 0 && info.used_ids == 0 ? 0 : 1);
    }),
              0)
        << "a segment was left behind";
    EXPECT_TRUE(std::filesystem::is_empty(scratch)) << "a scratch file was left in " << scratch;
    EXPECT_TRUE(kill(-group, 0) == -1 && errno == ESRCH) << "a process of bench/mechanisms is still running";
}

}  // namespace
}  // namespace ipclab
