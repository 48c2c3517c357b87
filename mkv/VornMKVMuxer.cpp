#include "mkv/VornMKVMuxer.h"

#include "base/VornException.h"
#include "base/VornNativePath.h"
#include "mkv/VornEbmlSizes.h"
#include "mkv/VornMKVInterleaver.h"
#include "mkv/VornMatroskaIds.h"
#include "mkv/VornMuxReporter.h"

#include <algorithm>
#include <cfloat>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

using namespace vornmkv;

namespace {

constexpr uint64_t kEbmlHeaderPayload = 35;

uint64_t optionalUnsigned(uint32_t id, uint64_t value) {
    return value != 0 ? unsignedElementSize(id, value) : 0;
}

uint64_t optionalCopy(uint32_t id, const VornPayloadRef& payload) {
    return payload.size != 0 ? elementSize(id, payload.size) : 0;
}

uint64_t seekPayload(int64_t position) {
    return elementSize(ID_SEEK_ID, 4) +
           unsignedElementSize(ID_SEEK_POSITION, static_cast<uint64_t>(position));
}

uint64_t cuePositionsPayload(const VornCuePoint& cue) {
    return unsignedElementSize(ID_CUE_TRACK, cue.track) +
           unsignedElementSize(ID_CUE_CLUSTER_POSITION, cue.clusterPosition) +
           unsignedElementSize(ID_CUE_RELATIVE_POSITION, cue.relativePosition);
}

uint64_t cuePointPayload(const VornCuePoint& cue) {
    const uint64_t positions = cuePositionsPayload(cue);
    return unsignedElementSize(ID_CUE_TIME, cue.cueTime) + elementSize(ID_CUE_TRACK_POSITIONS, positions);
}

} // namespace

VornMKVMuxer::VornMKVMuxer(VornMuxReporter* engine, const std::wstring& videoPath,
                           const std::wstring& audioPath, const std::wstring& outputPath)
    : VornMKVWriter(outputPath + TEMPORARY_SUFFIX),
      m_video(std::make_unique<VornWebmReader>(videoPath, VornWebmReader::TRACK_TYPE_VIDEO)),
      m_audio(std::make_unique<VornWebmReader>(audioPath, VornWebmReader::TRACK_TYPE_AUDIO)),
      m_engine(engine), m_videoPath(videoPath), m_audioPath(audioPath), m_outputPath(outputPath),
      m_temporaryPath(outputPath + TEMPORARY_SUFFIX), m_createdOutput(isOpen()) {}

VornMKVMuxer::~VornMKVMuxer() {
    if (!m_published)
        discardOutput();
}

void VornMKVMuxer::discardOutput() {
    closeOutput();
    // What stands at the temporary name when it could not be opened is not the muxer's to remove.
    if (!m_createdOutput)
        return;
    if (std::optional<std::string> native = vornNativePath(m_temporaryPath)) {
        std::error_code ignored;
        std::filesystem::remove(*native, ignored);
    }
}

bool VornMKVMuxer::publishOutput() {
    std::optional<std::string> from = vornNativePath(m_temporaryPath);
    std::optional<std::string> to = vornNativePath(m_outputPath);
    if (!from || !to)
        return false;
    std::error_code error;
    std::filesystem::rename(*from, *to, error);
    m_published = !error;
    return m_published;
}

void VornMKVMuxer::log(const std::string& text) {
    if (m_engine)
        m_engine->Log(VornMuxReporter::LOG_DEBUG, text);
}

bool VornMKVMuxer::run() {
    // A half-written file in the user's folder would pass for the finished video.
    bool muxed = false;
    try {
        muxed = runStages();
    } catch (...) {
        discardOutput();
        throw;
    }
    if (!muxed)
        discardOutput();
    return muxed;
}

bool VornMKVMuxer::runStages() {
    m_errorText = L"Error on parsing Video File";
    if (!parseInput(*m_video, "Video"))
        return false;
    m_errorText = L"Error on parsing Audio File";
    if (!parseInput(*m_audio, "Audio"))
        return false;
    if (m_engine)
        m_engine->PostEvent(VornMuxReporter::EVENT_MUX_PROGRESS,
                            "0@" + std::to_string(m_video->clusterCount()));

    m_errorText = L"Error on Muxing MKV File";
    if (!writeEbmlHeader())
        return false;
    log("MKV Header has been Writen Successfully.");
    writeSegmentStart();
    m_infoPosition = outputPosition() - m_segmentDataStart;
    writeInfo();
    requireWritten();
    log("MKV Segment-Info has been Writen Successfully.");
    m_tracksPosition = outputPosition() - m_segmentDataStart;
    writeTracks();
    requireWritten();
    log("MKV Tracks have been Writen Successfully.");

    m_firstClusterPosition = outputPosition() - m_segmentDataStart;
    VornMKVInterleaver(*this, *m_video, *m_audio, m_segmentDataStart, m_cuePoints, m_engine).writeClusters();
    requireWritten();
    // A file with no frame at all is no result, whatever the stages before managed.
    const bool wroteCluster = outputPosition() - m_segmentDataStart > m_firstClusterPosition;
    log("All MKV Video-Audio Clusters and Blocks have been Writen Successfully.");

    m_cuesPosition = outputPosition() - m_segmentDataStart;
    writeCues();
    requireWritten();
    log("MKV Cues have been Writen Successfully.");

    m_endPosition = outputPosition();
    patchSegment();
    requireWritten();
    log("MKV Seek-Heads have been Writen Successfully.");
    if (!closeOutput())
        requireWritten();
    if (!wroteCluster || !publishOutput())
        return false;
    log("MKV Muxing Completed  Successfully.");
    return true;
}

