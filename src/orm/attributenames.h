#pragma once

#include <string>

// The attribute names used by configuration, status and decoded tables; each constant is its text.
extern const std::string STREAM_TYPE;
extern const std::string STREAM_DIRECTION;
extern const std::string MCAST_IP_ADDR;
extern const std::string MCAST_PORT;
extern const std::string IFNAME;
extern const std::string SERVICE_TYPE;
extern const std::string SERVICE_NAME;
extern const std::string SERVICE_ID;
extern const std::string PROVIDER_NAME;
extern const std::string NETWORK_NAME;
extern const std::string ES_TYPE;
extern const std::string PMT_STREAM_TYPE;
extern const std::string ISO_639_LANGUAGE_CODE;
extern const std::string AUDIO_TYPE;
extern const std::string TS_UTC_TIME;
extern const std::string SYS_UTC_TIME;
extern const std::string FRAME_RATE;
extern const std::string MAXIMUM_BITRATE;
extern const std::string AC3_TYPE;
extern const std::string FORMAT_IDENTIFIER;
extern const std::string TELETEXT_TYPE;
extern const std::string SUBTITLING_TYPE;
extern const std::string CA_SYSTEM_ID;
extern const std::string CA_PID;
extern const std::string PID;
extern const std::string AUDIO_STREAM_PID;
extern const std::string SUBTITLE_STREAM_PID;
extern const std::string IGMP_MODE;
extern const std::string IGMP_SOURCES;
extern const std::string PCR_SYNC;
extern const std::string NODE_NAME;
extern const std::string ACTIVE;
extern const std::string SRC_CONFIG_ID;
extern const std::string SRC_SERVICE_ID;
extern const std::string SRC_ERROR;
extern const std::string TR101290_ERROR;
extern const std::string BITRATE;
extern const std::string MUX_SWITCH_UP_TIMEOUT;
extern const std::string MUX_SWITCH_DOWN_TIMEOUT;
extern const std::string MUX_SWITCH_UP_AUTO;
extern const std::string MUX_SWITCH_UP_ONESHOT;
extern const std::string VLAN_ID;
