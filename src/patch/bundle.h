// Bundles: the checked patches of many entries in one file, applied and
// removed all or nothing. Little-endian; the layout is drawn once, in
// bundle.cpp. Each record holds an entry's full name, its size, the hashes
// of its pixels before and after, and the S bytes (old XOR new) as one zlib
// stream; a hash of every byte before it closes the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/sources.h"

namespace velmorin {

constexpr int64_t bundle_head_size = 16;
constexpr int64_t bundle_tail_size = 16;
constexpr int64_t record_head_size = 34;  // and the name after it
constexpr uint16_t bundle_version = 1;

struct bundle_record {
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t before = 0;  // hash of the pixels it applies to
    uint64_t after = 0;   // hash of the pixels it gives
    int64_t stream_at = 0;    // where its compressed bytes start in the file
    int64_t stream_size = 0;  // C
    std::string name;
};

enum class bundle_verdict {
    sound,
    damaged,        // fields that do not agree, a hash that does not hold, two records of one name
    other_version,  // whole, and of a version other than 1
};

struct bundle_index {
    uint16_t version = 0;
    std::vector<bundle_record> records;
};

// Reads the bundle in `file` (its `size` bytes) whole: its closing hash and
// magic, then every record's head. False from `read_failed` when the bytes
// cannot be read.
bundle_verdict read_bundle(const byte_source& file, bundle_index* index, bool* read_failed);

// The bundle's first 16 bytes, for `count` records.
void encode_bundle_head(uint32_t count, uint8_t* out);

// A record's head and name (record_head_size + name bytes), `stream_size`
// set; returns its size.
std::vector<uint8_t> encode_record_head(const bundle_record& record);

// The closing 16 bytes, after everything `hash` was taken of.
void encode_bundle_tail(uint64_t hash, uint8_t* out);

// A record's stream, inflated a piece at a time to its S bytes.
class record_inflater {
public:
    record_inflater(const byte_source& file, const bundle_record& record, int64_t pixel_bytes);
    ~record_inflater();
    record_inflater(const record_inflater&) = delete;
    record_inflater& operator=(const record_inflater&) = delete;
    // The next `count` of the S bytes into `out`; false when the stream does
    // not give them (it is damaged, or its bytes cannot be read).
    [[nodiscard]] bool next(uint8_t* out, size_t count);
    // After the last piece: whether the stream ends there, exactly at its
    // C bytes.
    [[nodiscard]] bool ends();
    // Whether a false answer came from bytes that could not be read, not
    // from the stream.
    bool read_failed() const;

private:
    struct state;
    std::unique_ptr<state> z_;
};

// Bytes compressed into one zlib stream, handed to `sink` as they come.
class record_deflater {
public:
    using sink = std::function<void(const uint8_t*, size_t)>;
    explicit record_deflater(sink out);
    ~record_deflater();
    record_deflater(const record_deflater&) = delete;
    record_deflater& operator=(const record_deflater&) = delete;
    void feed(const uint8_t* bytes, size_t count);
    void finish();

private:
    struct state;
    std::unique_ptr<state> z_;
};

}  // namespace velmorin
