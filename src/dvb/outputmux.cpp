#include "outputmux.h"

#include <glog/logging.h>

#include <limits>

#include "dvb/psisi/pmt.h"
#include "net/linux_pf_packet/ethlinuxif.h"
#include "orm/attributenames.h"
#include "utils.h"

namespace {

constexpr int MAX_PROGRAM_NUMBER = 65535;
constexpr int DEFAULT_SERVICE_TYPE = 22;
const char* const PROVIDER = "Tavrel";

// A PMT PID that the output can carry: not the PAT or SDT PID (their generators live there)
// and not the null PID.
bool usablePmtPid(int pid) {
    return pid > 0 && pid < 0x1FFF && pid != OutputMux::PAT_PID && pid != OutputMux::SDT_PID;
}

}  // namespace

OutputMux::OutputMux(unsigned sid_) : sid(sid_) {}

OutputMux::~OutputMux() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (active != -1) {
        clearEsRouting(active);
    }
}

std::ostream& operator<<(std::ostream& os, const OutputMux& mux) {
    return os << utils::string_format("OM %u", mux.sid);
}

std::ostream& operator<<(std::ostream& os, const OutputMux* mux) {
    return os << *mux;
}

PsisiGenerator& OutputMux::generator(int pid) {
    std::unique_ptr<PsisiGenerator>& g = generators[pid];
    if (!g) {
        g = std::make_unique<PsisiGenerator>(pid, sid);
    }
    return *g;
}

void OutputMux::sendPatAndSdt() {
    auto p = std::make_unique<PAT>(ST_PAT);
    p->payload = pat;
    generator(PAT_PID).setEncodedTable(std::unique_ptr<Section>(std::move(p)));
    auto s = std::make_unique<SDT>(ST_SDT);
    s->payload = sdt;
    generator(SDT_PID).setEncodedTable(std::unique_ptr<Section>(std::move(s)));
}

int OutputMux::init() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    pat.version = 0;
    sdt.version = 0;
    sendPatAndSdt();
    return 0;
}

const StreamProgram* OutputMux::candidateFor(int program) const {
    for (const auto& [sp, n] : input_to_output) {
        if (n == program) {
            return &sp;
        }
    }
    return nullptr;
}

int OutputMux::getProgramForInput(const StreamProgram& sp) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    auto it = input_to_output.find(sp);
    return it == input_to_output.end() ? -1 : it->second;
}

int OutputMux::addProgram(const StreamProgram& sp) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    auto it = input_to_output.find(sp);
    if (it != input_to_output.end()) {
        VLOG(2) << this << " " << sp << " already muxed to program " << it->second;
        return -1;
    }
    if (programs.size() >= MAX_PROGRAMS) {
        LOG(WARNING) << this << " maximum number of programs reached";
        return -1;
    }
    int n = sp.program_number;
    while (programs.count(n) != 0 && n < MAX_PROGRAM_NUMBER) {
        ++n;
    }
    if (programs.count(n) != 0 || n < 1 || n > MAX_PROGRAM_NUMBER) {
        LOG(WARNING) << this << " no free program number for " << sp;
        return -1;
    }
    LOG(INFO) << this << " add program " << sp << " as program " << n;
    programs[n].sid = sp.sid;
    input_to_output[sp] = n;
    return n;
}

int OutputMux::updateProgramInformation(const ProgramInformation& info) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    const StreamProgram sp{info.sid, info.program_number};
    auto it = input_to_output.find(sp);
    if (it == input_to_output.end()) {
        LOG(WARNING) << this << " updateProgramInformation called for non-registered input " << sp;
        return 0;
    }
    const int n = it->second;
    LOG(INFO) << this << " update " << sp << " -> " << n;
    ProgramInformation& r = programs[n];
    // A PCR PID that followed the input follows it further; one configured apart stays.
    if (r.pcr_pid_selected == -1 || r.pcr_pid_selected == r.pcr_pid) {
        r.pcr_pid_selected = info.pcr_pid;
    }
    r.pmt_version = info.pmt_version;
    r.pcr_pid = info.pcr_pid;
    r.pmt_program_number = info.pmt_program_number;
    r.pmt_attributes = info.pmt_attributes;
    r.program_info = info.program_info;
    r.streams = info.streams;
    r.service_version = info.service_version;
    r.service_spare = info.service_spare;
    r.service_attributes = info.service_attributes;
    r.pmt_pid = info.pmt_pid;

    if (r.service_attributes.count(SERVICE_TYPE) == 0) {
        r.service_attributes[SERVICE_TYPE] = DEFAULT_SERVICE_TYPE;
    }
    if (r.service_attributes.count(SERVICE_NAME) == 0) {
        r.service_attributes[SERVICE_NAME] =
            utils::string_format("Program %d", static_cast<int>(sid % 256 + 1));
    }
    r.service_attributes[PROVIDER_NAME] = PROVIDER;

    if (n == active) {
        activateProgram(sp, true);
    }
    return 0;
}

