#include "net/linux_pf_packet/bpf.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "net/netutils.h"

namespace {

using Program = std::vector<sock_filter>;

int validate(Program p) {
    sock_fprog f{static_cast<unsigned short>(p.size()), p.data()};
    return __bpf_validate(&f);
}

// A program filled by the functions under test; the caller of those owns the instructions.
struct Compiled {
    sock_fprog prog{0, nullptr};
    ~Compiled() { free(prog.filter); }
};

constexpr sock_filter RET(uint32_t k) {
    return {BPF_RET | BPF_K, 0, 0, k};
}

TEST(BpfValidate, Table) {
    struct Case {
        const char* what;
        Program program;
        int valid;
    };
    const Case cases[] = {
        {"single return", {RET(0)}, 1},
        {"empty", {}, 0},
        {"last is not a return", {RET(0), {BPF_LD | BPF_W | BPF_LEN, 0, 0, 0}}, 0},
        {"ja to the last instruction", {{BPF_JMP | BPF_JA, 0, 0, 1}, RET(0), RET(1)}, 1},
        {"ja one past the end", {{BPF_JMP | BPF_JA, 0, 0, 2}, RET(0), RET(1)}, 0},
        {"ja offset that wraps 32 bits", {{BPF_JMP | BPF_JA, 0, 0, 0xFFFFFFFF}, RET(0)}, 0},
        {"jeq targets inside", {{BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 7}, RET(0), RET(1)}, 1},
        {"jeq true target one past the end", {{BPF_JMP | BPF_JEQ | BPF_K, 2, 0, 7}, RET(0), RET(1)}, 0},
        {"jgt false target one past the end", {{BPF_JMP | BPF_JGT | BPF_K, 0, 2, 7}, RET(0), RET(1)}, 0},
        {"unknown jump", {{BPF_JMP | 0x50, 0, 0, 0}, RET(0)}, 0},
        {"scratch word 15", {{BPF_ST, 0, 0, 15}, {BPF_LD | BPF_MEM, 0, 0, 15}, RET(0)}, 1},
        {"store to word 16", {{BPF_ST, 0, 0, 16}, RET(0)}, 0},
        {"load from word 16", {{BPF_LDX | BPF_MEM, 0, 0, 16}, RET(0)}, 0},
        {"unknown load mode", {{BPF_LD | 0xC0, 0, 0, 0}, RET(0)}, 0},
        {"constant division by zero", {{BPF_ALU | BPF_DIV | BPF_K, 0, 0, 0}, RET(0)}, 0},
        {"constant modulo by zero", {{BPF_ALU | BPF_MOD | BPF_K, 0, 0, 0}, RET(0)}, 0},
        {"division by X", {{BPF_ALU | BPF_DIV | BPF_X, 0, 0, 0}, RET(0)}, 1},
        {"unknown arithmetic", {{BPF_ALU | 0xB0, 0, 0, 1}, RET(0)}, 0},
        {"tax and return A", {{BPF_MISC | BPF_TAX, 0, 0, 0}, {BPF_RET | BPF_A, 0, 0, 0}}, 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(validate(c.program), c.valid) << c.what;
    EXPECT_EQ(__bpf_validate(nullptr), 0);
}

TEST(BpfCompile, ConstantReturnsDeliverWholeFrames) {
    Compiled c;
    bpf_try_compile("udp", &c.prog, 1);
    ASSERT_GT(c.prog.len, 2);
    bool accept = false, drop = false;
    for (unsigned i = 0; i < c.prog.len; ++i) {
        const sock_filter& f = c.prog.filter[i];
        if (f.code != (BPF_RET | BPF_K))
            continue;
        // libpcap returns the snap length 65535 on a match.
        EXPECT_TRUE(f.k == 0 || f.k == 0xFFFFFFFF) << f.k;
        accept |= f.k == 0xFFFFFFFF;
        drop |= f.k == 0;
    }
    EXPECT_TRUE(accept);
    EXPECT_TRUE(drop);
}

TEST(BpfParseRules, NullNameAcceptsEverythingAndIsNotAttached) {
    Compiled c;
    bpf_parse_rules(nullptr, &c.prog, 1);
    ASSERT_EQ(c.prog.len, 1);
    EXPECT_EQ(c.prog.filter[0].code, BPF_RET | BPF_K);
    EXPECT_EQ(c.prog.filter[0].k, 0xFFFFFFFFu);

    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sock, 0);
    EXPECT_EQ(bpf_attach_to_sock(sock, &c.prog), 0);
    sock_filter read_back[8];
    socklen_t n = 8;  // in instructions
    ASSERT_EQ(getsockopt(sock, SOL_SOCKET, SO_GET_FILTER, read_back, &n), 0);
    EXPECT_EQ(n, 0u) << "a filter was attached";

    Compiled udp;
    bpf_parse_rules("udp", &udp.prog, 1);
    ASSERT_EQ(bpf_attach_to_sock(sock, &udp.prog), 0);
    std::vector<sock_filter> attached(udp.prog.len);
    n = udp.prog.len;
    ASSERT_EQ(getsockopt(sock, SOL_SOCKET, SO_GET_FILTER, attached.data(), &n), 0);
    EXPECT_EQ(n, udp.prog.len);
    EXPECT_EQ(bpf_detach_from_sock(sock), 0);
    n = 8;
    ASSERT_EQ(getsockopt(sock, SOL_SOCKET, SO_GET_FILTER, read_back, &n), 0);
    EXPECT_EQ(n, 0u);
    close(sock);
}

class RuleFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/orrel_bpf_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        if (!old_cwd_.empty()) {
            EXPECT_EQ(chdir(old_cwd_.c_str()), 0);
        }
        std::string cmd = "rm -rf " + dir_;
        EXPECT_EQ(system(cmd.c_str()), 0);
    }
    std::string write(const std::string& name, const std::string& text) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path) << text;
        return path;
    }
    void enterDir() {
        char buf[4096];
        ASSERT_NE(getcwd(buf, sizeof(buf)), nullptr);
        old_cwd_ = buf;
        ASSERT_EQ(chdir(dir_.c_str()), 0);
    }
    std::string dir_;
    std::string old_cwd_;
};

