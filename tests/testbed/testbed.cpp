#include "testbed.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace testbed {

namespace {

constexpr const char* PREFIX = "otb";
constexpr const char* NETNS_DIR = "/run/netns/";

// What must go when the process ends early. Fixed arrays: the signal handler walks them
// without allocating.
constexpr int MAX_ENTRIES = 64;
struct Registry {
    char names[MAX_ENTRIES][64] = {};
    pid_t name_owner[MAX_ENTRIES] = {};
    pid_t children[MAX_ENTRIES] = {};
    pid_t child_owner[MAX_ENTRIES] = {};
    struct sigaction previous[NSIG] = {};
};
Registry registry;
std::mutex registry_lock;
std::atomic<unsigned> veth_counter{0};
std::atomic<unsigned> ns_counter{0};

const int fatal_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL};

// Async-signal-safe: fork and exec `ip netns del`.
void delete_namespace(const char* name) {
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) {
            dup2(devnull, 1);
            dup2(devnull, 2);
        }
        execlp("ip", "ip", "netns", "del", name, static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid > 0) {
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

// Entries belong to the process that made them: a forked child (a death test, a spawned
// program) inherits the registry and the handlers but removes only what it made itself.
void clean_up_everything() {
    const pid_t self = getpid();
    for (int i = 0; i < MAX_ENTRIES; ++i) {
        if (registry.children[i] > 0 && registry.child_owner[i] == self) {
            kill(-registry.children[i], SIGKILL);
            waitpid(registry.children[i], nullptr, 0);
            registry.children[i] = 0;
        }
    }
    for (int i = 0; i < MAX_ENTRIES; ++i) {
        if (registry.names[i][0] != 0 && registry.name_owner[i] == self) {
            delete_namespace(registry.names[i]);
            registry.names[i][0] = 0;
        }
    }
}

void on_fatal_signal(int sig) {
    clean_up_everything();
    sigaction(sig, &registry.previous[sig], nullptr);
    // Faults recur on return and reach the previous handler; the others are raised again.
    if (sig != SIGSEGV && sig != SIGBUS && sig != SIGFPE && sig != SIGILL)
        raise(sig);
}

bool process_alive(pid_t pid) {
    return kill(pid, 0) == 0 || errno != ESRCH;
}

// Namespaces left by test processes that were killed outright (SIGKILL runs no handler).
void sweep_stale_namespaces() {
    DIR* dir = opendir(NETNS_DIR);
    if (dir == nullptr)
        return;
    const size_t prefix_len = strlen(PREFIX);
    while (struct dirent* entry = readdir(dir)) {
        if (strncmp(entry->d_name, PREFIX, prefix_len) != 0)
            continue;
        char* end = nullptr;
        long pid = strtol(entry->d_name + prefix_len, &end, 10);
        if (pid > 0 && end != nullptr && *end == '-' && !process_alive(static_cast<pid_t>(pid)))
            delete_namespace(entry->d_name);
    }
    closedir(dir);
}

void install_once() {
    static std::once_flag once;
    std::call_once(once, [] {
        sweep_stale_namespaces();
        for (int sig : fatal_signals) {
            struct sigaction action;
            memset(&action, 0, sizeof(action));
            action.sa_handler = on_fatal_signal;
            sigemptyset(&action.sa_mask);
            sigaction(sig, &action, &registry.previous[sig]);
        }
        atexit(clean_up_everything);
    });
}

void remember_name(const std::string& name) {
    std::lock_guard<std::mutex> guard(registry_lock);
    for (int i = 0; i < MAX_ENTRIES; ++i) {
        if (registry.names[i][0] == 0) {
            registry.name_owner[i] = getpid();
            strncpy(registry.names[i], name.c_str(), sizeof(registry.names[i]) - 1);
            return;
        }
    }
    throw std::runtime_error("testbed: too many namespaces");
}

void forget_name(const std::string& name) {
    std::lock_guard<std::mutex> guard(registry_lock);
    for (char* slot : registry.names) {
        if (name == slot)
            slot[0] = 0;
    }
}

void remember_child(pid_t pid) {
    std::lock_guard<std::mutex> guard(registry_lock);
    for (int i = 0; i < MAX_ENTRIES; ++i) {
        if (registry.children[i] == 0) {
            registry.child_owner[i] = getpid();
            registry.children[i] = pid;
            return;
        }
    }
}

void forget_child(pid_t pid) {
    std::lock_guard<std::mutex> guard(registry_lock);
    for (pid_t& slot : registry.children) {
        if (slot == pid)
            slot = 0;
    }
}

// Runs /bin/sh -c `command`, inside the namespace whose file is `ns_path` when it is not empty.
int run_shell(const std::string& ns_path, const std::string& command, std::string* out) {
    int pipe_fds[2] = {-1, -1};
    if (out != nullptr && pipe(pipe_fds) < 0)
        return -1;
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        if (!ns_path.empty()) {
            int fd = open(ns_path.c_str(), O_RDONLY);
            if (fd < 0 || setns(fd, CLONE_NEWNET) < 0)
                _exit(126);
            close(fd);
        }
        if (out != nullptr) {
            dup2(pipe_fds[1], 1);
            close(pipe_fds[0]);
            close(pipe_fds[1]);
        }
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (out != nullptr) {
        close(pipe_fds[1]);
        out->clear();
        char buf[4096];
        ssize_t n;
        while ((n = read(pipe_fds[0], buf, sizeof(buf))) != 0) {
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            out->append(buf, static_cast<size_t>(n));
        }
        close(pipe_fds[0]);
    }
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int run(const std::string& command, std::string* out) {
    return run_shell("", command, out);
}

Namespace::Namespace(const std::string& tag) {
    install_once();
    name_ = std::string(PREFIX) + std::to_string(getpid()) + "-" + std::to_string(ns_counter++) + "-" + tag;
    remember_name(name_);
    if (run("ip netns add " + name_) != 0) {
        forget_name(name_);
        throw std::runtime_error("testbed: cannot create namespace " + name_);
    }
    must("ip link set lo up");
}

Namespace::~Namespace() {
    for (pid_t child : std::vector<pid_t>(children_))
        stop(child);
    delete_namespace(name_.c_str());
    forget_name(name_);
}

int Namespace::exec(const std::string& command, std::string* out) const {
    return run_shell(NETNS_DIR + name_, command, out);
}

void Namespace::must(const std::string& command) const {
    int status = exec(command);
    if (status != 0)
        throw std::runtime_error("testbed: '" + command + "' in " + name_ + " failed with status " +
                                 std::to_string(status));
}

pid_t Namespace::spawn(const std::string& command) {
    const std::string ns_path = NETNS_DIR + name_;
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("testbed: fork failed");
    if (pid == 0) {
        setpgid(0, 0);
        int fd = open(ns_path.c_str(), O_RDONLY);
        if (fd < 0 || setns(fd, CLONE_NEWNET) < 0)
            _exit(126);
        close(fd);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // Set on both sides so that a kill of the group cannot race the child's own call.
    setpgid(pid, pid);
    children_.push_back(pid);
    remember_child(pid);
    return pid;
}

int Namespace::stop(pid_t pid) {
    int status = 0;
    kill(-pid, SIGTERM);
    bool done = false;
    for (int i = 0; i < 200 && !done; ++i) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD))
            done = true;
        else
            usleep(10000);
    }
    if (!done) {
        kill(-pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    // Anything the command left running in its group goes too.
    kill(-pid, SIGKILL);
    forget_child(pid);
    for (auto it = children_.begin(); it != children_.end(); ++it) {
        if (*it == pid) {
            children_.erase(it);
            break;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void Namespace::addAddress(const std::string& ifname, const std::string& cidr) const {
    must("ip addr add " + cidr + " dev " + ifname);
}

void Namespace::addRoute(const std::string& prefix, const std::string& ifname) const {
    must("ip route add " + prefix + " dev " + ifname);
}

Veth connect(Namespace& ns_a, Namespace& ns_b) {
    unsigned n = veth_counter++;
    Veth veth{"tbv" + std::to_string(n) + "a", "tbv" + std::to_string(n) + "b"};
    std::string command = "ip link add " + veth.a + " type veth peer name " + veth.b;
    if (&ns_a != &ns_b)
        command += " netns " + ns_b.name();
    ns_a.must(command);
    ns_a.must("ip link set " + veth.a + " up");
    ns_b.must("ip link set " + veth.b + " up");
    return veth;
}

EnterNamespace::EnterNamespace(const Namespace& ns) {
    home_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (home_ < 0)
        throw std::runtime_error("testbed: cannot open the current network namespace");
    int fd = open((NETNS_DIR + ns.name()).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || setns(fd, CLONE_NEWNET) < 0) {
        if (fd >= 0)
            close(fd);
        close(home_);
        throw std::runtime_error("testbed: cannot enter namespace " + ns.name());
    }
    close(fd);
}

EnterNamespace::~EnterNamespace() {
    setns(home_, CLONE_NEWNET);
    close(home_);
}

}  // namespace testbed
