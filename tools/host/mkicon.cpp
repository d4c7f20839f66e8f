// Draws the updater's icon and writes it as a Windows icon file with six images: 48, 32 and
// 16 pixels square at 8 bits per pixel (a 256-colour palette), then the same three sizes at
// 24 bits per pixel. Both builds use the file: the Windows resource script as icon group 128,
// the Linux program through the resources linked into it.
//
// The picture: a media receiver (a dark box with a cyan display and a green power light)
// with a thick orange arrow coming down into it: new firmware going into the device.
//
//   mkicon <output.ico>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

struct Rgb {
    double r, g, b;
};

struct Pixel {
    uint8_t r, g, b;
    bool opaque;
};

struct Point {
    double x, y;
};

// One filled shape in unit coordinates (0..1, y down), with a vertical colour gradient.
struct Shape {
    enum Kind { kRoundRect, kCircle, kPolygon } kind;
    double x0, y0, x1, y1, radius;  // round rect: box and corner radius; circle: centre, radius
    std::vector<Point> points;      // polygon
    double grow;                    // polygon: outline grown by this much (for a rim)
    Rgb top, bottom;
};

double SegmentDistance(Point p, Point a, Point b) {
    const double dx = b.x - a.x, dy = b.y - a.y;
    const double len2 = dx * dx + dy * dy;
    double t = len2 > 0 ? ((p.x - a.x) * dx + (p.y - a.y) * dy) / len2 : 0;
    t = std::clamp(t, 0.0, 1.0);
    const double ex = a.x + t * dx - p.x, ey = a.y + t * dy - p.y;
    return std::sqrt(ex * ex + ey * ey);
}

bool InsidePolygon(const std::vector<Point>& poly, Point p) {
    bool inside = false;
    for (size_t i = 0, j = poly.size() - 1; i < poly.size(); j = i++) {
        const Point a = poly[i], b = poly[j];
        if ((a.y > p.y) != (b.y > p.y) && p.x < (b.x - a.x) * (p.y - a.y) / (b.y - a.y) + a.x)
            inside = !inside;
    }
    return inside;
}

bool Covers(const Shape& s, Point p) {
    switch (s.kind) {
        case Shape::kRoundRect: {
            if (p.x < s.x0 || p.x > s.x1 || p.y < s.y0 || p.y > s.y1) return false;
            const double cx = std::clamp(p.x, s.x0 + s.radius, s.x1 - s.radius);
            const double cy = std::clamp(p.y, s.y0 + s.radius, s.y1 - s.radius);
            return (p.x - cx) * (p.x - cx) + (p.y - cy) * (p.y - cy) <= s.radius * s.radius;
        }
        case Shape::kCircle:
            return (p.x - s.x0) * (p.x - s.x0) + (p.y - s.y0) * (p.y - s.y0) <= s.radius * s.radius;
        case Shape::kPolygon: {
            if (InsidePolygon(s.points, p)) return true;
            if (s.grow <= 0) return false;
            for (size_t i = 0, j = s.points.size() - 1; i < s.points.size(); j = i++)
                if (SegmentDistance(p, s.points[i], s.points[j]) <= s.grow) return true;
            return false;
        }
    }
    return false;
}

Rgb ColourAt(const Shape& s, double y) {
    double y0 = s.y0, y1 = s.y1;
    if (s.kind == Shape::kCircle) y0 = s.y0 - s.radius, y1 = s.y0 + s.radius;
    if (s.kind == Shape::kPolygon) {
        y0 = 1, y1 = 0;
        for (const Point& q : s.points) y0 = std::min(y0, q.y), y1 = std::max(y1, q.y);
    }
    const double t = y1 > y0 ? std::clamp((y - y0) / (y1 - y0), 0.0, 1.0) : 0;
    return {s.top.r + (s.bottom.r - s.top.r) * t, s.top.g + (s.bottom.g - s.top.g) * t,
            s.top.b + (s.bottom.b - s.top.b) * t};
}

Rgb Hex(unsigned v) { return {double((v >> 16) & 255), double((v >> 8) & 255), double(v & 255)}; }

