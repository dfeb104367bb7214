// Debug files live in world-writable directories of a daemon that runs as root: nothing planted
// there may make it write or truncate a file elsewhere.
#include "debugfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

namespace {

struct TempDir {
    TempDir() {
        char tmpl[] = "/tmp/debugfile_test.XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string path;
};

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

TEST(DebugFile, CreatesOrTruncatesPlainFiles) {
    TempDir dir;
    const std::string fresh = dir.path + "/fresh.log";
    FILE* f = utils::open_debug_file(fresh);
    ASSERT_NE(f, nullptr);
    fputs("one\n", f);
    fclose(f);
    EXPECT_EQ(readText(fresh), "one\n");
    struct stat st;
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    // An earlier run's file is started afresh.
    writeText(fresh, "a much longer earlier content\n");
    f = utils::open_debug_file(fresh);
    ASSERT_NE(f, nullptr);
    fputs("two\n", f);
    fclose(f);
    EXPECT_EQ(readText(fresh), "two\n");
}

TEST(DebugFile, RefusesWhatOthersMayHavePlanted) {
    TempDir dir;
    const std::string victim = dir.path + "/victim";
    const std::string victim_dir = dir.path + "/victim_dir";
    ASSERT_EQ(mkdir(victim_dir.c_str(), 0755), 0);
    struct Case {
        const char* what;
        std::function<void(const std::string&)> plant;  // at dir/planted
        std::string opened;                             // relative to dir
        int error;
    };
    const Case cases[] = {
        {"symbolic link to a file",
         [&](const std::string& p) { ASSERT_EQ(symlink(victim.c_str(), p.c_str()), 0); }, "planted", ELOOP},
        {"dangling symbolic link",
         [&](const std::string& p) { ASSERT_EQ(symlink((dir.path + "/nowhere").c_str(), p.c_str()), 0); },
         "planted", ELOOP},
        {"hard link to a file", [&](const std::string& p) { ASSERT_EQ(link(victim.c_str(), p.c_str()), 0); },
         "planted", EPERM},
        {"symbolic link as the directory",
         [&](const std::string& p) { ASSERT_EQ(symlink(victim_dir.c_str(), p.c_str()), 0); }, "planted/x.log",
         ENOTDIR},
        // Without a reader it is refused when opened, before it could block.
        {"named pipe", [&](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0666), 0); }, "planted",
         ENXIO},
        {"directory", [&](const std::string& p) { ASSERT_EQ(mkdir(p.c_str(), 0755), 0); }, "planted", EISDIR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeText(victim, "precious\n");
        const std::string planted = dir.path + "/planted";
        std::system(("rm -rf '" + planted + "'").c_str());
        c.plant(planted);
        const auto start = std::chrono::steady_clock::now();
        errno = 0;
        FILE* f = utils::open_debug_file(dir.path + "/" + c.opened);
        EXPECT_EQ(f, nullptr);
        if (f != nullptr)
            fclose(f);
        // A symbolic link as the directory gives ELOOP or ENOTDIR depending on the kernel.
        if (c.error == ENOTDIR)
            EXPECT_TRUE(errno == ENOTDIR || errno == ELOOP) << errno;
        else
            EXPECT_EQ(errno, c.error);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_EQ(readText(victim), "precious\n");
        EXPECT_EQ(access((dir.path + "/nowhere").c_str(), F_OK), -1);
        EXPECT_EQ(access((victim_dir + "/x.log").c_str(), F_OK), -1);
    }
}

}  // namespace
