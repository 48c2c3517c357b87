#pragma once

#include <cstdint>

// Element IDs as published for EBML and Matroska; each keeps its length-marker bits.
namespace vornmkv {

constexpr uint32_t ID_EBML = 0x1A45DFA3;
constexpr uint32_t ID_EBML_VERSION = 0x4286;
constexpr uint32_t ID_EBML_READ_VERSION = 0x42F7;
constexpr uint32_t ID_EBML_MAX_ID_LENGTH = 0x42F2;
constexpr uint32_t ID_EBML_MAX_SIZE_LENGTH = 0x42F3;
constexpr uint32_t ID_DOC_TYPE = 0x4282;
constexpr uint32_t ID_DOC_TYPE_VERSION = 0x4287;
constexpr uint32_t ID_DOC_TYPE_READ_VERSION = 0x4285;
constexpr uint32_t ID_VOID = 0xEC;
constexpr uint32_t ID_CRC32 = 0xBF;

constexpr uint32_t ID_SEGMENT = 0x18538067;
constexpr uint32_t ID_SEEK_HEAD = 0x114D9B74;
constexpr uint32_t ID_SEEK = 0x4DBB;
constexpr uint32_t ID_SEEK_ID = 0x53AB;
constexpr uint32_t ID_SEEK_POSITION = 0x53AC;

constexpr uint32_t ID_INFO = 0x1549A966;
constexpr uint32_t ID_TIMECODE_SCALE = 0x2AD7B1;
constexpr uint32_t ID_DURATION = 0x4489;
constexpr uint32_t ID_MUXING_APP = 0x4D80;
constexpr uint32_t ID_WRITING_APP = 0x5741;

constexpr uint32_t ID_TRACKS = 0x1654AE6B;
constexpr uint32_t ID_TRACK_ENTRY = 0xAE;
constexpr uint32_t ID_TRACK_NUMBER = 0xD7;
constexpr uint32_t ID_TRACK_UID = 0x73C5;
constexpr uint32_t ID_TRACK_TYPE = 0x83;
constexpr uint32_t ID_FLAG_LACING = 0x9C;
constexpr uint32_t ID_DEFAULT_DURATION = 0x23E383;
constexpr uint32_t ID_CODEC_ID = 0x86;
constexpr uint32_t ID_CODEC_PRIVATE = 0x63A2;
constexpr uint32_t ID_CODEC_DELAY = 0x56AA;
constexpr uint32_t ID_SEEK_PRE_ROLL = 0x56BB;
constexpr uint32_t ID_VIDEO = 0xE0;
constexpr uint32_t ID_AUDIO = 0xE1;
constexpr uint32_t ID_CONTENT_ENCODINGS = 0x6D80;

constexpr uint32_t ID_CLUSTER = 0x1F43B675;
constexpr uint32_t ID_TIMECODE = 0xE7;
constexpr uint32_t ID_SIMPLE_BLOCK = 0xA3;
constexpr uint32_t ID_BLOCK_GROUP = 0xA0;
constexpr uint32_t ID_BLOCK = 0xA1;
constexpr uint32_t ID_BLOCK_DURATION = 0x9B;
constexpr uint32_t ID_DISCARD_PADDING = 0x75A2;
constexpr uint32_t ID_REFERENCE_BLOCK = 0xFB;
constexpr uint32_t ID_BLOCK_ADDITIONS = 0x75A1;

constexpr uint32_t ID_CUES = 0x1C53BB6B;
constexpr uint32_t ID_CUE_POINT = 0xBB;
constexpr uint32_t ID_CUE_TIME = 0xB3;
constexpr uint32_t ID_CUE_TRACK_POSITIONS = 0xB7;
constexpr uint32_t ID_CUE_TRACK = 0xF7;
constexpr uint32_t ID_CUE_CLUSTER_POSITION = 0xF1;
constexpr uint32_t ID_CUE_RELATIVE_POSITION = 0xF0;

constexpr uint32_t ID_TAGS = 0x1254C367;
constexpr uint32_t ID_CHAPTERS = 0x1043A770;
constexpr uint32_t ID_ATTACHMENTS = 0x1941A469;

} // namespace vornmkv
