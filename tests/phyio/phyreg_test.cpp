// phyreg and the library under it, run as an operator runs them, against the simulated bus.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "phyio/simbus.h"

namespace {

using Args = std::vector<std::string>;

const char kNoDevice[] = ": No such device\n";
const char kNotSupported[] = ": Operation not supported\n";

class Phyreg : public ::testing::Test {
  protected:
    ToolRun phyreg(const Args& args) { return bus.run(PHYREG_BIN, args); }
    SimBus bus;
};

TEST_F(Phyreg, ReadPrintsFourLowerCaseHexDigits) {
    bus.config("reg 4 1 0x796d\nreg 4 2 0x000a\n");
    ToolRun r = phyreg({"-o", "read", "-n", "simeth0", "-p", "0x4", "-r", "0x01"});
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "0x796d\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.log, std::vector<std::string>{"R simeth0 0x04 0x01 0x796d"});

    r = phyreg({"-o", "read", "-n", "simeth0", "-p", "4", "-r", "2"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "0x000a\n");
}

TEST_F(Phyreg, PhyAddressIsMaskedToFiveBits) {
    bus.config("reg 4 1 0x1234\nreg 0 1 0x5678\n");
    ToolRun r = phyreg({"-o", "read", "-n", "simeth0", "-p", "0x24", "-r", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "0x1234\n");

    r = phyreg({"-o", "write", "-n", "simeth0", "-p", "0x3f", "-r", "0x1f", "-v", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.writes(), std::vector<std::string>{"W simeth0 0x1f 0x1f 0x0001"});
}

TEST_F(Phyreg, WritesSetsAndClears) {
    bus.config("reg 1 0 0x1140\n");
    struct Case {
        Args args;
        std::vector<std::string> log;
    } cases[] = {
        {{"-o", "write", "-v", "0x1234"}, {"W simeth0 0x01 0x00 0x1234"}},
        // Without -v a write writes the default value.
        {{"-o", "write"}, {"W simeth0 0x01 0x00 0xffff"}},
        {{"-o", "set", "-v", "0x0800"}, {"R simeth0 0x01 0x00 0x1140", "W simeth0 0x01 0x00 0x1940"}},
        {{"-o", "clear", "-v", "0x1000"}, {"R simeth0 0x01 0x00 0x1140", "W simeth0 0x01 0x00 0x0140"}},
        // Setting bits already set and clearing bits already clear still write the register back.
        {{"-o", "set", "-v", "0x0100"}, {"R simeth0 0x01 0x00 0x1140", "W simeth0 0x01 0x00 0x1140"}},
        {{"-o", "clear", "-v", "0x8000"}, {"R simeth0 0x01 0x00 0x1140", "W simeth0 0x01 0x00 0x1140"}},
    };
    for (const auto& c : cases) {
        Args args = c.args;
        args.insert(args.end(), {"-n", "simeth0", "-p", "1", "-r", "0"});
        ToolRun r = phyreg(args);
        SCOPED_TRACE(args[1]);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.log, c.log);
    }
}

TEST_F(Phyreg, DebugLineShowsTheRequest) {
    bus.config("reg 4 1 0x796d\n");
    ToolRun r = phyreg({"-V", "-o", "read", "-n", "simeth0", "-p", "0x24", "-r", "0x01"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "DBG oper: 1 nic: simeth0 phyid: 0x0004 reg: 0x0001 val: 0xffff\n0x796d\n");
}

TEST_F(Phyreg, BadArgumentsAreRefusedBeforeAnyAccess) {
    const Args cases[] = {
        {"-o", "clean", "-n", "simeth0", "-p", "1", "-r", "0", "-v", "0x1000"},
        {"-o", "read", "-n", "simeth0", "-p", "1"},  // no register
        {"-o", "read", "-p", "1", "-r", "0"},        // no interface
        {"-o", "read", "-n", "simeth0", "-r", "0"},  // no PHY
        {"-n", "simeth0", "-p", "1", "-r", "0"},     // no operation
        {"-o", "read", "-n", "simeth0", "-p", "1", "-r", "0xffff"},
        // Text that is not a hexadecimal number in full must not become register or PHY 0.
        {"-o", "write", "-n", "simeth0", "-p", "1", "-r", "0x1g", "-v", "0"},
        {"-o", "write", "-n", "simeth0", "-p", "phy1", "-r", "0", "-v", "0"},
        {"-o", "write", "-n", "simeth0", "-p", "1", "-r", "", "-v", "0"},
        {"-o", "write", "-n", "simeth0", "-p", "1", "-r", "0", "-v", "0x800 "},
        // Neither fits a 16-bit register.
        {"-o", "write", "-n", "simeth0", "-p", "1", "-r", "0", "-v", "0x10000"},
        {"-o", "write", "-n", "simeth0", "-p", "1", "-r", "0x10000", "-v", "0"},
    };
    for (const auto& args : cases) {
        ToolRun r = phyreg(args);
        SCOPED_TRACE(testing::PrintToString(args));
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "one of the arguments is invalid\n");
        EXPECT_TRUE(r.log.empty());
    }
}

TEST_F(Phyreg, LibraryFailureGivesBothMessagesAndStatus255) {
    struct Case {
        Args args;
        std::string tool_text;
        char request;  // set and clear stop after their failed read
    } cases[] = {
        {{"-o", "read"}, "error reading register\n", 'R'},
        {{"-o", "write", "-v", "1"}, "error writing register\n", 'W'},
        {{"-o", "set", "-v", "1"}, "error setting bit\n", 'R'},
        {{"-o", "clear", "-v", "1"}, "error setting bit\n", 'R'},
    };
    for (const auto& c : cases) {
        for (std::string nic : {"nosuchif0", "lo"}) {
            Args args = c.args;
            args.insert(args.end(), {"-n", nic, "-p", "1", "-r", "0"});
            ToolRun r = phyreg(args);
            SCOPED_TRACE(testing::PrintToString(args));
            std::string why = nic == "lo" ? kNotSupported : kNoDevice;
            EXPECT_TRUE(r.exited);
            EXPECT_EQ(r.status, 255);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, " error reading register\n" + why + c.tool_text + why);
            std::string logged = std::string(1, c.request) + " " + nic + " 0x01 0x00 " +
                                 (nic == "lo" ? "EOPNOTSUPP" : "ENODEV");
            EXPECT_EQ(r.log, std::vector<std::string>{logged});
        }
    }
}

TEST_F(Phyreg, FailedReadLeavesTheRegisterUnwritten) {
    bus.config("reg 1 0 0x1140\nfail-read 1 0\n");
    for (const char* op : {"set", "clear"}) {
        ToolRun r = phyreg({"-o", op, "-n", "simeth0", "-p", "1", "-r", "0", "-v", "0x0800"});
        SCOPED_TRACE(op);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.log, std::vector<std::string>{"R simeth0 0x01 0x00 EIO"});
        EXPECT_EQ(r.err,
                  " error reading register\n: Input/output error\nerror setting bit\n: Input/output error\n");
    }
}

TEST_F(Phyreg, FailedWriteIsReported) {
    bus.config("reg 1 0 0x1140\nfail-write 1 0\n");
    ToolRun r = phyreg({"-o", "set", "-n", "simeth0", "-p", "1", "-r", "0", "-v", "0x0800"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.log, (std::vector<std::string>{"R simeth0 0x01 0x00 0x1140", "W simeth0 0x01 0x00 EIO"}));
    EXPECT_EQ(r.err,
              " error reading register\n: Input/output error\nerror setting bit\n: Input/output error\n");
}

// The kernel keeps only the first 15 characters of a name; a longer name must not reach the
// interface that happens to carry its first 15.
TEST(PhyregNames, LongerThanFifteenCharactersIsRefused) {
    SimBus bus("simeth012345678");
    ToolRun r =
        bus.run(PHYREG_BIN, {"-o", "write", "-n", "simeth012345678", "-p", "1", "-r", "0", "-v", "0x0800"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.writes(), std::vector<std::string>{"W simeth012345678 0x01 0x00 0x0800"});

    for (const char* op : {"read", "write", "set", "clear"}) {
        r = bus.run(PHYREG_BIN, {"-o", op, "-n", "simeth012345678X", "-p", "1", "-r", "0", "-v", "0x0800"});
        SCOPED_TRACE(op);
        EXPECT_EQ(r.status, 255);
        EXPECT_TRUE(r.log.empty()) << r.log.front();
        EXPECT_EQ(r.err.rfind(" error reading register\n: File name too long\n", 0), 0u) << r.err;
    }
}

TEST_F(Phyreg, HelpPrintsUsage) {
    const std::string usage =
        "phyreg: simple app that allows talking with PHY IC and Realtek 830x switches\n"
        "Usage:\n"
        "\tphyreg -o operation -p phyid -r register -v value\n"
        "\t\t-o - operation\n"
        "\t\t\t- read  - read register\n"
        "\t\t\t- write - write to register\n"
        "\t\t\t- set   - set bit in register (given by mask)\n"
        "\t\t\t- clean - clear bit in register (given by mask)\n"
        "\t\t-n - network interface controller i.e. eth0\n"
        "\t\t-p - phyid in hex i.e. 0x4\n"
        "\t\t-r - register number in hex i.e. 0x0a\n"
        "\t\t-v - value (mandatory for write, set, clear\n";
    for (const char* opt : {"-h", "-?"}) {
        ToolRun r = phyreg({"-o", "read", opt, "-n", "simeth0", "-p", "1", "-r", "0"});
        SCOPED_TRACE(opt);
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, usage);
        EXPECT_TRUE(r.log.empty());
    }
}

TEST_F(Phyreg, UnknownOptionAborts) {
    for (const Args& args : {Args{"-x", "-o", "read"}, Args{"-o", "read", "-n"}}) {
        ToolRun r = phyreg(args);
        SCOPED_TRACE(args[0]);
        EXPECT_FALSE(r.exited);
        EXPECT_EQ(r.status, SIGABRT);
        EXPECT_EQ(r.out, "Unrecognized option\n");
        EXPECT_TRUE(r.log.empty());
    }
}

}  // namespace