std::vector<Shape> Design() {
    std::vector<Shape> s;
    const std::vector<Point> arrow = {{0.38, 0.04}, {0.62, 0.04}, {0.62, 0.30}, {0.84, 0.30},
                                      {0.50, 0.62}, {0.16, 0.30}, {0.38, 0.30}};
    // The receiver's body, with a lighter top face.
    s.push_back({Shape::kRoundRect, 0.04, 0.52, 0.96, 0.92, 0.10, {}, 0, Hex(0x5b6775), Hex(0x1c2229)});
    s.push_back({Shape::kRoundRect, 0.09, 0.56, 0.91, 0.60, 0.02, {}, 0, Hex(0x8592a1), Hex(0x6c7886)});
    // Its front: the display and the power light.
    s.push_back({Shape::kRoundRect, 0.13, 0.67, 0.58, 0.81, 0.03, {}, 0, Hex(0x7fe3ff), Hex(0x1d9ad6)});
    s.push_back({Shape::kCircle, 0.79, 0.74, 0, 0, 0.07, {}, 0, Hex(0x8dff8a), Hex(0x1fae2e)});
    // The arrow, with a dark rim so that it stands out from the box at every size.
    s.push_back({Shape::kPolygon, 0, 0, 0, 0, 0, arrow, 0.045, Hex(0x3a1d00), Hex(0x3a1d00)});
    s.push_back({Shape::kPolygon, 0, 0, 0, 0, 0, arrow, 0, Hex(0xffc04a), Hex(0xf06a00)});
    return s;
}

