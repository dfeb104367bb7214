#include "bpf.h"

#include <pcap/pcap.h>
#include <sys/socket.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "utils.h"
#include "xmalloc.h"

static_assert(sizeof(struct bpf_insn) == sizeof(struct sock_filter));
static_assert(offsetof(struct bpf_insn, k) == offsetof(struct sock_filter, k));

namespace {

constexpr uint16_t RET_K = BPF_RET | BPF_K;
constexpr uint32_t ACCEPT_ALL = 0xFFFFFFFF;

void append(struct sock_fprog* bpf, const struct sock_filter& insn) {
    // The count is 16 bits wide: one more instruction would wrap it.
    if (bpf->len == UINT16_MAX)
        panic("This is not a valid BPF program!\n");
    bpf->len++;
    bpf->filter =
        static_cast<struct sock_filter*>(xrealloc(bpf->filter, bpf->len, sizeof(struct sock_filter)));
    bpf->filter[bpf->len - 1] = insn;
}

bool parse_rule_line(const char* line, struct sock_filter* insn) {
    unsigned code, jt, jf, k;
    if (sscanf(line, "{ 0x%x, %u, %u, 0x%08x },", &code, &jt, &jf, &k) != 4)
        return false;
    // Values that do not fit their fields would silently become another program.
    if (code > 0xFFFF || jt > 0xFF || jf > 0xFF)
        return false;
    *insn = {static_cast<uint16_t>(code), static_cast<uint8_t>(jt), static_cast<uint8_t>(jf), k};
    return true;
}

}  // namespace

void bpf_try_compile(const char* expression, struct sock_fprog* bpf, uint32_t link_type) {
    pcap_t* dead = pcap_open_dead(static_cast<int>(link_type), 65535);
    struct bpf_program compiled;
    if (dead == nullptr || pcap_compile(dead, &compiled, expression, 1, PCAP_NETMASK_UNKNOWN) < 0) {
        if (dead != nullptr)
            pcap_close(dead);
        panic("Cannot compile filter %s\n", expression);
    }
    pcap_close(dead);

    bpf->len = static_cast<uint16_t>(compiled.bf_len);
    bpf->filter =
        static_cast<struct sock_filter*>(xrealloc(bpf->filter, 1, bpf->len * sizeof(struct sock_filter)));
    memcpy(bpf->filter, compiled.bf_insns, bpf->len * sizeof(struct sock_filter));
    for (unsigned i = 0; i < bpf->len; ++i) {
        if (bpf->filter[i].code == RET_K && bpf->filter[i].k != 0)
            bpf->filter[i].k = ACCEPT_ALL;
    }
    pcap_freecode(&compiled);
    if (!__bpf_validate(bpf))
        panic("This is not a valid BPF program!\n");
}

void bpf_parse_rules(const char* rulefile, struct sock_fprog* bpf, uint32_t link_type) {
    if (rulefile == nullptr) {
        append(bpf, {RET_K, 0, 0, ACCEPT_ALL});
        return;
    }
    FILE* fp = fopen(rulefile, "r");
    if (fp == nullptr) {
        bpf_try_compile(rulefile, bpf, link_type);
        return;
    }
    char line[256];
    while (fgets(line, sizeof(line), fp) != nullptr) {
        line[sizeof(line) - 1] = 0;
        if (line[0] != '{')
            continue;
        struct sock_filter insn;
        if (!parse_rule_line(line, &insn)) {
            fclose(fp);
            panic("BPF syntax error!\n");
        }
        append(bpf, insn);
    }
    fclose(fp);
    if (!__bpf_validate(bpf))
        panic("This is not a valid BPF program!\n");
}

