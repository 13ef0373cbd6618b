// bench/mechanisms in its smoke mode: every measurement runs once, each shows
// up in the table and in Google Benchmark's JSON, and nothing is left behind
// (segment, scratch file or process). The times themselves are not checked.
#include "run.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <tuple>
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
    options.argv = {binary, "--smoke", "--tour", "--keep-ipc-namespace", "--json", json};
    options.ipc = &ns;
    options.env = {"TMPDIR=" + scratch};
    options.timeout = 60s;
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
    // --tour: one run each, so each spread is that run alone. Two rows shown
    // with different times cannot overlap: their note must not call the
    // difference within the spread. (Under load the one run of the timing
    // loop can outlast a cheap row's, and both rows then show 0.)
    EXPECT_TRUE(std::regex_search(
        r.out, std::regex(R"(\nfork \+ _exit \+ wait, parent 1 MiB +(\S+ \S+) .*  \1 - \1\n)")));
    const auto shown = [&r](const std::string& name) {  // the one run's time in a row's line
        const auto row = std::find_if(std::begin(measurements), std::end(measurements),
                                      [&name](const auto& m) { return m.name == name; });
        const std::size_t at = r.out.find(std::string("\n") + row->label + " ");
        if (at == std::string::npos)
            return std::string();
        std::istringstream line(r.out.substr(at + strlen(row->label) + 1, 40));
        std::string number, unit;
        line >> number >> unit;
        return number + unit;
    };
    for (const auto& [note, a, b] :
         {std::tuple{"\n- fork + exec took", "fork_exec_wait/1", "fork_exit_wait/1"},
          {"\n- fork took", "fork_exit_wait/1", "fork_exit_wait/256"},
          {"\n- A signal round trip", "signal_round_trip/unpinned", "pipe_round_trip/unpinned"},
          {"\n- The busy-wait", "busy_wait_round_trip/unpinned", "busy_wait_round_trip/pinned"}}) {
        const std::size_t at = r.out.find(note);
        ASSERT_NE(at, std::string::npos) << note << "\n" << r.out;
        if (shown(a) != shown(b)) {
            EXPECT_EQ(r.out.substr(at, r.out.find("\n- ", at + 1) - at).find("within the spread"),
                      std::string::npos)
                << note << "\n"
                << r.out;
        }
    }

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

// In a cgroup whose memory limit leaves too little for the rows that touch
// 256 MiB, those rows are skipped with the reason and the table comes: under
// stand-in cgroup file systems of each version (a tmpfs in a private mount
// namespace), and in a real limited child cgroup where one can be made.
TEST(Mechanisms, RowsBeyondTheMemoryLimitAreSkippedWithTheReason)
{
    if (access(program("bench/mechanisms").c_str(), X_OK) != 0)
        GTEST_SKIP() << "bench/mechanisms is not built (Google Benchmark, libbenchmark-dev, is missing)";
    // A smoke run in the cgroup `enter` puts it in.
    const auto expect_skips = [](const std::function<void()>& enter, const std::string& limit,
                                 const std::string& left) {
        IpcNamespace ns;
        Options options;
        options.argv = {program("bench/mechanisms"), "--smoke", "--keep-ipc-namespace"};
        options.ipc = &ns;
        options.before_exec = enter;
        const Result r = run(options);
        ASSERT_EQ(r.status, 0) << r.describe();
        EXPECT_EQ(r.out.find("failed"), std::string::npos) << r.out;
        for (const auto& m : measurements) {
            const std::size_t at = r.out.find(std::string("\n") + m.label + " ");
            const std::string line = r.out.substr(at, r.out.find('\n', at + 1) - at);
            const std::string skipped =
                " skipped: needs about 276 MiB, and the memory limit of " + limit + " (";
            EXPECT_EQ(line.find(skipped) != std::string::npos, std::string_view(m.label).ends_with("256 MiB"))
                << line;
            EXPECT_TRUE(line.find(skipped) == std::string::npos ||
                        line.find(") leaves " + left) != std::string::npos)
                << line;
        }
    };
    std::map<std::string, std::string> dir;  // of our own cgroup, by version
    std::ifstream cgroups("/proc/self/cgroup");
    std::smatch m;
    for (std::string line; std::getline(cgroups, line);)
        if (std::regex_match(line, m, std::regex("[0-9]+:(|.*\\bmemory\\b.*):/?(.*)")))
            dir[m[1].length() == 0 ? "v2" : "v1"] =
                (m[1].length() == 0 ? "/sys/fs/cgroup/" : "/sys/fs/cgroup/memory/") + m[2].str();
    const auto stand_in = [](const std::string& at, const std::map<std::string, std::string>& files) {
        return [at, files] {
            if (!unshare_as_owner(CLONE_NEWNS) ||
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("tmpfs", "/sys/fs/cgroup", "tmpfs", 0, nullptr) != 0)
                _exit(125);
            std::filesystem::create_directories(at);
            for (const auto& [name, text] : files)
                std::ofstream(at + "/" + name) << text;
        };
    };
    if (dir.contains("v1"))
        expect_skips(
            stand_in(dir["v1"], {{"memory.limit_in_bytes", "209715200"}, {"memory.usage_in_bytes", "0"}}),
            "200 MiB", "200 MiB");
    if (dir.contains("v2"))
        expect_skips(stand_in(dir["v2"], {{"memory.max", "419430400"},
                                          {"memory.current", "241172480"},
                                          {"memory.stat", "active_file 1\ninactive_file 83886080\n"}}),
                     "400 MiB", "250 MiB");

    const std::string child =
        dir[dir.contains("v1") ? "v1" : "v2"] + "/ipclab-test-" + std::to_string(getpid());
    if (mkdir(child.c_str(), 0755) != 0)
        GTEST_SKIP() << "no child cgroup can be made here (" << strerror(errno) << ")";
    const bool limited = std::ofstream(child + "/memory.limit_in_bytes") << "209715200" ||
                         std::ofstream(child + "/memory.max") << "209715200";
    if (limited)
        expect_skips(
            [&child] {
                if (!(std::ofstream(child + "/cgroup.procs") << getpid()))
                    _exit(125);
            },
            "200 MiB", "");
    rmdir(child.c_str());
    if (!limited)
        GTEST_SKIP() << "no memory limit can be set in a child cgroup here";
}

