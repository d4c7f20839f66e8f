// The image store over this test's own embedded resources (134: 1 byte, 135: 2 bytes,
// 133: 5 bytes, 132 only under another type) and over a replaced lookup.
#include <gtest/gtest.h>

#include <cstring>

#include "images/image_store.h"
#include "platform/resources.h"
#include "run/run_state.h"

namespace {

TEST(ImageStoreTest, RealResourcesFillOnlySlotsOfAtLeastTwoBytes) {
    LoadImages();
    EXPECT_EQ(g_image_data[0], nullptr) << "a 1-byte resource is ignored";
    EXPECT_EQ(g_image_sizes[0], 0u);
    ASSERT_NE(g_image_data[1], nullptr) << "a 2-byte resource is loaded";
    EXPECT_EQ(g_image_sizes[1], 2u);
    EXPECT_EQ(std::memcmp(g_image_data[1], "BC", 2), 0);
    EXPECT_EQ(g_image_data[2], nullptr) << "132 exists only under another type name";
    EXPECT_EQ(g_image_sizes[2], 0u);
    ASSERT_NE(g_image_data[3], nullptr);
    EXPECT_EQ(g_image_sizes[3], 5u);
    EXPECT_EQ(std::memcmp(g_image_data[3], "DEFGH", 5), 0);

    // The slot holds a copy of its own, not the resource itself.
    ResourceBlob blob;
    ASSERT_TRUE(FindResourceBlob("ZELPAK", 133, &blob));
    EXPECT_NE(static_cast<const void*>(g_image_data[3]), static_cast<const void*>(blob.data));

    FreeImages();
    for (int i = 0; i < IMAGE_SLOT_COUNT; ++i) {
        EXPECT_EQ(g_image_data[i], nullptr);
        EXPECT_EQ(g_image_sizes[i], 0u);
    }
    FreeImages();  // a second release finds nothing to free
}

TEST(ResourceLookupTest, FindsByTypeAndIdOnly) {
    ResourceBlob blob;
    EXPECT_TRUE(FindResourceBlob("ZELPAK", 134, &blob));
    EXPECT_EQ(blob.size, 1u);
    EXPECT_FALSE(FindResourceBlob("ZELPAK", 132, &blob));
    EXPECT_FALSE(FindResourceBlob("ZELPAK", 136, &blob));
    EXPECT_FALSE(FindResourceBlob("ZELPA", 134, &blob));
    EXPECT_TRUE(FindResourceBlob("OTHER", 132, &blob));
    EXPECT_FALSE(FindResourceBlob(nullptr, 134, &blob));
}

// A replaced lookup: every slot's resource can be shaped as a test needs.
const unsigned char kBytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
bool SeamLookup(const char* type, unsigned id, ResourceBlob* out) {
    if (std::strcmp(type, "ZELPAK") != 0) return false;
    switch (id) {
        case 134: *out = {kBytes, 2}; return true;  // slot 0: exactly 2 bytes
        case 135: *out = {kBytes, 1}; return true;  // slot 1: exactly 1 byte
        case 132: return false;                     // slot 2: missing
        case 133: *out = {kBytes, 8}; return true;  // slot 3
        default: return false;
    }
}

TEST(ImageStoreTest, ReplacedLookupShapesEachSlot) {
    const ResourceLookupFn previous = SetResourceLookup(SeamLookup);
    LoadImages();
    SetResourceLookup(previous);
    ASSERT_NE(g_image_data[0], nullptr);
    EXPECT_EQ(g_image_sizes[0], 2u);
    EXPECT_EQ(g_image_data[1], nullptr);
    EXPECT_EQ(g_image_sizes[1], 0u);
    EXPECT_EQ(g_image_data[2], nullptr);
    EXPECT_EQ(g_image_sizes[2], 0u);
    ASSERT_NE(g_image_data[3], nullptr);
    EXPECT_EQ(g_image_sizes[3], 8u);
    EXPECT_EQ(g_image_data[3][7], 8);
    FreeImages();
}

}  // namespace
