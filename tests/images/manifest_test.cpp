// The "/list.lst" manifest over slots filled by the test.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "images/manifest.h"
#include "run/run_state.h"

namespace {

class ManifestTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int i = 0; i < IMAGE_SLOT_COUNT; ++i) Clear(i);
        g_unsent_images = 0;
    }
    void TearDown() override { SetUp(); }

    void Fill(int slot, std::vector<unsigned char> bytes) {
        m_bytes[slot] = std::move(bytes);
        g_image_data[slot] = m_bytes[slot].data();
        g_image_sizes[slot] = static_cast<uint32_t>(m_bytes[slot].size());
    }
    static void Clear(int slot) {
        g_image_data[slot] = nullptr;
        g_image_sizes[slot] = 0;
    }
    std::string Build() {
        ServerContext& ctx = g_server;
        std::memset(ctx.buffer, 'x', sizeof ctx.buffer);
        EXPECT_EQ(BuildManifest(&ctx), 1);
        return std::string(ctx.buffer);
    }

    std::vector<unsigned char> m_bytes[IMAGE_SLOT_COUNT];
};

TEST_F(ManifestTest, EmptySlotsGiveTheHeaderAloneAndListNothing) {
    g_unsent_images = 0x10;  // a bit no slot owns: left as it is
    EXPECT_EQ(Build(), "ZID2020 4\r\n");
    EXPECT_EQ(g_unsent_images, 0x10u);
    EXPECT_EQ(BuildManifest(nullptr), 0);
}

TEST_F(ManifestTest, FourSlotsListPartitions3To6AndTheHeaderStillSays4) {
    Fill(0, {'a', 'b', 'c'});  // 16556
    Fill(1, {0, 0});           // 0
    Fill(2, {0xFF, 0x01});     // ror(255)+1
    Fill(3, std::vector<unsigned char>(9, 1));
    const std::string m = Build();
    EXPECT_EQ(m.substr(0, 11), "ZID2020 4\r\n");
    EXPECT_EQ(m.size(), 11u + 4 * 18u);
    EXPECT_EQ(m.substr(11, 18), "16556 /dev/mtd/3\r\n");
    EXPECT_EQ(m.substr(29, 18), "00000 /dev/mtd/4\r\n") << "leading zeros are kept";
    EXPECT_EQ(m.substr(47, 18), "32896 /dev/mtd/5\r\n") << "0xFF rotated is 0x807F, plus 1";
    EXPECT_NE(m.find("/dev/mtd/6\r\n"), std::string::npos);
    EXPECT_EQ(g_unsent_images, 0xFu);
}

TEST_F(ManifestTest, OnlyFilledSlotsAreListedInSlotOrder) {
    Fill(3, {'a', 'b', 'c'});
    Fill(1, {'a'});
    g_image_sizes[1] = 1;  // a filled slot is listed whatever its size
    EXPECT_EQ(Build(), "ZID2020 4\r\n00097 /dev/mtd/4\r\n16556 /dev/mtd/6\r\n");
    EXPECT_EQ(g_unsent_images, 0xAu);
}

TEST_F(ManifestTest, ASecondFetchListsServedSlotsAgain) {
    Fill(1, {'a', 'b'});
    Fill(2, {'c', 'd'});
    Build();
    EXPECT_EQ(g_unsent_images, 0x6u);
    g_unsent_images = 0;  // both served
    const std::string again = Build();
    EXPECT_EQ(g_unsent_images, 0x6u);
    EXPECT_EQ(again, Build()) << "the same text every time";
}

}  // namespace
