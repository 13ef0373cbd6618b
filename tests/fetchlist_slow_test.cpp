// fetchlist: the clone, the pause, the listing, and what each failure
// leaves. No network: git's own configuration in the environment maps
// https://github.com/ to a directory of local bare repositories.
#include "report.hpp"
#include "run.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ipclab {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* fixture_file = "tarnwick-fixture.txt";

// Deterministic git and ls: no user or system configuration, no prompt or
// transfer bounds inherited, no proxy, fixed messages and dates, and the
// address rewritten to <server>/Orvanteska/TarnwickPanel (by default
// <test_dir>/server/Orvanteska/TarnwickPanel).
std::vector<std::string> environment(const std::string& path = "", const std::string& server = "")
{
    std::vector<std::string> env = {
        "HOME=" + test_dir(),
        "GIT_CONFIG_NOSYSTEM=1",
        "GIT_CONFIG_COUNT=1",
        "GIT_CONFIG_KEY_0=url." + (server.empty() ? test_dir() + "/server/" : server) + ".insteadOf",
        "GIT_CONFIG_VALUE_0=https://github.com/",
        "GIT_TERMINAL_PROMPT",
        "GIT_HTTP_LOW_SPEED_LIMIT",
        "GIT_HTTP_LOW_SPEED_TIME",
        "GIT_DIR",
        "no_proxy=*",
        "LC_ALL=C",
        "TZ=UTC",
    };
    if (!path.empty())
        env.push_back("PATH=" + path);
    return env;
}

void git(const std::vector<std::string>& args)
{
    Options options;
    options.argv = {"/usr/bin/git"};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.env = environment();
    const Result r = run(options);
    ASSERT_EQ(r.status, 0) << "git " << args[0] << ": " << r.describe();
}

// A bare repository with one commit holding `fixture_file`, where the
// rewritten address points.
void make_server_repository()
{
    const std::string seed = test_dir() + "/seed";
    std::filesystem::create_directory(seed);
    write_file(seed + "/" + fixture_file, "the repository fetchlist clones\n");
    git({"-C", seed, "init", "-q"});
    git({"-C", seed, "add", fixture_file});
    git({"-C", seed, "-c", "user.name=ipclab", "-c", "user.email=ipclab@example.invalid", "commit", "-q",
         "-m", "fixture"});
    git({"clone", "-q", "--bare", seed, test_dir() + "/server/Orvanteska/TarnwickPanel"});
}

// What "ls -l" prints in `dir` right now, in the same environment.
std::string long_listing(const std::string& dir)
{
    Options options;
    options.argv = {"/bin/ls", "-l"};
    options.cwd = dir;
    options.env = environment();
    const Result r = run(options);
    EXPECT_EQ(r.status, 0) << r.describe();
    return r.out;
}

Options fetchlist(const std::string& path = "")
{
    Options options;
    options.argv = {program("fetchlist")};
    options.env = environment(path);
    options.timeout = 30s;
    return options;
}

// A directory holding only the given programs, for PATH.
std::string path_with(const std::vector<std::pair<std::string, std::string>>& links)
{
    const std::string dir = test_dir() + "/bin";
    std::filesystem::create_directory(dir);
    for (const auto& [name, target] : links)
        std::filesystem::create_symlink(target, dir + "/" + name);
    return dir;
}