// A measured run of a few rows, its table read against Google Benchmark's
// JSON of the same run: each row shows the median of its repetitions less
// the timing loop's, in the unit it names. This holds whatever the load.
// The rows span the units: a store well under 10 ns, fork in ms, and
// between them a null call and an unpinned busy-wait round trip, of which
// at least one takes from 10 ns to 1 µs on an idle machine (a virtual
// machine's getppid can take over 1 µs).
TEST(Mechanisms, TableShowsEachMedianLessTheLoopInItsUnit)
{
    if (access(program("bench/mechanisms").c_str(), X_OK) != 0)
        GTEST_SKIP() << "bench/mechanisms is not built (Google Benchmark, libbenchmark-dev, is missing)";
    const std::string json = test_dir() + "/report.json";
    Options options;
    options.argv = {program("bench/mechanisms"), "--json", json,
                    "--benchmark_filter=^(loop|getppid|store_to_mapped_page|"
                    "fork_exit_wait/1|posix_spawn_wait/1|busy_wait_round_trip/unpinned)/"};
    options.timeout = 120s;
    const Result r = run(options);
    ASSERT_EQ(r.status, 0) << r.describe();
    // Each repetition's time by row: an aggregate names itself before its time.
    std::map<std::string, std::vector<double>> times;
    std::string row;
    std::smatch m;
    std::istringstream report(read_file(json));
    for (std::string line; std::getline(report, line);) {
        if (std::regex_search(line, m, std::regex(R"re("run_name": "(.*)/min_time)re")))
            row = m[1];
        else if (line.find("\"aggregate_name\"") != std::string::npos)
            row.clear();
        else if (std::regex_search(line, m, std::regex(R"re("real_time": ([^,]*))re")) && !row.empty())
            times[row].push_back(std::stod(m[1]));
    }
    const auto median = [&times](const std::string& name) {
        std::vector<double> all = times[name];
        std::sort(all.begin(), all.end());
        EXPECT_EQ(all.size(), 11U) << name;
        return all.empty() ? 0.0 : all[all.size() / 2];
    };
    const std::map<std::string, double> scale = {{"ns", 1}, {"µs", 1e3}, {"ms", 1e6}};
    for (const auto& [name, label] : measurements) {
        const std::size_t at = r.out.find(std::string("\n") + label + " ");
        const std::string shown = r.out.substr(at + strlen(label) + 1, r.out.find('\n', at + 1) - at);
        if (name == std::string("loop") ||
            !std::regex_search(shown, m, std::regex(R"(^ +([0-9]+)(\.[0-9]+)? (ns|µs|ms) )")))
            continue;  // not measured in this run
        const double ns = std::stod(m[1].str() + m[2].str()) * scale.at(m[3]);
        // To half the last digit shown.
        const double within =
            0.5 * std::pow(10.0, 1 - std::max<int>(1, static_cast<int>(m[2].length()))) * scale.at(m[3]);
        EXPECT_NEAR(ns, std::max(median(name) - median("loop"), 0.0), within * 1.001) << label << "\n"
                                                                                      << r.out;
    }
}

}  // namespace
}  // namespace ipclab
