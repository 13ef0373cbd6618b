// Failure reports, and expected outputs in the shape tools/check shows.
//
// The suite also checks other builds of the programs (tools/check
// --programs DIR sets IPCLAB_PROGRAMS_DIR, and program() follows it). Our
// own programs are held to their exact wording of a failure; another build
// is held to the contract any careful program keeps: a report on standard
// error that names the failing call, the right status, and nothing else on
// standard output than the trace says.
//
//     const Result r = run(options);
//     expect_report(r, "segduet", "segduet: shmget(key 2009): Invalid argument\n", "shmget");
#pragma once

#include "run.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

namespace ipclab {

// True when program(name) is our own build of the program.
inline bool ours(std::string_view name)
{
    const std::string built = std::string(IPCLAB_BINARY_DIR) + "/" + std::string(name);
    char used[PATH_MAX];
    char mine[PATH_MAX];
    return realpath(program(name).c_str(), used) != nullptr && realpath(built.c_str(), mine) != nullptr &&
           std::string_view(used) == mine;
}

// For failure messages: the outputs that would have done, one line each,
// which tools/check sets beside the output that came.
inline std::string expected_stdout(const std::set<std::string>& outputs)
{
    std::string lines;
    for (const std::string& out : outputs)
        lines += "\n  expected stdout: " + ::testing::PrintToString(out);
    return lines;
}

// Whether `report` names `call`, in any case ("Fork failed" names fork).
inline bool names(std::string_view report, std::string_view call)
{
    const auto lower = [](std::string_view text) {
        std::string s(text);
        for (char& c : s)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    return lower(report).find(lower(call)) != std::string::npos;
}

// Checks a run that should have reported a failure of `call`: its status,
// its standard output, and its report on standard error (word for word
// `exact` from our own build of `name`, else one that names `call` in any
// case; where
// `exact` is empty, nothing at all).
inline void expect_report(const Result& r, std::string_view name, std::string_view exact,
                          std::string_view call, int status = 1, std::string_view out = "")
{
    const int exit_status = r.status;
    const std::string& standard_output = r.out;
    const std::string& standard_error = r.err;
    EXPECT_EQ(exit_status, status) << name;
    EXPECT_EQ(standard_output, out) << name;
    if (exact.empty() || ours(name))
        EXPECT_EQ(standard_error, exact) << name;
    else
        EXPECT_TRUE(names(standard_error, call))
            << name << ": the report on standard error names no " << call
            << "\n  stderr: " << ::testing::PrintToString(standard_error);
}

}  // namespace ipclab
