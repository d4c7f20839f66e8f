// Reading the Windows icon format that the build's icon is written in, without Qt's image
// plugins (which a minimal installation may lack): every image, 1 to 32 bits per pixel, with
// its AND mask as transparency. Next to it the program carries the desktop theme's PNG
// drawings of the same icon (PNG is built into Qt, no plugin), so that the window and the
// about box are sharp at 150 and 200 % as well, where 48 pixels would be stretched.
#include <QPixmap>
#include <cstdint>
#include <map>
#include <string>

#include "platform/qt/qt_dialog.h"
#include "platform/resources.h"

namespace qtdialog {

namespace {

uint32_t Read16(const unsigned char* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t Read32(const unsigned char* p) { return Read16(p) | Read16(p + 2) << 16; }

// One DIB of an icon: BITMAPINFOHEADER, palette, colour rows bottom-up, then the mask.
bool DecodeDib(const unsigned char* p, size_t size, IconImage* out) {
    if (size < 40 || Read32(p) < 40) return false;
    const uint32_t header = Read32(p);
    const int width = int(Read32(p + 4));
    const int height = int(Read32(p + 8)) / 2;  // colour bitmap and mask
    const int bits = int(Read16(p + 14));
    const uint32_t compression = Read32(p + 16);
    uint32_t colours = Read32(p + 32);
    if (width <= 0 || width > 256 || height <= 0 || height > 256 || compression != 0) return false;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 24 && bits != 32) return false;
    if (bits <= 8 && colours == 0) colours = 1u << bits;
    if (bits > 8) colours = 0;
    const size_t palette_at = header;
    const size_t pixels_at = palette_at + size_t(colours) * 4;
    const size_t row = size_t((width * bits + 31) / 32) * 4;
    const size_t mask_row = size_t((width + 31) / 32) * 4;
    const size_t mask_at = pixels_at + row * size_t(height);
    if (mask_at + mask_row * size_t(height) > size) return false;
    QImage image(width, height, QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y) {
        const unsigned char* src = p + pixels_at + row * size_t(height - 1 - y);
        const unsigned char* mask = p + mask_at + mask_row * size_t(height - 1 - y);
        QRgb* dst = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            unsigned b = 0, g = 0, r = 0, a = 255;
            if (bits <= 8) {
                const int bit = x * bits;
                const unsigned index = (src[bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
                if (index >= colours) return false;
                const unsigned char* c = p + palette_at + index * 4;
                b = c[0], g = c[1], r = c[2];
            } else {
                const unsigned char* c = src + x * (bits / 8);
                b = c[0], g = c[1], r = c[2];
                if (bits == 32) a = c[3];
            }
            if (mask[x / 8] & (0x80 >> (x % 8))) a = 0;
            dst[x] = qRgba(int(r), int(g), int(b), int(a));
        }
    }
    *out = {width, height, bits, image};
    return true;
}

}  // namespace

std::vector<IconImage> DecodeIconFile(const unsigned char* data, size_t size) {
    std::vector<IconImage> images;
    if (data == nullptr || size < 6 || Read16(data) != 0 || Read16(data + 2) != 1) return images;
    const unsigned count = Read16(data + 4);
    if (6 + size_t(count) * 16 > size) return images;
    for (unsigned i = 0; i < count; ++i) {
        const unsigned char* entry = data + 6 + i * 16;
        const uint32_t bytes = Read32(entry + 8);
        const uint32_t offset = Read32(entry + 12);
        if (offset > size || bytes > size - offset) return {};
        IconImage image;
        if (!DecodeDib(data + offset, bytes, &image)) return {};
        images.push_back(image);
    }
    return images;
}

QIcon IconFromResource(unsigned icon_id) {
    // Decoded once per id: every window of the program sets the same icon.
    static std::map<unsigned, QIcon> cache;
    auto it = cache.find(icon_id);
    if (it != cache.end()) return it->second;
    ResourceBlob blob{nullptr, 0};
    QIcon icon;
    if (FindResourceBlob("ICON", icon_id, &blob)) {
        std::map<int, IconImage> best;  // by size: the deepest image
        for (const IconImage& image : DecodeIconFile(blob.data, blob.size)) {
            auto found = best.find(image.width);
            if (found == best.end() || found->second.bits_per_pixel < image.bits_per_pixel)
                best[image.width] = image;
        }
        std::map<int, QImage> by_size;
        for (const auto& [width, image] : best) by_size[width] = image.image;
        // The theme's drawings: every size the icon tool draws, with soft edges; where the
        // icon file has the same size, the drawing takes its place.
        for (int size : {ORVANE_ICON_SIZES}) {
            ResourceBlob png{nullptr, 0};
            if (!FindResourceBlob(("PNG" + std::to_string(size)).c_str(), icon_id, &png)) continue;
            const QImage image = QImage::fromData(png.data, int(png.size), "PNG");
            if (image.width() == size && image.height() == size) by_size[size] = image;
        }
        for (const auto& [size, image] : by_size) icon.addPixmap(QPixmap::fromImage(image));
    }
    cache[icon_id] = icon;
    return icon;
}

}  // namespace qtdialog
