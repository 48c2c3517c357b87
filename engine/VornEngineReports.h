#pragma once

#include <cstdint>
#include <string>

// The texts an engine posts to its window: events, error events and state labels.
namespace VornEngineReports {

// code + "@" + payload.
std::string EventText(int32_t code, const std::string& payload);
// Event 10: "10@" + error code + "@" + the percent-encoded error text.
std::string ErrorEventText(int32_t errorCode, const std::wstring& errorText);
// A wide text as UTF-8, percent-encoded with blanks encoded (file names, folders, error texts).
std::string EncodeText(const std::wstring& text);

// The label shown for a state. Starting carries " ( attempt )" once a retry happened (attempt =
// 4 - retries left); in HLS playlist mode Completed is followed by the Starting label.
std::string StateLabel(int32_t state, int32_t retriesLeft, int32_t mode);
// The labels themselves (user-interface words).
const char* StartingLabel();
const char* DownloadingLabel();
const char* StoppedLabel();
const char* ErrorLabel();
const char* MergingLabel();
const char* CompletedLabel();

// Log names of the resumability values.
const char* ResumabilityName(int32_t resumability);

} // namespace VornEngineReports
