#pragma once

#include <string>
#include <unordered_map>

#include "dvbdescriptor.h"

// Texts of the DVB subtitling types (component_type values of stream_content 3).
extern const std::unordered_map<int, std::string> stream_type3_component_description;

// The decode and encode functions of the descriptor registry. A decoder is given the descriptor's
// bytes and the count available from there on; it never reads past the descriptor's own end and
// throws std::length_error("len") when the descriptor is too short for what it reads.
namespace descriptor_codec {

DvbDescriptor* decode_default(const unsigned char* b, unsigned size);
unsigned encode_default(DvbDescriptor* d, unsigned char* buf, unsigned size);

DvbDescriptor* decode_video_stream(const unsigned char* b, unsigned size);
DvbDescriptor* decode_registration(const unsigned char* b, unsigned size);
DvbDescriptor* decode_ca(const unsigned char* b, unsigned size);
DvbDescriptor* decode_iso_639_language(const unsigned char* b, unsigned size);
DvbDescriptor* decode_maximum_bitrate(const unsigned char* b, unsigned size);
DvbDescriptor* decode_network_name(const unsigned char* b, unsigned size);
DvbDescriptor* decode_service(const unsigned char* b, unsigned size);
DvbDescriptor* decode_teletext(const unsigned char* b, unsigned size);
DvbDescriptor* decode_subtitling(const unsigned char* b, unsigned size);
// AC-3 and enhanced AC-3 alike; the result carries the AC-3 tag.
DvbDescriptor* decode_ac3(const unsigned char* b, unsigned size);

// Service descriptor from the provider_name and service_name attributes (service type digital
// television). With a null buffer returns the size it needs; throws std::length_error when the
// buffer is too small and std::bad_cast when a name is not a text.
unsigned encode_service(DvbDescriptor* d, unsigned char* buf, unsigned size);

}  // namespace descriptor_codec
