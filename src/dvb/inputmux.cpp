#include "inputmux.h"

#include <glog/logging.h>

#include <climits>
#include <stdexcept>

#include "net/linux_pf_packet/ethlinuxif.h"
#include "orm/attributenames.h"
#include "outputmux.h"
#include "utils.h"

namespace {

constexpr int PAT_PID = 0x00;
constexpr int SDT_PID = 0x11;
constexpr long PAT_TIMEOUT_MS = 2000;

// A section numbered beyond its own last_section_number has no record to go into.
void checkSectionNumber(const Section& s) {
    if (s.section_number > s.last_section_number) {
        throw std::invalid_argument(utils::string_format("section_number %d > last_section_number %d",
                                                         s.section_number, s.last_section_number));
    }
}

// The PAT and SDT PIDs are parsed for as long as the input runs. A PAT that names one of them
// as a PMT or network PID must not make us replace their parser: the PAT parser is the caller
// when the PAT is taken over, and the tables found there are decoded by table_id anyway.
bool alwaysParsed(int pid) {
    return pid == PAT_PID || pid == SDT_PID;
}

// Leading decimal digits of a text; 0 when there are none.
int leadingNumber(const std::string& text) {
    long n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            break;
        }
        n = n * 10 + (c - '0');
        if (n > INT_MAX) {
            return INT_MAX;
        }
    }
    return static_cast<int>(n);
}

}  // namespace

InputMux::InputMux(unsigned sid_) : sid(sid_), last_pat_time(std::chrono::steady_clock::now()) {}

InputMux::~InputMux() {
    stop();
    LOG(INFO) << this << " destroyed :(";
}

std::ostream& operator<<(std::ostream& os, const InputMux& mux) {
    return os << "IM " << mux.sid;
}

std::ostream& operator<<(std::ostream& os, const InputMux* mux) {
    return os << *mux;
}

void InputMux::setTableObserver(std::function<void(const Section&)> observer) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    table_observer = std::move(observer);
}

void InputMux::observe(const Section& table) {
    if (table_observer) {
        table_observer(table);
    }
}

void InputMux::restart() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    stop();
    setPsisiHandlerChain(PAT_PID);
    last_pat_time = std::chrono::steady_clock::now();
    alarm.clear();
    setPsisiHandlerChain(SDT_PID);
    LOG(INFO) << this << " restarted";
}

void InputMux::stop() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    while (!parsers.empty()) {
        removeHandlerChain(parsers.front().pid);
    }
    pats.clear();
    sdts.clear();
    nits.clear();
    programs.clear();
    LOG(INFO) << this << " stopped";
}

void InputMux::input(const TsPacket* packet) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (packet != nullptr) {
        const int pid = static_cast<int>(packet->pid());
        for (const PidParserEntry& entry : parsers) {
            if (entry.pid == pid) {
                // A copy: the table this packet completes may change the parser list.
                const PsisiParser::InputDelegate deliver = entry.input;
                deliver(packet);
                break;
            }
        }
    } else {
        ++heartbeats;
    }
    tick();
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

void InputMux::tick() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    const bool complete = patComplete();
    if (complete && pats[0].version == pat_lost_version) {
        return;
    }
    const long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - last_pat_time)
                                          .count());
    if (ms <= PAT_TIMEOUT_MS) {
        return;
    }
    if (alarm.empty()) {
        LOG(ERROR) << this << " no PAT for " << ms;
        alarm = pat_alarm_text;
    }
    if (complete) {
        pats[0].version = pat_lost_version;
    }
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

void InputMux::setPsisiHandlerChain(int pid) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    PidParserEntry entry;
    entry.pid = pid;
    entry.parser = std::make_unique<PsisiParser>(static_cast<unsigned>(pid), this);
    entry.input = entry.parser->getInputDelegate();
    parsers.push_back(std::move(entry));
    EthLinuxIf::getInstance().setPidAction(sid, pid, EthLinuxIf::MUXER_TARGET);
    LOG(INFO) << "PSISI parser installed for PID " << pid;
}

void InputMux::removeHandlerChain(int pid) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    for (auto it = parsers.begin(); it != parsers.end();) {
        if (it->pid != pid) {
            ++it;
            continue;
        }
        EthLinuxIf::getInstance().clearPidAction(sid, pid, EthLinuxIf::MUXER_TARGET);
        it = parsers.erase(it);
        LOG(INFO) << this << " PSISI parser removed for PID " << pid;
    }
}

ProgramInformation& InputMux::programRecord(int program) {
    auto [it, created] = programs.try_emplace(program);
    if (created) {
        it->second.sid = sid;
        it->second.program_number = program;
    }
    return it->second;
}

