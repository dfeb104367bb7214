#include "descriptorfactory.h"

#include <glog/logging.h>

#include <new>
#include <stdexcept>

#include "descriptor_codec_impl.h"
#include "utils.h"

DvbDescriptorFactory& DvbDescriptorFactory::getInstance() {
    static DvbDescriptorFactory* instance = new DvbDescriptorFactory();
    return *instance;
}

DvbDescriptorFactory::DvbDescriptorFactory() {
    using Decode = decltype(DvbDescriptorCodec::decode);
    using Encode = decltype(DvbDescriptorCodec::encode);
    for (unsigned tag = 0; tag < 256; ++tag) {
        codecs[static_cast<unsigned char>(tag)] = {Decode::from_function<descriptor_codec::decode_default>(),
                                                   Encode::from_function<descriptor_codec::encode_default>()};
    }
    codecs[VIDEO_STREAM_DESCRIPTOR].decode = Decode::from_function<descriptor_codec::decode_video_stream>();
    codecs[REGISTRATION_DESCRIPTOR].decode = Decode::from_function<descriptor_codec::decode_registration>();
    codecs[CA_DESCRIPTOR].decode = Decode::from_function<descriptor_codec::decode_ca>();
    codecs[ISO_639_LANGUAGE_DESCRIPTOR].decode =
        Decode::from_function<descriptor_codec::decode_iso_639_language>();
    codecs[MAXIMUM_BITRATE_DESCRIPTOR].decode =
        Decode::from_function<descriptor_codec::decode_maximum_bitrate>();
    codecs[NETWORK_NAME_DESCRIPTOR].decode = Decode::from_function<descriptor_codec::decode_network_name>();
    codecs[SERVICE_DESCRIPTOR].decode = Decode::from_function<descriptor_codec::decode_service>();
    codecs[SERVICE_DESCRIPTOR].encode = Encode::from_function<descriptor_codec::encode_service>();
    codecs[TELETEXT_DESCRIPTOR].decode = Decode::from_function<descriptor_codec::decode_teletext>();
    codecs[SUBTITLING_DESCRIPTOR].decode = Decode::from_function<descriptor_codec::decode_subtitling>();
    codecs[AC3_DESCRIPTOR].decode = Decode::from_function<descriptor_codec::decode_ac3>();
    codecs[ENHANCED_AC3_DESCRIPTOR].decode = Decode::from_function<descriptor_codec::decode_ac3>();
}

DvbDescriptor* DvbDescriptorFactory::decodeDescriptor(const unsigned char* data, unsigned size) const {
    if (size < 2) {
        LOG(WARNING) << "descriptor length < 2";
        return nullptr;
    }
    if (size < data[1] + 2u) {
        LOG(WARNING) << utils::string_format("data size %zu < descriptor_size %u", static_cast<size_t>(size),
                                             data[1] + 2u);
        return nullptr;
    }
    auto it = codecs.find(data[0]);
    if (it == codecs.end()) {
        LOG(WARNING) << utils::string_format("unknown descriptor tag 0x%02x length %u", data[0], data[1]);
        return nullptr;
    }
    try {
        return it->second.decode(data, size);
    } catch (const std::bad_alloc&) {
        LOG(ERROR) << "out of memory";
    } catch (const std::exception& e) {
        LOG(ERROR) << e.what();
    }
    return nullptr;
}

int DvbDescriptorFactory::decodeDescriptorLoop(const unsigned char* data, unsigned len,
                                               std::vector<DvbDescriptor*>* out) const {
    int remaining = static_cast<int>(len);
    if (remaining <= 0) {
        return remaining;
    }
    unsigned offset = 0;
    for (;;) {
        // A single byte left cannot hold a length; it is reported, never read beyond.
        if (remaining < 2) {
            decodeDescriptor(data + offset, static_cast<unsigned>(remaining));
            break;
        }
        const unsigned length = data[offset + 1];
        if (length == 0) {
            break;
        }
        DvbDescriptor* d = decodeDescriptor(data + offset, static_cast<unsigned>(remaining));
        if (d != nullptr) {
            out->push_back(d);
        }
        remaining -= 2 + static_cast<int>(length);
        if (remaining < 1) {
            break;
        }
        offset += 2 + length;
    }
    return remaining;
}