int OutputMux::updateProgramAttributes(const StreamProgram& sp, const RemuxProperties& properties) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    auto it = input_to_output.find(sp);
    if (it == input_to_output.end()) {
        LOG(WARNING) << this << " updateProgramAttributes(): nonexisting program " << sp;
        return -1;
    }
    const int n = it->second;
    remux_properties[sp] = properties;
    bool changed = false;
    for (const auto& [name, value] : properties.attributes) {
        if (name == AUDIO_STREAM_PID) {
            changed |= selectSingleElementaryStream(n, ES_AUDIO, value.get<int>());
        } else if (name == SUBTITLE_STREAM_PID) {
            changed |= selectSingleElementaryStream(n, ES_SUBTITLE, value.get<int>());
        } else if (name == PCR_SYNC) {
            changed |= setPcrPid(n, value.get<int>());
        }
    }
    if (changed && n == active) {
        activateProgram(sp, true);
    }
    return sp.program_number;
}

bool OutputMux::selectSingleElementaryStream(int program, EsClass es_class, int pid) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    auto it = programs.find(program);
    if (it == programs.end()) {
        LOG(WARNING) << this << " selectSingleElementaryStream(): nonexisting program " << program;
        return true;
    }
    std::map<EsClass, int>& selection = it->second.es_selection;
    auto entry = selection.find(es_class);
    if (pid == -1) {
        if (entry == selection.end()) {
            return false;
        }
        selection.erase(entry);
        LOG(INFO) << this << " es type " << static_cast<int>(es_class) << " PID set to default";
        return true;
    }
    if (entry != selection.end() && entry->second == pid) {
        return false;
    }
    selection[es_class] = pid;
    LOG(INFO) << this << " es type " << static_cast<int>(es_class) << " PID set to " << pid;
    return true;
}

bool OutputMux::setPcrPid(int program, int pid) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    auto it = programs.find(program);
    if (it == programs.end()) {
        LOG(WARNING) << this << " setPcrPid(): nonexisting program " << program;
        return false;
    }
    ProgramInformation& r = it->second;
    const int chosen = pid == -1 ? r.pcr_pid : pid;
    if (r.pcr_pid_selected == chosen) {
        return false;
    }
    r.pcr_pid_selected = chosen;
    LOG(INFO) << this << " program " << program << " PCR pid set to " << chosen;
    return true;
}

void OutputMux::establishEsRouting(int program) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    ProgramInformation& r = programs[program];
    EthLinuxIf& engine = EthLinuxIf::getInstance();
    for (const auto& entry : r.out_streams) {
        engine.setPidAction(r.sid, entry.first, sid);
    }
    engine.setPcrPid(sid, static_cast<unsigned>(r.out_pcr_pid));
}

void OutputMux::clearEsRouting(int program) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    auto it = programs.find(program);
    if (it == programs.end()) {
        return;
    }
    EthLinuxIf& engine = EthLinuxIf::getInstance();
    for (const auto& entry : it->second.out_streams) {
        engine.clearPidAction(it->second.sid, entry.first, sid);
    }
}

void OutputMux::takeOffAir(int program, int next_pmt_pid) {
    auto listed = pat.programs.find(program);
    if (listed != pat.programs.end()) {
        LOG(INFO) << "delete PMT generator at PID " << listed->second;
        if (listed->second != next_pmt_pid) {
            generators.erase(listed->second);
        }
        pat.programs.erase(listed);
    }
    sdt.services.erase(program);
    clearEsRouting(program);
    auto it = programs.find(program);
    if (it != programs.end()) {
        it->second.out_version = -1;
    }
}

