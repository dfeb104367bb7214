#include "descriptor_codec_impl.h"

#include <glog/logging.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "dvb/psisi/bytereader.h"
#include "dvb/psisi/psisi_utils.h"
#include "orm/attributenames.h"
#include "utils.h"

const std::unordered_map<int, std::string> stream_type3_component_description = {
    {0x01, "EBU Teletext subtitles"},
    {0x02, "associated EBU Teletext"},
    {0x03, "VBI data"},
    {0x10, "DVB subtitles (normal) with no monitor aspect ratio criticality"},
    {0x11, "DVB subtitles (normal) for display on 4:3 aspect ratio monitor"},
    {0x12, "DVB subtitles (normal) for display on 16:9 aspect ratio monitor"},
    {0x13, "DVB subtitles (normal) for display on 2.21:1 aspect ratio monitor"},
    {0x14, "DVB subtitles (normal) for display on a high definition monitor"},
    {0x20, "DVB subtitles (for the hard of hearing) with no monitor aspect ratio criticality"},
    {0x21, "DVB subtitles (for the hard of hearing) for display on 4:3 aspect ratio monitor"},
    {0x22, "DVB subtitles (for the hard of hearing) for display on 16:9 aspect ratio monitor"},
    {0x23, "DVB subtitles (for the hard of hearing) for display on 2.21:1 aspect ratio monitor"},
    {0x24, "DVB subtitles (for the hard of hearing) for display on a high definition monitor"},
    {0x30, "Open (in-vision) sign language interpretation for the deaf"},
    {0x31, "Closed sign language interpretation for the deaf"},
    {0x40, "video up-sampled from standard definition source material"},
};