int __bpf_validate(const struct sock_fprog* bpf) {
    if (bpf == nullptr || bpf->len == 0 || bpf->filter == nullptr)
        return 0;
    const uint64_t count = bpf->len;
    for (uint64_t i = 0; i < count; ++i) {
        const struct sock_filter& f = bpf->filter[i];
        switch (BPF_CLASS(f.code)) {
            case BPF_LD:
            case BPF_LDX:
                switch (BPF_MODE(f.code)) {
                    case BPF_IMM:
                    case BPF_ABS:
                    case BPF_IND:
                    case BPF_LEN:
                    case BPF_MSH:
                        break;
                    case BPF_MEM:
                        if (f.k >= BPF_MEMWORDS)
                            return 0;
                        break;
                    default:
                        return 0;
                }
                break;
            case BPF_ST:
            case BPF_STX:
                if (f.k >= BPF_MEMWORDS)
                    return 0;
                break;
            case BPF_ALU:
                switch (BPF_OP(f.code)) {
                    case BPF_ADD:
                    case BPF_SUB:
                    case BPF_MUL:
                    case BPF_OR:
                    case BPF_AND:
                    case BPF_LSH:
                    case BPF_RSH:
                    case BPF_NEG:
                    case BPF_XOR:
                        break;
                    case BPF_DIV:
                    case BPF_MOD:
                        if (BPF_SRC(f.code) == BPF_K && f.k == 0)
                            return 0;
                        break;
                    default:
                        return 0;
                }
                break;
            case BPF_JMP:
                // 64-bit sums: a huge offset must not wrap back into the program.
                switch (BPF_OP(f.code)) {
                    case BPF_JA:
                        if (i + 1 + f.k >= count)
                            return 0;
                        break;
                    case BPF_JEQ:
                    case BPF_JGT:
                    case BPF_JGE:
                    case BPF_JSET:
                        if (i + 1 + f.jt >= count || i + 1 + f.jf >= count)
                            return 0;
                        break;
                    default:
                        return 0;
                }
                break;
            case BPF_RET:
            case BPF_MISC:
                break;
        }
    }
    return BPF_CLASS(bpf->filter[count - 1].code) == BPF_RET;
}

int bpf_attach_to_sock(int sock, struct sock_fprog* bpf) {
    if (bpf->len > 0 && bpf->filter[0].code == RET_K && bpf->filter[0].k == ACCEPT_ALL)
        return 0;
    return setsockopt(sock, SOL_SOCKET, SO_ATTACH_FILTER, bpf, sizeof(*bpf));
}

int bpf_detach_from_sock(int sock) {
    int empty = 0;
    return setsockopt(sock, SOL_SOCKET, SO_DETACH_FILTER, &empty, sizeof(empty));
}

namespace {

bool load(const uint8_t* packet, size_t plen, uint64_t offset, unsigned size, uint32_t* out) {
    if (offset + size > plen)
        return false;
    uint32_t v = 0;
    for (unsigned i = 0; i < size; ++i)
        v = v << 8 | packet[offset + i];
    *out = v;
    return true;
}

uint32_t shift_left(uint32_t v, uint32_t n) {
    return n >= 32 ? 0 : v << n;
}

uint32_t shift_right(uint32_t v, uint32_t n) {
    return n >= 32 ? 0 : v >> n;
}

unsigned size_of(uint16_t code) {
    switch (BPF_SIZE(code)) {
        case BPF_W:
            return 4;
        case BPF_H:
            return 2;
        default:
            return 1;
    }
}

}  // namespace

