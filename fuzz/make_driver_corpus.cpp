// Writes the seed corpora of the two driver harnesses: camera/ for
// zm4_fuzz_camera (descriptors, answers and operations) and packets/ for
// zm4_fuzz_packets (frames and packet runs). Both harnesses read their input
// with FuzzedDataProvider, which takes numbers from the end of the input (the
// last byte first, most significant byte first) and byte strings from the
// front; a Seed is written in that order and laid out the same way.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

class Seed {
public:
    // A number in [min, max], as ConsumeIntegralInRange reads it.
    Seed &num(uint64_t value, uint64_t min, uint64_t max)
    {
        const uint64_t range = max - min;
        const uint64_t x = value - min;
        int bytes = 0;
        while (bytes < 8 && (range >> (8 * bytes)) > 0)
            ++bytes;
        for (int i = bytes - 1; i >= 0; --i)
            back_.push_back(static_cast<uint8_t>(x >> (8 * i)));
        return *this;
    }
    Seed &byte(uint8_t value) { return num(value, 0, 255); }
    Seed &flag(bool value) { return num(value ? 1 : 0, 0, 1); }
    Seed &u16(uint16_t value) { return num(value, 0, 0xFFFF); }
    Seed &bytes(const std::vector<uint8_t> &front)
    {
        front_.insert(front_.end(), front.begin(), front.end());
        return *this;
    }

    bool write(const std::string &path) const
    {
        std::vector<uint8_t> out = front_;
        out.insert(out.end(), back_.rbegin(), back_.rend());
        std::FILE *f = std::fopen(path.c_str(), "wb");
        if (!f)
            return false;
        const bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
        return std::fclose(f) == 0 && ok;
    }

private:
    std::vector<uint8_t> front_;
    std::vector<uint8_t> back_;
};

// ---- zm4_fuzz_camera ----------------------------------------------------------

struct CameraSeed {
    uint8_t descriptorKind = 0; // 0 the model's, 1 fields, 2 fields and patches, 3 raw
    uint8_t videoInterface = 1;
    std::vector<uint16_t> packetSizes; // alternates 0..3 when given
    std::vector<uint8_t> rawDescriptor;
    uint8_t refused = 0;
    int before = 2, during = 2;
    uint32_t format = 5, columns = 5, rows = 8;
    int runMs = 200;
    bool removeStreaming = false;
    std::vector<std::vector<uint8_t>> answers; // decision byte and its bytes, per control transfer
};

Seed mCameraSeed(const CameraSeed &c)
{
    Seed s;
    s.num(c.descriptorKind, 0, 255);
    if (c.descriptorKind != 0) {
        s.num(c.videoInterface, 0, 255);
        for (int alt = 0; alt < 4; ++alt) {
            const bool given = alt < static_cast<int>(c.packetSizes.size());
            s.flag(given);
            if (given)
                s.u16(c.packetSizes[static_cast<size_t>(alt)]);
        }
        if (c.descriptorKind == 3) {
            s.num(c.rawDescriptor.size(), 0, 160);
            s.bytes(c.rawDescriptor);
        } else {
            if (c.descriptorKind == 2)
                s.num(1, 1, 6).num(4, 0, 200).byte(0x01); // one patch: the number of interfaces
            s.flag(false);
        }
    }
    s.byte(c.refused).num(static_cast<uint64_t>(c.before), 0, 3).num(static_cast<uint64_t>(c.during), 0, 3);
    const bool large = c.columns > 16 || c.rows > 24;
    s.num(c.format, 0, 5).byte(large ? 0xFF : 0);
    s.num(c.columns, 1, large ? 88 : 16)
        .num(c.rows, 1, large ? 144 : 24)
        .num(static_cast<uint64_t>(c.runMs), 0, 250);
    s.flag(c.removeStreaming);
    // The property operations come from 96 bytes at the front.
    std::vector<uint8_t> ops(96, 0);
    const uint8_t script[] = {1, 1, 5, 0, 1, 0, 0, 0, 40, 1, 0, 7, 1, 0, 1, 1, 22};
    std::copy(std::begin(script), std::end(script), ops.begin());
    s.bytes(ops);
    for (const auto &answer : c.answers)
        for (uint8_t b : answer)
            s.byte(b);
    return s;
}

