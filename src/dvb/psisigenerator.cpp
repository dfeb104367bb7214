#include "psisigenerator.h"

#include <glog/logging.h>

#include <cstring>
#include <stdexcept>

#include "dvb/psisi/codecfactory.h"
#include "utils.h"

PsisiGenerator::PsisiGenerator(int pid_, uint32_t sid_)
    : pid(pid_),
      sid(sid_),
      section(std::make_unique<SectionData>()),
      name(utils::string_format("SID %u PID %d: ", sid_, pid_)) {}

std::string PsisiGenerator::toString() const {
    return utils::string_format("SID %u PID %u", sid, static_cast<unsigned>(pid));
}

int PsisiGenerator::version() const {
    std::lock_guard<std::mutex> guard(lock);
    return static_cast<int>(section->version_number);
}

void PsisiGenerator::setEncodedTable(const std::unique_ptr<Section>& table) {
    std::lock_guard<std::mutex> guard(lock);
    try {
        SectionCodec* codec = CodecFactory::getInstance().codecs.at(table->table_id);
        // Encoded aside, so that a failure leaves the table on air untouched and a new table
        // always starts at its first byte.
        auto fresh = std::make_unique<SectionData>();
        fresh->version_number = (section->version_number + 1) % 32;
        if (codec->encodeSection(table.get(), fresh.get()) == 0) {
            LOG(WARNING) << name << "table_id " << table->table_id << " encodes to nothing";
            return;
        }
        fresh->appendCrc32();
        interval = codec->transmitIntervalUs();
        section = std::move(fresh);
    } catch (const std::out_of_range&) {
        LOG(WARNING) << utils::string_format("SID %d PID %d table_id 0x%02x encoding not implemented",
                                             static_cast<int>(sid), pid, table->table_id);
        return;
    } catch (const std::exception& e) {
        LOG(WARNING) << name << e.what();
        return;
    }
    LOG(INFO) << name << "table version chnaged to " << section->version_number;
    last_output_time = 0;
}

uint64_t PsisiGenerator::output(uint64_t now_us, std::deque<TsPacket*>* queue,
                                fastdelegate::FastDelegate0<TsPacket*>& allocate) {
    std::lock_guard<std::mutex> guard(lock);
    VLOG(2) << toString() << " last_output_time=" << last_output_time << ", now=" << now_us;
    if (section->length == 0) {
        return NO_TABLE_RETRY_US;
    }
    const int64_t now = static_cast<int64_t>(now_us);
    const int64_t period = static_cast<int64_t>(interval);
    if (last_output_time <= 0) {
        last_output_time = now - period;
    }
    if (last_output_time > now) {
        LOG(ERROR) << "backward time";
    } else if (now - last_output_time < period) {
        return static_cast<uint64_t>(period - (now - last_output_time));
    }
    last_output_time = now;

    TsPacket* packet = allocate();
    if (packet == nullptr) {
        if (pool_empty_count++ % 100 == 0) {
            LOG(ERROR) << name << " pool empty";
        }
        return interval;
    }
    packet->sid = sid;
    unsigned char* p = packet->data;
    memset(p, 0, TS_PACKET_SIZE);
    p[0] = 0x47;
    p[1] = static_cast<unsigned char>((pid >> 8) & 0x1F);
    p[2] = static_cast<unsigned char>(pid & 0xFF);
    p[3] = static_cast<unsigned char>(0x10 | continuity_counter);
    unsigned at = 4;
    if (section->output_index == 0) {
        p[1] |= 0x40;
        p[4] = 0;
        at = 5;
    }
    unsigned n = section->remainingOutput();
    if (n > TS_PACKET_SIZE - at) {
        n = TS_PACKET_SIZE - at;
    }
    memcpy(p + at, section->bytes + section->output_index, n);
    section->advanceOutputIdx(n);
    memset(p + at + n, 0xFF, TS_PACKET_SIZE - at - n);

    queue->push_back(packet);
    continuity_counter = (continuity_counter + 1) % 16;
    return interval;
}
