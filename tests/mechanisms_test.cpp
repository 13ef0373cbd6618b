// bench/mechanisms in its smoke mode: every measurement runs once, each shows
// up in the table and in Google Benchmark's JSON, and nothing is left behind
// (segment, scratch file or process). The times themselves are not checked.
#include "run.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
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
    options.argv = {binary, "--smoke", "--keep-ipc-namespace", "--json", json};
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

// 0.0 ns, 391.9 µs, 2.32 ms in nanoseconds.
double nanoseconds(const std::string& number, const std::string& unit)
{
    return std::stod(number) * (unit == "ms" ? 1e6 : unit == "ns" ? 1 : 1e3);
}

// --tour, on two real measurements: each row's spread holds its median, and
// the note says the difference is within the spread exactly when the two
// spreads overlap (as printed; a tie after rounding decides nothing).
TEST(Mechanisms, TourShowsTheSpreadAndSaysWhenADifferenceIsWithinIt)
{
    const std::string binary = program("bench/mechanisms");
    if (access(binary.c_str(), X_OK) != 0)
        GTEST_SKIP() << binary << " is not built (Google Benchmark, libbenchmark-dev, is missing)";
    IpcNamespace ns;
    Options options;
    options.argv = {binary, "--tour", "--keep-ipc-namespace",
                    "--benchmark_filter=^(loop|getppid|fork_exit_wait/1|fork_exec_wait/1)/"};
    options.ipc = &ns;
    options.timeout = Millis(120000);
    const Result r = run(options);
    ASSERT_EQ(r.status, 0) << r.describe();
    const std::regex row(R"(^(fork \+ (_exit|exec) \+ wait.*parent 1 MiB) +([0-9.]+) (ns|µs|ms) +[0-9]+  )"
                         R"(([0-9.]+) (ns|µs|ms) - ([0-9.]+) (ns|µs|ms)$)");
    std::map<std::string, std::pair<double, double>> spreads;  // by _exit or exec
    std::istringstream lines(r.out);
    std::smatch m;
    for (std::string line; std::getline(lines, line);) {
        if (!std::regex_match(line, m, row))
            continue;
        const double median = nanoseconds(m[3], m[4]);
        spreads[m[2]] = {nanoseconds(m[5], m[6]), nanoseconds(m[7], m[8])};
        EXPECT_TRUE(spreads[m[2]].first <= median && median <= spreads[m[2]].second) << line;
    }
    ASSERT_EQ(spreads.size(), 2U) << r.out;
    const auto [exec_low, exec_high] = spreads["exec"];
    const auto [exit_low, exit_high] = spreads["_exit"];
    if (exec_low == exit_high || exit_low == exec_high)
        return;
    const bool within = exec_low < exit_high && exit_low < exec_high;
    EXPECT_EQ(r.out.find("the difference is within the spread, so this run cannot tell the two apart") !=
                  std::string::npos,
              within)
        << r.out;
}

}  // namespace
}  // namespace ipclab
