// The BSD checksum against known values and, where coreutils is at hand, against sum(1).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "images/manifest.h"

namespace {

uint32_t Sum(const std::string& s) {
    return ImageChecksum(reinterpret_cast<const unsigned char*>(s.data()), static_cast<uint32_t>(s.size()));
}

TEST(ChecksumTest, KnownValues) {
    EXPECT_EQ(Sum("abc"), 16556u);
    EXPECT_EQ(Sum(""), 0u);
    EXPECT_EQ(Sum(std::string(1000, '\0')), 0u) << "all-zero bytes sum to 0";
    EXPECT_EQ(Sum("\xff"), 255u);
    // Long enough for the accumulator to wrap many times; the value is coreutils sum's.
    EXPECT_EQ(Sum(std::string(70000, '\xff')), 64837u);
    EXPECT_EQ(ImageChecksum(nullptr, 10), 0u);
}

TEST(ChecksumTest, BsdSumReportsSumAndCount) {
    const unsigned char abc[] = {'a', 'b', 'c'};
    uint32_t sum = 1, count = 1;
    EXPECT_EQ(BsdSum(abc, 3, &sum, &count), 0);
    EXPECT_EQ(sum, 16556u);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(BsdSum(abc, 0, &sum, &count), 0);
    EXPECT_EQ(sum, 0u);
    EXPECT_EQ(count, 0u);
}

#if !defined(_WIN32)
// coreutils' sum with its default BSD algorithm prints "<checksum> <1K blocks>".
bool CoreutilsSum(const std::string& path, uint32_t* out) {
    const std::string cmd = "sum '" + path + "'";
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return false;
    unsigned value = 0, blocks = 0;
    const int fields = std::fscanf(p, "%u %u", &value, &blocks);
    const int status = pclose(p);
    if (fields != 2 || status != 0) return false;
    *out = value;
    return true;
}

TEST(ChecksumTest, AgreesWithCoreutilsSumOnRandomFiles) {
    if (std::system("sum /dev/null >/dev/null 2>&1") != 0) GTEST_SKIP() << "coreutils sum is not available";
    std::mt19937 rng(20200);
    const std::string path = ::testing::TempDir() + "orvane_checksum_sample.bin";
    for (size_t size :
         {size_t{1}, size_t{2}, size_t{3}, size_t{255}, size_t{1023}, size_t{1024}, size_t{1025},
          size_t{4094}, size_t{65535}, size_t{65536}, size_t{100001}, size_t{1929216}}) {
        std::vector<unsigned char> bytes(size);
        for (auto& b : bytes) b = static_cast<unsigned char>(rng());
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(bytes.data(), 1, size, f), size);
        std::fclose(f);
        uint32_t expected = 0;
        ASSERT_TRUE(CoreutilsSum(path, &expected));
        EXPECT_EQ(ImageChecksum(bytes.data(), static_cast<uint32_t>(size)), expected) << "size " << size;
    }
    std::remove(path.c_str());
}
#endif

}  // namespace
