// Draws the updater's icon and writes it as a Windows icon file with six images: 48, 32 and
// 16 pixels square at 8 bits per pixel (a 256-colour palette), then the same three sizes at
// 24 bits per pixel. Both builds use the file: the Windows resource script as icon group 128,
// the Linux program through the resources linked into it. Given a folder and a name, it also
// writes the icon for the desktop's icon theme: PNG images with an alpha channel at 16, 32,
// 48, 64, 128 and 256 pixels, as <folder>/<size>x<size>/apps/<name>.png. Every size is
// drawn from the design at that size, never scaled from another.
//
// The picture: a media receiver (a dark box with a cyan display and a green power light)
// with a thick orange arrow coming down into it: new firmware going into the device.
//
//   mkicon <output.ico> [<theme folder> <icon name>]
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
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

// Supersamples pixel (px, py) of a size x size image with 8 x 8 samples: the sum of the
// colours of the samples that hit a shape (the topmost shape at each sample) and how many hit.
constexpr int SAMPLES = 8;
int SamplePixel(const std::vector<Shape>& shapes, int size, int px, int py, Rgb* sum) {
    const int n = SAMPLES;
    *sum = Rgb{0, 0, 0};
    int hits = 0;
    for (int sy = 0; sy < n; ++sy) {
        for (int sx = 0; sx < n; ++sx) {
            const Point p{(px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size};
            for (auto it = shapes.rbegin(); it != shapes.rend(); ++it) {
                if (!Covers(*it, p)) continue;
                const Rgb c = ColourAt(*it, p.y);
                sum->r += c.r, sum->g += c.g, sum->b += c.b;
                ++hits;
                break;
            }
        }
    }
    return hits;
}

// Renders at size x size with 8 x 8 samples a pixel. A pixel counts as opaque when at least
// half of its samples hit a shape; its edge is then blended towards a neutral grey, which
// reads well on light and dark backgrounds alike (the icon format has no alpha here).
std::vector<Pixel> Render(const std::vector<Shape>& shapes, int size) {
    const int n = SAMPLES;
    const Rgb edge = Hex(0xa0a4a8);
    std::vector<Pixel> out(size * size);
    for (int py = 0; py < size; ++py) {
        for (int px = 0; px < size; ++px) {
            Rgb sum;
            const int hits = SamplePixel(shapes, size, px, py, &sum);
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

// ---- The theme's PNG images -----------------------------------------------------------------

// Renders at size x size with 8 x 8 samples a pixel into RGBA rows: the colour is the mean of
// the samples that hit a shape, the alpha the share that did, so that the edges blend into
// whatever the desktop draws behind them.
std::vector<uint8_t> RenderRgba(const std::vector<Shape>& shapes, int size) {
    const int n = SAMPLES;
    std::vector<uint8_t> out(size_t(size) * size * 4, 0);
    for (int py = 0; py < size; ++py) {
        for (int px = 0; px < size; ++px) {
            Rgb sum;
            const int hits = SamplePixel(shapes, size, px, py, &sum);
            uint8_t* q = &out[(size_t(py) * size + px) * 4];
            if (hits == 0) continue;
            q[0] = uint8_t(std::lround(sum.r / hits));
            q[1] = uint8_t(std::lround(sum.g / hits));
            q[2] = uint8_t(std::lround(sum.b / hits));
            q[3] = uint8_t(std::lround(255.0 * hits / (n * n)));
        }
    }
    return out;
}

uint32_t Crc32(const uint8_t* data, size_t n, uint32_t crc = 0) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (size_t i = 0; i < n; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

// A deflate stream of fixed-Huffman blocks with greedy LZ77 matching: small enough for icons
// without a compression library at build time.
class Deflater {
public:
    std::vector<uint8_t> Compress(const std::vector<uint8_t>& in) {
        m_out.clear();
        m_bits = 0;
        m_count = 0;
        PutBits(1, 1);  // the final block
        PutBits(1, 2);  // fixed Huffman codes
        std::vector<int> head(1 << 15, -1), prev(in.size(), -1);
        auto hash = [&](size_t i) { return ((in[i] << 10) ^ (in[i + 1] << 5) ^ in[i + 2]) & 0x7FFF; };
        size_t i = 0;
        while (i < in.size()) {
            int best_len = 0, best_dist = 0;
            if (i + 3 <= in.size()) {
                int candidate = head[hash(i)];
                for (int tries = 0; candidate >= 0 && tries < 64; ++tries, candidate = prev[candidate]) {
                    const size_t dist = i - size_t(candidate);
                    if (dist > 32768) break;
                    int len = 0;
                    while (len < 258 && i + len < in.size() && in[candidate + len] == in[i + len]) ++len;
                    if (len > best_len) best_len = len, best_dist = int(dist);
                    if (len == 258) break;
                }
            }
            const size_t step = best_len >= 3 ? size_t(best_len) : 1;
            if (best_len >= 3)
                PutMatch(best_len, best_dist);
            else
                PutSymbol(in[i]);
            for (size_t k = 0; k < step; ++k, ++i) {
                if (i + 3 <= in.size()) {
                    const int h = hash(i);
                    prev[i] = head[h];
                    head[h] = int(i);
                }
            }
        }
        PutSymbol(256);
        if (m_count > 0) m_out.push_back(uint8_t(m_bits));
        return m_out;
    }

private:
    void PutBits(uint32_t value, int n) {
        m_bits |= value << m_count;
        m_count += n;
        while (m_count >= 8) {
            m_out.push_back(uint8_t(m_bits));
            m_bits >>= 8;
            m_count -= 8;
        }
    }
    // Huffman codes go most significant bit first.
    void PutCode(uint32_t code, int n) {
        uint32_t reversed = 0;
        for (int k = 0; k < n; ++k) reversed |= ((code >> k) & 1u) << (n - 1 - k);
        PutBits(reversed, n);
    }
    void PutSymbol(int s) {
        if (s < 144)
            PutCode(0x30 + s, 8);
        else if (s < 256)
            PutCode(0x190 + (s - 144), 9);
        else if (s < 280)
            PutCode(s - 256, 7);
        else
            PutCode(0xC0 + (s - 280), 8);
    }
    void PutMatch(int len, int dist) {
        static const int kLenBase[] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                       31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
        static const int kLenExtra[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                        2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
        static const int kDistBase[] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                        33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                        1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
        int l = 28;
        while (kLenBase[l] > len) --l;
        PutSymbol(257 + l);
        PutBits(uint32_t(len - kLenBase[l]), kLenExtra[l]);
        int d = 29;
        while (kDistBase[d] > dist) --d;
        PutCode(uint32_t(d), 5);
        PutBits(uint32_t(dist - kDistBase[d]), d < 4 ? 0 : d / 2 - 1);
    }

    std::vector<uint8_t> m_out;
    uint32_t m_bits = 0;
    int m_count = 0;
};

void PutBig32(std::vector<uint8_t>* out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out->push_back(uint8_t(v >> shift));
}

void PutChunk(std::vector<uint8_t>* out, const char* type, const std::vector<uint8_t>& data) {
    PutBig32(out, uint32_t(data.size()));
    const size_t start = out->size();
    out->insert(out->end(), type, type + 4);
    out->insert(out->end(), data.begin(), data.end());
    PutBig32(out, Crc32(out->data() + start, out->size() - start));
}

// A PNG of RGBA rows: each row filtered by whichever of the five filters leaves the smallest
// sum of magnitudes, then one zlib stream.
std::vector<uint8_t> EncodePng(const std::vector<uint8_t>& rgba, int size) {
    const size_t stride = size_t(size) * 4;
    std::vector<uint8_t> filtered;
    std::vector<uint8_t> zero(stride, 0);
    for (int y = 0; y < size; ++y) {
        const uint8_t* row = &rgba[y * stride];
        const uint8_t* up = y > 0 ? &rgba[(y - 1) * stride] : zero.data();
        std::vector<uint8_t> best;
        long best_cost = -1;
        for (int filter = 0; filter < 5; ++filter) {
            std::vector<uint8_t> line{uint8_t(filter)};
            long cost = 0;
            for (size_t x = 0; x < stride; ++x) {
                const int a = x >= 4 ? row[x - 4] : 0, b = up[x], c = x >= 4 ? up[x - 4] : 0;
                int predictor = 0;
                if (filter == 1) predictor = a;
                if (filter == 2) predictor = b;
                if (filter == 3) predictor = (a + b) / 2;
                if (filter == 4) {
                    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
                    predictor = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
                }
                const uint8_t v = uint8_t(row[x] - predictor);
                line.push_back(v);
                cost += v < 128 ? v : 256 - v;
            }
            if (best_cost < 0 || cost < best_cost) best_cost = cost, best = line;
        }
        filtered.insert(filtered.end(), best.begin(), best.end());
    }
    std::vector<uint8_t> zlib = {0x78, 0x01};
    const std::vector<uint8_t> deflated = Deflater().Compress(filtered);
    zlib.insert(zlib.end(), deflated.begin(), deflated.end());
    uint32_t s1 = 1, s2 = 0;
    for (uint8_t v : filtered) s1 = (s1 + v) % 65521, s2 = (s2 + s1) % 65521;
    PutBig32(&zlib, (s2 << 16) | s1);

    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> header;
    PutBig32(&header, uint32_t(size));
    PutBig32(&header, uint32_t(size));
    header.insert(header.end(), {8, 6, 0, 0, 0});  // 8 bits, RGBA, deflate, no interlace
    PutChunk(&png, "IHDR", header);
    PutChunk(&png, "IDAT", zlib);
    PutChunk(&png, "IEND", {});
    return png;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::perror(path.c_str());
        return false;
    }
    const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    if (std::fclose(f) != 0 || !ok) {
        std::perror(path.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 4) {
        std::fprintf(stderr, "usage: mkicon <output.ico> [<theme folder> <icon name>]\n");
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
    if (!WriteFile(argv[1], file)) return 1;
    if (argc == 4) {
        // The folders <size>x<size>/apps must exist: the build makes them.
        for (int s : {16, 32, 48, 64, 128, 256}) {
            const std::string path = std::string(argv[2]) + "/" + std::to_string(s) + "x" +
                                     std::to_string(s) + "/apps/" + argv[3] + ".png";
            if (!WriteFile(path, EncodePng(RenderRgba(shapes, s), s))) return 1;
        }
    }
    return 0;
}
