// The muxer's output as independent tools see it: mkvmerge identifies both tracks, ffprobe decodes
// every packet of both streams, ffmpeg reads the file without a complaint.
#include "mkv/VornMKVMuxer.h"

#include "tests/mkv/RecordingReporter.h"
#include "tests/support/TempDir.h"
#include "tests/support/WebmFixtures.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace webmfix;

namespace {

struct StreamCount {
    std::string codec;
    long packets = -1;
    long frames = -1;
};

// Decodes every frame of every stream; one line per stream.
std::vector<StreamCount> probe(const std::filesystem::path& path) {
    CommandResult result = run("ffprobe -v error -count_packets -count_frames -show_entries "
                               "stream=codec_name,nb_read_packets,nb_read_frames -of csv=p=0 '" +
                               path.string() + "'");
    EXPECT_EQ(result.status, 0) << result.output;
    std::vector<StreamCount> streams;
    std::istringstream lines(result.output);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        StreamCount stream;
        std::string packets;
        std::string frames;
        std::getline(fields, stream.codec, ',');
        std::getline(fields, frames, ',');
        std::getline(fields, packets, ',');
        if (frames.empty() || packets.empty()) {
            ADD_FAILURE() << "unexpected ffprobe line: " << line;
            continue;
        }
        stream.frames = std::stol(frames);
        stream.packets = std::stol(packets);
        streams.push_back(stream);
    }
    return streams;
}

struct ToolCase {
    const char* videoCodec;
    const char* audioCodec;
    double videoSeconds;
    double audioSeconds;
    const char* mkvmergeVideo;
    const char* mkvmergeAudio;
    const char* probeVideo;
    const char* probeAudio;
};

class MKVToolsTest : public ::testing::TestWithParam<ToolCase> {
protected:
    void SetUp() override {
        for (const char* tool : {"ffmpeg", "ffprobe", "mkvmerge"}) {
            if (!haveTool(tool))
                GTEST_SKIP() << tool << " is not installed";
        }
    }

    TempDir m_dir;
};

TEST_P(MKVToolsTest, ToolsAcceptTheOutput) {
    const ToolCase& c = GetParam();
    const auto video = m_dir / "Video.webm";
    const auto audio = m_dir / "Audio.webm";
    const auto out = m_dir / "out.mkv";
    ASSERT_TRUE(makeVideo(video, c.videoCodec, c.videoSeconds, 10, 900));
    ASSERT_TRUE(makeAudio(audio, c.audioCodec, c.audioSeconds));
    RecordingReporter reporter;
    VornMKVMuxer muxer(&reporter, video.wstring(), audio.wstring(), out.wstring());
    ASSERT_TRUE(muxer.run());
    EXPECT_GE(muxer.cuePoints().size(), 2u) << "a key frame every second opens several clusters";

    CommandResult identified = run("mkvmerge -J '" + out.string() + "'");
    EXPECT_EQ(identified.status, 0) << identified.output;
    const std::string& json = identified.output;
    EXPECT_NE(json.find("\"codec\": \"" + std::string(c.mkvmergeVideo) + "\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"codec\": \"" + std::string(c.mkvmergeAudio) + "\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"type\": \"video\""), std::string::npos);
    EXPECT_NE(json.find("\"type\": \"audio\""), std::string::npos);
    EXPECT_NE(json.find("\"errors\": []"), std::string::npos) << json;
    EXPECT_NE(json.find("\"warnings\": []"), std::string::npos) << json;

    // Every packet of both inputs is in the output, and every one decodes.
    std::vector<StreamCount> inputs = probe(video);
    std::vector<StreamCount> audioInput = probe(audio);
    inputs.insert(inputs.end(), audioInput.begin(), audioInput.end());
    std::vector<StreamCount> output = probe(out);
    ASSERT_EQ(output.size(), 2u);
    ASSERT_EQ(inputs.size(), 2u);
    EXPECT_EQ(output[0].codec, c.probeVideo);
    EXPECT_EQ(output[1].codec, c.probeAudio);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_GT(output[i].packets, 0);
        EXPECT_EQ(output[i].packets, inputs[i].packets) << output[i].codec;
        EXPECT_EQ(output[i].frames, inputs[i].frames) << output[i].codec;
    }

    CommandResult decoded = run("ffmpeg -nostdin -v error -i '" + out.string() + "' -f null -");
    EXPECT_EQ(decoded.status, 0);
    EXPECT_EQ(decoded.output, "");
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, MKVToolsTest,
    ::testing::Values(ToolCase{"libvpx", "libopus", 6, 6, "VP8", "Opus", "vp8", "opus"},
                      ToolCase{"libvpx-vp9", "libvorbis", 6, 6, "VP9", "Vorbis", "vp9", "vorbis"},
                      ToolCase{"libvpx", "libopus", 6, 2.5, "VP8", "Opus", "vp8", "opus"},
                      ToolCase{"libvpx-vp9", "libopus", 3, 8, "VP9", "Opus", "vp9", "opus"}),
    [](const ::testing::TestParamInfo<ToolCase>& info) {
        return std::to_string(info.index) + "_" + info.param.mkvmergeVideo + "_" + info.param.mkvmergeAudio;
    });

} // namespace