TEST_F(RuleFile, LinesInBracesAreTheProgram) {
    std::string path = write("rules",
                             "# accept IPv4 only\n"
                             "{ 0x28, 0, 0, 0x0000000c },\n"
                             "{ 0x15, 0, 1, 0x00000800 },\n"
                             "{ 0x6, 0, 0, 0xffffffff },\n"
                             "{ 0x6, 0, 0, 0x00000000 },\n");
    Compiled c;
    bpf_parse_rules(path.c_str(), &c.prog, 1);
    ASSERT_EQ(c.prog.len, 4);
    EXPECT_EQ(c.prog.filter[1].code, 0x15);
    EXPECT_EQ(c.prog.filter[1].jf, 1);
    EXPECT_EQ(c.prog.filter[1].k, 0x800u);
    EXPECT_EQ(c.prog.filter[3].k, 0u);
}

// A name that is a readable file is read as rules even when it is also a valid expression.
TEST_F(RuleFile, ExpressionThatNamesAFileIsReadAsRules) {
    write("udp", "{ 0x6, 0, 0, 0x00000000 },\n");
    enterDir();
    Compiled c;
    bpf_parse_rules("udp", &c.prog, 1);
    ASSERT_EQ(c.prog.len, 1);
    EXPECT_EQ(c.prog.filter[0].k, 0u);
}

TEST_F(RuleFile, BadProgramsEndTheProcess) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"{ 0x28, 0, 0, 0x0000000c },\n", "This is not a valid BPF program!"},
        {"no rules here\n", "This is not a valid BPF program!"},
        {"{ 0x6, 0 },\n", "BPF syntax error!"},
        // Jump offsets that do not fit their 8-bit fields must not become other offsets.
        {"{ 0x15, 300, 0, 0x00000800 },\n{ 0x6, 0, 0, 0x0 },\n", "BPF syntax error!"},
    };
    for (const Case& c : cases) {
        std::string path = write("bad", c.text);
        Compiled prog;
        EXPECT_EXIT(bpf_parse_rules(path.c_str(), &prog.prog, 1), ::testing::ExitedWithCode(1), c.message)
            << c.text;
    }
}

