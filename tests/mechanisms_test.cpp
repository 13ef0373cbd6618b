// bench/mechanisms in its smoke mode: every measurement runs once, each shows
// up in the table and in Google Benchmark's JSON, and nothing is left behind
// (segment, scratch file or process). The times themselves are not checked.
#include "run.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <sys/mount.h>
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

// This process's cgroup paths: the v2 one ("0::PATH") and the v1 memory one.
std::map<std::string, std::string> own_cgroups()
{
    std::map<std::string, std::string> found;
    std::ifstream file("/proc/self/cgroup");
    std::string line;
    std::smatch m;
    while (std::getline(file, line))
        if (std::regex_match(line, m, std::regex("[0-9]+:(|.*\\bmemory\\b.*):(.*)")))
            found[m[1].length() == 0 ? "v2" : "v1"] = m[2] == "/" ? "" : m[2].str();
    return found;
}

// In a cgroup whose memory limit leaves too little for the rows with 256 MiB
// touched, those rows are skipped, saying why, and the rest of the table
// comes. A real child cgroup when this test may make one (root, cgroup v1
// or v2 with the memory controller), and in any case a stand-in cgroup file
// system of each version in a private mount namespace.
TEST(Mechanisms, RowsBeyondTheMemoryLimitAreSkippedWithTheReason)
{
    const std::string binary = program("bench/mechanisms");
    if (access(binary.c_str(), X_OK) != 0)
        GTEST_SKIP() << binary << " is not built (Google Benchmark, libbenchmark-dev, is missing)";
    const auto cgroups = own_cgroups();
    const std::string v1 = "/sys/fs/cgroup/memory" + (cgroups.contains("v1") ? cgroups.at("v1") : "/-");
    const std::string v2 = "/sys/fs/cgroup" + (cgroups.contains("v2") ? cgroups.at("v2") : "/-");
    const std::string child = (cgroups.contains("v1") ? v1 : v2) + "/ipclab-test-" + std::to_string(getpid());
    const bool made = mkdir(child.c_str(), 0755) == 0;
    const std::string why = made ? "its memory controller is not enabled" : strerror(errno);
    // A limit of 200 MiB, as either version names it.
    const bool real = made && (std::ofstream(child + "/memory.limit_in_bytes") << "209715200\n" ||
                               std::ofstream(child + "/memory.max") << "209715200\n");
    const struct {
        std::string name, dir;  // the cgroup, or the stand-in's directory to make
        std::map<std::string, std::string> files;
        std::string limit, left;
    } cases[] = {
        {"v1",
         v1,
         {{"memory.limit_in_bytes", "209715200\n"}, {"memory.usage_in_bytes", "0\n"}, {"memory.stat", ""}},
         "200 MiB",
         "200 MiB"},
        {"v2",
         v2,
         {{"memory.max", "419430400\n"},
          {"memory.current", "241172480\n"},
          {"memory.stat", "active_file 1\ninactive_file 83886080\n"}},
         "400 MiB",
         "250 MiB"},
        {"real", child, {}, "200 MiB", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.name == "real" && !real) {
            if (made)
                rmdir(child.c_str());
            GTEST_SKIP() << "no child cgroup with a memory limit can be made here: " << why;
        }
        if (c.name != "real" && !cgroups.contains(c.name))
            continue;  // no such line in /proc/self/cgroup to stand in for
        IpcNamespace ns;
        Options options;
        options.argv = {binary, "--smoke", "--keep-ipc-namespace"};
        options.ipc = &ns;
        options.timeout = Millis(60000);
        options.before_exec = [&c] {
            if (c.files.empty()) {  // join the real child cgroup
                if (!(std::ofstream(c.dir + "/cgroup.procs") << getpid() << "\n"))
                    _exit(125);
                return;
            }
            if (!unshare_as_owner(CLONE_NEWNS) ||
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("tmpfs", "/sys/fs/cgroup", "tmpfs", 0, nullptr) != 0)
                _exit(125);
            std::filesystem::create_directories(c.dir);
            for (const auto& [name, text] : c.files)
                std::ofstream(c.dir + "/" + name) << text;
        };
        const Result r = run(options);
        ASSERT_EQ(r.status, 0) << r.describe();
        for (const auto& m : measurements) {
            const std::string label = m.label;
            const std::size_t at = r.out.find("\n" + label + " ");
            const std::string line = r.out.substr(at + 1, r.out.find('\n', at + 1) - at - 1);
            EXPECT_EQ(line.find("skipped: needs about 276 MiB, and the memory limit of " + c.limit + " ") !=
                          std::string::npos,
                      label.ends_with("parent 256 MiB"))
                << line;
            EXPECT_EQ(line.find("failed"), std::string::npos) << line;
            if (!c.left.empty() && line.find("skipped") != std::string::npos) {
                EXPECT_TRUE(line.ends_with(") leaves " + c.left)) << line;
            }
        }
    }
    if (real)
        rmdir(child.c_str());
}