bool mCameraCorpus(const std::string &dir)
{
    bool ok = true;
    auto put = [&](const char *name, const CameraSeed &c) { ok &= mCameraSeed(c).write(dir + "/" + name); };
    CameraSeed c;
    put("model", c);
    c.descriptorKind = 1;
    c.videoInterface = 0;
    put("interface-0", c);
    c.videoInterface = 1;
    c.packetSizes = {0, 448, 0, 1023};
    put("packet-sizes", c);
    c.descriptorKind = 2;
    put("patched", c);
    c = {};
    c.descriptorKind = 3;
    c.rawDescriptor = {9, 2,    25, 0, 1, 1, 0, 0x80, 50, 9,    4, 1, 3,
                       1, 0xFF, 0,  0, 0, 7, 5, 0x81, 5,  0xC0, 3, 1};
    put("raw-descriptor", c);
    c = {};
    c.refused = 0x0C;
    put("refused-2-3", c);
    c.refused = 0x0F;
    put("refused-all", c);
    c = {};
    for (int i = 0; i < 40; ++i)
        c.answers.push_back({12}); // nobody answers
    put("no-answer", c);
    c = {};
    for (int i = 0; i < 60; ++i)
        c.answers.push_back({static_cast<uint8_t>(i % 3 == 0 ? 8 : 0)});
    put("failures", c);
    c = {};
    c.answers = {{0}, {0}, {13, 0, 20}, {9}, {9}, {9}, {15}, {15}};
    put("slow-and-stall", c);
    c = {};
    for (int i = 0; i < 30; ++i)
        c.answers.push_back({11, static_cast<uint8_t>(i % 8)});
    put("short-replies", c);
    c = {};
    for (int i = 0; i < 30; ++i)
        c.answers.push_back({10, 0x12, 0x34, static_cast<uint8_t>(i), 1, 0xFF, 0x10, 0x04, 0x00});
    put("odd-replies", c);
    c = {};
    c.format = 0;
    c.columns = 88;
    c.rows = 144;
    c.runMs = 250;
    c.removeStreaming = true;
    put("upscale", c);
    return ok;
}

// ---- zm4_fuzz_packets ----------------------------------------------------------

struct Frame {
    uint8_t flags = 0; // 1 compressed, 2 decimated, 4 4:2:0, 8 rejected, 0x10 magic moved, 0x20 by video size
    uint8_t colStart = 0, columns = 5, rowStart = 0, rows = 8;
    uint8_t magic = 0, bad = 2;
    std::vector<uint8_t> skips; // compressed: pairs skipped at the start of each line
    uint8_t damage = 0;         // 0x80 | kind
    uint32_t damageAt = 0;
    uint8_t damageByte = 0;
    std::vector<uint16_t> sizes;
};

void mFrame(Seed &s, const Frame &f)
{
    s.byte(3); // a frame
    s.byte(f.flags).num(f.colStart, 0, 3).num(f.columns, 0, 12).num(f.rowStart, 0, 3).num(f.rows, 0, 14);
    if (f.flags & 0x10)
        s.num(f.magic, 1, 63);
    if ((f.flags & 0x08) && (f.flags & 0x20))
        s.num(f.bad, 2, 255);
    if ((f.flags & 0x08) && !(f.flags & 0x20))
        s.num(f.bad, 2, 255);
    if (f.flags & 0x01) {
        const int lines = f.rows * 4 / ((f.flags & 0x02) ? 2 : 1);
        for (int i = 0; i < lines; ++i)
            s.byte(f.skips.empty() ? 0 : f.skips[static_cast<size_t>(i) % f.skips.size()]);
    }
    s.byte(f.damage);
    if (f.damage & 0x80) {
        s.u16(static_cast<uint16_t>(f.damageAt)); // taken modulo the frame's size

        if ((f.damage & 3) == 0 || (f.damage & 3) == 2)
            s.byte(f.damageByte);
    }
    s.num(f.sizes.size(), 0, 4);
    for (uint16_t size : f.sizes)
        s.num(size, 1, 1024);
}

Seed mPacketSeed(uint8_t format, uint32_t columns, uint32_t rows, int reads, bool paused)
{
    Seed s;
    s.byte(format).num(columns, 1, 12).num(rows, 1, 14).num(static_cast<uint64_t>(reads), 1, 4).flag(paused);
    return s;
}

