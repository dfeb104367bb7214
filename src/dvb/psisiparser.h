#pragma once

#include <cstdint>
#include <memory>

#include "delegate.h"
#include "dvb/psisi/section.h"
#include "dvb/psisi/sectiondata.h"
#include "tspacket.h"

class InputMux;

// Assembles the sections of one PID of one input stream from its TS packets, has each new,
// intact section decoded and hands the table to the input's demultiplexer. A section repeated
// with the same header is not decoded again: the last table is handed over once more.
class PsisiParser {
  public:
    using InputDelegate = delegate<void(const TsPacket*)>;

    PsisiParser(unsigned pid, InputMux* mux);
    PsisiParser(const PsisiParser&) = delete;
    PsisiParser& operator=(const PsisiParser&) = delete;

    InputDelegate getInputDelegate() {
        return InputDelegate::from_method<PsisiParser, &PsisiParser::input>(this);
    }
    // One packet of this parser's PID.
    void input(const TsPacket* packet);
    // Forgets what was delivered, so that the next complete section counts as new.
    void reset();

    uint32_t sid;
    int pid;
    InputMux* mux;
    int last_cc = -1;
    std::unique_ptr<SectionData> current;
    std::unique_ptr<SectionData> previous;
    std::unique_ptr<Section> pending;
    std::unique_ptr<Section> last;

  private:
    void inputNext(const unsigned char* data, unsigned n);
    void deliver(const std::unique_ptr<Section>& table);
};

// How a demultiplexer routes the packets of one PID to its parser.
struct PidParserEntry {
    int pid;
    std::unique_ptr<PsisiParser> parser;
    PsisiParser::InputDelegate input;
};
