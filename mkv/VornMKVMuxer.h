#pragma once

#include "mkv/VornCuePoint.h"
#include "mkv/VornMKVWriter.h"
#include "mkv/VornWebmReader.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class VornMuxReporter;

// Joins the video-only and the audio-only WebM input of one media item into one Matroska file: EBML
// header, a Segment with a 300-byte SeekHead area, Info, Tracks (video 1, audio 2), the video clusters
// with the audio interleaved by time, Cues for the video key frames. Frames are copied, never decoded.
class VornMKVMuxer : public VornMKVWriter {
public:
    static constexpr uint64_t SEEK_HEAD_AREA = 300;
    static constexpr const char* MUXING_APP = "VornMkvLib V 1.0";
    static constexpr const char* WRITING_APP = "Brellin V 1.0";

    // Appended to the output path while the file is written.
    static constexpr const wchar_t* TEMPORARY_SUFFIX = L".muxing";

    // Creates the output under a temporary name beside the final one and opens both inputs. Nothing
    // throws here: an input that cannot be opened fails its parse, an output that cannot be created
    // fails the header write. The reporter may be null.
    VornMKVMuxer(VornMuxReporter* engine, const std::wstring& videoPath, const std::wstring& audioPath,
                 const std::wstring& outputPath);
    // Removes the temporary output unless a run published it.
    ~VornMKVMuxer() override;

    // The whole muxing; on false errorText() names the stage. Throws VornException: code 801 for a
    // corrupt block, 802 when the output cannot be written. The output path appears only when the
    // muxing succeeded; on false or a throw the temporary file is gone and the inputs are untouched.
    bool run();
    const std::wstring& errorText() const { return m_errorText; }
    const std::vector<VornCuePoint>& cuePoints() const { return m_cuePoints; }
    const std::wstring& videoPath() const { return m_videoPath; }
    const std::wstring& audioPath() const { return m_audioPath; }

private:
    bool runStages();
    // Renames the finished temporary file to the output path.
    bool publishOutput();
    void discardOutput();
    bool parseInput(VornWebmReader& reader, const std::string& kind);
    bool writeEbmlHeader();
    void writeSegmentStart();
    void writeInfo();
    void writeTracks();
    uint64_t trackEntryPayload(const VornWebmReader& input) const;
    void writeTrackEntry(VornWebmReader& input);
    void writeCopiedElement(uint32_t id, VornWebmReader& input, const VornPayloadRef& payload);
    void writeCues();
    void patchSegment();
    void writeSeekHead();
    // A write that failed anywhere in the stage throws code 802 with the system's error.
    void requireWritten();
    void log(const std::string& text);

    std::wstring m_errorText;
    std::unique_ptr<VornWebmReader> m_video;
    std::unique_ptr<VornWebmReader> m_audio;
    VornMuxReporter* m_engine;
    int64_t m_segmentIdPosition = 0;
    int64_t m_segmentDataStart = 0;
    int64_t m_endPosition = 0;
    // Relative to the Segment's data start.
    int64_t m_infoPosition = 0;
    int64_t m_tracksPosition = 0;
    int64_t m_firstClusterPosition = 0;
    int64_t m_cuesPosition = 0;
    std::wstring m_videoPath;
    std::wstring m_audioPath;
    std::wstring m_outputPath;
    std::wstring m_temporaryPath;
    bool m_createdOutput = false;
    bool m_published = false;
    std::vector<VornCuePoint> m_cuePoints;
};
