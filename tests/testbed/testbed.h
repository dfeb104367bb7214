#pragma once

// Network test bed: namespaces with unique names, veth pairs between them, addresses in
// 198.18.0.0/15, multicast routes, commands and background programs run inside a namespace,
// and scoped entry of the calling thread into one. Everything made here is removed when its
// owner goes away, and also when the process dies of a signal or exits early.

#include <sys/types.h>

#include <string>
#include <vector>

namespace testbed {

// Runs `command` with /bin/sh and returns its exit status (-1 when it did not exit normally).
// With `out`, its standard output is collected there.
int run(const std::string& command, std::string* out = nullptr);

class Namespace {
  public:
    // `tag` shows up in the namespace's name to tell test beds apart.
    explicit Namespace(const std::string& tag = "ns");
    ~Namespace();
    Namespace(const Namespace&) = delete;
    Namespace& operator=(const Namespace&) = delete;

    const std::string& name() const { return name_; }

    // Runs a shell command inside the namespace: exit status, standard output in `out`.
    int exec(const std::string& command, std::string* out = nullptr) const;
    // The same, but a failure throws std::runtime_error with the command and its status.
    void must(const std::string& command) const;
    // Starts a shell command in the background inside the namespace (its own process group).
    pid_t spawn(const std::string& command);
    // Stops a spawned command (SIGTERM, then SIGKILL after a grace period); returns its status.
    int stop(pid_t pid);

    void addAddress(const std::string& ifname, const std::string& cidr) const;
    // Route for a prefix (e.g. "239.0.0.0/8") through an interface.
    void addRoute(const std::string& prefix, const std::string& ifname) const;

  private:
    std::string name_;
    std::vector<pid_t> children_;
};

// Names of the two ends of a veth pair.
struct Veth {
    std::string a;
    std::string b;
};

// Creates a veth pair with end `a` in `ns_a` and end `b` in `ns_b` (which may be the same
// namespace) and brings both up. Names are unique within the process and at most 15 characters.
Veth connect(Namespace& ns_a, Namespace& ns_b);

// Moves the calling thread into a namespace and back to where it was on destruction. Sockets
// made meanwhile stay in the namespace they were made in.
class EnterNamespace {
  public:
    explicit EnterNamespace(const Namespace& ns);
    ~EnterNamespace();
    EnterNamespace(const EnterNamespace&) = delete;
    EnterNamespace& operator=(const EnterNamespace&) = delete;

  private:
    int home_;
};

}  // namespace testbed
