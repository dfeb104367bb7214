// Runs the real bench tools under the simulated MDIO bus (mdiosim) and collects what they did.
#pragma once

#include <string>
#include <vector>

struct ToolRun {
    bool exited = false;  // false: killed by a signal
    int status = -1;      // exit status, or the signal number when !exited
    std::string out;
    std::string err;
    std::vector<std::string> log;  // one line per MII request, as the simulator recorded it

    // The recorded requests that begin with prefix ("W " for the writes).
    std::vector<std::string> requests(const std::string& prefix) const;
    std::vector<std::string> writes() const { return requests("W "); }
};

class SimBus {
  public:
    explicit SimBus(std::string ifname = "simeth0");
    ~SimBus();
    SimBus(const SimBus&) = delete;
    SimBus& operator=(const SimBus&) = delete;

    // Initial register and table contents for the following runs (see mdiosim.c).
    void config(const std::string& text);
    // Runs tool (path) with args; argv[0] is the tool's file name.
    ToolRun run(const std::string& tool, const std::vector<std::string>& args) const;
    const std::string& ifname() const { return ifname_; }

  private:
    std::string dir_;
    std::string ifname_;
    std::string config_;
};

std::vector<std::string> splitLines(const std::string& text);
