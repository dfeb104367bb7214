#include "testbed.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <string>

namespace {

bool namespaceExists(const std::string& name) {
    struct stat st;
    return stat(("/run/netns/" + name).c_str(), &st) == 0;
}

ino_t currentNetns() {
    struct stat st;
    EXPECT_EQ(stat("/proc/thread-self/ns/net", &st), 0);
    return st.st_ino;
}

TEST(Testbed, NamespacesVethsAndEntry) {
    std::string name;
    {
        testbed::Namespace left("left"), right("right");
        name = left.name();
        EXPECT_TRUE(namespaceExists(name));
        EXPECT_NE(left.name(), right.name());
        testbed::Veth veth = testbed::connect(left, right);
        EXPECT_LE(veth.a.size(), 15u);
        EXPECT_EQ(left.exec("ip link show " + veth.a + " | grep -q UP"), 0);
        EXPECT_EQ(right.exec("ip link show " + veth.b + " | grep -q UP"), 0);
        EXPECT_NE(left.exec("ip link show " + veth.b + " 2>/dev/null"), 0);
        left.addAddress(veth.a, "198.18.1.1/24");
        right.addAddress(veth.b, "198.18.1.2/24");
        left.addRoute("239.0.0.0/8", veth.a);
        std::string out;
        EXPECT_EQ(left.exec("ip route get 239.1.1.1", &out), 0);
        EXPECT_NE(out.find("dev " + veth.a), std::string::npos) << out;
        EXPECT_EQ(left.exec("ip route get 198.18.1.2", &out), 0);
        EXPECT_NE(out.find("dev " + veth.a), std::string::npos) << out;
        EXPECT_EQ(right.exec("echo hello", &out), 0);
        EXPECT_EQ(out, "hello\n");
        EXPECT_THROW(left.must("false"), std::runtime_error);

        const ino_t home = currentNetns();
        {
            testbed::EnterNamespace in(left);
            EXPECT_NE(currentNetns(), home);
        }
        EXPECT_EQ(currentNetns(), home);
    }
    EXPECT_FALSE(namespaceExists(name));
}

TEST(Testbed, SpawnedProgramsAreStopped) {
    testbed::Namespace ns("spawn");
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = ns.spawn("sleep 30");
    ASSERT_GT(pid, 0);
    EXPECT_EQ(kill(pid, 0), 0);
    ns.stop(pid);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_NE(kill(pid, 0), 0);
}

// A test that dies of a signal still removes what it made.
TEST(Testbed, RemovedWhenTheProcessDiesOfASignal) {
    char path[] = "/tmp/orrel_testbed_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EXIT(
        {
            testbed::Namespace ns("doomed");
            std::ofstream(path) << ns.name();
            raise(SIGTERM);
        },
        ::testing::KilledBySignal(SIGTERM), "");
    std::string name;
    std::ifstream(path) >> name;
    unlink(path);
    ASSERT_FALSE(name.empty());
    EXPECT_FALSE(namespaceExists(name)) << name;
}

}  // namespace
