#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <ostream>
#include <vector>

#include "dvb/psisi/nit.h"
#include "dvb/psisi/pat.h"
#include "dvb/psisi/pmt.h"
#include "dvb/psisi/sdt.h"
#include "dvb/psisi/section.h"
#include "dvb/psisi/tdttot.h"

// The PSI/SI side of one input stream: takes the tables its parsers decode and keeps the
// stream's PAT, SDT and NIT section by section.
class InputMux {
  public:
    explicit InputMux(unsigned sid);
    InputMux(const InputMux&) = delete;
    InputMux& operator=(const InputMux&) = delete;

    // Called by the parsers with each decoded table; other kinds than PAT, PMT, SDT and NIT are
    // ignored. Throws std::invalid_argument for a table that cannot be taken over yet.
    void sectionNotify(const std::unique_ptr<Section>& section);

    const uint32_t sid;
    // Latest time table of the input (read by status reporting).
    std::shared_ptr<TdtTot> time_table;
    std::recursive_mutex lock;
    // One record per section number.
    std::vector<PatPayload> pats;
    std::vector<SdtPayload> sdts;
    std::vector<NitPayload> nits;

  private:
    void notifyPat(const PAT& pat);
    void notifyPmt(const PMT& pmt);
    void notifySdt(const SDT& sdt);
    void notifyNit(const NIT& nit);
    // Every section of the PAT is there, all of one version.
    bool patComplete() const;
};

std::ostream& operator<<(std::ostream& os, const InputMux& mux);
std::ostream& operator<<(std::ostream& os, const InputMux* mux);
