// The muxer's output as independent tools see it: mkvmerge identifies both tracks, mkvinfo reads it,
// ffprobe decodes every packet of both streams, ffmpeg reads the file without a complaint; and it plays
// and seeks as its inputs do.
#include "mkv/VornMKVMuxer.h"

#include "tests/mkv/RecordingReporter.h"
#include "tests/support/TempDir.h"
#include "tests/support/WebmFixtures.h"

#include <gtest/gtest.h>

#include <cmath>
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

// mkvmerge finds no error and no warning, mkvinfo reads the whole file, ffmpeg decodes every frame of
// it in silence.
void expectToolsAccept(const std::filesystem::path& out) {
    CommandResult identified = run("mkvmerge -J '" + out.string() + "'");
    EXPECT_EQ(identified.status, 0) << identified.output;
    EXPECT_NE(identified.output.find("\"errors\": []"), std::string::npos) << identified.output;
    EXPECT_NE(identified.output.find("\"warnings\": []"), std::string::npos) << identified.output;
    CommandResult info = run("mkvinfo -v '" + out.string() + "'");
    EXPECT_EQ(info.status, 0) << info.output.substr(0, 2000);
    EXPECT_EQ(info.output.find("Error"), std::string::npos);
    CommandResult decoded = run("ffmpeg -nostdin -v error -i '" + out.string() + "' -f null -");
    EXPECT_EQ(decoded.status, 0);
    EXPECT_EQ(decoded.output, "");
}

// Every packet of both inputs is in the output, and every one decodes.
void expectSameFrames(const std::filesystem::path& video, const std::filesystem::path& audio,
                      const std::filesystem::path& out) {
    std::vector<StreamCount> inputs = probe(video);
    std::vector<StreamCount> audioInput = probe(audio);
    inputs.insert(inputs.end(), audioInput.begin(), audioInput.end());
    std::vector<StreamCount> output = probe(out);
    ASSERT_EQ(output.size(), 2u);
    ASSERT_EQ(inputs.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_GT(output[i].packets, 0);
        EXPECT_EQ(output[i].codec, inputs[i].codec);
        EXPECT_EQ(output[i].packets, inputs[i].packets) << output[i].codec;
        EXPECT_EQ(output[i].frames, inputs[i].frames) << output[i].codec;
    }
}

std::vector<double> numbersOf(const std::string& text) {
    std::vector<double> numbers;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty())
            numbers.push_back(std::stod(line));
    }
    return numbers;
}

// The times of the video key frames.
std::vector<double> keyFrameTimes(const std::filesystem::path& path) {
    CommandResult result = run("ffprobe -v error -select_streams v -show_entries packet=pts_time,flags -of "
                               "csv=p=0 '" +
                               path.string() + "' | grep K | cut -d, -f1");
    EXPECT_EQ(result.status, 0) << result.output;
    return numbersOf(result.output);
}

// The time of the first video packet read after a seek to the given second: where a player lands.
double seekLanding(const std::filesystem::path& path, int second) {
    CommandResult result =
        run("ffprobe -v error -select_streams v -read_intervals " + std::to_string(second) +
            "%+#1 -show_entries packet=pts_time -of csv=p=0 '" + path.string() + "'");
    EXPECT_EQ(result.status, 0) << result.output;
    std::vector<double> times = numbersOf(result.output);
    return times.empty() ? -1 : times.front();
}

double containerDuration(const std::filesystem::path& path) {
    CommandResult result =
        run("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + path.string() + "'");
    std::vector<double> numbers = numbersOf(result.output);
    return numbers.empty() ? -1 : numbers.front();
}

class ToolsFixture : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"ffmpeg", "ffprobe", "mkvmerge", "mkvinfo"}) {
            if (!haveTool(tool))
                GTEST_SKIP() << tool << " is not installed";
        }
    }

    bool mux() {
        VornMKVMuxer muxer(&m_reporter, m_video.wstring(), m_audio.wstring(), m_out.wstring());
        const bool ok = muxer.run();
        m_cues = muxer.cuePoints().size();
        return ok;
    }

    TempDir m_dir;
    std::filesystem::path m_video = m_dir / "Video.webm";
    std::filesystem::path m_audio = m_dir / "Audio.webm";
    std::filesystem::path m_out = m_dir / "out.mkv";
    RecordingReporter m_reporter;
    size_t m_cues = 0;
};

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

