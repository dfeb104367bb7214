#include "phyio/simbus.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool startsWith(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> v;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l))
        v.push_back(l);
    return v;
}

std::vector<std::string> ToolRun::requests(const std::string& prefix) const {
    std::vector<std::string> v;
    for (const auto& l : log)
        if (startsWith(l, prefix))
            v.push_back(l);
    return v;
}

SimBus::SimBus(std::string ifname) : ifname_(std::move(ifname)) {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/mdiosim.XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    dir_ = buf.data();
}

SimBus::~SimBus() {
    for (const char* f : {"/config", "/log", "/out", "/err"})
        unlink((dir_ + f).c_str());
    rmdir(dir_.c_str());
}

void SimBus::config(const std::string& text) {
    config_ = dir_ + "/config";
    std::ofstream(config_) << text;
}

ToolRun SimBus::run(const std::string& tool, const std::vector<std::string>& args) const {
    const std::string log = dir_ + "/log", out = dir_ + "/out", err = dir_ + "/err";
    unlink(log.c_str());

    std::string preload = MDIOSIM_LIB;
#ifdef ORREL_ASAN_RUNTIME
    // An instrumented tool needs the sanitizer runtime ahead of every other library.
    preload = std::string(ORREL_ASAN_RUNTIME) + " " + preload;
#endif
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        if (!startsWith(*e, "LD_PRELOAD=") && !startsWith(*e, "MDIOSIM_"))
            env.emplace_back(*e);
    env.push_back("LD_PRELOAD=" + preload);
    env.push_back("MDIOSIM_IFNAME=" + ifname_);
    env.push_back("MDIOSIM_LOG=" + log);
    if (!config_.empty())
        env.push_back("MDIOSIM_CONFIG=" + config_);

    std::string argv0 = tool.substr(tool.rfind('/') + 1);
    std::vector<char*> argv{argv0.data()};
    std::vector<std::string> a(args);
    for (auto& s : a)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& s : env)
        envp.push_back(s.data());
    envp.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || o < 0 || e < 0 || dup2(in, 0) < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0)
            _exit(126);
        // Aborting on a bad option is expected; no core files from the tests.
        struct rlimit nocore = {0, 0};
        setrlimit(RLIMIT_CORE, &nocore);
        execve(tool.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0)
        if (errno != EINTR)
            throw std::runtime_error("waitpid failed");

    ToolRun r;
    r.exited = WIFEXITED(st);
    r.status = r.exited ? WEXITSTATUS(st) : WTERMSIG(st);
    r.out = slurp(out);
    r.err = slurp(err);
    r.log = splitLines(slurp(log));
    return r;
}
