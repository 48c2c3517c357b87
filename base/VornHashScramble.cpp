#include "base/VornHashScramble.h"

#include "base/VornText.h"

#include <random>

namespace {

const char kKey[] = "5d2e9a41-7c3b-4f18-a6e0-93b1c8d47f25";
constexpr size_t kKeyLength = sizeof kKey - 1;
constexpr size_t kBlockLength = 127;
constexpr size_t kMaxPassword = VORN_SCRAMBLE_MAX_PASSWORD;

void applyKey(std::string& block) {
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<char>(block[i] ^ kKey[i % kKeyLength]);
    }
}

char fillerByte() {
    thread_local std::mt19937 generator{std::random_device{}()};
    std::uniform_int_distribution<int> printable('!', '~');
    return static_cast<char>(printable(generator));
}

} // namespace

std::string vornScramble(const std::string& password) {
    if (password.empty() || password.size() > kMaxPassword) {
        return std::string();
    }
    std::string block;
    block.reserve(kBlockLength);
    block += static_cast<char>(password.size() + 32);
    block += password;
    while (block.size() < kBlockLength) {
        block += fillerByte();
    }
    applyKey(block);
    return vornBase64Encode(block);
}

std::string vornUnscramble(const std::string& text) {
    if (text.empty()) {
        return std::string();
    }
    std::string block = vornBase64Decode(text);
    if (block.empty()) {
        return std::string();
    }
    applyKey(block);
    const auto lead = static_cast<unsigned char>(block[0]);
    if (lead <= 32) {
        return std::string();
    }
    return block.substr(1, lead - 32);
}
