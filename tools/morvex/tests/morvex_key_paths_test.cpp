// The installed tool reads its key from three fixed paths and nowhere else. strace shows the
// one it tries for each selector; a build configured with another key directory is skipped.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "runProcess.h"

namespace {

const std::string fixedKeyDir = "/export/home/tarnuser/TARN/BIN";

// Paths of every openat the tool made below the key directory or of a key-file name.
std::vector<std::string> keyFileOpens(const std::string& trace) {
    std::vector<std::string> paths;
    std::istringstream lines(trace);
    for (std::string line; std::getline(lines, line);) {
        const size_t call = line.find("openat(");
        if (call == std::string::npos) continue;
        const size_t start = line.find('"', call);
        const size_t end = line.find('"', start + 1);
        if (start == std::string::npos || end == std::string::npos) continue;
        const std::string path = line.substr(start + 1, end - start - 1);
        if (path.rfind(fixedKeyDir, 0) == 0 || path.find("genericKey") != std::string::npos) {
            paths.push_back(path);
        }
    }
    return paths;
}

struct PathRow {
    std::vector<std::string> selector;
    std::vector<std::string> opened;
};

TEST(KeyPaths, DefaultBuildOpensExactlyTheFixedPaths) {
    if (std::string(MORVEX_KEY_DIR) != fixedKeyDir) {
        GTEST_SKIP() << "built with key directory " << MORVEX_KEY_DIR;
    }
    const PathRow rows[] = {
        {{}, {"/export/home/tarnuser/TARN/BIN/.genericKey.dat"}},
        {{"N"}, {"/export/home/tarnuser/TARN/BIN/.genericKey.dat"}},
        {{"Y"}, {"/export/home/tarnuser/TARN/BIN/.genericKey.dat.default"}},
        {{"PG"}, {"/export/home/tarnuser/TARN/BIN/.pg.genericKey.dat"}},
        {{"pg"}, {}},
        {{"other"}, {}},
    };
    for (const PathRow& row : rows) {
        SCOPED_TRACE(row.selector.empty() ? std::string("(absent)") : row.selector[0]);
        std::vector<std::string> args = {"/usr/bin/strace", "-f", "-e", "trace=openat",
                                         MORVEX_BINARY,     "-d", "@@"};
        args.insert(args.end(), row.selector.begin(), row.selector.end());
        const ProcessResult r = runProcess(args);
        EXPECT_EQ(keyFileOpens(r.err), row.opened) << r.err;
    }
}

}  // namespace
