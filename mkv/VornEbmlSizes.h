#pragma once

#include <cstdint>

// Encoded lengths of EBML fields, so that every master element's size is known before it is written.
namespace vornmkv {

// The fewest bytes that hold the ID (its marker bits included).
constexpr int idLength(uint32_t id) {
    return id < 0x100 ? 1 : id < 0x10000 ? 2 : id < 0x1000000 ? 3 : 4;
}

// The fewest big-endian bytes that hold the value; 1 for 0.
constexpr int unsignedLength(uint64_t value) {
    int length = 1;
    while (length < 8 && (value >> (8 * length)) != 0)
        ++length;
    return length;
}

// The largest value a size field of the given length holds: all ones means "unknown".
constexpr uint64_t maxSizeValue(int length) {
    return (uint64_t{1} << (7 * length)) - 2;
}

// The shortest size field for the value, 0 when not even 8 bytes hold it.
constexpr int sizeLength(uint64_t value) {
    for (int length = 1; length <= 8; ++length) {
        if (value <= maxSizeValue(length))
            return length;
    }
    return 0;
}

// An element with the shortest size field and a payload of the given length.
constexpr uint64_t elementSize(uint32_t id, uint64_t payload) {
    return static_cast<uint64_t>(idLength(id) + sizeLength(payload)) + payload;
}

// An unsigned element: the ID, a one-byte size and the fewest bytes of the value.
constexpr uint64_t unsignedElementSize(uint32_t id, uint64_t value) {
    return static_cast<uint64_t>(idLength(id) + 1 + unsignedLength(value));
}

} // namespace vornmkv
