#include "inputmux.h"

#include <glog/logging.h>

#include <stdexcept>

#include "utils.h"

namespace {

// A section numbered beyond its own last_section_number has no record to go into.
void checkSectionNumber(const Section& s) {
    if (s.section_number > s.last_section_number) {
        throw std::invalid_argument(utils::string_format("section_number %d > last_section_number %d",
                                                         s.section_number, s.last_section_number));
    }
}

}  // namespace

InputMux::InputMux(unsigned sid_) : sid(sid_) {}

std::ostream& operator<<(std::ostream& os, const InputMux& mux) {
    return os << "IM " << mux.sid;
}

std::ostream& operator<<(std::ostream& os, const InputMux* mux) {
    return os << *mux;
}

bool InputMux::patComplete() const {
    if (pats.empty()) {
        return false;
    }
    for (const PatPayload& p : pats) {
        if (p.version < 0 || p.version != pats[0].version) {
            return false;
        }
    }
    return true;
}

void InputMux::sectionNotify(const std::unique_ptr<Section>& section) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    switch (section->getSectionType()) {
        case ST_PAT:
            notifyPat(static_cast<const PAT&>(*section));
            break;
        case ST_PMT:
            notifyPmt(static_cast<const PMT&>(*section));
            break;
        case ST_NIT:
            notifyNit(static_cast<const NIT&>(*section));
            break;
        case ST_SDT:
            notifySdt(static_cast<const SDT&>(*section));
            break;
        default:
            break;
    }
}

void InputMux::notifyPat(const PAT& pat) {
    checkSectionNumber(pat);
    pats.resize(pat.last_section_number + 1);
    PatPayload& old = pats[pat.section_number];
    if (old.version >= 0 && old.version == pat.payload.version) {
        return;
    }
    LOG(INFO) << this
              << utils::string_format(" PAT section %d/%d, version %d -> %d", pat.section_number,
                                      pat.last_section_number, old.version, pat.payload.version)
              << "\n"
              << pat.toFancyString();
    old = pat.payload;
}

void InputMux::notifyPmt(const PMT& pmt) {
    const int program = pmt.program_number;
    if (!patComplete() || pats[0].programs.count(program) == 0) {
        VLOG(1) << this << utils::string_format(" program %d not defined in PAT", program);
        throw std::invalid_argument("PMT before PAT");
    }
    // The program's record is kept once the output side that consumes it exists.
}

void InputMux::notifySdt(const SDT& sdt) {
    if (!patComplete()) {
        throw std::invalid_argument("SDT before PAT");
    }
    if (sdt.payload.transport_stream_id != pats[0].transport_stream_id) {
        LOG(WARNING) << this
                     << utils::string_format(" sdt_actual transport_stream_id %d differ from PAT %d",
                                             sdt.payload.transport_stream_id, pats[0].transport_stream_id);
        return;
    }
    checkSectionNumber(sdt);
    sdts.resize(sdt.last_section_number + 1);
    SdtPayload& old = sdts[sdt.section_number];
    if (old.version == sdt.payload.version) {
        return;
    }
    LOG(INFO) << this
              << utils::string_format(" SDT section %d/%d, version %d -> %d", sdt.section_number,
                                      sdt.last_section_number, old.version, sdt.payload.version)
              << "\n"
              << sdt.toFancyString();
    old = sdt.payload;
}

void InputMux::notifyNit(const NIT& nit) {
    checkSectionNumber(nit);
    nits.resize(nit.last_section_number + 1);
    NitPayload& old = nits[nit.section_number];
    if (old.version >= 0 && old.version == nit.payload.version) {
        return;
    }
    LOG(INFO) << this
              << utils::string_format(" NIT section %d/%d, version %d -> %d", nit.section_number,
                                      nit.last_section_number, old.version, nit.payload.version)
              << "\n"
              << nit.toFancyString();
    old = nit.payload;
}