TEST(BpfCompile, SyntaxErrorEndsTheProcess) {
    Compiled c;
    EXPECT_EXIT(bpf_try_compile("udp and dst port banana", &c.prog, 1), ::testing::ExitedWithCode(1),
                "Cannot compile filter udp and dst port banana");
}

// An Ethernet/IPv4/UDP frame with `payload` bytes, checksum filled in.
std::vector<uint8_t> udpFrame(const char* dst, uint16_t port, size_t payload,
                              uint8_t protocol = IPPROTO_UDP) {
    std::vector<uint8_t> f(42 + payload, 0x47);
    uint8_t* ip = f.data() + 14;
    in_addr d;
    inet_pton(AF_INET, dst, &d);
    const uint8_t mac[] = {0x01, 0x00, 0x5E, 0x01, 0x01, 0x01, 0x02, 0, 0, 0, 0, 1};
    std::copy(mac, mac + 12, f.begin());
    f[12] = 0x08;
    f[13] = 0x00;
    ip[0] = 0x45;
    ip[1] = 0;
    ip[2] = static_cast<uint8_t>((payload + 28) >> 8);
    ip[3] = static_cast<uint8_t>(payload + 28);
    ip[4] = ip[5] = ip[6] = ip[7] = 0;
    ip[8] = 64;
    ip[9] = protocol;
    ip[10] = ip[11] = 0;
    const uint8_t src[] = {198, 18, 0, 1};
    std::copy(src, src + 4, ip + 12);
    memcpy(ip + 16, &d, 4);
    ip[20] = 0x04;
    ip[21] = 0xD2;
    ip[22] = static_cast<uint8_t>(port >> 8);
    ip[23] = static_cast<uint8_t>(port);
    ip[24] = static_cast<uint8_t>((payload + 8) >> 8);
    ip[25] = static_cast<uint8_t>(payload + 8);
    ip[26] = ip[27] = 0;
    unsigned short words[10];
    memcpy(words, ip, 20);
    unsigned short sum = net::ipHeaderChecksum(words, 10);
    memcpy(ip + 10, &sum, 2);
    return f;
}

TEST(BpfRunFilter, CompiledExpressionOnFrames) {
    Compiled c;
    bpf_try_compile("udp and dst port 5000", &c.prog, 1);
    auto accepted = udpFrame("239.1.1.1", 5000, 188);
    EXPECT_EQ(bpf_run_filter(&c.prog, accepted.data(), accepted.size()), 0xFFFFFFFFu);
    auto other_port = udpFrame("239.1.1.1", 5001, 188);
    EXPECT_EQ(bpf_run_filter(&c.prog, other_port.data(), other_port.size()), 0u);
    auto tcp = udpFrame("239.1.1.1", 5000, 188, IPPROTO_TCP);
    EXPECT_EQ(bpf_run_filter(&c.prog, tcp.data(), tcp.size()), 0u);
    // Cut before the port: the load runs past the end and the frame is dropped.
    EXPECT_EQ(bpf_run_filter(&c.prog, accepted.data(), 36), 0u);
}

