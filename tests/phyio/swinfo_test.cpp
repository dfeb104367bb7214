// swinfo run as an operator runs it, against the simulated switch and its address table.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "phyio/simbus.h"

namespace {

using Args = std::vector<std::string>;
using Lines = std::vector<std::string>;

// Table reading enabled, three learned addresses (entry address = octet 6 + (octet 5 & 3) * 256).
const char kTable[] =
    "reg 0 0x13 0x0800\n"
    "mac 0x55 00:11:22:33:44:55 3\n"
    "mac 0x355 00:11:22:33:47:55 12\n"
    "mac 0x123 22:33:44:55:01:23 6\n";

class Swinfo : public ::testing::Test {
  protected:
    ToolRun swinfo(const Args& args) { return bus.run(SWINFO_BIN, args); }
    SimBus bus;
};

TEST_F(Swinfo, ReadLutOneLatchesTheAddressAndWaitsWhileBusy) {
    bus.config(kTable);
    ToolRun r = swinfo({"-o", "read-lut-one", "-n", "simeth0", "-i", "0x123"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "0x0006230155443322\n");
    EXPECT_EQ(r.err, "");
    const Lines expected = {
        "R simeth0 0x00 0x13 0x0800", "W simeth0 0x07 0x12 0x2301", "W simeth0 0x07 0x10 0xffff",
        "R simeth0 0x07 0x10 0x0002", "R simeth0 0x07 0x10 0x0002", "R simeth0 0x07 0x10 0x0000",
        "R simeth0 0x07 0x14 0x3322", "R simeth0 0x07 0x13 0x5544", "R simeth0 0x07 0x12 0x2301",
        "R simeth0 0x07 0x11 0x0006",
    };
    EXPECT_EQ(r.log, expected);
}

TEST_F(Swinfo, ReadLutOneWaitsOutALongBusyPeriod) {
    bus.config(std::string(kTable) + "busy 40\n");
    ToolRun r = swinfo({"-o", "read-lut-one", "-n", "simeth0", "-i", "0x55"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "0x0003554433221100\n");
    EXPECT_EQ(r.requests("R simeth0 0x07 0x10 0x0002").size(), 40u);
}

TEST_F(Swinfo, EnablesTableReadingKeepingTheOtherBits) {
    bus.config("reg 0 0x13 0x0041\nmac 0 00:11:22:33:44:00 5\n");
    ToolRun r = swinfo({"-V", "-o", "read-lut-one", "-n", "simeth0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "DBG oper: 1 nic: simeth0 phyid: 0xffff \n"
              "enabling lookup reading\n"
              "0x0005004433221100\n"
              "0x0005004433221100\n");
    const Lines writes = {"W simeth0 0x00 0x13 0x0841", "W simeth0 0x07 0x12 0x0000",
                          "W simeth0 0x07 0x10 0xffff"};
    EXPECT_EQ(r.writes(), writes);
}

TEST_F(Swinfo, UnreadableEnableRegisterIsNotOverwritten) {
    bus.config(std::string(kTable) + "fail-read 0 0x13\n");
    ToolRun r = swinfo({"-o", "read-lut-one", "-n", "simeth0", "-i", "0x55"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "0x0003554433221100\n");
    EXPECT_TRUE(r.requests("W simeth0 0x00").empty());
}

TEST_F(Swinfo, ReadLutOneFailures) {
    // Each failure ends the operation at the request that failed.
    struct Case {
        const char* config;
        const char* nic;
        const char* why;
        const char* last;
    } cases[] = {
        // A latch that did not take would hand back another entry: no read may start.
        {"fail-write 7 0x12\n", "simeth0", ": Input/output error\n", "W simeth0 0x07 0x12 EIO"},
        {"fail-write 7 0x10\n", "simeth0", ": Input/output error\n", "W simeth0 0x07 0x10 EIO"},
        {"fail-read 7 0x10\n", "simeth0", ": Input/output error\n", "R simeth0 0x07 0x10 EIO"},
        {"fail-read 7 0x11\n", "simeth0", ": Input/output error\n", "R simeth0 0x07 0x11 EIO"},
        {"fail-entry 0x55\n", "simeth0", ": Input/output error\n", "R simeth0 0x07 0x14 EIO"},
        {"", "lo", ": Operation not supported\n", "W lo 0x07 0x12 EOPNOTSUPP"},
        {"", "nosuchif0", ": No such device\n", "W nosuchif0 0x07 0x12 ENODEV"},
    };
    for (const auto& c : cases) {
        bus.config(std::string(kTable) + c.config);
        ToolRun r = swinfo({"-o", "read-lut-one", "-n", c.nic, "-i", "0x55"});
        SCOPED_TRACE(std::string(c.config) + c.nic);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        const std::string tail =
            std::string(" error reading register\n") + c.why + "error writing register\n" + c.why;
        ASSERT_GE(r.err.size(), tail.size());
        EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail);
        ASSERT_FALSE(r.log.empty());
        EXPECT_EQ(r.log.back(), c.last);
    }
}

TEST_F(Swinfo, ReadLutAllListsEntriesWithANonZeroLowWord) {
    bus.config(
        "reg 0 0x13 0x0800\n"
        "mac 0 02:00:00:00:00:00 1\n"
        "mac 5 00:11:22:33:00:05 15\n"
        "lut 7 0x00050000 0\n"  // only the high word: not listed
        "mac 1023 aa:bb:cc:dd:03:ff 2\n");
    ToolRun r = swinfo({"-o", "read-lut-all", "-n", "simeth0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "0 src mac: 02:00:00:00:00:00 physical port: 1 0x0001000000000002\n"
              "5 src mac: 00:11:22:33:00:05 physical port: 15 0x000f050033221100\n"
              "1023 src mac: aa:bb:cc:dd:03:ff physical port: 2 0x0002ff03ddccbbaa\n");
    auto latches = r.requests("W simeth0 0x07 0x12");
    ASSERT_EQ(latches.size(), 1024u);
    EXPECT_EQ(latches[1], "W simeth0 0x07 0x12 0x0100");
    EXPECT_EQ(latches[0x2ff], "W simeth0 0x07 0x12 0xff02");
    EXPECT_EQ(r.requests("W simeth0 0x07 0x10 0xffff").size(), 1024u);
}

TEST_F(Swinfo, ReadLutAllGoesOnAfterAFailedEntryAndReportsIt) {
    bus.config(
        "reg 0 0x13 0x0800\n"
        "mac 3 00:11:22:33:00:03 1\n"
        "fail-entry 4\n"
        "mac 5 00:11:22:33:00:05 2\n");
    ToolRun r = swinfo({"-o", "read-lut-all", "-n", "simeth0"});
    EXPECT_EQ(r.out,
              "3 src mac: 00:11:22:33:00:03 physical port: 1 0x0001030033221100\n"
              "Error reading entry no 4\n"
              "5 src mac: 00:11:22:33:00:05 physical port: 2 0x0002050033221100\n");
    EXPECT_EQ(r.err, " error reading register\n: Input/output error\n");
    // Not the whole table: the status must not claim success.
    EXPECT_EQ(r.status, 1);
}

TEST_F(Swinfo, SeekForMacAnswersWithThePort) {
    struct Case {
        const char* mac;
        int status;
        const char* latch;
    } cases[] = {
        {"00:11:22:33:44:55", 3, "0x5500"},   {"00:11:22:33:47:55", 12, "0x5503"},
        {"22:33:44:55:01:23", 6, "0x2301"},   {"0:11:22:33:44:55", 3, "0x5500"},
        {"00:11:22:33:144:55", 3, "0x5500"},   // the low 8 bits of each number count
        {"00:11:22:33:44:56", 254, "0x5600"},  // empty entry
        {"01:11:22:33:44:55", 254, "0x5500"},  // another address in the entry
    };
    bus.config(kTable);
    for (const auto& c : cases) {
        ToolRun r = swinfo({"-o", "seek-for-mac", "-n", "simeth0", "-m", c.mac});
        SCOPED_TRACE(c.mac);
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        auto latches = r.requests("W simeth0 0x07 0x12");
        ASSERT_EQ(latches.size(), 1u);
        EXPECT_EQ(latches[0], std::string("W simeth0 0x07 0x12 ") + c.latch);
    }
}

TEST_F(Swinfo, SeekForMacReadFailure) {
    bus.config(std::string(kTable) + "fail-entry 0x55\n");
    for (const char* nic : {"simeth0", "lo"}) {
        ToolRun r = swinfo({"-o", "seek-for-mac", "-n", nic, "-m", "00:11:22:33:44:55"});
        SCOPED_TRACE(nic);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "-1\n");
    }
}

TEST_F(Swinfo, MalformedMacIsRefused) {
    for (const char* mac : {"00:11:22:33:44", "00:11:22:33:44:55:66", "00:11:22:33:44:5g",
                            "00-11-22-33-44-55", "zz:11:22:33:44:55", ""}) {
        ToolRun r = swinfo({"-o", "seek-for-mac", "-n", "simeth0", "-m", mac});
        SCOPED_TRACE(mac);
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, std::string("invalid MAC address '") + mac +
                             "': expected six hex numbers as xx:xx:xx:xx:xx:xx\n");
        EXPECT_TRUE(r.log.empty());
    }
}

TEST_F(Swinfo, PhyStatusPrintsNineLinesFromControlAndStatus) {
    bus.config(
        "reg 0 0 0x3100\nreg 0 1 0x782d\n"
        "reg 2 0 0x2000\nreg 2 1 0x0004\n"
        "reg 3 0 0x1100\nreg 3 1 0xfffb\n"
        "reg 8 0 0x3000\nreg 8 1 0x0004\n"
        "reg 9 0 0x3100\nreg 9 1 0x0004\n");
    ToolRun r = swinfo({"-o", "phy-status", "-n", "simeth0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "PHY 0: Autoneg: enabled \t speed: 100\t duplex: full\t link detected: yes\n"
              "PHY 1: Autoneg: disabled\t speed: 10\t duplex: half\t link detected: no \n"
              "PHY 2: Autoneg: disabled\t speed: 100\t duplex: half\t link detected: yes\n"
              "PHY 3: Autoneg: enabled \t speed: 10\t duplex: full\t link detected: no \n"
              "PHY 4: Autoneg: disabled\t speed: 10\t duplex: half\t link detected: no \n"
              "PHY 5: Autoneg: disabled\t speed: 10\t duplex: half\t link detected: no \n"
              "PHY 6: Autoneg: disabled\t speed: 10\t duplex: half\t link detected: no \n"
              "PHY 7: Autoneg: disabled\t speed: 10\t duplex: half\t link detected: no \n"
              "PHY 8: Autoneg: enabled \t speed: 100\t duplex: half\t link detected: yes\n");
    EXPECT_EQ(r.log.size(), 18u);
    EXPECT_TRUE(r.writes().empty());
}

TEST_F(Swinfo, PhyStatusFailure) {
    ToolRun r = swinfo({"-o", "phy-status", "-n", "lo"});
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              " error reading register\n: Operation not supported\n"
              "error performing operation\n: Operation not supported\n");

    bus.config("fail-read 5 1\n");
    r = swinfo({"-o", "phy-status", "-n", "simeth0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(splitLines(r.out).size(), 5u);
    EXPECT_EQ(
        r.err,
        " error reading register\n: Input/output error\nerror performing operation\n: Input/output error\n");
}

TEST_F(Swinfo, VlanStatusDoesNothing) {
    ToolRun r = swinfo({"-o", "vlan-status", "-n", "simeth0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.log.empty());
}

TEST_F(Swinfo, BadArgumentsAreRefusedBeforeAnyAccess) {
    const Args cases[] = {
        {"-n", "simeth0"},
        {"-o", "phy-status"},
        {"-o", "read-lut", "-n", "simeth0"},
        {"-o", "seek-for-mac", "-n", "simeth0"},  // no MAC to seek
        {"-o", "read-lut-one", "-n", "simeth0", "-i", "0x400"},
        {"-o", "read-lut-one", "-n", "simeth0", "-i", "-1"},
        {"-o", "read-lut-one", "-n", "simeth0", "-i", "1z"},
        {"-o", "phy-status", "-n", "simeth0", "-p", "x"},
    };
    for (const auto& args : cases) {
        ToolRun r = swinfo(args);
        SCOPED_TRACE(testing::PrintToString(args));
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "one of the arguments is invalid\n");
        EXPECT_TRUE(r.log.empty());
    }
}

TEST_F(Swinfo, HelpPrintsUsageAndUnknownOptionAborts) {
    const std::string usage =
        "swinfo: simple app that allows talking with PHY IC and Realtek 830x switches\n"
        "Usage:\n"
        "\tswinfo -o operation -p phyid -r register -v value\n"
        "\t\t-o - operation \n"
        "\t\t\t- read-lut-one - \n"
        "\t\t\t- read-lut-all - \n"
        "\t\t\t- seek-for-mac - \n"
        "\t\t\t- phy-status   - \n"
        "\t\t\t- vlan-status  - \n"
        "\t\t-n - network interface controller i.e. eth0\n"
        "\t\t-m - mac addr in format xx:xx:xx:xx:xx:xx\n"
        "\t\t-p - phyid in hex i.e. 0x4\n"
        "\t\t-r - register number in hex i.e. 0x0a\n"
        "\t\t-v - value (mandatory for write, set, clear\n";
    for (const char* opt : {"-h", "-?"}) {
        ToolRun r = swinfo({"-o", "phy-status", "-n", "simeth0", opt});
        SCOPED_TRACE(opt);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, usage);
        EXPECT_TRUE(r.log.empty());
    }
    // -r belongs to phyreg only.
    ToolRun r = swinfo({"-o", "phy-status", "-n", "simeth0", "-r", "1"});
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.status, SIGABRT);
    EXPECT_EQ(r.out, "Unrecognized option\n");
    EXPECT_TRUE(r.log.empty());
}

}  // namespace
