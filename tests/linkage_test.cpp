// Every demonstration and every peer links against the C library alone: no
// libstdc++, libm or libgcc_s behind a program that only uses stdio and
// system calls.
#include "run.hpp"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ipclab {
namespace {

// The executables built into build/ (the demonstrations) or build/peers/,
// as names for program(): "copysplit", "peers/parleylead".
std::vector<std::string> built_programs(const std::string& subdirectory)
{
    std::vector<std::string> names;
    DIR* dir = opendir(program(subdirectory).c_str());
    if (dir == nullptr)
        return names;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = subdirectory + entry->d_name;
        struct stat st = {};
        if (entry->d_name[0] != '.' && stat(program(name).c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            (st.st_mode & S_IXUSR) != 0)
            names.push_back(name);
    }
    closedir(dir);
    return names;
}

TEST(Linkage, EveryProgramAndPeerNeedsLibcAlone)
{
    if (sanitized_build())
        GTEST_SKIP() << "sanitizer runtimes are linked in on purpose";
    std::vector<std::string> names = built_programs("");
    ASSERT_GE(names.size(), 4U) << "no programs found in " << IPCLAB_BINARY_DIR;
    const std::vector<std::string> peers = built_programs("peers/");
    ASSERT_GE(peers.size(), 2U) << "no peers found in " << IPCLAB_BINARY_DIR << "/peers";
    names.insert(names.end(), peers.begin(), peers.end());
    for (const std::string& name : names) {
        Options options;
        options.argv = {"/usr/bin/readelf", "--dynamic", program(name)};
        const Result r = run(options);
        ASSERT_EQ(r.status, 0) << r.describe();
        std::vector<std::string> needed;
        for (std::size_t at = r.out.find("(NEEDED)"); at != std::string::npos;
             at = r.out.find("(NEEDED)", at + 1)) {
            const std::size_t open = r.out.find('[', at);
            const std::size_t close = r.out.find(']', open);
            needed.push_back(r.out.substr(open + 1, close - open - 1));
        }
        EXPECT_EQ(needed, std::vector<std::string>{"libc.so.6"}) << name;
    }
}

}  // namespace
}  // namespace ipclab
