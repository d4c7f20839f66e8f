// Writes the placeholder firmware images that a build embeds when no real images are given:
// deterministic bytes with exactly the shipped sizes and checksums, so that the manifest, the
// progress estimate and the transfers behave as with the real firmware.
//
//   mkfirmware <output folder>    writes 132.bin, 133.bin, 134.bin and 135.bin there
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

struct Placeholder {
    unsigned id;
    uint32_t size;
    int checksum;  // -1: any
};

// Resource id, size and BSD checksum of each shipped image.
const Placeholder kImages[] = {
    {134, 1, -1},
    {135, 484, 52624},
    {132, 1929216, 4992},
    {133, 749568, 33072},
};

uint32_t Step(uint32_t acc, unsigned char byte) {
    return (((acc >> 1) | ((acc & 1u) << 15)) + byte) & 0xFFFFu;
}

uint32_t Sum(const std::vector<unsigned char>& bytes, size_t count) {
    uint32_t acc = 0;
    for (size_t i = 0; i < count; ++i) acc = Step(acc, bytes[i]);
    return acc;
}

// Fills with a fixed pseudo-random sequence, then adjusts a few bytes near the end so
// that the checksum comes out as wanted.
bool Make(const Placeholder& p, std::vector<unsigned char>* out) {
    std::vector<unsigned char>& b = *out;
    b.assign(p.size, 0);
    uint32_t x = 0x9E3779B9u ^ p.id;
    for (auto& byte : b) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = static_cast<unsigned char>(x >> 24);
    }
    if (p.checksum < 0) return true;
    const uint32_t target = static_cast<uint32_t>(p.checksum);
    // Each step rotates the sum right before adding, so a few free bytes at the end reach
    // only a small part of the 65536 sums. The last 2k bytes are therefore solved meeting in
    // the middle: the states reachable forward from the fixed start in k bytes, against the
    // states from which the target is reachable in k more.
    for (size_t k = 3; k <= 6 && 2 * k <= p.size; ++k) {
        const size_t n = p.size;
        std::vector<uint32_t> fwd{Sum(b, n - 2 * k)}, bwd{target};
        std::vector<std::vector<uint32_t>> fwd_levels{fwd}, bwd_levels{bwd};
        for (size_t level = 0; level < k; ++level) {
            std::vector<uint32_t> next_f, next_b;
            std::vector<char> seen_f(65536, 0), seen_b(65536, 0);
            for (uint32_t a : fwd) {
                for (unsigned byte = 0; byte < 256; ++byte) {
                    const uint32_t to = Step(a, static_cast<unsigned char>(byte));
                    if (seen_f[to]) continue;
                    seen_f[to] = 1;
                    next_f.push_back(to);
                }
            }
            for (uint32_t a : bwd) {
                for (unsigned byte = 0; byte < 256; ++byte) {
                    // a = ror(prev) + byte, so prev = rol(a - byte).
                    const uint32_t r = (a - byte) & 0xFFFFu;
                    const uint32_t prev = ((r << 1) | (r >> 15)) & 0xFFFFu;
                    if (seen_b[prev]) continue;
                    seen_b[prev] = 1;
                    next_b.push_back(prev);
                }
            }
            fwd = next_f;
            bwd = next_b;
            fwd_levels.push_back(fwd);
            bwd_levels.push_back(bwd);
        }
        std::vector<char> in_bwd(65536, 0);
        for (uint32_t a : bwd) in_bwd[a] = 1;
        for (uint32_t meet : fwd) {
            if (!in_bwd[meet]) continue;
            // Walk back from the meeting state to the start, choosing at each level a
            // predecessor that the level before holds.
            uint32_t state = meet;
            for (size_t level = k; level > 0; --level) {
                bool found = false;
                for (uint32_t a : fwd_levels[level - 1]) {
                    for (unsigned byte = 0; byte < 256 && !found; ++byte) {
                        if (Step(a, static_cast<unsigned char>(byte)) == state) {
                            b[n - 2 * k + level - 1] = static_cast<unsigned char>(byte);
                            state = a;
                            found = true;
                        }
                    }
                    if (found) break;
                }
                if (!found) return false;
            }
            // And forward from it to the target.
            state = meet;
            for (size_t level = 0; level < k; ++level) {
                std::vector<char> there(65536, 0);
                for (uint32_t a : bwd_levels[k - level - 1]) there[a] = 1;
                bool found = false;
                for (unsigned byte = 0; byte < 256 && !found; ++byte) {
                    const uint32_t to = Step(state, static_cast<unsigned char>(byte));
                    if (there[to]) {
                        b[n - k + level] = static_cast<unsigned char>(byte);
                        state = to;
                        found = true;
                    }
                }
                if (!found) return false;
            }
            return Sum(b, n) == target;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: mkfirmware <output folder>\n");
        return 2;
    }
    std::vector<unsigned char> bytes;
    for (const Placeholder& p : kImages) {
        if (!Make(p, &bytes)) {
            std::fprintf(stderr, "mkfirmware: no placeholder for resource %u\n", p.id);
            return 1;
        }
        char path[4096];
        std::snprintf(path, sizeof path, "%s/%u.bin", argv[1], p.id);
        FILE* f = std::fopen(path, "wb");
        if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() ||
            std::fclose(f) != 0) {
            std::fprintf(stderr, "mkfirmware: cannot write %s\n", path);
            return 1;
        }
    }
    return 0;
}
