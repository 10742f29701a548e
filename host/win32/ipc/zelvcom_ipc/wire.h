// Little-endian integers in and out of byte buffers, bounds-checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zelipc {

class ByteWriter {
public:
    void U16(std::uint16_t value) { Put(value, sizeof value); }
    void U32(std::uint32_t value) { Put(value, sizeof value); }
    void U64(std::uint64_t value) { Put(value, sizeof value); }
    void Bytes(const std::uint8_t* data, std::size_t length)
    {
        bytes_.insert(bytes_.end(), data, data + length);
    }
    void Bytes(const std::vector<std::uint8_t>& data) { Bytes(data.data(), data.size()); }
    void Text(const std::string& text)
    {
        Bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    }

    std::size_t Size() const { return bytes_.size(); }
    std::vector<std::uint8_t>& Buffer() { return bytes_; }
    std::vector<std::uint8_t> Take() { return std::move(bytes_); }

private:
    void Put(std::uint64_t value, std::size_t width)
    {
        for (std::size_t i = 0; i < width; ++i) {
            bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        }
    }

    std::vector<std::uint8_t> bytes_;
};

// Reads fields in order; once a read runs past the end, every later read
// fails too, so a decoder checks Ok() once at the end.
class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t length) : data_(data), length_(length) {}

    std::uint16_t U16() { return static_cast<std::uint16_t>(Get(sizeof(std::uint16_t))); }
    std::uint32_t U32() { return static_cast<std::uint32_t>(Get(sizeof(std::uint32_t))); }
    std::uint64_t U64() { return Get(sizeof(std::uint64_t)); }
    std::string Text(std::size_t length)
    {
        if (!ok_ || Left() < length) {
            ok_ = false;
            return {};
        }
        std::string text(reinterpret_cast<const char*>(data_ + offset_), length);
        offset_ += length;
        return text;
    }
    std::vector<std::uint8_t> Rest()
    {
        std::vector<std::uint8_t> rest(data_ + offset_, data_ + length_);
        offset_ = length_;
        return rest;
    }

    bool Ok() const { return ok_; }
    std::size_t Left() const { return length_ - offset_; }

private:
    std::uint64_t Get(std::size_t width)
    {
        if (!ok_ || Left() < width) {
            ok_ = false;
            return 0;
        }
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) {
            value |= static_cast<std::uint64_t>(data_[offset_ + i]) << (8 * i);
        }
        offset_ += width;
        return value;
    }

    const std::uint8_t* data_;
    std::size_t length_;
    std::size_t offset_ = 0;
    bool ok_ = true;
};

}  // namespace zelipc