namespace descriptor_codec {

namespace {

// The descriptor's bytes as a bounded view: size must reach the decoder's minimum and, where the
// decoder reads its whole body, the descriptor's declared end.
ByteReader openDescriptor(const unsigned char* b, unsigned size, unsigned minimum, bool length_must_fit) {
    if (size < minimum || size < 2) {
        throw std::length_error("len");
    }
    const unsigned declared = 2u + b[1];
    if (length_must_fit && size < declared) {
        throw std::length_error("len");
    }
    return ByteReader(b, std::min(size, declared), "len");
}

std::unique_ptr<DvbDescriptor> make(const ByteReader& r) {
    auto d = std::make_unique<DvbDescriptor>();
    d->tag = static_cast<DescriptorType>(r.u8(0));
    return d;
}

// Decoders keep the first value of a name within one descriptor.
template <typename T>
void add(DvbDescriptor& d, const std::string& name, T&& value) {
    d.attributes.emplace(name, AttributeValue(std::forward<T>(value)));
}

std::string text3(const ByteReader& r, unsigned offset) {
    return std::string(reinterpret_cast<const char*>(r.ptr(offset, 3)), 3);
}

}  // namespace

DvbDescriptor* decode_default(const unsigned char* b, unsigned) {
    VLOG(1) << utils::string_format("descriptor tag 0x%02x length %u decode not implemented", b[0], b[1]);
    return nullptr;
}

unsigned encode_default(DvbDescriptor* d, unsigned char*, unsigned) {
    LOG(INFO) << utils::string_format("descriptor tag 0x%02x encode not implemented", d->tag);
    return 0;
}

DvbDescriptor* decode_video_stream(const unsigned char* b, unsigned size) {
    static const char* const rates[] = {"invalid", "23.976", "24", "25", "29.97", "30", "50", "59.94", "60"};
    ByteReader r = openDescriptor(b, size, 3, true);
    auto d = make(r);
    const unsigned code = (r.u8(2) >> 3) & 0xF;
    add(*d, FRAME_RATE, std::string(code < 9 ? rates[code] : "invalid"));
    return d.release();
}

DvbDescriptor* decode_registration(const unsigned char* b, unsigned size) {
    ByteReader r = openDescriptor(b, size, 6, true);
    auto d = make(r);
    add(*d, FORMAT_IDENTIFIER, static_cast<int>(r.u32(2)));
    return d.release();
}

DvbDescriptor* decode_ca(const unsigned char* b, unsigned size) {
    ByteReader r = openDescriptor(b, size, 5, true);
    auto d = make(r);
    add(*d, CA_SYSTEM_ID, static_cast<int>(r.u16(2)));
    add(*d, CA_PID, static_cast<int>(r.u16(4) & 0x1FFF));
    return d.release();
}

DvbDescriptor* decode_iso_639_language(const unsigned char* b, unsigned size) {
    ByteReader r = openDescriptor(b, size, 6, true);
    auto d = make(r);
    for (unsigned left = r.u8(1), at = 2; left > 3; left -= 4, at += 4) {
        add(*d, ISO_639_LANGUAGE_CODE, text3(r, at));
        const unsigned type = r.u8(at + 3);
        switch (type) {
            case 1:
                add(*d, AUDIO_TYPE, std::string("0x01 - Clean effects"));
                break;
            case 2:
                add(*d, AUDIO_TYPE, std::string("0x02 - Hearing impaired"));
                break;
            case 3:
                add(*d, AUDIO_TYPE, std::string("0x03 - Visual impaired commentary"));
                break;
            default:
                add(*d, AUDIO_TYPE, utils::string_format("0x%02X", type));
                break;
        }
    }
    return d.release();
}

DvbDescriptor* decode_maximum_bitrate(const unsigned char* b, unsigned size) {
    ByteReader r = openDescriptor(b, size, 5, true);
    auto d = make(r);
    add(*d, MAXIMUM_BITRATE, static_cast<int>((r.u24(2) & 0x3FFFFF) * 400));
    return d.release();
}

DvbDescriptor* decode_network_name(const unsigned char* b, unsigned size) {
    ByteReader r = openDescriptor(b, size, 0, true);
    auto d = make(r);
    add(*d, NETWORK_NAME, psisi_utils::toUtf8(r.ptr(2, r.u8(1)), r.u8(1)));
    return d.release();
}

DvbDescriptor* decode_service(const unsigned char* b, unsigned size) {
    ByteReader r = openDescriptor(b, size, 5, false);
    auto d = make(r);
    add(*d, SERVICE_TYPE, static_cast<int>(r.u8(2)));
    const unsigned provider_length = r.u8(3);
    if (provider_length > 0) {
        add(*d, PROVIDER_NAME, psisi_utils::toUtf8(r.ptr(4, provider_length), provider_length));
    }
    const unsigned name_length = r.u8(4 + provider_length);
    if (name_length > 0) {
        add(*d, SERVICE_NAME, psisi_utils::toUtf8(r.ptr(5 + provider_length, name_length), name_length));
    }
    return d.release();
}

DvbDescriptor* decode_teletext(const unsigned char* b, unsigned size) {
    ByteReader r = openDescriptor(b, size, 2, true);
    auto d = make(r);
    for (unsigned left = r.u8(1), at = 2; left >= 5; left -= 5, at += 5) {
        add(*d, ISO_639_LANGUAGE_CODE, text3(r, at));
        add(*d, TELETEXT_TYPE, static_cast<int>(r.u8(at + 3) >> 3));
    }
    return d.release();
}

DvbDescriptor* decode_subtitling(const unsigned char* b, unsigned size) {
    ByteReader r = openDescriptor(b, size, 2, true);
    auto d = make(r);
    for (unsigned left = r.u8(1), at = 2; left >= 8; left -= 8, at += 8) {
        add(*d, ISO_639_LANGUAGE_CODE, text3(r, at));
        const int type = r.u8(at + 3);
        auto known = stream_type3_component_description.find(type);
        if (known != stream_type3_component_description.end()) {
            add(*d, SUBTITLING_TYPE, utils::string_format("0x%02X - %s", type, known->second.c_str()));
        } else if (type >= 0xB0 && type <= 0xFE) {
            add(*d, SUBTITLING_TYPE, utils::string_format("0x%02X - user defined", type));
        } else {
            add(*d, SUBTITLING_TYPE, utils::string_format("0x%02X - reserved", type));
        }
    }
    return d.release();
}

DvbDescriptor* decode_ac3(const unsigned char* b, unsigned size) {
    ByteReader r = openDescriptor(b, size, 3, true);
    auto d = make(r);
    d->tag = AC3_DESCRIPTOR;
    if (!(r.u8(2) & 0x80)) {
        return d.release();
    }
    if (r.u8(1) < 2) {
        throw std::length_error("component_type_flag set but len < 2");
    }
    const unsigned ct = r.u8(3);
    const bool full = ct & 0x40;
    std::string text = (ct & 0x80) ? "E-AC3" : "AC3";
    if (full) {
        text += ", Full service";
    }
    switch ((ct >> 3) & 7) {
        case 0:
            text += full ? ", Complete main" : "";
            break;
        case 1:
            text += full ? "" : ", Music and effects";
            break;
        case 2:
            text += ", Visually impaired";
            break;
        case 3:
            text += ", Hearing impaired";
            break;
        case 4:
            text += full ? "" : ", Dialogue";
            break;
        case 5:
            text += ", Commentary";
            break;
        case 6:
            text += full ? ", Emergency" : "";
            break;
        case 7:
            text += full ? ", Voiceover" : ", Karaoke";
            break;
    }
    static const char* const channels[] = {
        ", Mono",           ", Dual mono",         ", Stereo",       ", Dolby Surround stereo",
        ", Multicannel >2", ", Multichannel >5.1", ", Multiprogram", ""};
    text += channels[ct & 7];
    add(*d, AC3_TYPE, std::move(text));
    return d.release();
}

namespace {

constexpr unsigned MAX_NAME_BYTES = 30;
constexpr unsigned char UTF8_SELECTOR = 0x15;

// The bytes a name is sent with. Plain ASCII goes as it is; any other text is announced as UTF-8
// by its selector byte, so that receivers do not read it in the default table, and is cut only
// between characters.
std::string nameBytes(const AttributeMap& attributes, const std::string& name) {
    auto it = attributes.find(name);
    if (it == attributes.end()) {
        return std::string();
    }
    const std::string& text = it->second.get<std::string>();
    const bool plain = std::none_of(text.begin(), text.end(),
                                    [](char c) { return static_cast<unsigned char>(c) >= 0x80; }) &&
                       (text.empty() || static_cast<unsigned char>(text[0]) >= 0x20);
    if (plain) {
        return text.substr(0, MAX_NAME_BYTES);
    }
    size_t cut = std::min<size_t>(text.size(), MAX_NAME_BYTES - 1);
    if (cut < text.size()) {
        // Step back over continuation bytes to the start of the character that does not fit.
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
            --cut;
        }
    }
    return std::string(1, static_cast<char>(UTF8_SELECTOR)) + text.substr(0, cut);
}

}  // namespace

unsigned encode_service(DvbDescriptor* d, unsigned char* buf, unsigned size) {
    const std::string provider = nameBytes(d->attributes, PROVIDER_NAME);
    const std::string service = nameBytes(d->attributes, SERVICE_NAME);
    const unsigned needed = 5 + static_cast<unsigned>(provider.size() + service.size());
    if (buf == nullptr) {
        return needed;
    }
    if (size < needed) {
        LOG(INFO) << "needed =" << needed << " len=" << size;
        throw std::length_error("buffer too small");
    }
    unsigned at = 0;
    buf[at++] = SERVICE_DESCRIPTOR;
    buf[at++] = static_cast<unsigned char>(needed - 2);
    buf[at++] = 0x01;
    buf[at++] = static_cast<unsigned char>(provider.size());
    memcpy(buf + at, provider.data(), provider.size());
    at += static_cast<unsigned>(provider.size());
    buf[at++] = static_cast<unsigned char>(service.size());
    memcpy(buf + at, service.data(), service.size());
    return needed;
}

}  // namespace descriptor_codec
