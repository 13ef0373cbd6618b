// pagewatch's refusals and its growing of a short file, and the peer
// pagepoke: the byte it changes, and what it refuses.
#include "run.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace ipclab {
namespace {

std::string mapped_file() { return test_dir() + "/temp_mmap.txt"; }

Result run_program(std::vector<std::string> argv)
{
    Options options;
    options.argv = std::move(argv);
    return run(options);
}

TEST(Pagewatch, RefusesADirectoryOrAFifoInPlaceOfTheFile)
{
    ASSERT_EQ(mkdir(mapped_file().c_str(), 0700), 0);
    Result r = run_program({program("pagewatch")});
    EXPECT_EQ(r.status, 1) << r.describe();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "pagewatch: open ./temp_mmap.txt: Is a directory\n");

    ASSERT_EQ(rmdir(mapped_file().c_str()), 0);
    ASSERT_EQ(mkfifo(mapped_file().c_str(), 0600), 0);
    r = run_program({program("pagewatch")});
    EXPECT_EQ(r.status, 1) << r.describe();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "pagewatch: mmap ./temp_mmap.txt: not a regular file\n");
}

// The letters are in the file before the first line is printed.
TEST(Pagewatch, GrowsAShortFileToSixBytes)
{
    write_file(mapped_file(), "xy");
    Options options;
    options.argv = {program("pagewatch")};
    options.output = Output::terminal;
    Process watcher(options);
    ASSERT_TRUE(watcher.wait_for("a b c d e f \n")) << watcher.out();
    EXPECT_EQ(read_file(mapped_file()), "abcdef");
}

TEST(Pagepoke, ChangesOneByteInPlace)
{
    write_file(mapped_file(), "abcdef and more");
    Result r = run_program({program("peers/pagepoke")});
    EXPECT_TRUE(r.status == 0 && r.err.empty()) << r.describe();
    EXPECT_EQ(r.out, "pagepoke: byte 0 of ./temp_mmap.txt: 'a' -> 'z'\n");
    r = run_program({program("peers/pagepoke"), "5", "Q"});
    EXPECT_EQ(r.out, "pagepoke: byte 5 of ./temp_mmap.txt: 'f' -> 'Q'\n") << r.describe();
    EXPECT_EQ(read_file(mapped_file()), "zbcdeQ and more");

    write_file(test_dir() + "/other", "123456");
    r = run_program({program("peers/pagepoke"), "2", "#", "other"});
    EXPECT_EQ(r.out, "pagepoke: byte 2 of other: '3' -> '#'\n") << r.describe();
    EXPECT_EQ(read_file(test_dir() + "/other"), "12#456");
}

TEST(Pagepoke, RejectsBadArgumentsWithUsage)
{
    write_file(mapped_file(), "abcdef");
    const std::vector<std::vector<std::string>> bad = {
        {"0"},       {"6", "z"}, {"-1", "z"}, {"x", "z"},
        {"00", "z"}, {"0", ""},  {"0", "zz"}, {"0", "z", "temp_mmap.txt", "extra"}};
    for (const auto& args : bad) {
        std::vector<std::string> argv = {program("peers/pagepoke")};
        argv.insert(argv.end(), args.begin(), args.end());
        const Result r = run_program(argv);
        EXPECT_EQ(r.status, 2) << args[0] << ": " << r.describe();
        EXPECT_EQ(r.err.rfind("usage: pagepoke [INDEX CHAR [FILE]]\n", 0), 0U) << r.describe();
    }
    EXPECT_EQ(read_file(mapped_file()), "abcdef");
}

TEST(Pagepoke, RefusesAMissingShortOrNonRegularFile)
{
    const std::string poke = program("peers/pagepoke");
    Result r = run_program({poke});
    EXPECT_EQ(r.status, 1) << r.describe();
    EXPECT_EQ(r.err, "pagepoke: open ./temp_mmap.txt: No such file or directory\n");
    EXPECT_NE(access(mapped_file().c_str(), F_OK), 0) << "created the file";

    write_file(mapped_file(), "abcde");
    r = run_program({poke});
    EXPECT_EQ(r.status, 1) << r.describe();
    EXPECT_EQ(r.err, "pagepoke: ./temp_mmap.txt: shorter than six bytes (start pagewatch first)\n");
    EXPECT_EQ(read_file(mapped_file()), "abcde");

    ASSERT_EQ(mkfifo((test_dir() + "/fifo").c_str(), 0600), 0);
    r = run_program({poke, "0", "z", "fifo"});
    EXPECT_EQ(r.status, 1) << r.describe();
    EXPECT_EQ(r.err, "pagepoke: mmap fifo: not a regular file\n");
}

}  // namespace
}  // namespace ipclab
