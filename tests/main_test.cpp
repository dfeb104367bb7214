// Runs the daemon binary as an operator would and checks what it prints.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Result {
    std::string out;
    int status;
};

Result run(const std::string& args) {
    std::string cmd = std::string(ORREL_BINARY) + " " + args + " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    Result r{"", -1};
    if (p == nullptr)
        return r;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
        r.out.append(buf.data(), n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

std::vector<std::string> lines(const std::string& s) {
    std::vector<std::string> v;
    std::istringstream in(s);
    std::string l;
    while (std::getline(in, l))
        v.push_back(l);
    return v;
}

void expectReport(const std::string& out) {
    auto l = lines(out);
    ASSERT_EQ(l.size(), 9u) << out;
    EXPECT_TRUE(std::regex_match(l[0], std::regex("Version [0-9]+\\.[0-9]+\\.[0-9]+"))) << l[0];
    EXPECT_EQ(l[1], "");
    EXPECT_EQ(l[2].rfind("  repository: ", 0), 0u) << l[2];
    EXPECT_EQ(l[3].rfind("   changeset: ", 0), 0u) << l[3];
    EXPECT_EQ(l[4].rfind("last changed: ", 0), 0u) << l[4];
    EXPECT_EQ(l[5].rfind("          by: ", 0), 0u) << l[5];
    EXPECT_EQ(l[6], "");
    EXPECT_TRUE(std::regex_match(l[7], std::regex("Release built .+ using GCC [0-9]+\\.[0-9]+\\.[0-9]+")))
        << l[7];
    EXPECT_TRUE(std::regex_match(l[8], std::regex("at .+ by .*"))) << l[8];
}

TEST(Orrel, InfoPrintsReportAndExits) {
    Result r = run("--info --cfg_db=/nonexistent/cfg.db --status_db=/nonexistent/status.db --rxif=nosuchif");
    EXPECT_EQ(r.status, 0);
    expectReport(r.out);
}

TEST(Orrel, InfoWithDaemonStaysInForeground) {
    Result r = run("--info --daemon");
    EXPECT_EQ(r.status, 0);
    expectReport(r.out);
}

TEST(Orrel, HelpListsEveryFlagWithDefault) {
    Result r = run("--help");
    // gflags wraps long lines; compare with all white space runs folded to one blank.
    std::string help = std::regex_replace(r.out, std::regex("\\s+"), " ");
    struct Flag {
        const char* name;
        const char* help;
        const char* type;
        const char* def;
    };
    const Flag flags[] = {
        {"info", "Print verbose version information and exit", "bool", "false"},
        {"daemon", "Run as a daemon", "bool", "false"},
        {"rxif", "RX ethernet interfaces, comma separated", "string", "\"eth1\""},
        {"txif", "TX ethernet interfaces, comma separated", "string", "\"eth1\""},
        {"cfg_db", "Full path (including filename) to configuration database", "string",
         "\"/etc/mux/mux_config.db\""},
        {"status_db", "Full path (including filename) to status database", "string",
         "\"/etc/mux/mux_status.db\""},
        {"saveinput", "Save input stream to file", "string", "\"\""},
        {"pcr_verbose_sid", "Verbose PCR debug for this SID", "int32", "-1"},
        {"tx_verbose_sid", "Verbose PCR debug for this SID", "int32", "-1"},
        {"non_pcr_interframe_gap", "Minimal interframe gap for outgoing ethernet frames (in TSC units).",
         "int32", "2200"},
        {"tx_delay", "Insert delay for outgoing packets in [ms]", "int32", "150"},
    };
    for (const auto& f : flags) {
        std::string expected =
            std::string("-") + f.name + " (" + f.help + ") type: " + f.type + " default: " + f.def;
        EXPECT_NE(help.find(expected), std::string::npos) << "missing: " << expected;
    }
}

}  // namespace
