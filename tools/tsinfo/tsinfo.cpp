// tsinfo: what the daemon's demultiplexer makes of a transport stream file. Every packet is fed
// to an input demultiplexer as if it had arrived on the network; each table version that the
// demultiplexer takes over is printed as it comes, and a summary of every program follows.

#include <glog/logging.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "dvb/inputmux.h"
#include "dvb/psisi/psisi_utils.h"
#include "orm/attributenames.h"
#include "tspacket.h"
#include "utils.h"

namespace {

const char* const USAGE =
    "usage: tsinfo [-q] [-v] FILE\n"
    "  Feeds every TS packet of FILE to the demultiplexer of the orrel daemon, prints each PSI/SI\n"
    "  table version it takes over and ends with a summary of every program.\n"
    "  -q  summary only\n"
    "  -v  also the demultiplexer's log lines (standard error)\n";

const char* className(EsClass c) {
    switch (c) {
        case ES_VIDEO:
            return "video";
        case ES_AUDIO:
            return "audio";
        case ES_SUBTITLE:
            return "subtitle";
        case ES_TELETEXT:
            return "teletext";
        case ES_OTHER:
            return "other";
        default:
            return "none";
    }
}

const char* tableName(const Section& s) {
    switch (s.getSectionType()) {
        case ST_PAT:
            return "PAT";
        case ST_PMT:
            return "PMT";
        case ST_SDT:
            return "SDT";
        case ST_NIT:
            return "NIT";
        default:
            return "table";
    }
}

std::string attributeText(const AttributeMap& attributes, const std::string& name) {
    auto it = attributes.find(name);
    return it == attributes.end() ? std::string() : it->second.toString();
}

// Offset of the next packet at or after `from`: a sync byte with a whole packet behind it and
// sync bytes 188 and 376 bytes further on, as far as the data reaches. -1 when none lies within
// the next 188 bytes.
long findSync(const std::vector<unsigned char>& data, size_t from) {
    for (size_t o = from; o < from + TS_PACKET_SIZE && o + TS_PACKET_SIZE <= data.size(); ++o) {
        bool ok = data[o] == 0x47;
        for (size_t k = 1; k < 3 && ok && o + k * TS_PACKET_SIZE < data.size(); ++k) {
            ok = data[o + k * TS_PACKET_SIZE] == 0x47;
        }
        if (ok) {
            return static_cast<long>(o);
        }
    }
    return -1;
}

bool readFile(const char* path, std::vector<unsigned char>& data) {
    FILE* f = fopen(path, "rb");
    if (f == nullptr) {
        return false;
    }
    unsigned char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) {
        data.insert(data.end(), buffer, buffer + n);
    }
    const bool ok = ferror(f) == 0;
    const int saved = errno;
    fclose(f);
    errno = saved;
    return ok;
}

void printSummary(InputMux& mux, size_t packets, size_t resyncs) {
    std::lock_guard<std::recursive_mutex> guard(mux.lock);
    std::printf("Summary: %zu packets", packets);
    if (resyncs > 0) {
        std::printf(", sync lost %zu times", resyncs);
    }
    if (mux.pats.empty() || mux.pats[0].version < 0) {
        std::printf(", no PAT found\n");
        return;
    }
    std::printf(", transport_stream_id %d, %zu programs\n", mux.pats[0].transport_stream_id,
                mux.programs.size());
    std::map<int, const ProgramInformation*> programs;
    for (const auto& [number, record] : mux.programs) {
        programs[number] = &record;
    }
    for (const auto& [number, r] : programs) {
        std::printf("program %d: PMT PID 0x%04x", number, r->pmt_pid);
        if (r->pmt_version < 0) {
            std::printf(", no PMT seen\n");
        } else {
            std::printf(", PCR PID 0x%04x\n", r->pcr_pid);
        }
        if (r->service_version >= 0) {
            std::printf("  service: name \"%s\", provider \"%s\", type %s\n",
                        attributeText(r->service_attributes, SERVICE_NAME).c_str(),
                        attributeText(r->service_attributes, PROVIDER_NAME).c_str(),
                        attributeText(r->service_attributes, SERVICE_TYPE).c_str());
        } else {
            std::printf("  service: not in the SDT\n");
        }
        std::map<int, const PmtEsPayload*> streams;
        for (const auto& [pid, es] : r->streams) {
            streams[pid] = &es;
        }
        for (const auto& [pid, es] : streams) {
            std::printf("  PID 0x%04x: stream_type 0x%02x, %s, %s\n", pid, es->stream_type,
                        className(es->es_class), mux.getElementaryStreamTypeDescription(pid).c_str());
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool quiet = false;
    bool verbose = false;
    const char* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-q") {
            quiet = true;
        } else if (a == "-v") {
            verbose = true;
        } else if (a == "-h" || a == "--help") {
            std::fputs(USAGE, stdout);
            return 0;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "tsinfo: unknown option %s\n%s", a.c_str(), USAGE);
            return 2;
        } else if (path == nullptr) {
            path = argv[i];
        } else {
            std::fprintf(stderr, "tsinfo: one file only\n%s", USAGE);
            return 2;
        }
    }
    if (path == nullptr) {
        std::fputs(USAGE, stderr);
        return 2;
    }

    FLAGS_logtostderr = true;
    // The demultiplexer logs for an operator of the daemon; here only on request.
    FLAGS_minloglevel = verbose ? google::GLOG_INFO : google::GLOG_FATAL;
    google::InitGoogleLogging(argv[0]);
    psisi_utils::generate_crc_table();

    std::vector<unsigned char> data;
    if (!readFile(path, data)) {
        std::fprintf(stderr, "tsinfo: cannot read %s: %s\n", path, std::strerror(errno));
        return 1;
    }
    long at = findSync(data, 0);
    if (at < 0) {
        std::fprintf(stderr,
                     "tsinfo: %s holds no MPEG transport stream (no 0x47 sync byte every 188 bytes)\n", path);
        return 1;
    }

    InputMux mux(1);
    if (!quiet) {
        mux.setTableObserver([](const Section& table) {
            std::printf("%s version %d, section %d/%d\n%s\n", tableName(table), table.version_number,
                        table.section_number, table.last_section_number, table.toFancyString().c_str());
        });
    }
    mux.restart();

    alignas(64) unsigned char buffer[TS_BUFFER_SIZE];
    TsPacket packet;
    packet.sid = mux.sid;
    packet.data = buffer;
    size_t packets = 0;
    size_t resyncs = 0;
    size_t pos = static_cast<size_t>(at);
    bool in_sync = true;
    while (pos + TS_PACKET_SIZE <= data.size()) {
        if (data[pos] != 0x47) {
            if (in_sync) {
                ++resyncs;
                in_sync = false;
            }
            const long next = findSync(data, pos);
            if (next < 0) {
                pos += TS_PACKET_SIZE;
                continue;
            }
            pos = static_cast<size_t>(next);
        }
        in_sync = true;
        memcpy(buffer, &data[pos], TS_PACKET_SIZE);
        mux.input(&packet);
        ++packets;
        pos += TS_PACKET_SIZE;
    }
    printSummary(mux, packets, resyncs);
    std::fflush(stdout);
    return 0;
}
