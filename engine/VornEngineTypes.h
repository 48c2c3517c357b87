#pragma once

#include <cstdint>

// The constants every part of a download engine shares: its states, modes, resumability values,
// the placeholder for a size not yet known, and the event codes it posts to its window.

constexpr int64_t UNKNOWN_FILE_SIZE = 0xA0000000000LL;

constexpr int32_t ENGINE_STATE_STARTING = 1;
constexpr int32_t ENGINE_STATE_DOWNLOADING = 2;
constexpr int32_t ENGINE_STATE_STOPPED = 3;
constexpr int32_t ENGINE_STATE_ERROR = 4;
constexpr int32_t ENGINE_STATE_MERGING = 5;
constexpr int32_t ENGINE_STATE_COMPLETED = 6;

constexpr int32_t ENGINE_MODE_NORMAL = 0;
constexpr int32_t ENGINE_MODE_HLS_PLAYLIST = 1;
constexpr int32_t ENGINE_MODE_TS = 2;

constexpr int32_t RESUMABILITY_UNKOWN = 0;
constexpr int32_t RESUMABILITY_OK = 1;
constexpr int32_t RESUMABILITY_NOT_OK = 2;

// Error codes carried by ENGINE_EVENT_ERROR.
constexpr int32_t ENGINE_ERROR_NONE = 0;
constexpr int32_t ENGINE_ERROR_SERVER_AUTH = 1;
constexpr int32_t ENGINE_ERROR_PROXY_AUTH = 2;
constexpr int32_t ENGINE_ERROR_RENEW = 3;
constexpr int32_t ENGINE_ERROR_UNDEFINED = 4;

constexpr int32_t ENGINE_EVENT_FILE_NAME = 1;
constexpr int32_t ENGINE_EVENT_URL = 2;
constexpr int32_t ENGINE_EVENT_FILE_SIZE = 3;
constexpr int32_t ENGINE_EVENT_SERVER_TEXT = 4;
constexpr int32_t ENGINE_EVENT_RESUMABILITY = 5;
constexpr int32_t ENGINE_EVENT_STATE = 6;
constexpr int32_t ENGINE_EVENT_TS_START = 7;
constexpr int32_t ENGINE_EVENT_CANCELED = 8;
constexpr int32_t ENGINE_EVENT_COMPLETED = 9;
constexpr int32_t ENGINE_EVENT_ERROR = 10;
constexpr int32_t ENGINE_EVENT_CONNECTION_STATUS = 11;
constexpr int32_t ENGINE_EVENT_SEGMENTS = 12;
constexpr int32_t ENGINE_EVENT_SEGMENT_RESTARTED = 13;
constexpr int32_t ENGINE_EVENT_CONNECTIONS_APPLIED = 14;
constexpr int32_t ENGINE_EVENT_MERGE_PROGRESS = 15;
constexpr int32_t ENGINE_EVENT_MUX_PROGRESS = 16;
constexpr int32_t ENGINE_EVENT_MUX_DONE = 17;
constexpr int32_t ENGINE_EVENT_TARGET_FOLDER = 18;

// Log levels of the engine's "LogFile.txt".
constexpr int32_t LOG_LEVEL_DEBUG = 0;
constexpr int32_t LOG_LEVEL_INFO = 1;
constexpr int32_t LOG_LEVEL_ERROR = 2;