TEST(BpfRunFilter, InterpreterEdges) {
    const uint8_t frame[] = {0x12, 0x34, 0x56, 0x78, 0x9A};
    struct Case {
        const char* what;
        Program program;
        uint32_t result;
    };
    const Case cases[] = {
        {"word load", {{BPF_LD | BPF_W | BPF_ABS, 0, 0, 1}, {BPF_RET | BPF_A, 0, 0, 0}}, 0x3456789A},
        {"word load past the end", {{BPF_LD | BPF_W | BPF_ABS, 0, 0, 2}, {BPF_RET | BPF_A, 0, 0, 0}}, 0},
        {"indirect half word",
         {{BPF_LDX | BPF_IMM, 0, 0, 2}, {BPF_LD | BPF_H | BPF_IND, 0, 0, 1}, {BPF_RET | BPF_A, 0, 0, 0}},
         0x789A},
        {"indirect offset overflowing 32 bits",
         {{BPF_LDX | BPF_IMM, 0, 0, 0xFFFFFFFF},
          {BPF_LD | BPF_B | BPF_IND, 0, 0, 2},
          {BPF_RET | BPF_A, 0, 0, 0}},
         0},
        {"header length",
         {{BPF_LDX | BPF_B | BPF_MSH, 0, 0, 4}, {BPF_MISC | BPF_TXA, 0, 0, 0}, {BPF_RET | BPF_A, 0, 0, 0}},
         40},
        {"length", {{BPF_LD | BPF_W | BPF_LEN, 0, 0, 0}, {BPF_RET | BPF_A, 0, 0, 0}}, 5},
        {"division by zero X",
         {{BPF_LD | BPF_IMM, 0, 0, 9}, {BPF_ALU | BPF_DIV | BPF_X, 0, 0, 0}, RET(1)},
         0},
        {"modulo by zero X", {{BPF_LD | BPF_IMM, 0, 0, 9}, {BPF_ALU | BPF_MOD | BPF_X, 0, 0, 0}, RET(1)}, 0},
        {"shift out everything",
         {{BPF_LD | BPF_IMM, 0, 0, 9}, {BPF_ALU | BPF_LSH | BPF_K, 0, 0, 40}, {BPF_RET | BPF_A, 0, 0, 0}},
         0},
        {"scratch memory",
         {{BPF_LD | BPF_IMM, 0, 0, 77},
          {BPF_ST, 0, 0, 3},
          {BPF_LD | BPF_IMM, 0, 0, 0},
          {BPF_LDX | BPF_MEM, 0, 0, 3},
          {BPF_RET | BPF_X, 0, 0, 0}},
         77},
        {"jset taken",
         {{BPF_LD | BPF_B | BPF_ABS, 0, 0, 0}, {BPF_JMP | BPF_JSET | BPF_K, 0, 1, 0x10}, RET(1), RET(2)},
         1},
        {"ja skips", {{BPF_JMP | BPF_JA, 0, 0, 1}, RET(1), RET(2)}, 2},
        {"unknown opcode", {{BPF_LDX | BPF_W | BPF_ABS, 0, 0, 0}, RET(1)}, 0},
        {"falls off the end", {{BPF_LD | BPF_IMM, 0, 0, 1}}, 0},
        {"jump beyond an unvalidated program", {{BPF_JMP | BPF_JA, 0, 0, 1000}, RET(1)}, 0},
    };
    for (const Case& c : cases) {
        Program p = c.program;
        sock_fprog f{static_cast<unsigned short>(p.size()), p.data()};
        EXPECT_EQ(bpf_run_filter(&f, frame, sizeof(frame)), c.result) << c.what;
    }
    sock_fprog empty{0, nullptr};
    EXPECT_EQ(bpf_run_filter(&empty, frame, sizeof(frame)), 0xFFFFFFFFu);
    EXPECT_EQ(bpf_run_filter(nullptr, frame, sizeof(frame)), 0xFFFFFFFFu);
}

TEST(BpfDump, PrintsAssemblerNotation) {
    Program p = {{BPF_LD | BPF_H | BPF_ABS, 0, 0, 12},
                 {BPF_JMP | BPF_JEQ | BPF_K, 0, 3, 0x800},
                 {BPF_LDX | BPF_B | BPF_MSH, 0, 0, 14},
                 {BPF_LD | BPF_H | BPF_IND, 0, 0, 16},
                 {BPF_LD | BPF_W | BPF_ABS, 0, 0, 0xFFFFF018},
                 {BPF_JMP | BPF_JA, 0, 0, 0},
                 {BPF_ST, 0, 0, 2},
                 {BPF_ALU | BPF_NEG, 0, 0, 0},
                 {BPF_ALU | BPF_ADD | BPF_X, 0, 0, 0},
                 {BPF_RET | BPF_K, 0, 0, 0xFFFFFFFF}};
    sock_fprog f{static_cast<unsigned short>(p.size()), p.data()};
    ::testing::internal::CaptureStdout();
    bpf_dump_all(&f);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              " L0: ldh [12]\n"
              " L1: jeq #0x800, L2, L5\n"
              " L2: ldxb 4*([14]&0xf)\n"
              " L3: ldh [x + 16]\n"
              " L4: ld #queue\n"
              " L5: ja L6\n"
              " L6: st M[2]\n"
              " L7: neg \n"
              " L8: add x\n"
              " L9: ret #0xffffffff\n");
}

}  // namespace
