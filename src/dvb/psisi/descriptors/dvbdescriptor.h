#pragma once

#include "orm/attributevalue.h"

// Descriptor tags this system interprets.
enum DescriptorType : unsigned char {
    VIDEO_STREAM_DESCRIPTOR = 0x02,
    REGISTRATION_DESCRIPTOR = 0x05,
    CA_DESCRIPTOR = 0x09,
    ISO_639_LANGUAGE_DESCRIPTOR = 0x0A,
    MAXIMUM_BITRATE_DESCRIPTOR = 0x0E,
    NETWORK_NAME_DESCRIPTOR = 0x40,
    SERVICE_DESCRIPTOR = 0x48,
    TELETEXT_DESCRIPTOR = 0x56,
    SUBTITLING_DESCRIPTOR = 0x59,
    AC3_DESCRIPTOR = 0x6A,
    ENHANCED_AC3_DESCRIPTOR = 0x7A,
};

// A decoded descriptor: its tag and the attributes it gives.
struct DvbDescriptor {
    DescriptorType tag;
    AttributeMap attributes;
};
