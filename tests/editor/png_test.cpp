// The PNG writer of the screenshot tool, checked against zlib's inflate and
// the published check values of its two checksums.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>

#include "tools/png_write.h"

namespace {

uint32_t be32(const std::vector<uint8_t>& v, std::size_t at) {
    return (uint32_t{v[at]} << 24) | (uint32_t{v[at + 1]} << 16) | (uint32_t{v[at + 2]} << 8) | v[at + 3];
}

TEST(PngWrite, ChecksumsMatchTheirCheckValues) {
    const char* s = "123456789";
    EXPECT_EQ(brs::png::crc32(reinterpret_cast<const uint8_t*>(s), 9), 0xCBF43926u);
    const char* w = "Wikipedia";
    EXPECT_EQ(brs::png::adler32(reinterpret_cast<const uint8_t*>(w), 9), 0x11E60398u);
    EXPECT_EQ(brs::png::adler32(nullptr, 0), 1u);
    // Against zlib on data long enough to wrap the Adler sums many times.
    std::vector<uint8_t> big(200000);
    std::mt19937 rng(7);
    for (auto& b : big) b = static_cast<uint8_t>(rng());
    EXPECT_EQ(brs::png::adler32(big.data(), big.size()), ::adler32(1, big.data(), static_cast<uInt>(big.size())));
    EXPECT_EQ(brs::png::crc32(big.data(), big.size()), ::crc32(0, big.data(), static_cast<uInt>(big.size())));
}

TEST(PngWrite, StoredStreamInflatesBackAcrossBlockBoundaries) {
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{65535}, std::size_t{65536},
                          std::size_t{3 * 65535 + 17}}) {
        std::vector<uint8_t> raw(n);
        for (std::size_t i = 0; i < n; ++i) raw[i] = static_cast<uint8_t>(i * 31 + (i >> 9));
        std::vector<uint8_t> z = brs::png::zlib_stored(raw);
        std::vector<uint8_t> back(n + 1);
        uLongf len = static_cast<uLongf>(back.size());
        ASSERT_EQ(uncompress(back.data(), &len, z.data(), static_cast<uLong>(z.size())), Z_OK) << "n = " << n;
        ASSERT_EQ(len, n);
        back.resize(n);
        EXPECT_EQ(back, raw) << "n = " << n;
        std::size_t blocks = n == 0 ? 1 : (n + 65534) / 65535;
        EXPECT_EQ(z.size(), 2 + 5 * blocks + n + 4) << "n = " << n;
    }
}

TEST(PngWrite, FileHasValidChunksAndTheExactRows) {
    const int w = 3, h = 2;
    std::vector<uint8_t> rgb{255, 0, 0, 0, 255, 0, 0, 0, 255, 13, 15, 19, 1, 2, 3, 250, 251, 252};
    std::vector<uint8_t> png = brs::png::encode_rgb(w, h, rgb);
    const uint8_t sig[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    ASSERT_GT(png.size(), 8u);
    EXPECT_EQ(std::memcmp(png.data(), sig, 8), 0);

    std::vector<std::string> types;
    std::vector<uint8_t> idat;
    std::size_t at = 8;
    while (at + 12 <= png.size()) {
        uint32_t len = be32(png, at);
        ASSERT_LE(at + 12 + len, png.size());
        std::string type(png.begin() + static_cast<std::ptrdiff_t>(at + 4), png.begin() + static_cast<std::ptrdiff_t>(at + 8));
        types.push_back(type);
        EXPECT_EQ(be32(png, at + 8 + len), brs::png::crc32(&png[at + 4], len + 4)) << type;
        if (type == "IHDR") {
            ASSERT_EQ(len, 13u);
            EXPECT_EQ(be32(png, at + 8), 3u);
            EXPECT_EQ(be32(png, at + 12), 2u);
            EXPECT_EQ(png[at + 16], 8);  // bit depth
            EXPECT_EQ(png[at + 17], 2);  // RGB
        }
        if (type == "IDAT") idat.insert(idat.end(), png.begin() + static_cast<std::ptrdiff_t>(at + 8),
                                        png.begin() + static_cast<std::ptrdiff_t>(at + 8 + len));
        at += 12 + len;
    }
    EXPECT_EQ(at, png.size());
    EXPECT_EQ(types, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));

    std::vector<uint8_t> rows(64);
    uLongf len = static_cast<uLongf>(rows.size());
    ASSERT_EQ(uncompress(rows.data(), &len, idat.data(), static_cast<uLong>(idat.size())), Z_OK);
    ASSERT_EQ(len, static_cast<uLongf>(h * (1 + 3 * w)));
    for (int y = 0; y < h; ++y) {
        EXPECT_EQ(rows[static_cast<std::size_t>(y) * 10], 0) << "filter byte";
        for (int i = 0; i < 9; ++i) EXPECT_EQ(rows[static_cast<std::size_t>(y) * 10 + 1 + i], rgb[static_cast<std::size_t>(y) * 9 + i]);
    }
}

}  // namespace