// Renders at size x size with 8 x 8 samples a pixel. A pixel counts as opaque when at least
// half of its samples hit a shape; its edge is then blended towards a neutral grey, which
// reads well on light and dark backgrounds alike (the icon format has no alpha here).
std::vector<Pixel> Render(const std::vector<Shape>& shapes, int size) {
    const int n = 8;
    const Rgb edge = Hex(0xa0a4a8);
    std::vector<Pixel> out(size * size);
    for (int py = 0; py < size; ++py) {
        for (int px = 0; px < size; ++px) {
            Rgb sum{0, 0, 0};
            int hits = 0;
            for (int sy = 0; sy < n; ++sy) {
                for (int sx = 0; sx < n; ++sx) {
                    const Point p{(px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size};
                    for (auto it = shapes.rbegin(); it != shapes.rend(); ++it) {
                        if (!Covers(*it, p)) continue;
                        const Rgb c = ColourAt(*it, p.y);
                        sum.r += c.r, sum.g += c.g, sum.b += c.b;
                        ++hits;
                        break;
                    }
                }
            }
            Pixel& q = out[py * size + px];
            q.opaque = hits * 2 >= n * n;
            if (!q.opaque) {
                q.r = q.g = q.b = 0;
                continue;
            }
            const double cover = double(hits) / (n * n);
            auto mix = [&](double s, double e) {
                return uint8_t(std::lround(std::clamp(s / hits * cover + e * (1 - cover), 0.0, 255.0)));
            };
            q.r = mix(sum.r, edge.r);
            q.g = mix(sum.g, edge.g);
            q.b = mix(sum.b, edge.b);
        }
    }
    return out;
}

// Median cut over the opaque pixels: at most 255 colours, index 0 stays black for the
// transparent pixels.
std::vector<Pixel> Palette(const std::vector<Pixel>& image) {
    std::vector<Pixel> colours;
    for (const Pixel& p : image)
        if (p.opaque) colours.push_back(p);
    std::vector<std::vector<Pixel>> boxes;
    if (!colours.empty()) boxes.push_back(colours);
    auto channel = [](const Pixel& p, int c) { return c == 0 ? p.r : c == 1 ? p.g : p.b; };
    while (boxes.size() < 255) {
        int best = -1, best_channel = 0, best_range = 0;
        for (size_t i = 0; i < boxes.size(); ++i) {
            for (int c = 0; c < 3; ++c) {
                int lo = 255, hi = 0;
                for (const Pixel& p : boxes[i])
                    lo = std::min<int>(lo, channel(p, c)), hi = std::max<int>(hi, channel(p, c));
                if (hi - lo > best_range) best = int(i), best_channel = c, best_range = hi - lo;
            }
        }
        if (best < 0) break;  // every box holds one colour only
        std::vector<Pixel>& box = boxes[best];
        std::sort(box.begin(), box.end(), [&](const Pixel& a, const Pixel& b) {
            return channel(a, best_channel) < channel(b, best_channel);
        });
        std::vector<Pixel> upper(box.begin() + box.size() / 2, box.end());
        box.resize(box.size() / 2);
        boxes.push_back(upper);
    }
    std::vector<Pixel> palette{{0, 0, 0, true}};
    for (const auto& box : boxes) {
        double r = 0, g = 0, b = 0;
        for (const Pixel& p : box) r += p.r, g += p.g, b += p.b;
        const double k = double(box.size());
        palette.push_back(
            {uint8_t(std::lround(r / k)), uint8_t(std::lround(g / k)), uint8_t(std::lround(b / k)), true});
    }
    palette.resize(256, Pixel{0, 0, 0, true});
    return palette;
}

uint8_t Nearest(const std::vector<Pixel>& palette, const Pixel& p) {
    int best = 1;
    long best_d = -1;
    for (int i = 1; i < 256; ++i) {
        const long dr = p.r - palette[i].r, dg = p.g - palette[i].g, db = p.b - palette[i].b;
        const long d = dr * dr + dg * dg + db * db;
        if (best_d < 0 || d < best_d) best = i, best_d = d;
    }
    return uint8_t(best);
}

void Put16(std::vector<uint8_t>* out, unsigned v) {
    out->push_back(uint8_t(v));
    out->push_back(uint8_t(v >> 8));
}

void Put32(std::vector<uint8_t>* out, uint32_t v) {
    Put16(out, v & 0xFFFFu);
    Put16(out, v >> 16);
}

// One icon image: BITMAPINFOHEADER (double height: colour bitmap and mask), the palette for
// 8 bits, the colour rows bottom-up, then the 1-bit AND mask, every row padded to 4 bytes.
std::vector<uint8_t> Encode(const std::vector<Pixel>& image, int size, int bits) {
    std::vector<uint8_t> out;
    const int row = ((size * bits + 31) / 32) * 4;
    const int mask_row = ((size + 31) / 32) * 4;
    Put32(&out, 40);
    Put32(&out, uint32_t(size));
    Put32(&out, uint32_t(size * 2));
    Put16(&out, 1);
    Put16(&out, unsigned(bits));
    Put32(&out, 0);
    Put32(&out, uint32_t((row + mask_row) * size));
    Put32(&out, 0);
    Put32(&out, 0);
    Put32(&out, bits == 8 ? 256 : 0);
    Put32(&out, 0);
    std::vector<Pixel> palette;
    if (bits == 8) {
        palette = Palette(image);
        for (const Pixel& p : palette) out.insert(out.end(), {p.b, p.g, p.r, 0});
    }
    for (int y = size - 1; y >= 0; --y) {
        const size_t start = out.size();
        for (int x = 0; x < size; ++x) {
            const Pixel& p = image[y * size + x];
            if (bits == 8)
                out.push_back(p.opaque ? Nearest(palette, p) : 0);
            else
                out.insert(out.end(), {p.b, p.g, p.r});
        }
        out.resize(start + row, 0);
    }
    for (int y = size - 1; y >= 0; --y) {
        std::vector<uint8_t> bits_row(mask_row, 0);
        for (int x = 0; x < size; ++x)
            if (!image[y * size + x].opaque) bits_row[x / 8] |= uint8_t(0x80 >> (x % 8));
        out.insert(out.end(), bits_row.begin(), bits_row.end());
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: mkicon <output.ico>\n");
        return 2;
    }
    const std::vector<Shape> shapes = Design();
    const int kSizes[] = {48, 32, 16};
    const int kBits[] = {8, 24};
    std::vector<std::vector<uint8_t>> images;
    std::vector<int> sizes, bits;
    for (int b : kBits) {
        for (int s : kSizes) {
            images.push_back(Encode(Render(shapes, s), s, b));
            sizes.push_back(s);
            bits.push_back(b);
        }
    }
    std::vector<uint8_t> file;
    Put16(&file, 0);
    Put16(&file, 1);
    Put16(&file, unsigned(images.size()));
    uint32_t offset = uint32_t(6 + 16 * images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        file.push_back(uint8_t(sizes[i]));
        file.push_back(uint8_t(sizes[i]));
        file.push_back(0);  // colour count: 0 for 256 colours and for true colour
        file.push_back(0);
        Put16(&file, 1);
        Put16(&file, unsigned(bits[i]));
        Put32(&file, uint32_t(images[i].size()));
        Put32(&file, offset);
        offset += uint32_t(images[i].size());
    }
    for (const auto& image : images) file.insert(file.end(), image.begin(), image.end());
    std::FILE* f = std::fopen(argv[1], "wb");
    if (!f) {
        std::perror(argv[1]);
        return 1;
    }
    const bool ok = std::fwrite(file.data(), 1, file.size(), f) == file.size();
    if (std::fclose(f) != 0 || !ok) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