void InputMux::notifyPat(const PAT& pat) {
    checkSectionNumber(pat);
    last_pat_time = std::chrono::steady_clock::now();
    pats.resize(pat.last_section_number + 1);
    PatPayload& old = pats[pat.section_number];
    const PatPayload& fresh = pat.payload;
    if (old.version >= 0 && old.version == fresh.version) {
        return;
    }
    LOG(INFO) << this
              << utils::string_format(" PAT section %d/%d, version %d -> %d", pat.section_number,
                                      pat.last_section_number, old.version, fresh.version)
              << "\n"
              << pat.toFancyString();
    observe(pat);
    alarm.clear();

    if (old.nid_pid != -1 && !alwaysParsed(old.nid_pid)) {
        removeHandlerChain(old.nid_pid);
    }
    if (fresh.nid_pid != -1 && !alwaysParsed(fresh.nid_pid)) {
        setPsisiHandlerChain(fresh.nid_pid);
        LOG(INFO) << this << " installed NIT handler for PID " << fresh.nid_pid;
    }

    for (const auto& [program, pmt_pid] : old.programs) {
        auto now = fresh.programs.find(program);
        if (now == fresh.programs.end()) {
            LOG(INFO) << this << " program " << program << " PMT PID " << pmt_pid << " not found in new PAT";
            if (!alwaysParsed(pmt_pid)) {
                removeHandlerChain(pmt_pid);
            }
            removeOutputMuxForProgram(program, nullptr);
            programs.erase(program);
        } else if (now->second != pmt_pid) {
            LOG(INFO) << this << " program " << program << " PMT PID changed from " << pmt_pid << " to "
                      << now->second;
            if (!alwaysParsed(pmt_pid)) {
                removeHandlerChain(pmt_pid);
            }
            if (!alwaysParsed(now->second)) {
                setPsisiHandlerChain(now->second);
            }
            // The output keeps regenerating the PMT on the PID it started with.
            programRecord(program).pmt_version = -1;
        }
    }

    for (const auto& [program, pmt_pid] : fresh.programs) {
        if (old.programs.count(program) != 0) {
            continue;
        }
        LOG(INFO) << this << " new program " << program << " PMT PID " << pmt_pid;
        ProgramInformation& record = programRecord(program);
        record.pmt_pid = pmt_pid;
        record.program_number = program;
        record.sid = sid;
        if (!alwaysParsed(pmt_pid)) {
            removeHandlerChain(pmt_pid);
            setPsisiHandlerChain(pmt_pid);
        }
    }

    old = fresh;
}

void InputMux::notifyPmt(const PMT& pmt) {
    const int program = pmt.program_number;
    if (!patComplete() || pats[0].programs.count(program) == 0) {
        VLOG(1) << this << utils::string_format(" program %d not defined in PAT", program);
        throw std::invalid_argument("PMT before PAT");
    }
    auto it = programs.find(program);
    if (it != programs.end() && it->second.pmt_version == pmt.version) {
        return;
    }
    LOG(INFO) << this
              << utils::string_format(" PMT section %d/%d, version %d -> %d for program %d",
                                      pmt.section_number, pmt.last_section_number,
                                      it != programs.end() ? it->second.pmt_version : -1, pmt.version,
                                      program)
              << "\n"
              << pmt.toFancyString();
    observe(pmt);
    ProgramInformation& record = programRecord(program);
    record.pmt_version = pmt.version;
    record.pcr_pid = pmt.pcr_pid;
    record.pmt_program_number = pmt.program_number;
    record.pmt_attributes = pmt.attributes;
    record.program_info = pmt.program_info;
    record.streams = pmt.streams;
    updatePmt(record);
}

void InputMux::updatePmt(const ProgramInformation& record) {
    auto range = outputs.equal_range(record.program_number);
    for (auto it = range.first; it != range.second; ++it) {
        it->second->updateProgramInformation(record);
    }
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
    observe(sdt);
    old = sdt.payload;

    for (const auto& [service_id, service] : sdt.payload.services) {
        const bool known = programs.count(service_id) != 0;
        const bool carried = outputs.count(service_id) != 0;
        if (!known && !carried) {
            continue;
        }
        ProgramInformation& record = programRecord(service_id);
        record.service_version = service.version;
        record.service_spare = service.spare;
        record.service_attributes = service.attributes;
        updatePmt(record);
    }
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
    observe(nit);
    old = nit.payload;
}

void InputMux::setOutputMuxForProgram(int program, OutputMux* out) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    outputs.emplace(program, out);
    out->updateProgramInformation(programRecord(program));
}

void InputMux::removeOutputMuxForProgram(int program, const OutputMux* out) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    auto range = outputs.equal_range(program);
    for (auto it = range.first; it != range.second; ++it) {
        if (out == nullptr || it->second == out) {
            outputs.erase(it);
            return;
        }
    }
}

bool InputMux::isProgramConsistent(int program) {
    if (!patComplete()) {
        return false;
    }
    auto it = programs.find(program);
    return it != programs.end() && it->second.pmt_version >= 0;
}

int InputMux::getProgramNumberForPid(int pid) {
    for (const auto& [program, record] : programs) {
        if (record.pmt_version >= 0 && record.streams.count(pid) != 0) {
            return program;
        }
    }
    return -1;
}

int InputMux::getProgramNumberForName(const std::string& name) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    for (const auto& [program, record] : programs) {
        if (record.service_version < 0) {
            continue;
        }
        auto it = record.service_attributes.find(SERVICE_NAME);
        if (it == record.service_attributes.end()) {
            continue;
        }
        if (it->second.get<std::string>() == name && isProgramConsistent(program)) {
            return program;
        }
    }
    const int number = leadingNumber(name);
    if (number != 0) {
        VLOG(1) << this << " \"" << name << "\" not in SDT, try as program number " << number;
        if (isProgramConsistent(number)) {
            return number;
        }
    }
    return -1;
}

std::string InputMux::getElementaryStreamTypeDescription(int pid) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    const int program = getProgramNumberForPid(pid);
    if (program < 0) {
        return "";
    }
    const PmtEsPayload& es = programs.at(program).streams.at(pid);
    std::string text;
    auto type = pmt_stream_type_description.find(es.stream_type);
    if (type != pmt_stream_type_description.end()) {
        text = type->second;
    }
    if (es.stream_type == 0x06) {
        auto ac3 = es.attributes.find(AC3_TYPE);
        if (ac3 != es.attributes.end() && ac3->second.is<std::string>()) {
            text = ac3->second.get<std::string>();
        } else if (es.es_class == ES_SUBTITLE) {
            text = "Subtitle";
        }
    }
    auto language = es.attributes.find(ISO_639_LANGUAGE_CODE);
    if (language != es.attributes.end() && !text.empty()) {
        text += ", " + language->second.toString();
    }
    return text;
}
