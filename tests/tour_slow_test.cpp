// ./tour and tools/outcomes, run as a user runs them: from the top
// directory, against the build under test, with standard output a pipe. The
// tour runs in a private IPC namespace, so the segments it shows and removes
// are its own, and with TMPDIR in the test directory, so whatever it leaves
// there is seen.
#include "run.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <sched.h>
#include <sys/shm.h>
#include <unistd.h>

namespace ipclab {
namespace {

constexpr key_t greeting_key = 2009;
constexpr key_t exchange_key = 12345;
constexpr std::size_t exchange_size = 112;

constexpr std::string_view all_programs[] = {"copysplit",   "greetordered", "greetloose", "nudgegreet",
                                             "segduet",     "segrace",      "parleyhand", "launchcount",
                                             "launchfault", "fetchlist",    "pagewatch"};

// The tour (or a tool) with the build under test, no colour, and TMPDIR in
// the test directory.
Options tour_options(std::vector<std::string> argv, const IpcNamespace* ns = nullptr)
{
    std::filesystem::create_directories(test_dir() + "/tmp");
    Options options;
    options.argv = std::move(argv);
    options.argv[0] = source_dir() + "/" + options.argv[0];
    options.cwd = source_dir();
    options.env = {"IPCLAB_BUILD_DIR=" IPCLAB_BINARY_DIR, "NO_COLOR=1", "TMPDIR=" + test_dir() + "/tmp"};
    if (sanitized_build())  // the tour traces nudgegreet, and LeakSanitizer cannot work under ptrace
        options.env.push_back("ASAN_OPTIONS=detect_leaks=0");
    options.ipc = ns;
    // The tour ends the processes it started by their ids, and the exchange
    // signals ids it reads from a segment: a broken build reaches only
    // processes of its own run.
    options.pid_namespace = true;
    options.timeout = 200s;
    return options;
}

// What the tour left in its TMPDIR (nothing, when all went well).
std::vector<std::string> left_in_tmp()
{
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(test_dir() + "/tmp"))
        left.push_back(entry.path().filename());
    return left;
}

// The text of one program's section: from its heading to the next heading
// or the closing note.
std::string section(const std::string& out, const std::string& name)
{
    const std::regex heading("(^|\n)== [0-9]+/11 " + name + ": ");
    std::smatch m;
    if (!std::regex_search(out, m, heading))
        return "";
    const std::size_t start = static_cast<std::size_t>(m.position(0)) + m.length(0);
    std::size_t end = out.find("\n== ", start);
    end = std::min(end, out.find("\nTour over", start));
    return out.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The build directory as the tour shows it in the commands it runs from the
// top directory: relative when it lies inside.
std::string shown_build()
{
    const std::string build = IPCLAB_BINARY_DIR;
    const std::string top = source_dir() + "/";
    return build.starts_with(top) ? build.substr(top.size()) : build;
}

// One histogram of tools/outcomes: its header's numbers and its rows, each
// output as shown (quoted, newlines as \n) with its count.
struct Histogram {
    int runs = 0;
    int distinct = 0;
    std::map<std::string, int> rows;
};

std::vector<Histogram> histograms(const std::string& text)
{
    const std::regex header(
        R"(^\S+: ([0-9]+) runs? on .*, ([0-9]+) distinct outputs? \(standard output a pipe\)$)");
    const std::regex row(R"(^ +([0-9]+) +[0-9]+\.[0-9]%  .*  (".*")$)");
    std::vector<Histogram> found;
    std::istringstream lines(text);
    std::string line;
    std::smatch m;
    while (std::getline(lines, line)) {
        if (std::regex_match(line, m, header))
            found.push_back({std::stoi(m[1]), std::stoi(m[2]), {}});
        else if (!found.empty() && std::regex_match(line, m, row))
            found.back().rows[m[2]] = std::stoi(m[1]);
    }
    return found;
}

// Every histogram adds up, shows as many rows as its header counts, and
// shows only outputs from `allowed`. Returns how many histograms there are.
std::size_t check_histograms(const std::string& text, int runs, const std::set<std::string>& allowed)
{
    const auto found = histograms(text);
    for (const Histogram& h : found) {
        EXPECT_EQ(h.runs, runs) << text;
        EXPECT_EQ(h.rows.size(), static_cast<std::size_t>(h.distinct)) << text;
        int total = 0;
        for (const auto& [output, count] : h.rows) {
            total += count;
            if (!allowed.empty()) {
                EXPECT_TRUE(allowed.contains(output)) << "unexpected outcome " << output << " in\n" << text;
            }
        }
        EXPECT_EQ(total, runs) << text;
    }
    return found.size();
}

// How many CPUs the tour may use; with one, it shows no pinned histogram.
bool several_cpus()
{
    cpu_set_t set;
    return sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 1 &&
           access("/usr/bin/taskset", X_OK) == 0;
}

bool segment_exists(const IpcNamespace& ns, key_t key)
{
    return ns.run([key] { _exit(shmget(key, 0, 0) == -1 ? 3 : 0); }) == 0;
}

// The processes running with this test's TMPDIR in their environment, as
// "PID COMMAND": whatever the tour started, even when reparented. With
// `kill_them`, each gets SIGKILL.
std::vector<std::string> marked_processes(bool kill_them)
{
    const std::string mark = "TMPDIR=" + test_dir() + "/tmp";
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        // A process may end meanwhile: then there is nothing to read.
        std::ifstream environ_file(entry.path() / "environ");
        const std::string environment((std::istreambuf_iterator<char>(environ_file)), {});
        std::size_t at = 0;
        for (std::size_t end; (end = environment.find('\0', at)) != std::string::npos; at = end + 1) {
            if (environment.compare(at, end - at, mark) == 0) {
                std::ifstream comm(entry.path() / "comm");
                std::string command;
                std::getline(comm, command);
                left.push_back(pid + " " + command);
                if (kill_them)
                    ::kill(std::stoi(pid), SIGKILL);
                break;
            }
        }
    }
    return left;
}

// What the tour left running. It is killed, so that a failing test leaves
// nothing behind.
std::vector<std::string> left_running() { return marked_processes(true); }

// A stand-in build directory: the build under test, with `replacements`
// (name and script text) in place of some programs.
std::string stand_in_build(const std::vector<std::pair<std::string, std::string>>& replacements)
{
    namespace fs = std::filesystem;
    const std::string dir = test_dir() + "/build";
    fs::create_directories(dir + "/peers");
    for (const std::string_view name : all_programs)
        fs::create_symlink(std::string(IPCLAB_BINARY_DIR) + "/" + std::string(name),
                           dir + "/" + std::string(name));
    for (const auto& entry : fs::directory_iterator(std::string(IPCLAB_BINARY_DIR) + "/peers")) {
        if (entry.is_regular_file() &&
            (entry.status().permissions() & fs::perms::owner_exec) != fs::perms::none)
            fs::create_symlink(entry.path(), dir + "/peers/" + entry.path().filename().string());
    }
    for (const auto& [name, text] : replacements) {
        fs::remove(dir + "/" + name);
        write_file(dir + "/" + name, text, 0755);
    }
    return dir;
}

// The quick tour's sections of the fork demonstrations: their outputs and
// histograms (`tables` of them: pinned and not, or one on a single CPU).
void expect_fork_sections(const std::string& out, std::size_t tables)
{
    const std::string child = "Child process has variable a = aaadef\\n";
    const std::string parent = "Parent process has variable a = abcbbb\\n";
    const std::string copysplit = section(out, "copysplit");
    EXPECT_NE(copysplit.find("Child process has variable a = aaadef\n"), std::string::npos) << copysplit;
    EXPECT_NE(copysplit.find("Parent process has variable a = abcbbb\n"), std::string::npos) << copysplit;
    EXPECT_EQ(check_histograms(copysplit, 20, {'"' + child + parent + '"', '"' + parent + child + '"'}),
              tables);

    const std::string nudge = section(out, "nudgegreet");  // the signal crossing, where strace can trace
    EXPECT_TRUE(
        nudge.find("The signal itself cannot be shown") != std::string::npos ||
        std::regex_search(
            nudge,
            std::regex(R"(\n  parent \S+ +kill\(\S+ SIGUSR1\) += 0\n(.*\n)*  child \S+ +--- SIGUSR1 )")))
        << nudge;
    for (const std::string name : {"greetordered", "nudgegreet"}) {
        const std::string text = section(out, name);
        EXPECT_NE(text.find("\nHello, World!\n"), std::string::npos) << text;
        EXPECT_EQ(check_histograms(text, 20, {R"("Hello, World!\n")"}), tables) << text;
        if (tables == 2) {
            EXPECT_NE(text.find("Pinned or not: one and the same output in every run."), std::string::npos);
        }
    }

    // greetloose: either order; where a histogram counts two outcomes, both
    // are there.
    const std::string greetloose = section(out, "greetloose");
    EXPECT_EQ(check_histograms(greetloose, 20, {R"("Hello, World!\n")", R"("World!\nHello, ")"}), tables);
}

// The quick tour's segduet and segrace sections.
void expect_segment_sections(const std::string& out, const IpcNamespace& ns, std::size_t tables)
{
    // segduet: no key-2009 segment before or after.
    const std::string segduet = section(out, "segduet");
    EXPECT_NE(
        segduet.find("Before:\n$ ipcs -m   (the rows for key 2009, 0x000007d9)\n(no segment with key 2009)\n"
                     "$ " +
                     shown_build() +
                     "/segduet\nChild append Hello\nParent reads Hello\n"
                     "Parent append HelloWorld!\n\nAfter:\n$ ipcs -m   (the rows for key 2009, 0x000007d9)\n"
                     "(no segment with key 2009)\n"),
        std::string::npos)
        << segduet;

    // segrace: whatever the interleaving, every run prints its three lines;
    // a segment left behind is shown, and removed because the tour made it.
    const std::string segrace = section(out, "segrace");
    EXPECT_EQ(check_histograms(segrace, 20, {}), tables) << segrace;
    for (const Histogram& h : histograms(segrace)) {
        for (const auto& [output, count] : h.rows) {
            EXPECT_TRUE(output.find("Child append ") != std::string::npos &&
                        output.find("Parent reads ") != std::string::npos &&
                        output.find("Parent append ") != std::string::npos)
                << output;
        }
    }
    if (segrace.find("After the runs above a key-2009 segment is left") != std::string::npos) {
        EXPECT_NE(segrace.find("The tour removed it (ipcrm -M 2009): it was not there before the tour."),
                  std::string::npos)
            << segrace;
    } else {
        const bool shown_run_left_one = segrace.find("This run left a key-2009") != std::string::npos;
        EXPECT_NE(segrace.find(shown_run_left_one ? "The segment that run left is gone"
                                                  : "No key-2009 segment is left after the runs above."),
                  std::string::npos)
            << segrace;
    }
    EXPECT_FALSE(segment_exists(ns, greeting_key));
}

// The quick tour's exchange, launchcount and launchfault sections.
void expect_exchange_and_exec_sections(const std::string& out, const IpcNamespace& ns)
{
    const std::string build = IPCLAB_BINARY_DIR;
    // parleyhand: both directions, each line behind its party's label; the
    // exchange segment, which parleyhand never removes, removed by the tour.
    // Each party's lines are shown as they come, in its own order; which of
    // the two parties' lines is shown first is chance.
    const std::string parley = section(out, "parleyhand");
    const auto lines_of = [&parley](const std::string& label) {
        std::string lines = "\n";
        const std::string mark = "\n  " + label + " | ";
        for (std::size_t at = parley.find(mark); at != std::string::npos; at = parley.find(mark, at + 1))
            lines += parley.substr(at + mark.size(), parley.find('\n', at + 1) - at - mark.size()) + "\n";
        return lines;
    };
    const std::string user1 = lines_of("User1");
    const std::string user2 = lines_of("User2");
    EXPECT_NE(user2.find("\nUser2: Hello from User2\n"), std::string::npos) << parley;
    EXPECT_NE(user1.find("\nUser1: \nReceived From User2: Hello from User2\n"), std::string::npos) << parley;
    EXPECT_NE(user2.find("\nUser2: \nReceived From User1: Hello back from User1\n\nq\n"), std::string::npos)
        << parley;
    EXPECT_NE(user1.find("\nUser1: q\n"), std::string::npos) << parley;
    EXPECT_EQ(parley.find("did not go as scripted"), std::string::npos) << parley;
    EXPECT_NE(parley.find("The tour removed it (ipcrm -M 12345): it was not there before the tour."),
              std::string::npos)
        << parley;
    EXPECT_FALSE(segment_exists(ns, exchange_key));

    // launchcount: the first line is there on a terminal and gone through a pipe.
    const std::string launchcount = section(out, "launchcount");
    const std::regex on_terminal(
        "\n\\$ " + shown_build() +
        "/launchcount\nI will never be printed!\n +[0-9]+ +[0-9]+ +[0-9]+ launchcount.cpp\n");
    const std::regex on_pipe("\n\\$ " + shown_build() +
                             "/launchcount \\| cat\n +[0-9]+ +[0-9]+ +[0-9]+ launchcount.cpp\n");
    EXPECT_TRUE(std::regex_search(launchcount, on_terminal)) << launchcount;
    EXPECT_TRUE(std::regex_search(launchcount, on_pipe)) << launchcount;
    EXPECT_NE(launchcount.find("Through the pipe the line \"I will never be printed!\" is gone"),
              std::string::npos);

    // launchfault: the three lines without "wc", none with an executable
    // one, and no not-found line when it is not executable.
    const std::string launchfault = section(out, "launchfault");
    const std::string command = "/launchfault && " + build + "/launchfault\n";
    const std::string status = "Status of executing process: -1 \n";
    const std::string closing = "I will be printed, because exec will fail.\n";
    EXPECT_NE(launchfault.find(command + status + "The is no such file as wc\n" + closing), std::string::npos)
        << launchfault;
    EXPECT_TRUE(
        std::regex_search(launchfault, std::regex(command + "./wc here, started as: wc launchcount.cpp\n"
                                                            " +[0-9]+ +[0-9]+ +[0-9]+ launchcount.cpp\n")))
        << launchfault;
    EXPECT_NE(launchfault.find(command + status + closing), std::string::npos) << launchfault;
}

TEST(Tour, QuickTourShowsEveryProgramAndWhatItProves)
{
    const IpcNamespace ns;
    const Result r = run(tour_options({"tour", "--quick", "--runs", "20"}, &ns));
    ASSERT_EQ(r.status, 0) << r.describe();
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << "colour with NO_COLOR on a pipe";
    EXPECT_EQ(r.out.find("Building"), std::string::npos) << "rebuilt a complete build";
    EXPECT_EQ(r.out.find("not built"), std::string::npos) << r.out;
    const std::size_t tables = several_cpus() ? 2 : 1;

    for (std::size_t i = 0; i < std::size(all_programs); ++i) {
        const std::string heading =
            "== " + std::to_string(i + 1) + "/11 " + std::string(all_programs[i]) + ": ";
        EXPECT_NE(r.out.find(heading), std::string::npos) << heading << " missing in\n" << r.out;
    }
    for (const std::string name : {"fetchlist", "pagewatch"})
        EXPECT_NE(section(r.out, name).find("left out by --quick"), std::string::npos) << name;

    expect_fork_sections(r.out, tables);
    expect_segment_sections(r.out, ns, tables);
    expect_exchange_and_exec_sections(r.out, ns);
    EXPECT_EQ(left_in_tmp(), std::vector<std::string>{});
}

// fetchlist without a server: the proxy refuses, so the tour makes a local
// repository, says so, and points git at it through the environment.
TEST(Tour, FetchlistClonesALocalRepositoryWhenTheServerIsOutOfReach)
{
    Options options = tour_options({"tour", "--only", "fetchlist"});
    options.env.push_back("https_proxy=http://127.0.0.1:9");
    options.env.push_back("HTTPS_PROXY=http://127.0.0.1:9");
    const bool had_clone = std::filesystem::exists(source_dir() + "/TarnwickPanel");
    const Result r = run(options);
    ASSERT_EQ(r.status, 0) << r.describe();
    const std::string text = section(r.out, "fetchlist");
    EXPECT_NE(text.find("so the tour made a local repository on the spot"), std::string::npos) << text;
    EXPECT_NE(text.find("GIT_CONFIG_COUNT=1 GIT_CONFIG_KEY_0=url."), std::string::npos) << text;
    EXPECT_NE(text.find(".insteadOf GIT_CONFIG_VALUE_0=https://github.com/\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Cloning into 'TarnwickPanel'...\n"), std::string::npos) << text;
    EXPECT_TRUE(std::regex_search(text, std::regex("\ntotal [0-9]+\n.* Makefile\n.* README.md\n.* src\n")))
        << text;
    EXPECT_EQ(std::filesystem::exists(source_dir() + "/TarnwickPanel"), had_clone);
    EXPECT_EQ(left_in_tmp(), std::vector<std::string>{});
}

// pagewatch: fifty lines, "a" at first and "z" once the peer has changed
// the byte. The lines come as they are printed, so one line may slip in
// between the tour's note and the change, and one that pagewatch read just
// before the change may come after pagepoke's own line.
TEST(Tour, PagewatchShowsTheChangedByte)
{
    const bool had_file = std::filesystem::exists(source_dir() + "/temp_mmap.txt");
    const Result r = run(tour_options({"tour", "--only", "pagewatch"}));
    ASSERT_EQ(r.status, 0) << r.describe();
    const std::string text = section(r.out, "pagewatch");
    const std::size_t poke = text.find("/peers/pagepoke 0 z");
    const std::size_t poked = text.find("\npagepoke: byte 0 of ./temp_mmap.txt: 'a' -> 'z'\n");
    ASSERT_TRUE(poke != std::string::npos && poked != std::string::npos && poke < poked) << text;
    // pagewatch's lines in order, each by its first byte, and where the
    // tour's note and pagepoke's line came among them.
    std::string lines;
    std::size_t before_poke = 0;
    std::size_t before_poked = 0;
    for (std::size_t at = 0; (at = text.find(" b c d e f \n", at)) != std::string::npos; ++at) {
        if (at < 2 || text[at - 2] != '\n' || (text[at - 1] != 'a' && text[at - 1] != 'z'))
            continue;
        lines += text[at - 1];
        before_poke += at < poke;
        before_poked += at < poked;
    }
    EXPECT_TRUE(std::regex_match(lines, std::regex("a+z+"))) << lines << " in\n" << text;
    EXPECT_EQ(lines.size(), 50U) << text;
    EXPECT_GE(before_poke, 1U) << text;
    EXPECT_LE(lines.find('z'), before_poked + 1) << "an old line after the change\n" << text;
    EXPECT_GE(lines.find('z'), before_poke) << "a changed line before the change\n" << text;
    EXPECT_NE(text.find("The file's first six bytes afterwards: \"zbcdef\""), std::string::npos) << text;
    EXPECT_EQ(std::filesystem::exists(source_dir() + "/temp_mmap.txt"), had_file);
    EXPECT_EQ(left_in_tmp(), std::vector<std::string>{});
}

// A segment that was there before the tour is the user's: the tour leaves
// it. One too small for the parties ends both at once: the tour shows what
// each said, warns, and goes on with the sections after the exchange.
TEST(Tour, LeavesAnExchangeSegmentItDidNotMake)
{
    struct Case {
        std::size_t size;
        std::vector<std::string> argv;
        bool exchanged;
        bool seen;  // false: the segment is another tour's, out of this one's private namespace
    };
    const Case cases[] = {{exchange_size, {"tour", "--shared-ipc", "--only", "parleyhand"}, true, true},
                          {50, {"tour", "--shared-ipc", "--quick", "--runs", "1"}, false, true},
                          {50, {"tour", "--only", "parleyhand"}, true, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE("a planted segment of " + std::to_string(c.size) + " bytes, " + c.argv[1]);
        if (!c.seen && access("/usr/bin/unshare", X_OK) != 0)
            continue;  // no unshare: the tour says so, and runs among the machine's segments
        const IpcNamespace ns;
        ASSERT_EQ(ns.run([&c] { _exit(shmget(exchange_key, c.size, IPC_CREAT | 0666) == -1); }), 0);
        const Result r = run(tour_options(c.argv, &ns));
        ASSERT_EQ(r.status, 0) << r.describe();
        EXPECT_EQ(r.err, "");
        const std::string parley = section(r.out, "parleyhand");
        EXPECT_EQ(parley.find("It was there before the tour started, so the tour leaves it.") !=
                      std::string::npos,
                  c.seen)
            << parley;
        EXPECT_EQ(parley.find("Received From User1: Hello back from User1\n") != std::string::npos,
                  c.exchanged)
            << parley;
        for (const std::string party : {"User1", "User2"}) {
            const bool ended = parley.find("(" + party +
                                           " ended before the exchange was over: its last lines are above. "
                                           "The tour goes on.)\n") != std::string::npos;
            EXPECT_NE(ended, c.exchanged) << parley;
            if (!c.exchanged) {
                EXPECT_TRUE(
                    std::regex_search(parley, std::regex("\n  " + party + R"( \| [^\n]*shmget[^\n]*\n)")))
                    << parley;
            }
        }
        if (!c.exchanged) {
            for (const std::string name : {"launchcount", "launchfault", "fetchlist", "pagewatch"})
                EXPECT_NE(section(r.out, name), "") << name << " missing in\n" << r.out;
            EXPECT_NE(r.out.find("\nTour over after "), std::string::npos) << r.out;
        }
        EXPECT_EQ(parley.find("did not go as scripted"), std::string::npos) << parley;
        EXPECT_TRUE(segment_exists(ns, exchange_key));
        EXPECT_EQ(left_in_tmp(), std::vector<std::string>{});
    }
}

// Interrupted during the exchange (Ctrl-C, kill, a closed terminal), the
// tour ends both parties, removes the segment it made and its temporary
// directory, and says so.
TEST(Tour, CleansUpWhenInterrupted)
{
    struct Case {
        int signal;
        bool whole_group;  // as from the terminal; otherwise the tour alone
        int status;
    };
    for (const Case c : {Case{SIGINT, true, 130}, Case{SIGTERM, false, 143}, Case{SIGHUP, true, 129}}) {
        SCOPED_TRACE(sigabbrev_np(c.signal));
        const IpcNamespace ns;
        Process tour(tour_options({"tour", "--shared-ipc", "--only", "parleyhand"}, &ns));
        ASSERT_TRUE(tour.wait_for("\n  User2 | User2: ", 15s)) << tour.out();
        ASSERT_TRUE(segment_exists(ns, exchange_key));
        if (c.whole_group)
            tour.kill(c.signal);
        else
            ASSERT_EQ(::kill(tour.host_pid(), c.signal), 0);
        const Result r = tour.finish();
        EXPECT_EQ(r.status, c.status) << r.describe();
        EXPECT_NE(r.out.find("\nThe tour removed the key-12345 segment it had made (ipcrm -M 12345).\n"),
                  std::string::npos)
            << r.out;
        EXPECT_FALSE(segment_exists(ns, exchange_key));
        EXPECT_EQ(left_running(), std::vector<std::string>{});
        EXPECT_EQ(left_in_tmp(), std::vector<std::string>{});
    }
}

// Ctrl-C in `./tour --syscalls --only pagewatch | cat`: cat ends at once,
// script(1) dies of SIGPIPE when it next writes, and strace (which holds off
// fatal signals when it writes to a file) would go on tracing pagewatch for
// the rest of its fifty seconds. The tour ends them itself, also when
// script(1) has died first (killed here), which leaves strace and pagewatch
// no longer below the tour.
TEST(Tour, EndsEveryProcessItStartedWhenInterruptedUnderStrace)
{
    for (const bool script_died_first : {false, true}) {
        SCOPED_TRACE(script_died_first ? "script(1) died first" : "script(1) still running");
        Options options = tour_options({"tour"});
        options.argv = {"/bin/sh", "-c", "\"$0\" --syscalls --only pagewatch | cat", source_dir() + "/tour"};
        options.timeout = 30s;
        // Outside a PID namespace: the processes the tour fails to end must
        // outlive the run to be seen, and a namespace would end them with it.
        // The test signals only processes that carry its own TMPDIR.
        options.pid_namespace = false;
        Process tour(options);
        ASSERT_TRUE(tour.wait_for("\na b c d e f \n", 15s) ||
                    tour.wait_for("--syscalls shows no system calls", 1s))
            << tour.out();
        if (tour.out().find("--syscalls shows no system calls") != std::string::npos)
            GTEST_SKIP() << "no strace here: " << tour.out();
        if (script_died_first) {
            for (const std::string& process : marked_processes(false)) {
                if (process.ends_with(" script")) {
                    ASSERT_EQ(::kill(std::stoi(process), SIGKILL), 0);
                }
            }
        }
        tour.kill(SIGINT);
        const Result r = tour.finish();
        EXPECT_EQ(r.out.find("Tour over"), std::string::npos) << r.out;
        EXPECT_EQ(r.err.find("Session terminated"), std::string::npos) << r.err;
        EXPECT_EQ(left_running(), std::vector<std::string>{});
        EXPECT_EQ(left_in_tmp(), std::vector<std::string>{});
    }
}

// The key-2009 segment a late segrace child leaves, made to happen by a
// stand-in segrace: on every run (the tour shows it after the runs and
// removes it, since it made it), or on the shown run only, with the later
// runs removing it (the tour says it is gone, not that none was left).
TEST(Tour, RemovesTheGreetingSegmentSegraceLeft)
{
    if (access("/usr/bin/perl", X_OK) != 0)
        GTEST_SKIP() << "no perl here to make the segment with";
    const std::string segrace = std::string(IPCLAB_BINARY_DIR) + "/segrace";
    const std::string make = "perl -e 'defined shmget(2009, 27, 01666) or die \"shmget: $!\\n\"' || exit 1\n";
    const std::string seen = test_dir() + "/seen";
    const std::pair<std::string, std::string> cases[] = {
        {"'" + segrace + "'\nstatus=$?\n" + make + "exit $status\n",
         "The tour removed it (ipcrm -M 2009): it was not there before the tour.\n"},
        {"[ -e '" + seen + "' ] && exec perl -e 'shmctl(shmget(2009, 0, 0), 0, 0)'\ntouch '" + seen + "'\n" +
             make,
         "The segment that run left is gone: a parent of the runs above found it"}};
    for (const auto& [script, said] : cases) {
        SCOPED_TRACE(said);
        std::filesystem::remove_all(test_dir() + "/build");
        const std::string build = stand_in_build({{"segrace", "#!/bin/sh\n" + script}});
        const IpcNamespace ns;
        Options options = tour_options({"tour", "--shared-ipc", "--only", "segrace", "--runs", "2"}, &ns);
        options.env.push_back("IPCLAB_BUILD_DIR=" + build);
        const Result r = run(options);
        ASSERT_EQ(r.status, 0) << r.describe();
        const std::string text = section(r.out, "segrace");
        EXPECT_NE(text.find("This run left a key-2009 segment behind:\n"), std::string::npos) << text;
        EXPECT_NE(text.find(said), std::string::npos) << text;
        EXPECT_FALSE(segment_exists(ns, greeting_key));
    }
}

// Colour only on a terminal that can show it, and never with NO_COLOR set.
TEST(Tour, ColoursOnlyATerminalWithoutNoColor)
{
    struct Case {
        Output output;
        std::vector<std::string> env;
        bool colour;
    };
    const Case cases[] = {
        {Output::terminal, {"NO_COLOR", "TERM=xterm"}, true},
        {Output::terminal, {"NO_COLOR=1", "TERM=xterm"}, false},
        {Output::terminal, {"NO_COLOR", "TERM=dumb"}, false},
        {Output::pipe, {"NO_COLOR", "TERM=xterm"}, false},
    };
    for (const Case& c : cases) {
        Options options = tour_options({"tour", "--only", "greetordered", "--runs", "1"});
        options.output = c.output;
        options.env.insert(options.env.end(), c.env.begin(), c.env.end());
        const Result r = run(options);
        SCOPED_TRACE(std::string(name_of(c.output)) + " with " + c.env[0] + " " + c.env[1]);
        ASSERT_EQ(r.status, 0) << r.describe();
        EXPECT_NE(r.out.find("== 2/11 greetordered: ordering parent and child by waiting =="),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(r.out.find("\x1b[1;36m== 2/11 greetordered") != std::string::npos, c.colour) << r.out;
        EXPECT_EQ(r.out.find("takes about"), std::string::npos) << "a length this run did not have";
        if (!c.colour) {
            EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
        }
    }
}

// --syscalls shows the calls under each heading; --diagrams (relative to
// where the tour started) draws the run at the end.
TEST(Tour, SyscallsAreLabelledWithTheProcessThatMadeThem)
{
    Options options =
        tour_options({"tour", "--only", "nudgegreet", "--runs", "1", "--syscalls", "--diagrams", "pictures"});
    options.cwd = test_dir();
    const Result r = run(options);
    ASSERT_EQ(r.status, 0) << r.describe();
    if (r.out.find("strace is not installed") != std::string::npos ||
        r.out.find("strace cannot trace here") != std::string::npos)
        GTEST_SKIP() << "no strace here: " << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\n  parent [0-9]+ +write\(1, "Hello, ", 7\) += 7\n)")))
        << r.out;
    EXPECT_TRUE(
        std::regex_search(r.out, std::regex(R"(\n  child [0-9]+ +write\(1, "World!\\n", 7\) += 7\n)")))
        << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\n  parent [0-9]+ +kill\([0-9]+, SIGUSR1\) += 0\n)")))
        << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\n  child [0-9]+ +--- SIGUSR1 )"))) << r.out;
    EXPECT_EQ(read_file(test_dir() + "/pictures/nudgegreet.mmd").rfind("sequenceDiagram\n", 0), 0U) << r.out;
    EXPECT_NE(read_file(test_dir() + "/pictures/nudgegreet.json").find("\"traceEvents\""), std::string::npos);
}

