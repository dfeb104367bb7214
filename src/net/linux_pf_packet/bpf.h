#pragma once

// Classic BPF socket filters: compiled from a pcap filter expression or read from a rule file,
// validated, attached to and detached from sockets, and interpreted in user space. Parse,
// compile and validation failures end the process (message on standard error, exit status 1).

#include <linux/filter.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Fills `bpf` (zero-initialised by the caller, who then owns bpf->filter and releases it with
// free()). A null `rulefile` gives the single accept-everything instruction; the name of a
// readable file is read as rule lines "{ 0x%x, %u, %u, 0x%08x },"; anything else is compiled as
// a filter expression for `link_type` (1 = Ethernet).
void bpf_parse_rules(const char* rulefile, struct sock_fprog* bpf, uint32_t link_type);

// Compiles a filter expression (snap length 65535, optimised, netmask all ones). Constant
// non-zero returns become 0xFFFFFFFF so that accepted frames are never cut short.
void bpf_try_compile(const char* expression, struct sock_fprog* bpf, uint32_t link_type);

// 1 when the program is safe to run (every jump lands inside it, it ends in a return, no
// constant division by zero, scratch indices in range), else 0.
int __bpf_validate(const struct sock_fprog* bpf);

// Attaches the program; a program that accepts everything is not attached at all (result 0).
// Otherwise the result of setsockopt(SO_ATTACH_FILTER), errno set on failure.
int bpf_attach_to_sock(int sock, struct sock_fprog* bpf);
int bpf_detach_from_sock(int sock);

// Runs the program on a frame as the kernel would and returns the accepted length (0 = drop).
// Loads past the end of the frame, division by a zero X and unknown opcodes give 0; a null or
// empty program accepts everything (0xFFFFFFFF).
uint32_t bpf_run_filter(const struct sock_fprog* bpf, const uint8_t* packet, size_t plen);

// One instruction in assembler notation, as bpf_dump_all prints it (without the line break).
std::string bpf_image(const struct sock_filter* insn, unsigned index);

// Prints the whole program to standard output, one instruction per line.
void bpf_dump_all(const struct sock_fprog* bpf);