class MKVToolsTest : public ToolsFixture, public ::testing::WithParamInterface<ToolCase> {};

TEST_P(MKVToolsTest, ToolsAcceptTheOutput) {
    const ToolCase& c = GetParam();
    ASSERT_TRUE(makeVideo(m_video, c.videoCodec, c.videoSeconds, 10, 900));
    ASSERT_TRUE(makeAudio(m_audio, c.audioCodec, c.audioSeconds));
    ASSERT_TRUE(mux());
    EXPECT_EQ(m_cues, keyFrameTimes(m_video).size()) << "a cue for every key frame";
    EXPECT_GE(m_cues, 2u);

    CommandResult identified = run("mkvmerge -J '" + m_out.string() + "'");
    const std::string& json = identified.output;
    EXPECT_NE(json.find("\"codec\": \"" + std::string(c.mkvmergeVideo) + "\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"codec\": \"" + std::string(c.mkvmergeAudio) + "\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"type\": \"video\""), std::string::npos);
    EXPECT_NE(json.find("\"type\": \"audio\""), std::string::npos);
    std::vector<StreamCount> output = probe(m_out);
    ASSERT_EQ(output.size(), 2u);
    EXPECT_EQ(output[0].codec, c.probeVideo);
    EXPECT_EQ(output[1].codec, c.probeAudio);
    expectSameFrames(m_video, m_audio, m_out);
    expectToolsAccept(m_out);
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

using MKVPlaybackTest = ToolsFixture;

// ffmpeg stores VP9 with alpha as BlockGroups: the alpha plane rides in BlockAdditions and delta frames
// carry a ReferenceBlock. Both must survive, or the alpha is lost and seeking lands on delta frames.
TEST_F(MKVPlaybackTest, Vp9AlphaInBlockGroupsSurvives) {
    ASSERT_TRUE(makeVideoWith(m_video, 10, 5, "-c:v libvpx-vp9 -pix_fmt yuva420p -g 10 -b:v 40k -f webm"));
    ASSERT_TRUE(makeAudio(m_audio, "libopus", 10));
    ASSERT_NE(readWholeFile(m_video).find("\x75\xA1"), std::string::npos) << "the input has BlockAdditions";
    ASSERT_TRUE(mux());
    EXPECT_EQ(m_cues, keyFrameTimes(m_video).size());
    EXPECT_EQ(keyFrameTimes(m_out), keyFrameTimes(m_video));
    expectSameFrames(m_video, m_audio, m_out);
    expectToolsAccept(m_out);

    // The alpha plane, decoded by libvpx, is the input's frame for frame.
    const std::string alpha = "ffmpeg -nostdin -v error -c:v libvpx-vp9 -i '";
    const std::string md5 = "' -map 0:v -vf alphaextract -f md5 -";
    CommandResult inputAlpha = run(alpha + m_video.string() + md5);
    CommandResult outputAlpha = run(alpha + m_out.string() + md5);
    ASSERT_EQ(inputAlpha.status, 0) << inputAlpha.output;
    EXPECT_EQ(outputAlpha.output, inputAlpha.output);

    CommandResult seeked = run("ffmpeg -nostdin -v error -ss 7 -i '" + m_out.string() + "' -f null -");
    EXPECT_EQ(seeked.status, 0);
    EXPECT_EQ(seeked.output, "") << "decoding from a seek starts at a key frame";
}

// Clusters that hold several key frames (a key frame every second, clusters of about four): a seek
// lands on the key frame before the target, as in the input, not on the start of its cluster.
TEST_F(MKVPlaybackTest, SeekLandsWhereItLandsInTheInput) {
    ASSERT_TRUE(
        makeVideoWith(m_video, 60, 5, "-c:v libvpx-vp9 -g 5 -b:v 8k -cluster_time_limit 30000 -f webm"));
    ASSERT_TRUE(makeAudio(m_audio, "libopus", 60));
    const std::vector<double> keyFrames = keyFrameTimes(m_video);
    VornWebmReader reader(m_video.wstring(), VornWebmReader::TRACK_TYPE_VIDEO);
    ASSERT_TRUE(reader.parse());
    ASSERT_LT(reader.clusterCount() * 2, keyFrames.size())
        << "the fixture's clusters hold several key frames";
    ASSERT_TRUE(mux());
    EXPECT_EQ(m_cues, keyFrames.size());
    const double keyInterval = 1.0;
    for (int second : {30, 31, 32, 33, 47}) {
        const double input = seekLanding(m_video, second);
        const double output = seekLanding(m_out, second);
        ASSERT_GE(input, 0) << second;
        EXPECT_LE(std::fabs(output - input), keyInterval) << "seek to " << second;
        EXPECT_LE(output, second) << "seek to " << second;
    }
    CommandResult seeked = run("ffmpeg -nostdin -v error -ss 30 -i '" + m_out.string() + "' -f null -");
    EXPECT_EQ(seeked.status, 0);
    EXPECT_EQ(seeked.output, "");
    expectSameFrames(m_video, m_audio, m_out);
    expectToolsAccept(m_out);
}

// A live stream: no Duration, a Segment of unknown size and clusters of unknown size. The output has
// the stream's length and every frame.
TEST_F(MKVPlaybackTest, LiveStreamsMuxWithTheirLength) {
    ASSERT_TRUE(makeVideoWith(m_video, 6, 10, "-c:v libvpx-vp9 -g 10 -b:v 40k -f webm", true));
    ASSERT_TRUE(makeAudio(m_audio, "libopus", 6, true));
    const auto clusterTimes = [](const std::filesystem::path& path) {
        const std::string info = run("mkvinfo -v '" + path.string() + "'").output;
        size_t count = 0;
        for (size_t at = info.find("Cluster timestamp"); at != std::string::npos;
             at = info.find("Cluster timestamp", at + 1))
            ++count;
        return count;
    };
    for (const auto& path : {m_video, m_audio}) {
        const std::string sized = readWholeFile(path);
        const size_t clusters = clusterTimes(path);
        writeWholeFile(path, withUnknownClusterSizes(sized));
        ASSERT_NE(readWholeFile(path), sized);
        ASSERT_EQ(clusterTimes(path), clusters) << "mkvinfo reads the unknown-size clusters";
        ASSERT_GT(clusters, 1u);
    }
    CommandResult info = run("mkvinfo -v '" + m_video.string() + "'");
    ASSERT_NE(info.output.find("Segment: size unknown"), std::string::npos) << info.output.substr(0, 3000);
    ASSERT_EQ(info.output.find("+ Duration"), std::string::npos);

    ASSERT_TRUE(mux());
    EXPECT_EQ(m_reporter.logTexts().at(0).rfind("Video Webm-File Parsed Copmletely.", 0), 0u);
    EXPECT_NEAR(containerDuration(m_out), 6.0, 0.15);
    EXPECT_EQ(m_cues, keyFrameTimes(m_video).size());
    expectSameFrames(m_video, m_audio, m_out);
    expectToolsAccept(m_out);
}

// The same stream cut off part of the way: what arrived is muxed, with the length of what arrived.
TEST_F(MKVPlaybackTest, LiveStreamCutShortMuxesWhatArrived) {
    ASSERT_TRUE(makeVideoWith(m_video, 6, 10, "-c:v libvpx-vp9 -g 10 -b:v 40k -f webm", true));
    ASSERT_TRUE(makeAudio(m_audio, "libopus", 6, true));
    const std::string whole = withUnknownClusterSizes(readWholeFile(m_video));
    writeWholeFile(m_video, whole.substr(0, whole.size() * 6 / 10));
    writeWholeFile(m_audio, withUnknownClusterSizes(readWholeFile(m_audio)));
    ASSERT_TRUE(mux());
    EXPECT_EQ(m_reporter.logTexts().at(0),
              "Video Webm-File could not be parsed copmletely. Some Cluster have not been parsed.");
    const double duration = containerDuration(m_out);
    EXPECT_GT(duration, 2.0);
    EXPECT_LT(duration, 5.0);
    expectToolsAccept(m_out);
}

} // namespace