// --pause: Enter goes on, q stops the tour there, after a stand-in
// greetloose whose output tells whether it may use one CPU or several: the
// tour says which output pinning made lead, the right way round.
TEST(Tour, PausesBetweenProgramsAndSaysWhatPinningChanged)
{
    const std::string greetloose =
        "#!/bin/sh\nif [ \"$(nproc)\" = 1 ]; then echo pinned; else echo free; fi\n";
    Options options = tour_options({"tour", "--quick", "--runs", "2", "--pause"});
    options.env.push_back("IPCLAB_BUILD_DIR=" + stand_in_build({{"greetloose", greetloose}}));
    options.input = "\n\nq\n";
    const Result r = run(options);
    ASSERT_EQ(r.status, 0) << r.describe();
    EXPECT_TRUE(r.out.find("\n== 3/11 greetloose: ") != std::string::npos &&
                r.out.find("\n== 4/11 ") == std::string::npos)
        << r.out;
    EXPECT_TRUE(!several_cpus() ||
                r.out.find("most runs give \"pinned\\n\" instead of \"free\\n\".") != std::string::npos)
        << r.out;
}

TEST(Tour, RejectsWrongOptionsAndExplainsTheRightOnes)
{
    const Result help = run(tour_options({"tour", "--help"}));
    EXPECT_EQ(help.status, 0);
    for (const std::string option : {"--quick", "--only NAME", "--runs N", "--pause", "--syscalls", "--costs",
                                     "--diagrams DIR", "--help"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;

    const std::string programs =
        "the programs are: copysplit greetordered greetloose nudgegreet segduet segrace "
        "parleyhand launchcount launchfault fetchlist pagewatch\n";
    const std::pair<std::vector<std::string>, std::string> wrong[] = {
        {{"tour", "--runs", "0"}, "tour: --runs needs a whole number from 1 to 999999, not '0'\n"},
        {{"tour", "--runs"}, "tour: --runs needs a value (see --help)\n"},
        {{"tour", "--only", "segfault"}, "tour: no program 'segfault'; " + programs},
        {{"tour", "--only=segfault"}, "tour: no program 'segfault'; " + programs},
        {{"tour", "--fast"}, "tour: unknown option '--fast' (see --help)\n"},
        {{"tour", "--only", ""}, "tour: no program ''; " + programs},
    };
    for (const auto& [argv, message] : wrong) {
        const Result r = run(tour_options(argv));
        EXPECT_EQ(r.status, 2) << r.describe();
        EXPECT_EQ(r.err, message);
        EXPECT_EQ(r.out, "");
    }
}

// tools/outcomes: every byte visible, counts and shares (to the tenth, cut
// down), the statuses, the first run's standard error, and the CPUs the runs
// could use.
TEST(Outcomes, ShowsEachDistinctOutputWithItsCountShareAndStatus)
{
    const std::string script = test_dir() + "/flip";
    // Odd runs print a tab, a quote, a backslash and no final newline; even
    // runs print their number on standard error and fail.
    write_file(script,
               "#!/bin/sh\n"
               "n=$(cat " +
                   test_dir() + "/n 2>/dev/null || echo 0); echo $((n + 1)) >" + test_dir() +
                   "/n\n"
                   "if [ $((n % 2)) -eq 0 ]; then printf 'a\\tb\"c\\\\d\\n\\033'; else echo oops $n >&2; "
                   "exit 3; fi\n",
               0755);
    Options options = tour_options({"tools/outcomes", script, "7"});
    options.cpu = 0;
    const Result r = run(options);
    ASSERT_EQ(r.status, 0) << r.describe();
    const auto found = histograms(r.out);
    ASSERT_EQ(found.size(), 1U) << r.out;
    EXPECT_EQ(found[0].runs, 7);
    EXPECT_EQ(found[0].rows, (std::map<std::string, int>{{R"("a\tb\"c\\d\n\x1b")", 4}, {R"("")", 3}}))
        << r.out;
    EXPECT_NE(r.out.find("flip: 7 runs on CPU 0 only, 2 distinct outputs"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  57.1%  "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  42.8%  "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("3 of the runs ended with status 3\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("3 of the runs wrote to standard error, the first: \"oops 1\\n\"\n"),
              std::string::npos)
        << r.out;

    const Result missing = run(tour_options({"tools/outcomes", "segfault"}));
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("segfault: no such program"), std::string::npos) << missing.err;
    EXPECT_EQ(run(tour_options({"tools/outcomes", "greetordered", "ten"})).status, 2);

    // Unpinned, the runs may use the CPUs this test may use: a list as the
    // kernel writes it, consecutive CPUs as a range ("CPUs 0-1").
    const Result greet = run(tour_options({"tools/outcomes", "greetordered", "10"}));
    EXPECT_EQ(check_histograms(greet.out, 10, {R"("Hello, World!\n")"}), 1U) << greet.out;
    std::smatch cpus;
    const std::string status = read_file("/proc/self/status");
    ASSERT_TRUE(std::regex_search(status, cpus, std::regex("Cpus_allowed_list:\\s*(\\S+)")));
    EXPECT_NE(greet.out.find(cpus[1].str().find_first_of(",-") == std::string::npos
                                 ? "on CPU " + cpus[1].str() + " only,"
                                 : "on CPUs " + cpus[1].str() + ","),
              std::string::npos)
        << greet.out;
}

// A hostile program cannot hang tools/outcomes nor flood it: a run that
// never ends, or leaves a detached process holding its output, is named and
// ended with all it started (the PID namespace of the run ends only when
// nothing is left in it); a huge output is cut at 64 KiB.
TEST(Outcomes, BoundsEveryRunAndEndsAllItStarted)
{
    const std::string count_runs = "#!/bin/sh\nn=$(cat " + test_dir() +
                                   "/n 2>/dev/null || echo 0); echo $((n + 1)) >" + test_dir() + "/n\n";
    const struct {
        const char* name;
        std::string body, runs, err, out;
    } hostile[] = {
        {"endless", "exec sleep 1000\n", "3", "outcomes: run 1 of 3: endless had not ended after 2 s; it ",
         ""},
        {"detaching", "echo x\n[ $n -eq 1 ] && setsid sleep 1000 &\n", "3",
         "outcomes: run 2 of 3: detaching had ended, but a process it started still held its standard "
         "output ",
         ""},
        {"flood", "head -c 4194304 /dev/zero\n", "2", "", "\\0\\0\"\u2026 4128768 bytes more\n"},
    };
    for (const auto& h : hostile) {
        SCOPED_TRACE(h.name);
        std::filesystem::remove(test_dir() + "/n");
        write_file(test_dir() + "/" + h.name, count_runs + h.body, 0755);
        Options options =
            tour_options({"tools/outcomes", "--timeout", "2", test_dir() + "/" + h.name, h.runs});
        options.timeout = 60s;
        const Result r = run(options);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.status, h.err.empty() ? 0 : 1) << r.describe();
        EXPECT_EQ(r.err.substr(0, h.err.size()), h.err);
        if (h.out.empty())
            EXPECT_EQ(r.out, "");
        else
            EXPECT_NE(r.out.find(h.out), std::string::npos) << r.out.substr(0, 400);
    }
}

// Interrupted, tools/outcomes ends the run in progress and all it started,
// removes its scratch directory and dies of the signal.
TEST(Outcomes, InterruptedLeavesNothingBehind)
{
    const std::string started = test_dir() + "/started";
    write_file(test_dir() + "/sleeper", "#!/bin/sh\n: >" + started + "\nsleep 1000 &\nwait\n", 0755);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        std::filesystem::remove(started);
        // Shaken where the fork shaker can be preloaded (not into a sanitized build's tools).
        std::vector<std::string> argv = {"tools/outcomes", "--shake", test_dir() + "/sleeper", "3"};
        if (sanitized_build())
            argv.erase(argv.begin() + 1);
        Options options = tour_options(argv);
        options.timeout = 60s;
        Process outcomes(options);
        for (int i = 0; i < 2000 && !std::filesystem::exists(started); ++i)
            usleep(10000);
        ASSERT_TRUE(std::filesystem::exists(started));
        outcomes.kill(sig);
        const Result r = outcomes.finish();
        EXPECT_EQ(r.signal, sig) << r.describe();
        EXPECT_EQ(left_in_tmp(), std::vector<std::string>{});
    }
}

// Outputs are told apart byte for byte and shown with every byte visible,
// in the table and in --tsv.
TEST(Outcomes, CountsAndShowsOutputsByteForByte)
{
    // Control bytes and DEL, a NUL, a difference on the second
    // line, or after the first sixteen bytes. Runs alternate between two
    // outputs (printf formats).
    struct Bytes {
        std::string first, second;
        std::string shown_first, shown_second;
    };
    const Bytes bytes[] = {
        {R"(x\001y\177z\n)", R"(x\001y\177Z\n)", R"(x\x01y\x7fz\n)", R"(x\x01y\x7fZ\n)"},
        {R"(a\000b)", R"(a\000c)", R"(a\0b)", R"(a\0c)"},
        {R"(one\ntwo\n)", R"(one\nthree\n)", R"(one\ntwo\n)", R"(one\nthree\n)"},
        {"0123456789abcdef+1", "0123456789abcdef+2", "0123456789abcdef+1", "0123456789abcdef+2"},
    };
    const std::string alternate = test_dir() + "/alternate";
    for (const Bytes& b : bytes) {
        SCOPED_TRACE(b.first);
        std::filesystem::remove(test_dir() + "/n");
        write_file(alternate,
                   "#!/bin/sh\nn=$(cat " + test_dir() + "/n 2>/dev/null || echo 0); echo $((n + 1)) >" +
                       test_dir() + "/n\nif [ $((n % 2)) -eq 0 ]; then printf '" + b.first +
                       "'; else printf '" + b.second + "'; fi\n",
                   0755);
        const Result table = run(tour_options({"tools/outcomes", alternate, "4"}));
        ASSERT_EQ(table.status, 0) << table.describe();
        const auto shown = histograms(table.out);
        ASSERT_EQ(shown.size(), 1U) << table.out;
        EXPECT_EQ(shown[0].rows, (std::map<std::string, int>{{'"' + b.shown_first + '"', 2},
                                                             {'"' + b.shown_second + '"', 2}}))
            << table.out;
        // For programs: count, tab, output without quotes, most frequent
        // first (equal counts in the order first seen).
        std::filesystem::remove(test_dir() + "/n");
        const Result tsv = run(tour_options({"tools/outcomes", "--tsv", "-", alternate, "3"}));
        EXPECT_EQ(tsv.out, "2\t" + b.shown_first + "\n1\t" + b.shown_second + "\n") << tsv.describe();
    }
}

}  // namespace
}  // namespace ipclab