// A measured run of a few rows, its table read against Google Benchmark's
// JSON of the same run: each row shows the median of its repetitions less
// the timing loop's, in the unit it says. These hold whatever the machine's
// load did to the times themselves.
TEST(Mechanisms, TableShowsEachMedianLessTheLoopInItsUnit)
{
    const std::string binary = program("bench/mechanisms");
    if (access(binary.c_str(), X_OK) != 0)
        GTEST_SKIP() << binary << " is not built (Google Benchmark, libbenchmark-dev, is missing)";
    const std::string json = test_dir() + "/report.json";
    Options options;
    options.argv = {
        binary, "--json", json,
        "--benchmark_filter=^(loop|getppid|store_to_mapped_page|fork_exit_wait/1|posix_spawn_wait/1)/"};
    options.timeout = Millis(120000);
    const Result r = run(options);
    ASSERT_EQ(r.status, 0) << r.describe();

    // Every repetition's time, by row.
    std::map<std::string, std::vector<double>> times;
    std::istringstream report(read_file(json));
    std::string line;
    std::string row;
    std::smatch m;
    while (std::getline(report, line)) {
        if (std::regex_search(line, m, std::regex(R"re("run_name": "(.*)/min_time)re")))
            row = m[1];
        else if (std::regex_search(line, m, std::regex(R"re("aggregate_name": )re")))
            row.clear();
        else if (std::regex_search(line, m, std::regex(R"re("real_time": ([-+.e0-9]+))re")) && !row.empty())
            times[row].push_back(std::stod(m[1]));
        else if (line.find("\"time_unit\"") != std::string::npos) {
            EXPECT_NE(line.find("\"ns\""), std::string::npos) << line;
        }
    }
    const auto median = [&times](const std::string& name) {
        std::vector<double> all = times[name];
        std::sort(all.begin(), all.end());
        EXPECT_EQ(all.size(), 11U) << name;
        return all.empty() ? 0.0 : all[all.size() / 2];
    };
    const std::map<std::string, double> scale = {{"ns", 1}, {"µs", 1e3}, {"ms", 1e6}};
    for (const auto& [name, label] : std::map<std::string, std::string>{
             {"getppid", "null system call: getppid"},
             {"store_to_mapped_page", "store to an already mapped page"},
             {"fork_exit_wait/1", "fork + _exit + wait, parent 1 MiB"},
             {"posix_spawn_wait/1", "posix_spawn + wait (empty_main), parent 1 MiB"}}) {
        ASSERT_TRUE(
            std::regex_search(r.out, m,
                              std::regex("\n" + std::regex_replace(label, std::regex(R"([+()])"), R"(\$&)") +
                                         R"( +([0-9]+)(\.[0-9]+)? (ns|µs|ms) )")))
            << label << "\n"
            << r.out;
        const double shown = std::stod(m[1].str() + m[2].str()) * scale.at(m[3]);
        // Half the last digit shown.
        const double within =
            0.5 * std::pow(10.0, -std::max<int>(0, static_cast<int>(m[2].length()) - 1)) * scale.at(m[3]);
        const double expected = std::max(median(name) - median("loop"), 0.0);
        EXPECT_NEAR(shown, expected, within * 1.001) << label << "\n" << r.out;
    }
}

}  // namespace
}  // namespace ipclab
