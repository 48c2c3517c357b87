// Any bytes as a WebM input: the reader's parse, its cluster parse and block walk, and a whole mux
// with the input as the video and as the audio side of a small well-formed partner.
#include "base/VornException.h"
#include "mkv/VornMKVMuxer.h"
#include "mkv/VornWebmReader.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

std::string bigEndian(uint64_t value, int bytes) {
    std::string out;
    for (int i = bytes - 1; i >= 0; --i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
}

std::string element(uint32_t id, const std::string& payload) {
    int idBytes = id < 0x100 ? 1 : id < 0x10000 ? 2 : id < 0x1000000 ? 3 : 4;
    return bigEndian(id, idBytes) + bigEndian(payload.size() | (uint64_t{1} << 56), 8) + payload;
}

// One track of the given type, two clusters of two frames each.
std::string partner(uint64_t type) {
    std::string info =
        element(0x2AD7B1, bigEndian(1000000, 3)) + element(0x4489, bigEndian(0x40C3880000000000, 8));
    std::string track = element(0x83, bigEndian(type, 1)) + element(0x86, type == 1 ? "V_VP8" : "A_OPUS");
    std::string segment = element(0x1549A966, info) + element(0x1654AE6B, element(0xAE, track));
    for (int c = 0; c < 2; ++c) {
        std::string cluster = element(0xE7, bigEndian(c * 100, 2));
        for (int b = 0; b < 2; ++b)
            cluster += element(0xA3, "\x81" + bigEndian(b * 40, 2) + "\x80" + "frame");
        segment += element(0x1F43B675, cluster);
    }
    return element(0x1A45DFA3, element(0x4282, "webm")) + element(0x18538067, segment);
}

std::string scratch(const char* name) {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(base) + "/brellin-fuzz-" + std::to_string(getpid()) + "-" + name;
}

void writeFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    check(file != nullptr);
    check(size == 0 || std::fwrite(data, 1, size, file) == size);
    std::fclose(file);
}

std::wstring wide(const std::string& path) {
    return std::wstring(path.begin(), path.end());
}

void walkReader(const std::string& path, uint32_t type, uint64_t size) {
    VornWebmReader reader(wide(path), type);
    reader.parse();
    // Each cluster needs at least a header's bytes.
    check(reader.clusterCount() <= size / 2 + 1);
    check(reader.duration() >= 0);
    const auto inside = [size](int64_t position, uint64_t length) {
        return position >= 0 && static_cast<uint64_t>(position) <= size &&
               length <= size - static_cast<uint64_t>(position);
    };
    try {
        for (size_t i = 0; i < reader.clusterCount(); ++i) {
            VornClusterEntry& cluster = reader.cluster(i);
            // Unknown-size clusters included: the extent found lies inside the file.
            check(inside(cluster.dataStart, cluster.dataSize));
            if (reader.parseCluster(cluster)) {
                for (const VornBlockEntry& block : cluster.blocks) {
                    check(inside(block.dataPosition, block.dataSize));
                    if (block.elementId == 0xA0)
                        check(inside(block.groupPosition, block.groupSize) &&
                              block.copiedSize <= block.groupSize);
                    else
                        check(block.copiedSize == 0);
                }
            }
            reader.releaseCluster(cluster);
        }
    } catch (const VornException& error) {
        check(error.code() == 801);
    }
    try {
        while (reader.nextBlock())
            reader.releaseConsumedClusters();
        check(!reader.nextBlock());
    } catch (const VornException& error) {
        check(error.code() == 801);
    }
}

void mux(const std::string& video, const std::string& audio, const std::string& output) {
    try {
        VornMKVMuxer muxer(nullptr, wide(video), wide(audio), wide(output));
        muxer.run();
    } catch (const VornException& error) {
        check(error.code() == 801 || error.code() == 802);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string input = scratch("input.webm");
    static const std::string video = scratch("video.webm");
    static const std::string audio = scratch("audio.webm");
    static const std::string output = scratch("out.mkv");
    static const bool partnersWritten = [] {
        const std::string v = partner(1);
        const std::string a = partner(2);
        writeFile(video, reinterpret_cast<const uint8_t*>(v.data()), v.size());
        writeFile(audio, reinterpret_cast<const uint8_t*>(a.data()), a.size());
        return true;
    }();
    check(partnersWritten);
    // The scratch files go when the fuzzer exits.
    static const struct Cleanup {
        ~Cleanup() {
            for (const std::string* path : {&input, &video, &audio, &output})
                std::remove(path->c_str());
        }
    } cleanup;
    (void)cleanup;
    writeFile(input, data, size);
    walkReader(input, 1, size);
    walkReader(input, 2, size);
    mux(input, audio, output);
    mux(video, input, output);
    return 0;
}
