#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

// Bounds-checked view of received table or descriptor bytes. Every read is checked against the
// end of the view, so no length field, however large, can take a decoder past the data: a read
// that would cross the end throws std::length_error with the view's message.
class ByteReader {
  public:
    ByteReader(const unsigned char* data, std::size_t size, const char* overrun_message)
        : data_(data), size_(size), message_(overrun_message) {}

    std::size_t size() const { return size_; }
    // True when n bytes starting at offset lie inside the view.
    bool has(std::size_t offset, std::size_t n) const { return offset <= size_ && n <= size_ - offset; }

    uint8_t u8(std::size_t offset) const {
        check(offset, 1);
        return data_[offset];
    }
    uint16_t u16(std::size_t offset) const {
        check(offset, 2);
        return static_cast<uint16_t>(data_[offset] << 8 | data_[offset + 1]);
    }
    uint32_t u24(std::size_t offset) const {
        check(offset, 3);
        return static_cast<uint32_t>(data_[offset]) << 16 | data_[offset + 1] << 8 | data_[offset + 2];
    }
    uint32_t u32(std::size_t offset) const {
        check(offset, 4);
        return static_cast<uint32_t>(data_[offset]) << 24 | static_cast<uint32_t>(data_[offset + 1]) << 16 |
               data_[offset + 2] << 8 | data_[offset + 3];
    }
    // Pointer to n bytes that are known to lie inside the view.
    const unsigned char* ptr(std::size_t offset, std::size_t n) const {
        check(offset, n);
        return data_ + offset;
    }
    // The part of [offset, offset + n) that lies inside the view (possibly empty).
    std::size_t clamp(std::size_t offset, std::size_t n) const {
        if (offset >= size_) {
            return 0;
        }
        return n < size_ - offset ? n : size_ - offset;
    }

  private:
    void check(std::size_t offset, std::size_t n) const {
        if (!has(offset, n)) {
            throw std::length_error(message_);
        }
    }

    const unsigned char* data_;
    std::size_t size_;
    const char* message_;
};
