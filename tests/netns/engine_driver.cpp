// Runs the engine and the Muxer as the daemon's start-up does and sets up what the stream
// manager and the remux table will: one input stream, one output stream, both programs of the
// input as candidates of the output, the first activated once the input knows it. SIGUSR1 puts
// the other candidate on air (and back on the next signal). Runs until it is killed.
#include <gflags/gflags.h>
#include <glog/logging.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "dvb/inputmux.h"
#include "dvb/muxer.h"
#include "dvb/outputmux.h"
#include "dvb/psisi/psisi_utils.h"
#include "net/linux_pf_packet/ethlinuxif.h"
#include "utils.h"

DEFINE_string(rxif, "", "receive interface");
DEFINE_string(txif, "", "transmit interface");
DEFINE_string(input, "239.1.1.1:5000", "input stream address:port");
DEFINE_string(output, "239.2.2.2", "output stream address");
DEFINE_int32(program, 1, "program put on air first");
DEFINE_int32(other_program, 2, "the other candidate");
DEFINE_string(unbuilt_output, "", "destination of a second output whose header cannot be built");
DEFINE_string(pidfile, "", "file to write the process id to once the program switch can be asked for");

namespace {

constexpr unsigned INPUT_SID = 1;
constexpr unsigned OUTPUT_SID = 256;
constexpr unsigned UNBUILT_SID = 257;

volatile std::sig_atomic_t switch_requested = 0;

void onSwitch(int) {
    switch_requested = 1;
}

bool consistent(InputMux& in, int program) {
    std::lock_guard<std::recursive_mutex> guard(in.lock);
    return in.isProgramConsistent(program);
}

}  // namespace

int main(int argc, char** argv) {
    gflags::ParseCommandLineFlags(&argc, &argv, true);
    google::InitGoogleLogging(argv[0]);
    psisi_utils::generate_crc_table();

    EthLinuxIf& engine = EthLinuxIf::getInstance();
    if (engine.init({FLAGS_rxif}, {FLAGS_txif}) != 0) {
        LOG(FATAL) << "cannot init network engine";
    }
    mlockall(MCL_CURRENT);
    engine.start();
    Muxer& muxer = Muxer::getInstance();
    muxer.start();

    // The engine first, so that the output has its header before its first table is due.
    OutputMux out(OUTPUT_SID);
    if (engine.addOutputStream(OUTPUT_SID, FLAGS_txif, FLAGS_output) != 0) {
        LOG(FATAL) << "cannot add output stream";
    }
    out.init();
    muxer.registerOutputMux(&out);
    // Its tables are generated and injected, but it has no header to go out with.
    OutputMux unbuilt(UNBUILT_SID);
    if (!FLAGS_unbuilt_output.empty()) {
        if (engine.addOutputStream(UNBUILT_SID, FLAGS_txif, FLAGS_unbuilt_output) == 0) {
            LOG(FATAL) << "the unbuilt output got a header";
        }
        unbuilt.init();
        muxer.registerOutputMux(&unbuilt);
    }

    const size_t colon = FLAGS_input.find(':');
    const std::string address = FLAGS_input.substr(0, colon);
    const unsigned port = static_cast<unsigned>(std::stoul(FLAGS_input.substr(colon + 1)));
    InputMux in(INPUT_SID);
    muxer.registerInputMux(&in);
    in.restart();
    if (engine.addInputStream(INPUT_SID, FLAGS_rxif, address, port, 0, {}, 0) != 0) {
        LOG(FATAL) << "cannot add input stream";
    }

    const StreamProgram candidates[] = {{INPUT_SID, FLAGS_program}, {INPUT_SID, FLAGS_other_program}};
    for (const StreamProgram& c : candidates) {
        out.addProgram(c);
        in.setOutputMuxForProgram(c.program_number, &out);
    }
    std::signal(SIGUSR1, onSwitch);
    if (!FLAGS_pidfile.empty()) {
        FILE* f = fopen(FLAGS_pidfile.c_str(), "w");
        if (f != nullptr) {
            fprintf(f, "%d\n", static_cast<int>(getpid()));
            fclose(f);
        }
    }
    while (!consistent(in, FLAGS_program)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    out.activateProgram(candidates[0], false);
    LOG(INFO) << "driver: program " << FLAGS_program << " on air";

    unsigned on_air = 0;
    for (;;) {
        if (switch_requested) {
            switch_requested = 0;
            on_air = 1 - on_air;
            out.activateProgram(candidates[on_air], false);
            LOG(INFO) << "driver: program " << candidates[on_air].program_number << " on air";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}