bool VornMKVMuxer::parseInput(VornWebmReader& reader, const std::string& kind) {
    const bool parsed = reader.parse();
    const size_t clusters = reader.clusterCount();
    if (clusters == 0 || !reader.trackEntryRead())
        return false;
    if (parsed)
        log(kind + " Webm-File Parsed Copmletely. We have " + std::to_string(clusters) + " " + kind +
            " Clusters.");
    else
        log(kind + " Webm-File could not be parsed copmletely. Some Cluster have not been parsed.");
    return true;
}

bool VornMKVMuxer::writeEbmlHeader() {
    const int64_t before = outputPosition();
    writeMasterHeader(ID_EBML, kEbmlHeaderPayload);
    writeUnsignedElement(ID_EBML_VERSION, 1);
    writeUnsignedElement(ID_EBML_READ_VERSION, 1);
    writeUnsignedElement(ID_EBML_MAX_ID_LENGTH, 4);
    writeUnsignedElement(ID_EBML_MAX_SIZE_LENGTH, 8);
    writeStringElement(ID_DOC_TYPE, "matroska");
    writeUnsignedElement(ID_DOC_TYPE_VERSION, 4);
    writeUnsignedElement(ID_DOC_TYPE_READ_VERSION, 2);
    // Written through at once, so an output that cannot be written fails here, at the first stage.
    const int64_t written = outputPosition() - before;
    return flushOutput() && static_cast<uint64_t>(written) == position() &&
           static_cast<uint64_t>(written) == elementSize(ID_EBML, kEbmlHeaderPayload);
}

void VornMKVMuxer::writeSegmentStart() {
    m_segmentIdPosition = outputPosition();
    writeId(ID_SEGMENT);
    // A placeholder of the final length; the real size is written back at the end.
    writeSize(1, 8);
    m_segmentDataStart = outputPosition();
    writeVoid(SEEK_HEAD_AREA);
}

void VornMKVMuxer::writeInfo() {
    const uint64_t scale = m_video->timecodeScale();
    const std::string writingApp = WRITING_APP;
    const uint64_t payload =
        static_cast<uint64_t>(idLength(ID_DURATION) + 1 + 4) + unsignedElementSize(ID_TIMECODE_SCALE, scale) +
        elementSize(ID_MUXING_APP, std::strlen(MUXING_APP)) + elementSize(ID_WRITING_APP, writingApp.size());
    writeMasterHeader(ID_INFO, payload);
    writeId(ID_DURATION);
    writeSize(4, 1);
    writeFloat32(static_cast<float>(std::min(m_video->duration(), static_cast<double>(FLT_MAX))));
    writeUnsignedElement(ID_TIMECODE_SCALE, scale);
    writeStringElement(ID_MUXING_APP, MUXING_APP);
    writeStringElement(ID_WRITING_APP, writingApp);
}

uint64_t VornMKVMuxer::trackEntryPayload(const VornWebmReader& input) const {
    const uint64_t n = input.expectedTrackType();
    return unsignedElementSize(ID_TRACK_NUMBER, n) + unsignedElementSize(ID_TRACK_UID, n) +
           unsignedElementSize(ID_TRACK_TYPE, n) + elementSize(ID_CODEC_ID, input.codecId().size()) +
           optionalUnsigned(ID_DEFAULT_DURATION, input.defaultDuration()) +
           optionalUnsigned(ID_FLAG_LACING, input.flagLacing()) +
           optionalCopy(ID_CODEC_PRIVATE, input.codecPrivate()) +
           optionalUnsigned(ID_SEEK_PRE_ROLL, input.seekPreRoll()) +
           optionalUnsigned(ID_CODEC_DELAY, input.codecDelay()) +
           optionalCopy(ID_VIDEO, input.videoSettings()) + optionalCopy(ID_AUDIO, input.audioSettings()) +
           optionalCopy(ID_CONTENT_ENCODINGS, input.contentEncodings());
}

