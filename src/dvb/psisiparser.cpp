#include "psisiparser.h"

#include <glog/logging.h>

#include <stdexcept>

#include "dvb/psisi/codecfactory.h"
#include "inputmux.h"
#include "utils.h"

PsisiParser::PsisiParser(unsigned pid_, InputMux* mux_)
    : sid(mux_ != nullptr ? mux_->sid : 0),
      pid(static_cast<int>(pid_)),
      mux(mux_),
      current(std::make_unique<SectionData>()) {}

void PsisiParser::reset() {
    previous.reset();
    last.reset();
}

void PsisiParser::input(const TsPacket* packet) {
    const unsigned char* p = packet->data;
    const int cc = p[3] & 0x0F;
    if (cc == last_cc) {
        LOG(WARNING) << utils::string_format("PID %d duplicate", pid);
        return;
    }
    const unsigned expected = static_cast<unsigned>(last_cc + 1) % 16;
    if (last_cc != -1 && static_cast<unsigned>(cc) != expected) {
        // The section in progress goes on: a lost packet shows up as a CRC failure.
        LOG(WARNING) << utils::string_format("PID %d CC discontinuity, exp %u got %u", pid, expected,
                                             static_cast<unsigned>(cc));
    }
    last_cc = cc;

    if (!(p[3] & 0x10)) {
        return;
    }
    unsigned start = 4;
    if (p[3] & 0x20) {
        start = 5u + p[4];
    }
    if (start >= TS_PACKET_SIZE) {
        return;
    }
    if (!(p[1] & 0x40)) {
        inputNext(p + start, TS_PACKET_SIZE - start);
        return;
    }
    const unsigned pointer_field = p[start];
    const unsigned section_start = start + 1 + pointer_field;
    if (section_start > TS_PACKET_SIZE) {
        return;
    }
    if (pointer_field > 0) {
        inputNext(p + start + 1, pointer_field);
    }
    // Only the first section starting in this packet is assembled; what follows it is dropped.
    current->decodeHeader(p + section_start, TS_PACKET_SIZE - section_start);
    inputNext(p + section_start, TS_PACKET_SIZE - section_start);
}

void PsisiParser::deliver(const std::unique_ptr<Section>& table) {
    if (table && mux != nullptr) {
        mux->sectionNotify(table);
    }
}

void PsisiParser::inputNext(const unsigned char* data, unsigned n) {
    if (!current->append(data, n)) {
        return;
    }
    if (current->section_syntax_indicator && current->current_next_indicator == 0) {
        return;
    }
    try {
        if (previous && *previous == *current) {
            deliver(last);
            return;
        }
        if (!current->checkCrc32()) {
            deliver(last);
            return;
        }
        SectionCodec* codec = CodecFactory::getInstance().codecs.at(static_cast<int>(current->table_id));
        auto fresh = std::make_unique<SectionData>();
        pending = codec->decodeSection(current.get());
        deliver(pending);
        last = std::move(pending);
        previous = std::move(current);
        current = std::move(fresh);
    } catch (const std::out_of_range&) {
        VLOG(1) << utils::string_format("SID %d PID %d table_id 0x%02x decoding not implemented",
                                        static_cast<int>(sid), pid, current->table_id);
    } catch (const std::exception& e) {
        VLOG(1) << utils::string_format("SID %d PID %d ", static_cast<int>(sid), pid) << e.what();
    }
}
