// The bundle's layout, little-endian:
//
//   offset    bytes  field
//   0         8      magic "VMXBUNDL"
//   8         2      format version, 1
//   10        2      0
//   12        4      K, the number of records (at least 1)
//   16        ...    K records, one after another
//   end - 16  8      XXH3-64 (seed 0) of every byte before this field
//   end - 8   8      the magic again
//
// A record:
//
//   0         4      width of the entry
//   4         4      height
//   8         8      before: hash of the S = width x height x 4 pixel bytes it applies to
//   16        8      after: hash of the S bytes it gives
//   24        8      C, the length of the compressed bytes
//   32        2      N, the name's length (at least 1)
//   34        N      the entry's full stored name
//   34 + N    C      the S bytes (old XOR new) as one zlib stream
#include "patch/bundle.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_set>

#include "base/buffers.h"
#include "base/fields.h"
#include "base/hash.h"

namespace velmorin {
namespace {

constexpr uint8_t magic[8] = {'V', 'M', 'X', 'B', 'U', 'N', 'D', 'L'};
constexpr size_t piece = 256 * 1024;

// The file read forward through a buffer.
struct forward_reader {
    const byte_source& file;
    int64_t end;  // bytes past it are not handed out
    int64_t at;
    byte_buffer buf = alloc_bytes(piece);
    int64_t buf_at = 0;
    size_t buf_len = 0;
    bool failed = false;

    // `count` bytes at the reader's place, or nullptr past `end` or on a
    // failed read; count at most `piece`.
    const uint8_t* take(size_t count) {
        if (count > static_cast<uint64_t>(end - at)) return nullptr;
        if (at < buf_at || at + static_cast<int64_t>(count) > buf_at + static_cast<int64_t>(buf_len)) {
            buf_at = at;
            buf_len = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(piece), end - at));
            if (!read_source(file, buf_at, buf.get(), buf_len)) {
                failed = true;
                buf_len = 0;
                return nullptr;
            }
        }
        const uint8_t* p = buf.get() + (at - buf_at);
        at += static_cast<int64_t>(count);
        return p;
    }
};

bool tail_holds(const byte_source& file, bool* read_failed) {
    const int64_t size = file.size;
    uint8_t tail[bundle_tail_size];
    if (!read_source(file, size - bundle_tail_size, tail, sizeof tail)) {
        *read_failed = true;
        return false;
    }
    if (memcmp(tail + 8, magic, 8) != 0) return false;
    pixel_hash h;
    start_hash(h);
    byte_buffer buf = alloc_bytes(piece);
    for (int64_t at = 0; at < size - bundle_tail_size;) {
        size_t n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(piece), size - bundle_tail_size - at));
        if (!read_source(file, at, buf.get(), n)) {
            *read_failed = true;
            return false;
        }
        feed_hash(h, buf.get(), n);
        at += static_cast<int64_t>(n);
    }
    return hash_value(h) == read_u64le(tail);
}

// The records, each within the file and none of another's name.
bool read_records(const byte_source& file, uint32_t count, bundle_index* index, bool* read_failed) {
    forward_reader in{file, file.size - bundle_tail_size, bundle_head_size};
    // Each record takes at least its head and a byte of name.
    if (count > (in.end - in.at) / (record_head_size + 1)) return false;
    index->records.reserve(count);
    std::unordered_set<std::string> names;
    for (uint32_t k = 0; k < count; ++k) {
        const uint8_t* head = in.take(record_head_size);
        if (!head) {
            *read_failed = in.failed;
            return false;
        }
        bundle_record r;
        r.width = read_u32le(head);
        r.height = read_u32le(head + 4);
        r.before = read_u64le(head + 8);
        r.after = read_u64le(head + 16);
        uint64_t stream_size = read_u64le(head + 24);
        uint16_t name_size = read_u16le(head + 32);
        const uint8_t* name = name_size ? in.take(name_size) : nullptr;
        if (!name) {
            *read_failed = in.failed;
            return false;
        }
        r.name.assign(reinterpret_cast<const char*>(name), name_size);
        if (stream_size > static_cast<uint64_t>(in.end - in.at)) return false;
        r.stream_at = in.at;
        r.stream_size = static_cast<int64_t>(stream_size);
        in.at += r.stream_size;
        // A record that changes nothing could be applied for ever and never removed.
        if (r.before == r.after || !names.insert(r.name).second) return false;
        index->records.push_back(std::move(r));
    }
    return in.at == in.end;
}

}  // namespace

bundle_verdict read_bundle(const byte_source& file, bundle_index* index, bool* read_failed) {
    *read_failed = false;
    index->records.clear();
    uint8_t head[bundle_head_size];
    if (file.size < bundle_head_size + bundle_tail_size) return bundle_verdict::damaged;
    if (!read_source(file, 0, head, sizeof head)) {
        *read_failed = true;
        return bundle_verdict::damaged;
    }
    if (memcmp(head, magic, 8) != 0 || !tail_holds(file, read_failed)) return bundle_verdict::damaged;
    index->version = read_u16le(head + 8);
    if (index->version != bundle_version) return bundle_verdict::other_version;
    uint32_t count = read_u32le(head + 12);
    if (read_u16le(head + 10) != 0 || count == 0) return bundle_verdict::damaged;
    if (!read_records(file, count, index, read_failed)) return bundle_verdict::damaged;
    return bundle_verdict::sound;
}

