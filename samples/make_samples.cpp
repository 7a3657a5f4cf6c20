// Writes the bundled sample stream: four 352x288 frames of a synthetic
// microscope specimen (stained cells with nuclei on a bright field) drifting
// across the view, as the camera sends them. specimen-00.raw is uncompressed;
// specimen-01..03.raw are compressed against the frame before, so they carry
// skip codes wherever the picture did not change. Deterministic: every run
// writes the same bytes.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "emulator/frame_encoder.h"

namespace {

using zm4::emu::Image422;

constexpr uint32_t kWidth = 352;
constexpr uint32_t kHeight = 288;
constexpr int kFrames = 4;
// Pixels the specimen moves per frame: the stage drifts slowly right and down.
constexpr double kDriftX = 1.5;
constexpr double kDriftY = 0.75;
// Differences up to this in every byte of a pair count as unchanged: the
// sensor noise below stays within it, real movement does not.
constexpr int kSkipThreshold = 3;

struct Rgb {
    double r, g, b;
};

Rgb mix(Rgb a, Rgb b, double t)
{
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

struct Cell {
    double x, y;    // centre in specimen coordinates
    double rx, ry;  // half axes
    double angle;   // radians
    double nx, ny;  // nucleus centre relative to the cell centre, in half-axis units
    double nucleus; // nucleus size relative to the cell
    double phase;   // texture phase
};

const Cell kCells[] = {
    {70, 70, 46, 34, 0.3, 0.15, -0.1, 0.42, 0.0},   {190, 55, 36, 30, -0.5, -0.2, 0.1, 0.45, 1.3},
    {300, 95, 42, 28, 1.1, 0.1, 0.2, 0.40, 2.1},    {120, 175, 40, 38, 0.0, -0.15, -0.15, 0.38, 0.7},
    {240, 190, 50, 33, -0.9, 0.2, 0.05, 0.36, 3.3}, {60, 255, 30, 26, 0.6, 0.0, 0.2, 0.48, 4.2},
    {330, 250, 34, 30, 0.2, -0.1, -0.2, 0.44, 5.0}, {175, 275, 28, 22, -0.3, 0.1, 0.0, 0.50, 2.7},
};

double smoothstep(double edge0, double edge1, double x)
{
    double t = std::clamp((x - edge0) / (edge1 - edge0), 0.0, 1.0);
    return t * t * (3 - 2 * t);
}

// Small per-frame sensor noise, -1..1, from a hash of position and frame.
double noise(uint32_t x, uint32_t y, int frame)
{
    uint32_t h = x * 73856093u ^ y * 19349663u ^ static_cast<uint32_t>(frame) * 83492791u;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return static_cast<double>(h % 3) - 1.0;
}

Rgb specimenColour(double sx, double sy)
{
    const Rgb field{236, 234, 226};
    const Rgb cytoplasm{226, 168, 196};
    const Rgb membrane{196, 128, 170};
    const Rgb nucleus{118, 78, 164};
    const Rgb nucleolus{72, 40, 120};

    Rgb colour = field;
    for (const Cell &cell : kCells) {
        double dx = sx - cell.x, dy = sy - cell.y;
        double c = std::cos(cell.angle), s = std::sin(cell.angle);
        double u = (dx * c + dy * s) / cell.rx;
        double v = (-dx * s + dy * c) / cell.ry;
        double d = std::sqrt(u * u + v * v); // 1 on the cell's edge
        if (d > 1.08)
            continue;
        // Granular cytoplasm: a soft pattern that moves with the cell.
        double grain = 0.5 + 0.5 * std::sin(u * 9 + cell.phase) * std::cos(v * 7 - cell.phase);
        Rgb inside = mix(cytoplasm, membrane, 0.25 * grain);
        inside = mix(inside, membrane, smoothstep(0.8, 1.0, d));
        double nu = (u - cell.nx) / cell.nucleus, nv = (v - cell.ny) / cell.nucleus;
        double nd = std::sqrt(nu * nu + nv * nv);
        inside = mix(inside, nucleus, 1 - smoothstep(0.9, 1.05, nd));
        double ou = nu - 0.25, ov = nv + 0.2;
        inside = mix(inside, nucleolus, 1 - smoothstep(0.18, 0.26, std::sqrt(ou * ou + ov * ov)));
        colour = mix(colour, inside, 1 - smoothstep(1.0, 1.08, d));
    }
    return colour;
}

uint8_t toByte(double value)
{
    return static_cast<uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

// The specimen as the sensor sees it in frame n: moved by the drift, dimmed
// towards the corners by the microscope's illumination (fixed to the view),
// plus a little noise; converted to 4:2:2 with studio-range BT.601 weights.
Image422 renderFrame(int n)
{
    Image422 image(kWidth, kHeight);
    const double offX = kDriftX * n, offY = kDriftY * n;
    for (uint32_t y = 0; y < kHeight; ++y) {
        for (uint32_t p = 0; p < kWidth / 2; ++p) {
            double luma[2];
            double uSum = 0, vSum = 0;
            for (uint32_t i = 0; i < 2; ++i) {
                uint32_t x = 2 * p + i;
                Rgb c = specimenColour(x - offX, y - offY);
                double cx = (x - kWidth / 2.0) / kWidth, cy = (y - kHeight / 2.0) / kHeight;
                double light = 1.0 - 0.35 * (cx * cx + cy * cy);
                c = {c.r * light, c.g * light, c.b * light};
                luma[i] = 16 + 0.257 * c.r + 0.504 * c.g + 0.098 * c.b + noise(x, y, n);
                uSum += 128 - 0.148 * c.r - 0.291 * c.g + 0.439 * c.b;
                vSum += 128 + 0.439 * c.r - 0.368 * c.g - 0.071 * c.b;
            }
            uint8_t *pair = image.row(y) + 4 * p;
            pair[0] = toByte(luma[0]);
            pair[1] = toByte(uSum / 2);
            pair[2] = toByte(luma[1]);
            pair[3] = toByte(vSum / 2);
        }
    }
    return image;
}

bool writeFile(const std::string &path, const std::vector<uint8_t> &bytes)
{
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (!file) {
        std::perror(path.c_str());
        return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    ok = std::fclose(file) == 0 && ok;
    if (!ok)
        std::perror(path.c_str());
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 2 || (argc == 2 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help"))) {
        std::fprintf(stderr,
                     "usage: zm4_make_samples [DIR]   writes DIR/specimen-00.raw .. specimen-03.raw\n");
        return argc == 2 ? 0 : 2;
    }
    const std::string dir = argc == 2 ? argv[1] : ".";

    Image422 reference;
    for (int n = 0; n < kFrames; ++n) {
        zm4::emu::EncodeOptions options;
        options.videoSize = 1;
        if (n > 0) {
            options.compression = true;
            options.previous = &reference;
            options.threshold = kSkipThreshold;
        }
        zm4::emu::EncodedFrame frame = zm4::emu::encodeFrame(renderFrame(n), options);
        // The camera compares the next frame with what the receiver now holds.
        reference = frame.reference;
        char name[32];
        std::snprintf(name, sizeof name, "/specimen-%02d.raw", n);
        if (!writeFile(dir + name, frame.bytes))
            return 1;
        std::printf("%s%s: %zu bytes\n", dir.c_str(), name, frame.bytes.size());
    }
    return 0;
}
