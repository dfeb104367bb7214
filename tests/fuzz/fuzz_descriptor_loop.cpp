// Descriptor loops and every descriptor decoder on arbitrary bytes.
#include <glog/logging.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dvb/psisi/descriptors/descriptorfactory.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every log line is still formatted, none is written.
    FLAGS_minloglevel = google::GLOG_FATAL;
    FLAGS_v = 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) {
        return 0;
    }
    const DvbDescriptorFactory& factory = DvbDescriptorFactory::getInstance();
    std::vector<DvbDescriptor*> out;
    factory.decodeDescriptorLoop(data, static_cast<unsigned>(size), &out);
    for (DvbDescriptor* d : out) {
        // Whatever a decoder made, the service encoder must be able to write it back.
        if (d->tag == SERVICE_DESCRIPTOR) {
            const DvbDescriptorCodec& codec = factory.codecs.at(SERVICE_DESCRIPTOR);
            std::vector<unsigned char> buf(codec.encode(d, nullptr, 0));
            codec.encode(d, buf.data(), static_cast<unsigned>(buf.size()));
        }
        delete d;
    }
    // One descriptor with all the bytes behind it as its room.
    delete factory.decodeDescriptor(data, static_cast<unsigned>(size));
    return 0;
}