void VornMKVMuxer::writeTracks() {
    writeMasterHeader(ID_TRACKS, elementSize(ID_TRACK_ENTRY, trackEntryPayload(*m_video)) +
                                     elementSize(ID_TRACK_ENTRY, trackEntryPayload(*m_audio)));
    writeTrackEntry(*m_video);
    writeTrackEntry(*m_audio);
}

void VornMKVMuxer::writeTrackEntry(VornWebmReader& input) {
    const uint64_t n = input.expectedTrackType();
    writeMasterHeader(ID_TRACK_ENTRY, trackEntryPayload(input));
    writeUnsignedElement(ID_TRACK_NUMBER, n);
    writeUnsignedElement(ID_TRACK_UID, n);
    writeUnsignedElement(ID_TRACK_TYPE, n);
    writeStringElement(ID_CODEC_ID, input.codecId());
    if (input.defaultDuration() != 0)
        writeUnsignedElement(ID_DEFAULT_DURATION, input.defaultDuration());
    if (input.flagLacing() != 0)
        writeUnsignedElement(ID_FLAG_LACING, input.flagLacing());
    writeCopiedElement(ID_CODEC_PRIVATE, input, input.codecPrivate());
    if (input.seekPreRoll() != 0)
        writeUnsignedElement(ID_SEEK_PRE_ROLL, input.seekPreRoll());
    if (input.codecDelay() != 0)
        writeUnsignedElement(ID_CODEC_DELAY, input.codecDelay());
    writeCopiedElement(ID_VIDEO, input, input.videoSettings());
    writeCopiedElement(ID_AUDIO, input, input.audioSettings());
    writeCopiedElement(ID_CONTENT_ENCODINGS, input, input.contentEncodings());
}

void VornMKVMuxer::writeCopiedElement(uint32_t id, VornWebmReader& input, const VornPayloadRef& payload) {
    if (payload.size == 0)
        return;
    writeMasterHeader(id, payload.size);
    copyFrom(input, payload.position, payload.size);
}

void VornMKVMuxer::writeCues() {
    uint64_t payload = 0;
    for (const VornCuePoint& cue : m_cuePoints)
        payload += elementSize(ID_CUE_POINT, cuePointPayload(cue));
    writeMasterHeader(ID_CUES, payload);
    for (const VornCuePoint& cue : m_cuePoints) {
        writeMasterHeader(ID_CUE_POINT, cuePointPayload(cue));
        writeUnsignedElement(ID_CUE_TIME, cue.cueTime);
        writeMasterHeader(ID_CUE_TRACK_POSITIONS, cuePositionsPayload(cue));
        writeUnsignedElement(ID_CUE_TRACK, cue.track);
        writeUnsignedElement(ID_CUE_CLUSTER_POSITION, cue.clusterPosition);
        // Lets a player go straight to the frame instead of reading the cluster from its start.
        writeUnsignedElement(ID_CUE_RELATIVE_POSITION, cue.relativePosition);
    }
}

void VornMKVMuxer::patchSegment() {
    const uint64_t segmentSize = static_cast<uint64_t>(m_endPosition - m_segmentDataStart);
    if (!seekOutput(m_segmentIdPosition + idLength(ID_SEGMENT)))
        return;
    if (segmentSize <= maxSizeValue(8))
        writeSize(segmentSize, 8);
    else
        seekOutput(m_segmentDataStart);
    writeSeekHead();
    const int64_t areaEnd = m_segmentDataStart + static_cast<int64_t>(SEEK_HEAD_AREA);
    writeVoid(static_cast<uint64_t>(areaEnd - outputPosition()));
    flushOutput();
}

void VornMKVMuxer::writeSeekHead() {
    const std::pair<uint32_t, int64_t> targets[] = {
        {ID_INFO, m_infoPosition},
        {ID_TRACKS, m_tracksPosition},
        {ID_CLUSTER, m_firstClusterPosition},
        {ID_CUES, m_cuesPosition},
    };
    uint64_t payload = 0;
    for (const auto& [id, position] : targets)
        payload += elementSize(ID_SEEK, seekPayload(position));
    writeMasterHeader(ID_SEEK_HEAD, payload);
    for (const auto& [id, position] : targets) {
        const uint8_t idBytes[4] = {static_cast<uint8_t>(id >> 24), static_cast<uint8_t>(id >> 16),
                                    static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)};
        writeMasterHeader(ID_SEEK, seekPayload(position));
        writeBytesElement(ID_SEEK_ID, idBytes, sizeof(idBytes));
        writeUnsignedElement(ID_SEEK_POSITION, static_cast<uint64_t>(position));
    }
}

void VornMKVMuxer::requireWritten() {
    if (writeFailed())
        VORN_THROW(802, failureSystemCode(), nullptr);
}
