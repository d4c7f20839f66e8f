// The images this build embeds, found through the executable's real resources: their slots,
// checksums and the manifest the device receives.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "images/image_store.h"
#include "images/manifest.h"
#include "platform/resources.h"
#include "run/run_state.h"

namespace {

class ShippedImagesTest : public ::testing::Test {
protected:
    void SetUp() override { LoadImages(); }
    void TearDown() override { FreeImages(); }
};

TEST_F(ShippedImagesTest, SlotsHoldTheShippedSizes) {
    ResourceBlob blob;
    ASSERT_TRUE(FindResourceBlob("ZELPAK", 134, &blob));
    EXPECT_EQ(blob.size, 1u);
    EXPECT_EQ(g_image_data[0], nullptr) << "the 1-byte resource 134 is not offered";
    EXPECT_EQ(g_image_sizes[0], 0u);
    EXPECT_EQ(g_image_sizes[1], 484u);
    EXPECT_EQ(g_image_sizes[2], 1929216u);
    EXPECT_EQ(g_image_sizes[3], 749568u);
}

#if !ORVANE_REAL_FIRMWARE
TEST_F(ShippedImagesTest, PlaceholdersGiveTheManifestOfTheShippedFirmware) {
    EXPECT_EQ(ImageChecksum(g_image_data[1], g_image_sizes[1]), 52624u);
    EXPECT_EQ(ImageChecksum(g_image_data[2], g_image_sizes[2]), 4992u);
    EXPECT_EQ(ImageChecksum(g_image_data[3], g_image_sizes[3]), 33072u);
    g_unsent_images = 0;
    ASSERT_EQ(BuildManifest(&g_server), 1);
    const std::string expected =
        "ZID2020 4\r\n"
        "52624 /dev/mtd/4\r\n"
        "04992 /dev/mtd/5\r\n"
        "33072 /dev/mtd/6\r\n";
    EXPECT_EQ(std::string(g_server.buffer), expected);
    EXPECT_EQ(std::strlen(g_server.buffer), 65u);
    EXPECT_EQ(g_unsent_images, 0xEu);
}
#endif

#if !defined(_WIN32)
TEST_F(ShippedImagesTest, ChecksumsAgreeWithCoreutilsSumOnTheEmbeddedFiles) {
    if (std::system("sum /dev/null >/dev/null 2>&1") != 0) GTEST_SKIP() << "coreutils sum is not available";
    const unsigned ids[] = {135, 132, 133};
    for (int k = 0; k < 3; ++k) {
        const std::string path =
            std::string(ORVANE_FIRMWARE_FILES_DIR) + "/" + std::to_string(ids[k]) + ".bin";
        FILE* p = popen(("sum '" + path + "'").c_str(), "r");
        ASSERT_NE(p, nullptr);
        unsigned value = 0, blocks = 0;
        ASSERT_EQ(std::fscanf(p, "%u %u", &value, &blocks), 2);
        ASSERT_EQ(pclose(p), 0);
        EXPECT_EQ(ImageChecksum(g_image_data[k + 1], g_image_sizes[k + 1]), value) << path;
    }
}
#endif

}  // namespace
