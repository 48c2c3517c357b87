#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>

// A fixed-capacity buffer of received bytes with a zero element after its contents, so they can also
// be read as a NUL-terminated text. T is char or unsigned char.
template <typename T> class VornBuffer {
public:
    explicit VornBuffer(uint32_t capacity) { allocate(capacity); }
    virtual ~VornBuffer() = default;
    VornBuffer(const VornBuffer&) = delete;
    VornBuffer& operator=(const VornBuffer&) = delete;

    // Copies n elements to the end and returns the count copied. Never writes past the capacity: what
    // does not fit is left out, and the caller sees it in the smaller count.
    uint32_t Append(const T* source, uint32_t n) {
        n = std::min(n, FreeSpace());
        if (n == 0) {
            return 0;
        }
        std::memmove(m_data.get() + m_length, source, n * sizeof(T));
        m_length += n;
        m_data[m_length] = 0;
        return n;
    }

    uint32_t Assign(const T* source, uint32_t n) {
        Clear();
        return Append(source, n);
    }

    // Keeps the last n elements, moved to the front.
    void KeepLast(uint32_t n) {
        n = std::min(n, m_length);
        std::memmove(m_data.get(), m_data.get() + (m_length - n), n * sizeof(T));
        m_length = n;
        m_data[m_length] = 0;
    }

    // Drops the first n elements.
    void RemoveFront(uint32_t n) { KeepLast(n >= m_length ? 0 : m_length - n); }

    // Counts n elements written directly at Data() + Length() (at most the free space).
    void Grow(uint32_t n) {
        m_length += std::min(n, FreeSpace());
        m_data[m_length] = 0;
    }

    void Clear() {
        m_length = 0;
        m_data[0] = 0;
    }

    // A fresh block of the new capacity; the contents are lost.
    void Reallocate(uint32_t capacity) { allocate(capacity); }

    T* Data() { return m_data.get(); }
    const T* Data() const { return m_data.get(); }
    uint32_t Capacity() const { return m_capacity; }
    uint32_t Length() const { return m_length; }
    uint32_t FreeSpace() const { return m_capacity - m_length; }
    bool Empty() const { return m_length == 0; }
    std::string ToString() const {
        return std::string(reinterpret_cast<const char*>(m_data.get()), m_length);
    }

private:
    void allocate(uint32_t capacity) {
        // A capacity whose + 1 overflows cannot be held, as on a 32-bit size.
        if (capacity == std::numeric_limits<uint32_t>::max()) {
            throw std::bad_alloc();
        }
        std::unique_ptr<T[]> data(new T[size_t{capacity} + 1]);
        m_data = std::move(data);
        m_capacity = capacity;
        m_length = 0;
        m_data[0] = 0;
    }

    std::unique_ptr<T[]> m_data;
    uint32_t m_capacity = 0;
    uint32_t m_length = 0;
};
