#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <ostream>
#include <unordered_map>

#include "dvb/programinformation.h"
#include "dvb/psisi/pat.h"
#include "dvb/psisi/sdt.h"
#include "dvb/psisigenerator.h"
#include "fastdelegate.h"
#include "tspacket.h"

// One output stream: its candidate sources (programs of input streams), the one on air, the
// routing of that program's elementary streams to the output's transmit ring, and the
// regenerated PAT, SDT and PMT of the output.
class OutputMux {
  public:
    static constexpr unsigned MAX_PROGRAMS = 255;
    static constexpr int PAT_PID = 0x00;
    static constexpr int SDT_PID = 0x11;

    explicit OutputMux(unsigned sid);
    // Withdraws the routes of the program on air.
    ~OutputMux();
    OutputMux(const OutputMux&) = delete;
    OutputMux& operator=(const OutputMux&) = delete;

    // Starts the PAT and SDT generators with empty tables. Returns 0.
    int init();

    // Registers a candidate; its output program number, or -1.
    int addProgram(const StreamProgram& sp);
    // Puts a registered candidate on air (rebuilding everything when `switching`); its output
    // program number, or -1.
    int activateProgram(const StreamProgram& sp, bool switching);
    // Takes the candidate off air if it is on air; its output program number, or -1.
    int deactivateProgram(const StreamProgram& sp);
    int deactivateProgram(int program);
    // Takes the candidate off air and forgets it; its output program number, or -1.
    int deleteProgram(const StreamProgram& sp);
    // Output program number of a candidate, -1 when it is not registered.
    int getProgramForInput(const StreamProgram& sp);

    // New facts about a candidate from its input demultiplexer. Returns 0.
    int updateProgramInformation(const ProgramInformation& info);
    // Applies a candidate's settings (stream selection, PCR PID); the candidate's input program
    // number, or -1.
    int updateProgramAttributes(const StreamProgram& sp, const RemuxProperties& properties);
    // Carries only `pid` of class `es_class` (-1: all of them); true when something changed.
    bool selectSingleElementaryStream(int program, EsClass es_class, int pid);
    // Paces by `pid` (-1: the PCR PID of the input PMT); true when something changed.
    bool setPcrPid(int program, int pid);

    void establishEsRouting(int program);
    void clearEsRouting(int program);

    // Polls every generator once; microseconds until the next one is due (all ones when there
    // is no generator).
    uint64_t output(uint64_t now_us, std::deque<TsPacket*>* queue,
                    fastdelegate::FastDelegate0<TsPacket*>& allocate);

    // Version of the table on air at `pid`, -1 when no generator sends there.
    int generatorVersion(int pid);

    const uint32_t sid;
    // output program number -> PMT PID of the program on air
    PatPayload pat;
    // output program number -> its service
    SdtPayload sdt;
    std::unordered_map<StreamProgram, int> input_to_output;
    // output program number -> the candidate's facts
    std::unordered_map<int, ProgramInformation> programs;
    std::unordered_map<StreamProgram, RemuxProperties> remux_properties;
    // Output program number on air, -1 when none.
    int active = -1;
    std::recursive_mutex lock;
    // PID -> generator: PAT, SDT and the PMT of the program on air.
    std::unordered_map<int, std::unique_ptr<PsisiGenerator>> generators;

  private:
    PsisiGenerator& generator(int pid);
    void sendPatAndSdt();
    // Off air: generator, PAT and SDT entries and routes of `program`; the PMT generator stays
    // when the next program's PMT goes out on the same PID, so its version moves on.
    void takeOffAir(int program, int next_pmt_pid);
    const StreamProgram* candidateFor(int program) const;
};

std::ostream& operator<<(std::ostream& os, const OutputMux& mux);
std::ostream& operator<<(std::ostream& os, const OutputMux* mux);