uint32_t bpf_run_filter(const struct sock_fprog* bpf, const uint8_t* packet, size_t plen) {
    if (bpf == nullptr || bpf->len == 0 || bpf->filter == nullptr)
        return ACCEPT_ALL;
    uint32_t A = 0, X = 0;
    uint32_t mem[BPF_MEMWORDS] = {};
    const uint32_t len32 = static_cast<uint32_t>(plen);
    for (uint64_t pc = 0; pc < bpf->len; ++pc) {
        const struct sock_filter& f = bpf->filter[pc];
        const uint32_t src = BPF_SRC(f.code) == BPF_X ? X : f.k;
        switch (f.code) {
            case BPF_LD | BPF_W | BPF_ABS:
            case BPF_LD | BPF_H | BPF_ABS:
            case BPF_LD | BPF_B | BPF_ABS:
                if (!load(packet, plen, f.k, size_of(f.code), &A))
                    return 0;
                break;
            case BPF_LD | BPF_W | BPF_IND:
            case BPF_LD | BPF_H | BPF_IND:
            case BPF_LD | BPF_B | BPF_IND:
                if (!load(packet, plen, static_cast<uint64_t>(X) + f.k, size_of(f.code), &A))
                    return 0;
                break;
            case BPF_LD | BPF_W | BPF_LEN:
                A = len32;
                break;
            case BPF_LDX | BPF_W | BPF_LEN:
                X = len32;
                break;
            case BPF_LD | BPF_IMM:
                A = f.k;
                break;
            case BPF_LDX | BPF_IMM:
                X = f.k;
                break;
            case BPF_LD | BPF_MEM:
            case BPF_LDX | BPF_MEM:
                if (f.k >= BPF_MEMWORDS)
                    return 0;
                (BPF_CLASS(f.code) == BPF_LD ? A : X) = mem[f.k];
                break;
            case BPF_LDX | BPF_B | BPF_MSH: {
                uint32_t b;
                if (!load(packet, plen, f.k, 1, &b))
                    return 0;
                X = (b & 0xF) << 2;
                break;
            }
            case BPF_ST:
            case BPF_STX:
                if (f.k >= BPF_MEMWORDS)
                    return 0;
                mem[f.k] = BPF_CLASS(f.code) == BPF_ST ? A : X;
                break;
            case BPF_ALU | BPF_ADD | BPF_K:
            case BPF_ALU | BPF_ADD | BPF_X:
                A += src;
                break;
            case BPF_ALU | BPF_SUB | BPF_K:
            case BPF_ALU | BPF_SUB | BPF_X:
                A -= src;
                break;
            case BPF_ALU | BPF_MUL | BPF_K:
            case BPF_ALU | BPF_MUL | BPF_X:
                A *= src;
                break;
            case BPF_ALU | BPF_DIV | BPF_K:
            case BPF_ALU | BPF_DIV | BPF_X:
                if (src == 0)
                    return 0;
                A /= src;
                break;
            case BPF_ALU | BPF_MOD | BPF_K:
            case BPF_ALU | BPF_MOD | BPF_X:
                if (src == 0)
                    return 0;
                A %= src;
                break;
            case BPF_ALU | BPF_AND | BPF_K:
            case BPF_ALU | BPF_AND | BPF_X:
                A &= src;
                break;
            case BPF_ALU | BPF_OR | BPF_K:
            case BPF_ALU | BPF_OR | BPF_X:
                A |= src;
                break;
            case BPF_ALU | BPF_XOR | BPF_K:
            case BPF_ALU | BPF_XOR | BPF_X:
                A ^= src;
                break;
            case BPF_ALU | BPF_LSH | BPF_K:
            case BPF_ALU | BPF_LSH | BPF_X:
                A = shift_left(A, src);
                break;
            case BPF_ALU | BPF_RSH | BPF_K:
            case BPF_ALU | BPF_RSH | BPF_X:
                A = shift_right(A, src);
                break;
            case BPF_ALU | BPF_NEG:
                A = 0u - A;
                break;
            case BPF_JMP | BPF_JA:
                pc += f.k;
                break;
            case BPF_JMP | BPF_JEQ | BPF_K:
            case BPF_JMP | BPF_JEQ | BPF_X:
                pc += A == src ? f.jt : f.jf;
                break;
            case BPF_JMP | BPF_JGT | BPF_K:
            case BPF_JMP | BPF_JGT | BPF_X:
                pc += A > src ? f.jt : f.jf;
                break;
            case BPF_JMP | BPF_JGE | BPF_K:
            case BPF_JMP | BPF_JGE | BPF_X:
                pc += A >= src ? f.jt : f.jf;
                break;
            case BPF_JMP | BPF_JSET | BPF_K:
            case BPF_JMP | BPF_JSET | BPF_X:
                pc += (A & src) != 0 ? f.jt : f.jf;
                break;
            case BPF_RET | BPF_K:
                return f.k;
            case BPF_RET | BPF_A:
                return A;
            case BPF_RET | BPF_X:
                return X;
            case BPF_MISC | BPF_TAX:
                X = A;
                break;
            case BPF_MISC | BPF_TXA:
                A = X;
                break;
            default:
                return 0;
        }
    }
    // Ran past the last instruction (only possible for an unvalidated program).
    return 0;
}

