#include "images/image_store.h"

#include <cstdlib>
#include <cstring>

#include "platform/resources.h"
#include "run/run_state.h"

void LoadImages() {
    for (int i = 0; i < IMAGE_SLOT_COUNT; ++i) {
        g_image_data[i] = nullptr;
        ResourceBlob blob;
        if (!FindResourceBlob(IMAGE_RESOURCE_TYPE, g_image_ids[i], &blob)) continue;
        // A one-byte resource is a placeholder for a partition that is not to be rewritten.
        if (blob.size < 2 || blob.data == nullptr) continue;
        // Sizes are 32-bit in the slot table.
        if (blob.size > 0xFFFFFFFFu) continue;
        auto* copy = static_cast<unsigned char*>(std::malloc(blob.size));
        if (copy == nullptr) continue;
        std::memcpy(copy, blob.data, blob.size);
        g_image_data[i] = copy;
        g_image_sizes[i] = static_cast<uint32_t>(blob.size);
    }
}

void FreeImages() {
    for (int i = 0; i < IMAGE_SLOT_COUNT; ++i) {
        if (g_image_data[i] != nullptr) std::free(g_image_data[i]);
        g_image_data[i] = nullptr;
        g_image_sizes[i] = 0;
    }
}
