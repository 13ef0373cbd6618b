// copysplit, greetordered, greetloose and nudgegreet: exact traces on every
// kind of standard output, and the report of a failed fork.
#include "report.hpp"
#include "run.hpp"

#include <gtest/gtest.h>

#include <set>

namespace ipclab {
namespace {

Result run_program(std::string_view name, Output output)
{
    Options options;
    options.argv = {program(name)};
    options.output = output;
    return run(options);
}

// Runs a program `times` times on each kind of output and checks that every
// output is one of `allowed` and that it ended with status 0 and nothing on
// standard error. Returns the outputs seen.
std::set<std::string> outcomes(std::string_view name, const std::set<std::string>& allowed, int times)
{
    std::set<std::string> seen;
    for (const Output output : all_outputs) {
        for (int i = 0; i < times; ++i) {
            const Result r = run_program(name, output);
            EXPECT_TRUE(allowed.contains(r.out) && r.status == 0 && r.err.empty())
                << name << " on a " << name_of(output) << ": " << r.describe() << expected_stdout(allowed);
            seen.insert(r.out);
        }
    }
    return seen;
}

TEST(Copysplit, EachProcessShowsOnlyItsOwnChange)
{
    const std::string child = "Child process has variable a = aaadef\n";
    const std::string parent = "Parent process has variable a = abcbbb\n";
    outcomes("copysplit", {child + parent, parent + child}, 20);
}

TEST(Greetordered, GreetingIsInOrderOnEveryOutput)
{
    const auto seen = outcomes("greetordered", {"Hello, World!\n"}, 30);
    EXPECT_EQ(seen.size(), 1U);
}

TEST(Greetloose, EitherHalfMayComeFirst)
{
    outcomes("greetloose", {"Hello, World!\n", "World!\nHello, "}, 30);
}

TEST(Nudgegreet, GreetingIsInOrderOnEveryOutput) { outcomes("nudgegreet", {"Hello, World!\n"}, 30); }

// The parent may signal before the child has installed its handler or has
// suspended; on one CPU that happens often. The child must neither die of
// the early signal nor sleep through it.
TEST(Nudgegreet, EarlySignalIsNeitherFatalNorLostOnOneCpu)
{
    for (int i = 0; i < 2000; ++i) {
        Options options;
        options.argv = {program("nudgegreet")};
        options.cpu = 0;
        options.timeout = 5s;
        const Result r = run(options);
        ASSERT_TRUE(r.out == "Hello, World!\n" && r.status == 0 && r.err.empty())
            << "run " << i << ": " << r.describe();
    }
}

TEST(ForkFailure, IsReportedOnStandardErrorWithStatusOne)
{
    for (const char* name : {"copysplit", "greetordered", "greetloose", "nudgegreet"}) {
        for (const Output output : all_outputs) {
            Options options;
            options.argv = {program(name)};
            options.output = output;
            options.fail_process_creation = true;
            const Result r = run(options);
            SCOPED_TRACE(name_of(output));
            expect_report(r, name, "fork() failed: Resource temporarily unavailable\n", "fork");
        }
    }
}

}  // namespace
}  // namespace ipclab
