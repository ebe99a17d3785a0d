// Whole-count transfers and field decoders.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "base/text.h"
#include "base/fields.h"
#include "base/buffers.h"
#include "base/sources.h"
#include "fixture/fixture.h"

namespace {

using velmorin::byte_buffer;

TEST(Fields, LittleEndian) {
    const uint8_t b[] = {0x42, 0x47, 0x52, 0x41, 0xfe, 0xff, 0xff, 0xff};
    EXPECT_EQ(velmorin::read_u16le(b), 0x4742);
    EXPECT_EQ(velmorin::read_u32le(b), 0x41524742u);
    EXPECT_EQ(velmorin::read_s32le(b + 4), -2);
    EXPECT_EQ(velmorin::read_u32le(b + 4), 0xfffffffeu);
}

TEST(Fields, Decimal) {
    const std::pair<int64_t, const char*> cases[] = {
        {0, "0"}, {7, "7"}, {10, "10"}, {99, "99"}, {100, "100"}, {4294967295, "4294967295"},
        {4294967296, "4294967296"}, {-1, "-1"}, {INT64_MAX, "9223372036854775807"},
        {INT64_MIN, "-9223372036854775808"}};
    for (auto [value, text] : cases) {
        char out[24];
        size_t n = velmorin::format_decimal(out, value);
        EXPECT_EQ(std::string(out, n), text);
    }
}

// A pipe delivers its bytes in pieces; the helpers gather them into one
// count, and hold the rest of a stream after bytes already read: in memory,
// or, for a long stream, in a temporary file.
TEST(Transfers, GatherPiecesFromAPipe) {
    for (size_t size : {size_t{300000}, size_t{6000000}}) {
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        fixture::bytes sent = fixture::pattern(size, 7);
        std::thread writer([&] {
            for (size_t at = 0; at < sent.size(); at += 1000)
                ASSERT_EQ(write(p[1], sent.data() + at, std::min<size_t>(1000, sent.size() - at)),
                          static_cast<ssize_t>(std::min<size_t>(1000, sent.size() - at)));
            close(p[1]);
        });
        fixture::bytes got(200000);
        EXPECT_EQ(velmorin::read_full(velmorin::file_handle{p[0]}, got.data(), got.size()), 200000);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), sent.begin()));
        // The rest, asked for with a size far beyond what the pipe holds,
        // after three bytes already read.
        velmorin::byte_source src;
        const uint8_t start[3] = {1, 2, 3};
        int64_t count = velmorin::hold_stream(velmorin::file_handle{p[0]}, start, 3, 1 << 30, &src);
        writer.join();
        close(p[0]);
        ASSERT_EQ(count, static_cast<int64_t>(size - 200000));
        ASSERT_EQ(src.size, count + 3);
        EXPECT_EQ(velmorin::is_open(src.held.f), size > 4000000);
        fixture::bytes held(static_cast<size_t>(src.size));
        ASSERT_TRUE(velmorin::read_source(src, 0, held.data(), held.size()));
        EXPECT_TRUE(std::equal(held.begin(), held.begin() + 3, start));
        EXPECT_TRUE(std::equal(held.begin() + 3, held.end(), sent.begin() + 200000));
    }
}

TEST(Transfers, ZeroCountStillAsksTheFile) {
    int dir = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dir, 0);
    uint8_t b[1];
    EXPECT_EQ(velmorin::read_full(velmorin::file_handle{dir}, b, 0), -1);
    close(dir);
    int null = open("/dev/null", O_RDWR);
    EXPECT_EQ(velmorin::read_full(velmorin::file_handle{null}, b, 0), 0);
    EXPECT_EQ(velmorin::read_full(velmorin::file_handle{null}, b, 1), 0);
    EXPECT_EQ(velmorin::write_full(velmorin::file_handle{null}, b, 0), 0);
    close(null);
    EXPECT_EQ(velmorin::write_full(velmorin::file_handle{}, b, 1), -1);
}

}  // namespace
