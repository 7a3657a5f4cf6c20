// Scenes: colour bars, flat colour, a drifting microscope specimen and still
// images read from binary PPM files.

#include "emulator/scenes.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>

namespace zm4::emu {

Image422::Image422(int w, int h)
{
    resize(w, h);
}

void Image422::resize(int w, int h)
{
    width = std::max(w, 0) & ~1;
    height = std::max(h, 0);
    data.assign(static_cast<size_t>(width) * static_cast<size_t>(height) * 2, 0);
}

namespace {

uint8_t clampByte(double value)
{
    return static_cast<uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

// Writes one pixel pair; the chroma is that of the pair's first pixel.
void putPair(uint8_t *p, uint8_t y0, uint8_t y1, uint8_t u, uint8_t v)
{
    p[0] = y0;
    p[1] = u;
    p[2] = y1;
    p[3] = v;
}

class BarsScene : public Scene {
public:
    std::string name() const override { return "bars"; }
    bool lit() const override { return false; }

    void render(int64_t, Image422 &out) const override
    {
        for (int y = 0; y < out.height; ++y) {
            uint8_t *row = out.row(y);
            for (int x = 0; x < out.width; x += 2) {
                const BarColour &a = kBarColours[barAt(x, out.width)];
                const BarColour &b = kBarColours[barAt(x + 1, out.width)];
                putPair(row + x * 2, a.y, b.y, a.u, a.v);
            }
        }
    }

    SceneStats stats(int64_t) const override
    {
        SceneStats s{0, 0, 0};
        for (const BarColour &c : kBarColours) {
            s.y += c.y / 8.0;
            s.u += c.u / 8.0;
            s.v += c.v / 8.0;
        }
        return s;
    }

private:
    static int barAt(int x, int width) { return std::clamp(x * 8 / std::max(width, 1), 0, 7); }
};

class FlatScene : public Scene {
public:
    FlatScene(uint8_t y, uint8_t u, uint8_t v) : y_(y), u_(u), v_(v) {}

    std::string name() const override
    {
        return "flat:" + std::to_string(y_) + "," + std::to_string(u_) + "," + std::to_string(v_);
    }
    bool lit() const override { return false; }

    void render(int64_t, Image422 &out) const override
    {
        if (out.height == 0)
            return;
        // Every row is the same: lay out the first, copy it to the rest.
        uint8_t *first = out.row(0);
        for (int x = 0; x < out.width; x += 2)
            putPair(first + x * 2, y_, y_, u_, v_);
        for (int y = 1; y < out.height; ++y)
            std::memcpy(out.row(y), first, static_cast<size_t>(out.stride()));
    }

    SceneStats stats(int64_t) const override { return {double(y_), double(u_), double(v_)}; }

private:
    uint8_t y_, u_, v_;
};

// Stained cells on a bright field, drifting slowly across a toroidal slide.
// Everything derives from the seed and the frame number, so a frame is the
// same on every run. Coordinates are in pixels of the 352 x 288 sensor mode;
// the 176 x 144 mode sees the same field at half the resolution.
class SpecimenScene : public Scene {
public:
    explicit SpecimenScene(uint32_t seed) : seed_(seed) { layOut(); }

    std::string name() const override { return "specimen"; }
    bool lit() const override { return true; }

    void render(int64_t frame, Image422 &out) const override
    {
        const double scale = out.width > 0 ? 352.0 / out.width : 1.0;
        const Drift d = drift(frame);
        for (int y = 0; y < out.height; ++y) {
            uint8_t *row = out.row(y);
            for (int x = 0; x < out.width; x += 2) {
                const Colour a = sample(x * scale, y * scale, d);
                const Colour b = sample((x + 1) * scale, y * scale, d);
                putPair(row + x * 2, clampByte(a.y), clampByte(b.y), clampByte((a.u + b.u) / 2),
                        clampByte((a.v + b.v) / 2));
            }
        }
    }

    SceneStats stats(int64_t frame) const override
    {
        // A coarse grid is plenty for an exposure meter.
        const Drift d = drift(frame);
        SceneStats s{0, 0, 0};
        int n = 0;
        for (int y = 4; y < 288; y += 8) {
            for (int x = 4; x < 352; x += 8) {
                const Colour c = sample(x, y, d);
                s.y += c.y;
                s.u += c.u;
                s.v += c.v;
                ++n;
            }
        }
        s.y /= n;
        s.u /= n;
        s.v /= n;
        return s;
    }

private:
    static constexpr int kWorld = 1024;
    static constexpr int kBin = 64;
    static constexpr int kBins = kWorld / kBin;
    static constexpr int kCells = 150;

    struct Cell {
        double cx, cy, rx, ry, cosA, sinA;
        double nx, ny, nr; // nucleus, relative to the centre
        double stain;
    };
    struct Colour {
        double y, u, v;
    };
    struct Drift {
        double x, y;
    };

    uint32_t seed_;
    std::vector<Cell> cells_;
    std::array<std::vector<int>, kBins * kBins> bins_;

    // A small deterministic generator; the layout must not depend on the library's.
    static uint32_t next(uint32_t &state)
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    static double unit(uint32_t &state) { return (next(state) & 0xFFFFFF) / double(0x1000000); }

    void layOut()
    {
        uint32_t state = seed_ * 2654435761u + 12345u;
        if (state == 0)
            state = 1;
        for (int i = 0; i < kCells; ++i) {
            Cell c{};
            c.cx = unit(state) * kWorld;
            c.cy = unit(state) * kWorld;
            c.rx = 10 + unit(state) * 18;
            c.ry = c.rx * (0.6 + unit(state) * 0.4);
            const double angle = unit(state) * 3.14159265;
            c.cosA = std::cos(angle);
            c.sinA = std::sin(angle);
            c.nr = 0.25 + unit(state) * 0.15;
            c.nx = (unit(state) - 0.5) * 0.4;
            c.ny = (unit(state) - 0.5) * 0.4;
            c.stain = 0.5 + unit(state) * 0.5;
            cells_.push_back(c);
        }
        // Each cell goes into every bin its bounding box touches (wrapping).
        for (int i = 0; i < kCells; ++i) {
            const Cell &c = cells_[static_cast<size_t>(i)];
            const int x0 = static_cast<int>(std::floor((c.cx - c.rx) / kBin));
            const int x1 = static_cast<int>(std::floor((c.cx + c.rx) / kBin));
            const int y0 = static_cast<int>(std::floor((c.cy - c.rx) / kBin));
            const int y1 = static_cast<int>(std::floor((c.cy + c.rx) / kBin));
            for (int by = y0; by <= y1; ++by)
                for (int bx = x0; bx <= x1; ++bx)
                    bins_[static_cast<size_t>(wrapBin(by) * kBins + wrapBin(bx))].push_back(i);
        }
    }

    static int wrapBin(int b) { return ((b % kBins) + kBins) % kBins; }
    static double wrapDelta(double d)
    {
        if (d > kWorld / 2.0)
            d -= kWorld;
        if (d < -kWorld / 2.0)
            d += kWorld;
        return d;
    }

    static Drift drift(int64_t frame)
    {
        const double n = static_cast<double>(frame);
        return {n * 0.35 + 6.0 * std::sin(n * 0.010), n * 0.15 + 4.0 * std::cos(n * 0.013)};
    }

    static double lattice(int x, int y)
    {
        uint32_t h = static_cast<uint32_t>(x) * 73856093u ^ static_cast<uint32_t>(y) * 19349663u;
        h ^= h >> 13;
        h *= 0x5bd1e995u;
        h ^= h >> 15;
        return (h & 0xFF) / 255.0 - 0.5;
    }

    // Static grain of the slide, carried along with the drift: smooth
    // noise a few pixels across, so that a fraction of a pixel of drift
    // changes it only a little, as with real optics.
    static double grain(double wx, double wy)
    {
        const double gx = wx / 3.0;
        const double gy = wy / 3.0;
        const int ix = static_cast<int>(std::floor(gx));
        const int iy = static_cast<int>(std::floor(gy));
        const double fx = gx - ix;
        const double fy = gy - iy;
        const double top = lattice(ix, iy) * (1 - fx) + lattice(ix + 1, iy) * fx;
        const double bottom = lattice(ix, iy + 1) * (1 - fx) + lattice(ix + 1, iy + 1) * fx;
        return top * (1 - fy) + bottom * fy;
    }

    Colour sample(double sx, double sy, Drift d) const
    {
        double wx = std::fmod(sx + d.x, double(kWorld));
        double wy = std::fmod(sy + d.y, double(kWorld));
        if (wx < 0)
            wx += kWorld;
        if (wy < 0)
            wy += kWorld;

        // Bright field with the vignetting of the optics.
        const double ex = (sx - 176.0) / 176.0;
        const double ey = (sy - 144.0) / 144.0;
        Colour c{196.0 - 34.0 * (ex * ex + ey * ey) + 6.0 * grain(wx, wy), 126.0, 131.0};

        const auto &bin = bins_[static_cast<size_t>(int(wy) / kBin * kBins + int(wx) / kBin)];
        for (int index : bin) {
            const Cell &cell = cells_[static_cast<size_t>(index)];
            const double dx = wrapDelta(wx - cell.cx);
            const double dy = wrapDelta(wy - cell.cy);
            const double u = (dx * cell.cosA + dy * cell.sinA) / cell.rx;
            const double v = (-dx * cell.sinA + dy * cell.cosA) / cell.ry;
            const double r2 = u * u + v * v;
            if (r2 >= 1.0)
                continue;
            const double r = std::sqrt(r2);
            // Pink cytoplasm, a darker membrane and a purple nucleus.
            double y = 168.0 - 30.0 * cell.stain;
            double cu = 124.0;
            double cv = 146.0 + 10.0 * cell.stain;
            if (r > 0.85) {
                y -= 40.0 * (r - 0.85) / 0.15;
            }
            const double nu = u - cell.nx;
            const double nv = v - cell.ny;
            if (nu * nu + nv * nv < cell.nr * cell.nr) {
                y = 70.0 + 20.0 * (1.0 - cell.stain);
                cu = 150.0;
                cv = 150.0;
            }
            c = {y, cu, cv};
            break;
        }
        return c;
    }
};

// BT.601 video-range conversion in integers.
void rgbToYuv(int r, int g, int b, int &y, int &u, int &v)
{
    y = ((66 * r + 129 * g + 25 * b + 128) >> 8) + 16;
    u = ((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128;
    v = ((112 * r - 94 * g - 18 * b + 128) >> 8) + 128;
}

class ImageScene : public Scene {
public:
    ImageScene(int w, int h, std::vector<uint8_t> rgb) : width_(w), height_(h), rgb_(std::move(rgb)) {}

    std::string name() const override { return "image"; }
    bool lit() const override { return false; }

    void render(int64_t, Image422 &out) const override
    {
        for (int y = 0; y < out.height; ++y) {
            const int sy = static_cast<int>(int64_t(y) * height_ / std::max(out.height, 1));
            uint8_t *row = out.row(y);
            for (int x = 0; x < out.width; x += 2) {
                int y0, u0, v0, y1, u1, v1;
                pixel(x, sy, out.width, y0, u0, v0);
                pixel(x + 1, sy, out.width, y1, u1, v1);
                putPair(row + x * 2, uint8_t(y0), uint8_t(y1), uint8_t((u0 + u1 + 1) / 2),
                        uint8_t((v0 + v1 + 1) / 2));
            }
        }
    }

    SceneStats stats(int64_t) const override
    {
        SceneStats s{0, 0, 0};
        const size_t pixels = static_cast<size_t>(width_) * static_cast<size_t>(height_);
        for (size_t i = 0; i < pixels; ++i) {
            int y, u, v;
            rgbToYuv(rgb_[i * 3], rgb_[i * 3 + 1], rgb_[i * 3 + 2], y, u, v);
            s.y += y;
            s.u += u;
            s.v += v;
        }
        s.y /= double(pixels);
        s.u /= double(pixels);
        s.v /= double(pixels);
        return s;
    }

private:
    int width_, height_;
    std::vector<uint8_t> rgb_;

    void pixel(int x, int sy, int outWidth, int &y, int &u, int &v) const
    {
        const int sx = static_cast<int>(int64_t(x) * width_ / std::max(outWidth, 1));
        const size_t i =
            (static_cast<size_t>(sy) * static_cast<size_t>(width_) + static_cast<size_t>(sx)) * 3;
        rgbToYuv(rgb_[i], rgb_[i + 1], rgb_[i + 2], y, u, v);
    }
};

// Reads one header token of a PPM file, skipping whitespace and comments.
bool ppmToken(const std::vector<uint8_t> &bytes, size_t &pos, long &value)
{
    while (pos < bytes.size()) {
        if (bytes[pos] == '#') {
            while (pos < bytes.size() && bytes[pos] != '\n')
                ++pos;
        } else if (std::isspace(bytes[pos])) {
            ++pos;
        } else {
            break;
        }
    }
    const size_t start = pos;
    value = 0;
    while (pos < bytes.size() && bytes[pos] >= '0' && bytes[pos] <= '9') {
        value = value * 10 + (bytes[pos] - '0');
        if (value > 1000000)
            return false;
        ++pos;
    }
    return pos > start;
}

bool parseByte(std::string_view text, uint8_t &out)
{
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value > 255)
        return false;
    out = static_cast<uint8_t>(value);
    return true;
}

} // namespace

std::unique_ptr<Scene> makeBarsScene()
{
    return std::make_unique<BarsScene>();
}

std::unique_ptr<Scene> makeFlatScene(uint8_t y, uint8_t u, uint8_t v)
{
    return std::make_unique<FlatScene>(y, u, v);
}

std::unique_ptr<Scene> makeSpecimenScene(uint32_t seed)
{
    return std::make_unique<SpecimenScene>(seed);
}

std::unique_ptr<Scene> makeImageSceneFromBytes(const std::vector<uint8_t> &ppm, std::string *error)
{
    auto fail = [error](const char *message) -> std::unique_ptr<Scene> {
        if (error)
            *error = message;
        return nullptr;
    };
    if (ppm.size() < 2 || ppm[0] != 'P' || ppm[1] != '6')
        return fail("not a binary PPM (P6) image");
    size_t pos = 2;
    long width, height, maxval;
    if (!ppmToken(ppm, pos, width) || !ppmToken(ppm, pos, height) || !ppmToken(ppm, pos, maxval))
        return fail("damaged PPM header");
    if (width < 1 || height < 1 || width > 8192 || height > 8192)
        return fail("PPM size out of range (1 to 8192 each way)");
    if (maxval < 1 || maxval > 65535)
        return fail("PPM maximum value out of range");
    if (pos >= ppm.size() || !std::isspace(ppm[pos]))
        return fail("damaged PPM header");
    ++pos;

    const size_t samples = static_cast<size_t>(width) * static_cast<size_t>(height) * 3;
    const size_t sampleBytes = maxval > 255 ? 2 : 1;
    if (ppm.size() - pos < samples * sampleBytes)
        return fail("PPM pixel data is truncated");

    std::vector<uint8_t> rgb(samples);
    for (size_t i = 0; i < samples; ++i) {
        long value = ppm[pos + i * sampleBytes];
        if (sampleBytes == 2)
            value = value << 8 | ppm[pos + i * 2 + 1];
        rgb[i] = static_cast<uint8_t>((value * 255 + maxval / 2) / maxval);
    }
    return std::make_unique<ImageScene>(int(width), int(height), std::move(rgb));
}

std::unique_ptr<Scene> makeImageScene(const std::string &path, std::string *error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        if (error)
            *error = "cannot open " + path;
        return nullptr;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    auto scene = makeImageSceneFromBytes(bytes, error);
    if (!scene && error)
        *error = path + ": " + *error;
    return scene;
}

std::unique_ptr<Scene> makeScene(std::string_view spec, std::string *error)
{
    auto fail = [error](std::string message) -> std::unique_ptr<Scene> {
        if (error)
            *error = std::move(message);
        return nullptr;
    };

    if (spec == "bars")
        return makeBarsScene();
    if (spec == "specimen")
        return makeSpecimenScene();
    if (spec.rfind("specimen:", 0) == 0) {
        uint32_t seed = 0;
        const std::string_view text = spec.substr(9);
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seed);
        if (ec != std::errc() || end != text.data() + text.size())
            return fail("specimen seed must be a number: " + std::string(spec));
        return makeSpecimenScene(seed);
    }
    if (spec.rfind("flat:", 0) == 0) {
        std::string_view rest = spec.substr(5);
        std::array<uint8_t, 3> values{};
        for (size_t i = 0; i < 3; ++i) {
            const size_t comma = rest.find(',');
            const std::string_view part = i < 2 ? rest.substr(0, comma) : rest;
            if ((i < 2 && comma == std::string_view::npos) || !parseByte(part, values[i]))
                return fail("flat scene wants flat:Y,U,V with values 0 to 255: " + std::string(spec));
            if (i < 2)
                rest = rest.substr(comma + 1);
        }
        return makeFlatScene(values[0], values[1], values[2]);
    }
    if (spec.rfind("file:", 0) == 0)
        return makeImageScene(std::string(spec.substr(5)), error);
    if (spec.size() > 4 && spec.substr(spec.size() - 4) == ".ppm")
        return makeImageScene(std::string(spec), error);
    return fail("unknown scene '" + std::string(spec) + "' (bars, flat:Y,U,V, specimen, file:PATH)");
}

} // namespace zm4::emu
