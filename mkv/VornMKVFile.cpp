#include "mkv/VornMKVFile.h"

#include "base/VornException.h"
#include "base/VornNativePath.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <optional>

namespace {

constexpr uint64_t kWindowSize = 64 * 1024;

} // namespace

VornMKVFile::VornMKVFile(const std::wstring& path, bool forWriting) : VornFileWindows(path) {
    try {
        if (forWriting) {
            open(VORN_FILE_CREATE | VORN_FILE_WRITE);
            // An existing file is opened, not replaced; what lies past the new content must go.
            std::optional<std::string> native = vornNativePath(path);
            if (size() > 0 && native)
                std::filesystem::resize_file(*native, 0);
        } else {
            open(VORN_FILE_READ);
            m_fileSize = size();
        }
    } catch (const VornException&) {
        close();
    } catch (const std::filesystem::filesystem_error&) {
        close();
    }
}

bool VornMKVFile::inFile(int64_t position, uint64_t count) const {
    if (position < 0 || static_cast<uint64_t>(position) >= m_fileSize || count == 0)
        return false;
    return count <= m_fileSize - static_cast<uint64_t>(position);
}

bool VornMKVFile::readBytes(int64_t position, uint64_t count, void* buffer) {
    if (!isOpen() || !inFile(position, count))
        return false;
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    if (count <= kWindowSize / 4)
        return readCached(position, count, bytes);
    return readDirect(position, count, bytes);
}

bool VornMKVFile::readDirect(int64_t position, uint64_t count, uint8_t* buffer) {
    try {
        seek(position, 0);
        uint64_t done = 0;
        while (done < count) {
            size_t got = read(buffer + done, static_cast<size_t>(count - done));
            if (got == 0)
                return false;
            done += got;
        }
        return true;
    } catch (const VornException&) {
        return false;
    }
}

bool VornMKVFile::readCached(int64_t position, uint64_t count, uint8_t* buffer) {
    uint64_t offset = static_cast<uint64_t>(position - m_windowStart);
    bool inside = position >= m_windowStart && offset + count <= m_windowLength;
    if (!inside) {
        uint64_t length = std::min(kWindowSize, m_fileSize - static_cast<uint64_t>(position));
        m_window.resize(kWindowSize);
        m_windowLength = 0;
        if (!readDirect(position, length, m_window.data()))
            return false;
        m_windowStart = position;
        m_windowLength = length;
        offset = 0;
    }
    std::memcpy(buffer, m_window.data() + offset, count);
    return true;
}

bool VornMKVFile::readSize(int64_t position, uint64_t& value, int& length) {
    uint8_t first = 0;
    if (!readBytes(position, 1, &first) || first == 0)
        return false;
    int count = 1 + std::countl_zero(first);
    uint8_t rest[8] = {};
    if (count > 1 && !readBytes(position + 1, count - 1, rest))
        return false;
    uint64_t result = first & (0xFFu >> count);
    for (int i = 0; i < count - 1; ++i)
        result = (result << 8) | rest[i];
    value = result;
    length = count;
    return true;
}

bool VornMKVFile::readId(int64_t position, uint32_t& id, int& length) {
    uint8_t first = 0;
    if (!readBytes(position, 1, &first) || (first & 0xF0) == 0)
        return false;
    int count = 1 + std::countl_zero(first);
    uint8_t rest[4] = {};
    if (count > 1 && !readBytes(position + 1, count - 1, rest))
        return false;
    uint32_t result = first;
    for (int i = 0; i < count - 1; ++i)
        result = (result << 8) | rest[i];
    id = result;
    length = count;
    return true;
}

bool VornMKVFile::readUnsigned(int64_t position, int length, uint64_t& value) {
    uint8_t bytes[8];
    if (length < 1 || length > 8 || !readBytes(position, length, bytes))
        return false;
    uint64_t result = 0;
    for (int i = 0; i < length; ++i)
        result = (result << 8) | bytes[i];
    value = result;
    return true;
}

bool VornMKVFile::readFloat(int64_t position, int length, double& value) {
    uint64_t bits = 0;
    if ((length != 4 && length != 8) || !readUnsigned(position, length, bits))
        return false;
    double result;
    if (length == 4)
        result = std::bit_cast<float>(static_cast<uint32_t>(bits));
    else
        result = std::bit_cast<double>(bits);
    if (!std::isfinite(result))
        return false;
    value = result;
    return true;
}

bool VornMKVFile::readSigned16(int64_t position, int16_t& value) {
    uint64_t bits = 0;
    if (!readUnsigned(position, 2, bits))
        return false;
    value = static_cast<int16_t>(static_cast<uint16_t>(bits));
    return true;
}

bool VornMKVFile::readString(int64_t position, uint64_t length, std::string& value) {
    // The range check comes before the allocation, so a lying size field costs nothing.
    if (!inFile(position, length))
        return false;
    std::string text(static_cast<size_t>(length), '\0');
    if (!readBytes(position, length, text.data()))
        return false;
    value = std::move(text);
    return true;
}

bool VornMKVFile::readElementHeader(int64_t& position, uint32_t& id, uint64_t& size) {
    int idLength = 0;
    int sizeLength = 0;
    uint32_t foundId = 0;
    uint64_t foundSize = 0;
    if (!readId(position, foundId, idLength) || !readSize(position + idLength, foundSize, sizeLength))
        return false;
    id = foundId;
    const bool unknown = foundSize == (uint64_t{1} << (7 * sizeLength)) - 1;
    size = unknown ? UNKNOWN_SIZE : foundSize;
    position += idLength + sizeLength;
    return true;
}

bool VornMKVFile::readUnsignedPayload(int64_t position, uint64_t size, uint64_t& value) {
    if (size == 0) {
        value = 0;
        return true;
    }
    return size <= 8 && readUnsigned(position, static_cast<int>(size), value);
}

bool VornMKVFile::readSignedPayload(int64_t position, uint64_t size, int64_t& value) {
    uint64_t bits = 0;
    if (!readUnsignedPayload(position, size, bits))
        return false;
    if (size > 0 && size < 8 && (bits >> (8 * size - 1)) != 0)
        bits |= ~uint64_t{0} << (8 * size);
    value = static_cast<int64_t>(bits);
    return true;
}
