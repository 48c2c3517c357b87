#pragma once

#include "mkv/VornMuxReporter.h"

#include <string>
#include <utility>
#include <vector>

// Keeps what a muxer logs and posts, in order.
class RecordingReporter : public VornMuxReporter {
public:
    void Log(int level, const std::string& text) override { logs.emplace_back(level, text); }
    void PostEvent(int code, const std::string& payload) override { events.emplace_back(code, payload); }

    std::vector<std::string> logTexts() const {
        std::vector<std::string> texts;
        for (const auto& [level, text] : logs)
            texts.push_back(text);
        return texts;
    }

    std::vector<std::pair<int, std::string>> logs;
    std::vector<std::pair<int, std::string>> events;
};
