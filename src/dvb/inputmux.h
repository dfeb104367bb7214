#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

#include "dvb/programinformation.h"
#include "dvb/psisi/nit.h"
#include "dvb/psisi/pat.h"
#include "dvb/psisi/pmt.h"
#include "dvb/psisi/sdt.h"
#include "dvb/psisi/section.h"
#include "dvb/psisi/tdttot.h"
#include "dvb/psisiparser.h"
#include "tspacket.h"

class OutputMux;

// The PSI/SI side of one input stream: parses the PIDs that carry its tables (PAT, SDT, the NIT
// that the PAT names and every PMT), keeps the tables section by section and one record per
// program, pushes each program's record to the output multiplexers that carry it, and raises
// the input's alarm when the PAT stops coming.
class InputMux {
  public:
    explicit InputMux(unsigned sid);
    ~InputMux();
    InputMux(const InputMux&) = delete;
    InputMux& operator=(const InputMux&) = delete;

    // Starts over: every parser removed and the tables forgotten, then the PAT and SDT PIDs
    // subscribed and the PAT timer started.
    void restart();
    // Removes every parser and forgets the tables; output registrations stay.
    void stop();

    // One PSI/SI packet of this input; null is a heartbeat. Either way PAT supervision runs.
    void input(const TsPacket* packet);
    // Raises the alarm once the PAT has been missing for more than 2 s.
    void tick();

    // Called by the parsers with each decoded table; other kinds than PAT, PMT, SDT and NIT are
    // ignored. Throws std::invalid_argument for a table that cannot be taken over yet.
    void sectionNotify(const std::unique_ptr<Section>& section);

    // Parses `pid` from now on and has the engine deliver it to the Muxer.
    void setPsisiHandlerChain(int pid);
    // Stops parsing `pid` and withdraws its delivery to the Muxer.
    void removeHandlerChain(int pid);

    // `out` carries `program` of this input: it gets the program's record now and whenever it
    // changes.
    void setOutputMuxForProgram(int program, OutputMux* out);
    // Drops the registration of `out` for `program`, or the first one when `out` is null.
    void removeOutputMuxForProgram(int program, const OutputMux* out);

    // The program that a configured source designates: a service name of the SDT, or else the
    // decimal program number; -1 when nothing consistent matches.
    int getProgramNumberForName(const std::string& name);
    // The program whose PMT lists `pid`, or -1 (caller holds the lock).
    int getProgramNumberForPid(int pid);
    // The PAT is complete and the program's PMT was seen (caller holds the lock).
    bool isProgramConsistent(int program);
    // Short description of an elementary stream for status reporting; empty when unknown.
    std::string getElementaryStreamTypeDescription(int pid);

    // Called, with the lock held, with every table version that is taken over.
    void setTableObserver(std::function<void(const Section&)> observer);

    const uint32_t sid;
    // Latest time table of the input (read by status reporting).
    std::shared_ptr<TdtTot> time_table;
    // Written into the PAT record when the PAT times out: no real 5-bit version, so the next
    // PAT always counts as new.
    const int pat_lost_version = 42;
    const std::string pat_alarm_text = "PAT repetition interval exceeded 2s";

    std::recursive_mutex lock;
    // Current alarm of the input; empty when there is none.
    std::string alarm;
    // One record per section number.
    std::vector<PatPayload> pats;
    std::vector<SdtPayload> sdts;
    std::vector<NitPayload> nits;
    // program number -> everything known about it
    std::unordered_map<int, ProgramInformation> programs;
    // Subscribed PIDs in subscription order.
    std::vector<PidParserEntry> parsers;
    // Output multiplexers that carry a program of this input; not owned.
    std::unordered_multimap<int, OutputMux*> outputs;
    std::chrono::steady_clock::time_point last_pat_time;
    // Heartbeats received (calls of input without a packet).
    uint64_t heartbeats = 0;

  private:
    void notifyPat(const PAT& pat);
    void notifyPmt(const PMT& pmt);
    void notifySdt(const SDT& sdt);
    void notifyNit(const NIT& nit);
    void updatePmt(const ProgramInformation& record);
    // Every section of the PAT is there, all of one version.
    bool patComplete() const;
    // The record of a program, created for this input when missing.
    ProgramInformation& programRecord(int program);
    void observe(const Section& table);

    std::function<void(const Section&)> table_observer;
};

std::ostream& operator<<(std::ostream& os, const InputMux& mux);
std::ostream& operator<<(std::ostream& os, const InputMux* mux);