bool mPacketCorpus(const std::string &dir)
{
    bool ok = true;
    auto put = [&](const char *name, const Seed &s) { ok &= s.write(dir + "/" + name); };
    Frame plain;
    Frame compressed;
    compressed.flags = 0x01;
    compressed.skips = {0, 3, 20, 1};

    Seed s = mPacketSeed(0, 5, 8, 3, false);
    mFrame(s, plain);
    mFrame(s, compressed);
    mFrame(s, plain);
    put("yuy2-frames", s);

    Frame rejected = plain;
    rejected.flags = 0x08;
    Frame rejectedSize = plain;
    rejectedSize.flags = 0x28;
    rejectedSize.bad = 7;
    s = mPacketSeed(1, 5, 8, 4, false);
    mFrame(s, plain);
    mFrame(s, rejected);
    mFrame(s, compressed);
    mFrame(s, rejectedSize);
    mFrame(s, plain);
    put("uyvy-rejected", s);

    Frame sub = plain;
    sub.flags = 0x06;
    Frame subCompressed = compressed;
    subCompressed.flags = 0x07;
    s = mPacketSeed(0, 5, 8, 2, true);
    mFrame(s, sub);
    mFrame(s, subCompressed);
    put("420-decimated", s);

    Frame moved = plain;
    moved.flags = 0x10;
    moved.magic = 9;
    moved.sizes = {7, 100, 3};
    s = mPacketSeed(0, 5, 8, 2, false);
    mFrame(s, moved);
    s.byte(0).num(120, 1, 300); // 120 empty packets
    mFrame(s, plain);
    put("magic-moved-gap", s);

    s = mPacketSeed(0, 5, 8, 2, false);
    mFrame(s, plain);
    s.byte(1).num(9, 1, 20).byte(0).num(4, 0, 16);  // packets with errors
    s.byte(1).num(8, 1, 20).byte(1).num(0, 0, 16);  // a failed request
    s.byte(1).num(20, 1, 20).byte(2).num(0, 0, 16); // the camera says nothing
    mFrame(s, plain);
    mFrame(s, plain);
    put("bad-statuses", s);

    s = mPacketSeed(0, 5, 8, 2, false);
    const std::vector<uint8_t> raw = {0x19, 0x68, 0,    0,    0xFD, 0xFF, 0xFF,
                                      0xFF, 0xFF, 0xFF, 0x11, 0x00, 0xFD, 0xFF};
    s.byte(2).num(raw.size(), 1, 1024).bytes(raw);
    mFrame(s, plain);
    put("raw-bytes", s);

    s = mPacketSeed(0, 5, 8, 3, false);
    Frame damaged = plain;
    damaged.damage = 0x80;
    damaged.damageAt = 40;
    damaged.damageByte = 0x70;
    mFrame(s, damaged);
    damaged.damage = 0x81;
    mFrame(s, damaged);
    damaged.damage = 0x83;
    mFrame(s, damaged);
    mFrame(s, plain);
    put("damaged", s);

    s = mPacketSeed(4, 12, 14, 2, false);
    Frame big = plain;
    big.columns = 12;
    big.rows = 14;
    big.sizes = {1, 5, 960};
    mFrame(s, big);
    big.flags = 0x01;
    big.skips = {2};
    mFrame(s, big);
    put("rgb24-small-packets", s);

    // The application cancels a read, pauses, runs and switches compression
    // on (id 3, value 1) between frames.
    s = mPacketSeed(0, 5, 8, 3, false);
    mFrame(s, plain);
    mFrame(s, compressed);
    mFrame(s, plain);
    s.byte(8).byte(0).num(0, 0, 0xFFFFFFFF);
    s.byte(8).byte(1).num(0, 0, 0xFFFFFFFF);
    mFrame(s, plain);
    s.byte(8).byte(1).num(0, 0, 0xFFFFFFFF);
    s.byte(8).byte(2).num(1, 0, 0xFFFFFFFF);
    mFrame(s, plain);
    mFrame(s, compressed);
    put("actions", s);

    s = mPacketSeed(6, 5, 8, 2, false);
    Frame wide = plain;
    wide.colStart = 2;
    wide.columns = 12;
    mFrame(s, wide);
    Frame empty = plain;
    empty.rows = 0;
    mFrame(s, empty);
    put("i420-window", s);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s CAMERA_DIR PACKETS_DIR\n", argv[0]);
        return 2;
    }
    return mCameraCorpus(argv[1]) && mPacketCorpus(argv[2]) ? 0 : 1;
}
