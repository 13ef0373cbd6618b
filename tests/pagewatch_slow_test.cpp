// pagewatch: fifty lines over fifty seconds, the letters reach the file,
// and a change made by another process shows from the next line on. Each
// case is its own test so that the fifty-second runs overlap.
#include "report.hpp"
#include "run.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

namespace ipclab {
namespace {

constexpr std::string_view a_line = "a b c d e f \n";
constexpr std::string_view z_line = "z b c d e f \n";

std::string lines(std::string_view line, int count)
{
    std::string s;
    for (int i = 0; i < count; ++i)
        s += line;
    return s;
}

std::string mapped_file() { return test_dir() + "/temp_mmap.txt"; }

Options watch(Output output)
{
    Options options;
    options.argv = {program("pagewatch")};
    options.output = output;
    options.timeout = 70s;
    return options;
}

TEST(Pagewatch, AloneOnALongerFilePrintsFiftyLinesAndKeepsTheRest)
{
    write_file(mapped_file(), "0123456789 rest\n");
    const auto start = std::chrono::steady_clock::now();
    const Result r = run(watch(Output::pipe));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(r.status == 0 && r.err.empty()) << r.describe();
    EXPECT_EQ(r.out, lines(a_line, 50));
    EXPECT_GE(elapsed, 49s) << "fifty lines a second apart take 49 s at least";
    EXPECT_EQ(read_file(mapped_file()), "abcdef6789 rest\n") << "the bytes of ./temp_mmap.txt afterwards";
}

TEST(Pagewatch, CreatesAMissingFileForItsOwnerOnly)
{
    const Result r = run(watch(Output::file));
    EXPECT_TRUE(r.status == 0 && r.err.empty()) << r.describe();
    EXPECT_EQ(r.out, lines(a_line, 50));
    EXPECT_EQ(read_file(mapped_file()), "abcdef") << "the bytes of ./temp_mmap.txt afterwards";
    struct stat st = {};
    ASSERT_EQ(stat(mapped_file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600U);
}

// Stops `watcher` and waits until it is stopped, so that no write of its is
// under way; returns the bytes it has written, by the kernel's count.
std::size_t stop_and_count_written(Process& watcher)
{
    watcher.kill(SIGSTOP);
    const std::string proc = "/proc/" + std::to_string(watcher.host_pid());
    for (int i = 0; i < 1000; ++i) {
        const std::string stat = read_file(proc + "/stat");
        const std::size_t state = stat.rfind(") ");
        if (state == std::string::npos || stat[state + 2] == 'T')
            break;
        std::this_thread::sleep_for(10ms);
    }
    const std::string io = read_file(proc + "/io");
    const std::size_t at = io.find("wchar: ");
    return at == std::string::npos ? 0 : std::stoul(io.substr(at + 7));
}

// Lets `change` set byte 0 to 'z' once pagewatch has printed three lines,
// while pagewatch is held. The lines printed before the change begin with
// "a ", all later ones with "z ".
void expect_change_from_next_line(Options change)
{
    write_file(mapped_file(), "......tail");
    Process watcher(watch(Output::terminal));
    ASSERT_TRUE(watcher.wait_for(lines(a_line, 3), 10s)) << watcher.out();
    const std::size_t printed_before = stop_and_count_written(watcher) / a_line.size();
    const Result changed = run(change);
    watcher.kill(SIGCONT);
    ASSERT_EQ(changed.status, 0) << changed.describe();

    const Result r = watcher.finish();
    ASSERT_TRUE(r.status == 0 && r.err.empty()) << r.describe();
    std::size_t a_lines = 0;
    while (r.out.compare(a_lines * a_line.size(), a_line.size(), a_line) == 0)
        ++a_lines;
    EXPECT_GE(a_lines, 3U) << r.out;
    EXPECT_LE(a_lines, printed_before) << r.out;
    EXPECT_EQ(r.out,
              lines(a_line, static_cast<int>(a_lines)) + lines(z_line, 50 - static_cast<int>(a_lines)));
    EXPECT_EQ(read_file(mapped_file()), "zbcdeftail") << "the bytes of ./temp_mmap.txt afterwards";
}

TEST(Pagewatch, ChangeThroughAnotherMappingShowsFromTheNextLine)
{
    Options poke;
    poke.argv = {program("peers/pagepoke")};
    expect_change_from_next_line(poke);
}

TEST(Pagewatch, ChangeWrittenToTheFileShowsFromTheNextLine)
{
    Options write;
    write.argv = {"/bin/sh", "-c", "printf z | dd of=temp_mmap.txt bs=1 count=1 conv=notrunc status=none"};
    expect_change_from_next_line(write);
}

// Truncated under the mapping, the next read raises SIGBUS: a message and
// status 1 instead of a crash. With standard error closed the file would
// have been descriptor 2, and the message would have gone into it.
TEST(Pagewatch, FileTruncatedWhileMappedEndsWithAMessage)
{
    for (const bool stderr_closed : {false, true}) {
        Options options = watch(Output::terminal);
        if (stderr_closed)
            options.before_exec = [] { close(STDERR_FILENO); };
        Process watcher(options);
        ASSERT_TRUE(watcher.wait_for(lines(a_line, 2), 10s))
            << "pagewatch did not print its first two lines within 10 s; it printed " << watcher.out();
        ASSERT_EQ(truncate(mapped_file().c_str(), 0), 0);
        const Result r = watcher.finish();
        // Another build's report need only name the signal.
        expect_report(r, "pagewatch",
                      stderr_closed ? "" : "pagewatch: SIGBUS: ./temp_mmap.txt shrank under the mapping\n",
                      "sigbus", 1, r.out);
        EXPECT_EQ(read_file(mapped_file()), "") << "stderr closed: " << stderr_closed;
        const auto printed = static_cast<int>(r.out.size() / a_line.size());
        EXPECT_GE(printed, 2);
        EXPECT_EQ(r.out, lines(a_line, printed));
    }
}

}  // namespace
}  // namespace ipclab
