#pragma once

#include <unordered_map>
#include <vector>

#include "delegate.h"
#include "dvbdescriptor.h"

// Decode and encode functions of one descriptor tag.
struct DvbDescriptorCodec {
    // (bytes, bytes available from there on) -> new descriptor owned by the caller, or null.
    delegate<DvbDescriptor*(const unsigned char*, unsigned)> decode;
    // (descriptor, buffer or null for a size query, buffer size) -> bytes written or needed.
    delegate<unsigned(DvbDescriptor*, unsigned char*, unsigned)> encode;
};

// The process-wide registry of descriptor codecs, one entry for each of the 256 tags.
class DvbDescriptorFactory {
  public:
    static DvbDescriptorFactory& getInstance();

    // Decodes the descriptor at data; size is what is available from data on. Null (with a log
    // line) when the descriptor cannot be decoded.
    DvbDescriptor* decodeDescriptor(const unsigned char* data, unsigned size) const;
    // Appends the decoded descriptors of a loop of len bytes to out; returns the count left
    // when it stopped.
    int decodeDescriptorLoop(const unsigned char* data, unsigned len, std::vector<DvbDescriptor*>* out) const;

    std::unordered_map<unsigned char, DvbDescriptorCodec> codecs;

  private:
    DvbDescriptorFactory();
};