TEST(Fetchlist, ClonesThenListsTheCloneTenSecondsLater)
{
    make_server_repository();
    Process p(fetchlist());
    const auto start = Clock::now();
    const bool listed = p.wait_for(fixture_file, 20s);
    const auto elapsed = Clock::now() - start;
    const Result r = p.finish();
    ASSERT_TRUE(listed) << r.describe();
    EXPECT_GE(elapsed, 9500ms) << "the listing came too early";

    EXPECT_EQ(r.err, "Cloning into 'TarnwickPanel'...\ndone.\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(test_dir() + "/TarnwickPanel/" + fixture_file), "the repository fetchlist clones\n");
    EXPECT_EQ(r.out, long_listing(test_dir() + "/TarnwickPanel"));
}

// The first copy stays: git refuses to clone over it, and it is listed.
TEST(Fetchlist, SecondRunListsTheFirstCopy)
{
    make_server_repository();
    git({"-C", test_dir(), "clone", "-q", "https://github.com/Orvanteska/TarnwickPanel"});
    write_file(test_dir() + "/TarnwickPanel/first-copy.txt", "");

    const Result r = run(fetchlist());
    EXPECT_EQ(r.err,
              "fatal: destination path 'TarnwickPanel' already exists and is not an empty directory.\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find(" first-copy.txt\n"), std::string::npos) << r.describe();
    EXPECT_EQ(r.out, long_listing(test_dir() + "/TarnwickPanel"));
}

// No clone and no earlier copy: the parent stays and lists where it is.
TEST(Fetchlist, WithoutGitTheWorkingDirectoryIsListed)
{
    write_file(test_dir() + "/not-a-clone.txt", "");
    const std::string path = path_with({{"ls", "/bin/ls"}});

    const Result r = run(fetchlist(path));
    expect_report(r, "fetchlist", "fetchlist: execvp(git): No such file or directory\n", "exec", 0, r.out);
    EXPECT_NE(r.out.find(" not-a-clone.txt\n"), std::string::npos) << r.describe();
    EXPECT_EQ(r.out, long_listing(test_dir()));
}

// A stand-in git shows what the child passed it: the arguments, no
// terminal prompt, and the bound on a stalled transfer. Without ls on PATH
// the parent's exec fails: 127.
TEST(Fetchlist, GitRunsWithoutTerminalPromptAndMissingLsIsReported)
{
    const std::string git_script = test_dir() + "/fake-git";
    write_file(git_script,
               "#!/bin/sh\necho \"git $* (prompt $GIT_TERMINAL_PROMPT, at least $GIT_HTTP_LOW_SPEED_LIMIT"
               " bytes/s over $GIT_HTTP_LOW_SPEED_TIME s)\" >&2\n",
               0755);
    const std::string path = path_with({{"git", git_script}});

    const Result r = run(fetchlist(path));
    const std::string clone = "git clone https://github.com/Orvanteska/TarnwickPanel";
    // Another build is held to the clone's arguments and a report naming the
    // exec, not to our bounds on git's prompt and stalled transfers.
    expect_report(r, "fetchlist",
                  clone + " (prompt 0, at least 1000 bytes/s over 30 s)\n" +
                      "fetchlist: execvp(ls): No such file or directory\n",
                  "exec", 127);
    EXPECT_TRUE(r.err.starts_with(clone + " ("))
        << "git was not run as \"" << clone << "\": " << r.describe();
}

// Files that are found but cannot be executed: 126.
TEST(Fetchlist, NonExecutableGitAndLsAreReported)
{
    const std::string path = path_with({});
    write_file(path + "/git", "#!/bin/sh\n", 0644);
    write_file(path + "/ls", "#!/bin/sh\n", 0644);

    const Result r = run(fetchlist(path));
    expect_report(r, "fetchlist",
                  "fetchlist: execvp(git): Permission denied\nfetchlist: execvp(ls): Permission denied\n",
                  "exec", 126);
}

// A server that accepts the connection and never answers (a listener
// nobody reads from: the kernel completes the handshake) must not hold the
// clone for good. git gives up with its own message once the transfer has
// stayed too slow for long enough, and the parent lists the working
// directory as after any failed clone. The user's own bound, one second
// here, is the one that holds: fetchlist's thirty would outlast the timeout.
TEST(Fetchlist, StalledServerEndsTheCloneWithinTheUsersBound)
{
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(listen(listener, 8), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    write_file(test_dir() + "/not-a-clone.txt", "");

    Options options = fetchlist();
    options.env = environment("", "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/");
    options.env.insert(options.env.end(), {"GIT_HTTP_LOW_SPEED_LIMIT=1000", "GIT_HTTP_LOW_SPEED_TIME=1"});
    options.timeout = 25s;
    const Result r = run(options);
    close(listener);
    EXPECT_NE(r.err.find("Operation too slow. Less than 1000 bytes/sec transferred the last 1 seconds"),
              std::string::npos)
        << r.describe();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, long_listing(test_dir()));
}

// A failed fork is reported at once; nothing is cloned, nothing listed.
TEST(Fetchlist, ForkFailureIsReportedWithStatusOne)
{
    Options options = fetchlist();
    options.fail_process_creation = true;
    options.timeout = 5s;
    const Result r = run(options);
    expect_report(r, "fetchlist", "fork() failed: Resource temporarily unavailable\n", "fork");
    EXPECT_FALSE(std::filesystem::exists(test_dir() + "/TarnwickPanel"));
}

}  // namespace
}  // namespace ipclab
