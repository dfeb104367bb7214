// Process entry of the orrel daemon: flags, logging, version report, daemon mode and the
// start-up sequence that brings the subsystems up before the main thread parks itself.

#include <fcntl.h>
#include <gflags/gflags.h>
#include <glog/logging.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "buildinfo.h"
#include "dvb/muxer.h"
#include "dvb/psisi/psisi_utils.h"
#include "net/linux_pf_packet/ethlinuxif.h"
#include "realtime.h"
#include "utils.h"

DEFINE_bool(info, false, "Print verbose version information and exit");
DEFINE_bool(daemon, false, "Run as a daemon");
DEFINE_string(rxif, "eth1", "RX ethernet interfaces, comma separated");
DEFINE_string(txif, "eth1", "TX ethernet interfaces, comma separated");
DEFINE_string(cfg_db, "/etc/mux/mux_config.db", "Full path (including filename) to configuration database");
DEFINE_string(status_db, "/etc/mux/mux_status.db", "Full path (including filename) to status database");

[[noreturn]] static void start(int argc, char** argv);

template <class Clock>
static void logClockPeriod(const char* name) {
    LOG(INFO) << name << ": " << Clock::period::num << " / " << Clock::period::den;
}

[[noreturn]] static void start(int /*argc*/, char** /*argv*/) {
    psisi_utils::generate_crc_table();

    logClockPeriod<std::chrono::steady_clock>("steady_clock");
    logClockPeriod<std::chrono::high_resolution_clock>("high_resolution_clock");

    LOG(INFO) << "TSC calibration: real " << realtime::tsc_calibrate() << ", assumed " << realtime::TSC_HZ;
    const uint64_t offset = realtime::nic_tsc_offset();
    LOG(INFO) << "NIC-TSC time offset " << offset << " (" << offset * 1000000 / realtime::TSC_HZ << "us)";

    const std::vector<std::string> rx_interfaces = utils::split(FLAGS_rxif, ',');
    const std::vector<std::string> tx_interfaces = utils::split(FLAGS_txif, ',');
    EthLinuxIf& engine = EthLinuxIf::getInstance();
    if (engine.init(rx_interfaces, tx_interfaces) != 0) {
        LOG(FATAL) << "cannot init network engine";
    }

    // Only what is mapped now: the packet-path tables are allocated by this point.
    mlockall(MCL_CURRENT);

    engine.start();
    Muxer::getInstance().start();

    for (;;) {
        usleep(1000000);
    }
}

[[noreturn]] static void run_as_daemon(int argc, char** argv) {
    pid_t pid = fork();
    if (pid < 0) {
        LOG(FATAL) << "Cant fork the process";
    }
    if (pid > 0) {
        exit(0);
    }
    umask(0);
    if (setsid() < 0) {
        LOG(FATAL) << "Cant set unique session ID";
    }
    if (chdir("/") < 0) {
        LOG(FATAL) << "Cant change directory to /";
    }
    close(STDIN_FILENO);
    close(STDOUT_FILENO);
    close(STDERR_FILENO);
    int fd = open("/dev/null", O_RDWR);
    if (fd >= 0) {
        dup2(fd, STDIN_FILENO);
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        if (fd > STDERR_FILENO) {
            close(fd);
        }
    }
    start(argc, argv);
}

int main(int argc, char** argv) {
    gflags::SetVersionString(buildinfo::version);
    gflags::ParseCommandLineFlags(&argc, &argv, true);
    google::InitGoogleLogging(argv[0]);
    google::InstallFailureSignalHandler();

    if (FLAGS_info) {
        utils::printVersion();
        return 0;
    }
    if (FLAGS_daemon) {
        run_as_daemon(argc, argv);
    }
    start(argc, argv);
}