int OutputMux::activateProgram(const StreamProgram& sp, bool switching) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    auto it = input_to_output.find(sp);
    if (it == input_to_output.end()) {
        LOG(WARNING) << this << " activateProgram(): nonexisting program " << sp;
        return -1;
    }
    const int n = it->second;
    if (!switching && active == n) {
        LOG(INFO) << this << " " << sp << " -> " << n << " already active";
        return n;
    }
    ProgramInformation& r = programs[n];
    if (!usablePmtPid(r.pmt_pid)) {
        LOG(WARNING) << this << " " << sp << " -> " << n << " has no usable PMT PID (" << r.pmt_pid
                     << "), not activated";
        return -1;
    }
    if (!switching && active == -1) {
        LOG(INFO) << this << " activate  " << sp << " -> " << n;
    } else {
        LOG(INFO) << this << " switch to " << sp << " -> " << n;
        if (active != -1) {
            takeOffAir(active, r.pmt_pid);
        }
    }

    pat.programs[n] = r.pmt_pid;
    SdtServicePayload& service = sdt.services[n];
    service.version = r.service_version;
    service.spare = r.service_spare;
    service.attributes = r.service_attributes;

    r.out_version = r.pmt_version;
    r.out_attributes = r.pmt_attributes;
    r.out_program_info = r.program_info;
    r.out_streams = r.streams;
    r.out_program_number = n;
    r.out_pcr_pid = r.pcr_pid_selected;

    for (auto es = r.out_streams.begin(); es != r.out_streams.end();) {
        auto selected = r.es_selection.find(es->second.es_class);
        if (selected != r.es_selection.end() && selected->second != es->first) {
            LOG(INFO) << " drop pid " << es->first;
            es = r.out_streams.erase(es);
        } else {
            ++es;
        }
    }

    establishEsRouting(n);

    auto pmt = std::make_unique<PMT>(ST_PMT);
    pmt->version = r.out_version;
    pmt->pcr_pid = r.out_pcr_pid;
    pmt->program_number = n;
    pmt->table_id_extension = n;
    pmt->attributes = r.out_attributes;
    pmt->program_info = r.out_program_info;
    pmt->streams = r.out_streams;
    generator(r.pmt_pid).setEncodedTable(std::unique_ptr<Section>(std::move(pmt)));

    sendPatAndSdt();
    active = n;
    return n;
}

int OutputMux::deactivateProgram(const StreamProgram& sp) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    auto it = input_to_output.find(sp);
    if (it == input_to_output.end()) {
        LOG(WARNING) << this << " deactivateProgram(): nonexisting program " << sp;
        return -1;
    }
    const int n = it->second;
    if (n != active) {
        return n;
    }
    LOG(INFO) << this << " deactivate " << sp << " -> " << n;
    takeOffAir(n, -1);
    active = -1;
    sendPatAndSdt();
    return n;
}

int OutputMux::deactivateProgram(int program) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    const StreamProgram* sp = candidateFor(program);
    if (sp == nullptr) {
        LOG(WARNING) << this << " deactivateProgram(): nonexisting program " << program;
        return -1;
    }
    const StreamProgram copy = *sp;
    return deactivateProgram(copy);
}

int OutputMux::deleteProgram(const StreamProgram& sp) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    auto it = input_to_output.find(sp);
    if (it == input_to_output.end()) {
        LOG(WARNING) << this << " deleteProgram(): nonexisting program " << sp;
        return -1;
    }
    const int n = it->second;
    deactivateProgram(sp);
    programs.erase(n);
    input_to_output.erase(sp);
    LOG(INFO) << this << " remove " << sp << " -> " << n;
    return n;
}

uint64_t OutputMux::output(uint64_t now_us, std::deque<TsPacket*>* queue,
                           fastdelegate::FastDelegate0<TsPacket*>& allocate) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    uint64_t shortest = std::numeric_limits<uint64_t>::max();
    for (auto& entry : generators) {
        const uint64_t t = entry.second->output(now_us, queue, allocate);
        if (t < shortest) {
            shortest = t;
        }
    }
    return shortest;
}

int OutputMux::generatorVersion(int pid) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    auto it = generators.find(pid);
    return it == generators.end() ? -1 : it->second->version();
}