namespace {

const char* ancillary_name(uint32_t k) {
    switch (k - static_cast<uint32_t>(SKF_AD_OFF)) {
        case SKF_AD_PROTOCOL:
            return "#proto";
        case SKF_AD_PKTTYPE:
            return "#type";
        case SKF_AD_IFINDEX:
            return "#ifidx";
        case SKF_AD_NLATTR:
            return "#nla";
        case SKF_AD_NLATTR_NEST:
            return "#nlan";
        case SKF_AD_MARK:
            return "#mark";
        case SKF_AD_QUEUE:
            return "#queue";
        case SKF_AD_HATYPE:
            return "#hatype";
        case SKF_AD_RXHASH:
            return "#rxhash";
        case SKF_AD_CPU:
            return "#cpu";
        case SKF_AD_ALU_XOR_X:
            return "#xor_x";
        case SKF_AD_VLAN_TAG:
            return "#vlan_tci";
        case SKF_AD_VLAN_TAG_PRESENT:
            return "#vlan_avail";
        case SKF_AD_PAY_OFFSET:
            return "#poff";
        case SKF_AD_RANDOM:
            return "#rand";
        case SKF_AD_VLAN_TPID:
            return "#vlan_tpid";
        default:
            return nullptr;
    }
}

const char* load_mnemonic(uint16_t code) {
    bool ldx = BPF_CLASS(code) == BPF_LDX;
    switch (BPF_SIZE(code)) {
        case BPF_H:
            return "ldh";
        case BPF_B:
            return ldx ? "ldxb" : "ldb";
        default:
            return ldx ? "ldx" : "ld";
    }
}

}  // namespace

std::string bpf_image(const struct sock_filter* insn, unsigned index) {
    const struct sock_filter& f = *insn;
    const char* op = nullptr;
    std::string operand;
    const std::string src = BPF_SRC(f.code) == BPF_X ? std::string("x") : utils::string_format("#0x%x", f.k);
    switch (BPF_CLASS(f.code)) {
        case BPF_LD:
        case BPF_LDX:
            op = load_mnemonic(f.code);
            switch (BPF_MODE(f.code)) {
                case BPF_IMM:
                    operand = utils::string_format("#0x%x", f.k);
                    break;
                case BPF_ABS: {
                    const char* name = ancillary_name(f.k);
                    operand = name != nullptr ? name : utils::string_format("[%d]", static_cast<int>(f.k));
                    break;
                }
                case BPF_IND:
                    operand = utils::string_format("[x + %d]", static_cast<int>(f.k));
                    break;
                case BPF_MEM:
                    operand = utils::string_format("M[%d]", static_cast<int>(f.k));
                    break;
                case BPF_LEN:
                    operand = "#len";
                    break;
                case BPF_MSH:
                    operand = utils::string_format("4*([%d]&0xf)", static_cast<int>(f.k));
                    break;
                default:
                    op = nullptr;
            }
            break;
        case BPF_ST:
        case BPF_STX:
            op = BPF_CLASS(f.code) == BPF_ST ? "st" : "stx";
            operand = utils::string_format("M[%d]", static_cast<int>(f.k));
            break;
        case BPF_ALU: {
            static const char* const names[16] = {"add",   "sub",   "mul",   "div",  "or",  "and",
                                                  "lsh",   "rsh",   "neg",   "mod",  "xor", nullptr,
                                                  nullptr, nullptr, nullptr, nullptr};
            op = names[BPF_OP(f.code) >> 4];
            if (BPF_OP(f.code) != BPF_NEG)
                operand = src;
            break;
        }
        case BPF_JMP:
            if (BPF_OP(f.code) == BPF_JA)
                return utils::string_format(" L%u: ja L%u", index, index + 1 + f.k);
            switch (BPF_OP(f.code)) {
                case BPF_JEQ:
                    op = "jeq";
                    break;
                case BPF_JGT:
                    op = "jgt";
                    break;
                case BPF_JGE:
                    op = "jge";
                    break;
                case BPF_JSET:
                    op = "jset";
                    break;
            }
            if (op != nullptr)
                return utils::string_format(" L%u: %s %s, L%u, L%u", index, op, src.c_str(), index + 1 + f.jt,
                                            index + 1 + f.jf);
            break;
        case BPF_RET:
            op = "ret";
            operand = BPF_RVAL(f.code) == BPF_A   ? std::string("a")
                      : BPF_RVAL(f.code) == BPF_X ? std::string("x")
                                                  : utils::string_format("#0x%x", f.k);
            break;
        case BPF_MISC:
            if (BPF_MISCOP(f.code) == BPF_TAX)
                op = "tax";
            else if (BPF_MISCOP(f.code) == BPF_TXA)
                op = "txa";
            break;
    }
    if (op == nullptr) {
        op = "unimp";
        operand = utils::string_format("0x%x", f.code);
    }
    return utils::string_format(" L%u: %s %s", index, op, operand.c_str());
}

void bpf_dump_all(const struct sock_fprog* bpf) {
    for (unsigned i = 0; i < bpf->len; ++i)
        printf("%s\n", bpf_image(&bpf->filter[i], i).c_str());
    fflush(stdout);
}
