#pragma once

#include <string>

// What the muxer needs from the engine that runs it: the engine's log and its event posting. The
// download engine implements it; tools and tests supply their own.
class VornMuxReporter {
public:
    static constexpr int LOG_DEBUG = 0;
    static constexpr int LOG_INFO = 1;
    static constexpr int LOG_ERROR = 2;
    // ENGINE_EVENT_MUX_PROGRESS: "0@" + total units when muxing starts, then the units done.
    static constexpr int EVENT_MUX_PROGRESS = 16;

    virtual ~VornMuxReporter() = default;
    virtual void Log(int level, const std::string& text) = 0;
    virtual void PostEvent(int code, const std::string& payload) = 0;
};