void encode_bundle_head(uint32_t count, uint8_t* out) {
    memcpy(out, magic, 8);
    write_u16le(out + 8, bundle_version);
    write_u16le(out + 10, 0);
    write_u32le(out + 12, count);
}

std::vector<uint8_t> encode_record_head(const bundle_record& r) {
    std::vector<uint8_t> out(static_cast<size_t>(record_head_size) + r.name.size());
    write_u32le(out.data(), r.width);
    write_u32le(out.data() + 4, r.height);
    write_u64le(out.data() + 8, r.before);
    write_u64le(out.data() + 16, r.after);
    write_u64le(out.data() + 24, static_cast<uint64_t>(r.stream_size));
    write_u16le(out.data() + 32, static_cast<uint16_t>(r.name.size()));
    memcpy(out.data() + record_head_size, r.name.data(), r.name.size());
    return out;
}

void encode_bundle_tail(uint64_t hash, uint8_t* out) {
    write_u64le(out, hash);
    memcpy(out + 8, magic, 8);
}

// ---- the streams ------------------------------------------------------------

struct record_inflater::state {
    z_stream s{};
    bool open = false;
    bool ended = false;  // the stream said it ended
    bool unread = false;  // its bytes could not be read
    const byte_source& file;
    int64_t at, left;  // the compressed bytes not yet handed to zlib
    int64_t pixels_left;
    byte_buffer in = alloc_bytes(piece);
    state(const byte_source& f, const bundle_record& r, int64_t pixel_bytes)
        : file(f), at(r.stream_at), left(r.stream_size), pixels_left(pixel_bytes) {}
    ~state() {
        if (open) inflateEnd(&s);
    }
    // Inflates into `out` until it is full or the stream ends; false on
    // damage, a stream that needs more than its C bytes, or a failed read.
    bool pull(uint8_t* out, size_t count) {
        s.next_out = out;
        s.avail_out = static_cast<uInt>(count);
        while (s.avail_out > 0 && !ended) {
            if (s.avail_in == 0) {
                if (left == 0) return false;
                size_t n = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(piece)));
                if (!read_source(file, at, in.get(), n)) {
                    unread = true;
                    return false;
                }
                at += static_cast<int64_t>(n);
                left -= static_cast<int64_t>(n);
                s.next_in = in.get();
                s.avail_in = static_cast<uInt>(n);
            }
            int rc = inflate(&s, Z_NO_FLUSH);
            if (rc == Z_STREAM_END) ended = true;
            else if (rc != Z_OK) return false;
        }
        return true;
    }
};

record_inflater::record_inflater(const byte_source& file, const bundle_record& record, int64_t pixel_bytes)
    : z_(std::make_unique<state>(file, record, pixel_bytes)) {
    if (inflateInit(&z_->s) != Z_OK) throw std::bad_alloc();
    z_->open = true;
}

record_inflater::~record_inflater() = default;

bool record_inflater::next(uint8_t* out, size_t count) {
    if (static_cast<int64_t>(count) > z_->pixels_left) return false;
    z_->pixels_left -= static_cast<int64_t>(count);
    return z_->pull(out, count) && z_->s.avail_out == 0;
}

bool record_inflater::ends() {
    uint8_t spare;
    return z_->pixels_left == 0 && z_->pull(&spare, 1) && z_->ended && z_->s.avail_out == 1 && z_->s.avail_in == 0 &&
           z_->left == 0;
}

bool record_inflater::read_failed() const { return z_->unread; }

struct record_deflater::state {
    z_stream s{};
    bool open = false;
    sink out;
    byte_buffer buf = alloc_bytes(piece);
    ~state() {
        if (open) deflateEnd(&s);
    }
    void push(int flush) {
        for (;;) {
            s.next_out = buf.get();
            s.avail_out = static_cast<uInt>(piece);
            int rc = deflate(&s, flush);
            if (rc == Z_STREAM_ERROR) throw std::bad_alloc();
            size_t made = piece - s.avail_out;
            if (made) out(buf.get(), made);
            if (flush == Z_FINISH ? rc == Z_STREAM_END : s.avail_out != 0) return;
        }
    }
};

record_deflater::record_deflater(sink out) : z_(std::make_unique<state>()) {
    z_->out = std::move(out);
    if (deflateInit(&z_->s, 6) != Z_OK) throw std::bad_alloc();
    z_->open = true;
}

record_deflater::~record_deflater() = default;

void record_deflater::feed(const uint8_t* bytes, size_t count) {
    while (count > 0) {
        size_t n = std::min<size_t>(count, 1u << 30);
        z_->s.next_in = const_cast<uint8_t*>(bytes);
        z_->s.avail_in = static_cast<uInt>(n);
        z_->push(Z_NO_FLUSH);
        bytes += n;
        count -= n;
    }
}

void record_deflater::finish() {
    z_->s.next_in = nullptr;
    z_->s.avail_in = 0;
    z_->push(Z_FINISH);
}

}  // namespace velmorin
