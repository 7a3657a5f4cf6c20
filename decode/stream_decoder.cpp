// The stream decoder: walks one camera frame line by line, expands skip codes,
// rebuilds 4:2:0 lines, fills in the lines a decimated frame leaves out, and
// hands every pixel pair to the writers of the chosen output format. Also owns
// the decoder's process-wide state: the line image, its lock and the switches.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "decode/colour_formatter.h"
#include "decode/decode_options.h"
#include "decode/decoder_state.h"
#include "decode/frame_header.h"
#include "decode/row_kernels.h"
#include "decode/yuv2rgb.h"
#include "decode/zm4decode.h"

namespace zm4::decode {

DecoderHeader Header;
uint8_t decimation;
uint16_t hostyuvcols;
uint16_t hostyuvrows;
uint16_t current_row;
uint8_t even_line;
const uint8_t *StreamBufferptr;
uint8_t *HostYUV422;
uint8_t *HostYUVptr;
std::atomic<uint32_t> Decode_ReferencePath{0};

// The row kernels in use: chosen on first use (the resize may run before any
// InitDecode) and again whenever a level is forced.
static std::atomic<const RowKernels *> gRowKernels{nullptr};
static std::atomic<uint32_t> gForcedIsa{Decode_IsaBest};

const RowKernels *RowKernels_Current()
{
    const RowKernels *kernels = gRowKernels.load(std::memory_order_acquire);
    if (kernels == nullptr) {
        kernels = RowKernels_For(gForcedIsa.load(std::memory_order_relaxed));
        gRowKernels.store(kernels, std::memory_order_release);
    }
    return kernels;
}

// One decoder for every camera in the process: the lock serialises
// FormatStream calls (the state above, the writers' positions and the line
// image) and keeps InitDecode and FiniDecode from changing the tables or the
// line image under a running decode.
static std::mutex gDecoderLock;
// InitDecode and FiniDecode come in pairs, one pair per camera; the line
// image lives while any camera's decoder is initialised.
static uint32_t gInitCount;
static uint32_t gForceNoMmx;

static void *mDefaultAllocate(size_t bytes, uint32_t tag)
{
    (void)tag;
    return std::malloc(bytes);
}

static void mDefaultFree(void *block)
{
    std::free(block);
}

static Decode_AllocateRoutine gAllocate = mDefaultAllocate;
static Decode_FreeRoutine gFree = mDefaultFree;
// The line image goes back to the allocator it came from, even if another was
// set in between.
static Decode_FreeRoutine gLineImageFree = mDefaultFree;

void HostYUV422_Copy420PixelPairFromStream()
{
    uint8_t *q = HostYUVptr;
    const uint8_t *above = q - hostyuvcols;
    q[0] = StreamBufferptr[0];
    q[1] = above[1];
    q[2] = StreamBufferptr[1];
    q[3] = above[3];
    StreamBufferptr += 2;
    HostYUVptr += 4;
}

namespace {

// What one call works on: the frame as found in the caller's buffer.
struct FrameWalk {
    const uint8_t *stream; // the caller's buffer
    size_t length;         // and its length: nothing past it is read
    ColourFormatter writer;
    bool hasOutput;
    uint8_t *output;
    // The batched writer, or null when the reference path is forced.
    void (*rowWriter)(const uint8_t *src, uint32_t pairs);
    uint32_t (*countPairs)(const uint8_t *p, uint32_t most);
    // 4:2:0 frames keep their even rows in the line image, where the odd rows
    // take their chroma from; 4:2:2 frames never read it back.
    bool keepLineImage;
    // Per 2 bytes of the last even row of a 4:2:0 frame: 1 where this frame
    // transmitted the pair. The odd row below redraws only skipped pairs
    // under these: the others still show the right chroma.
    uint8_t sentAbove[FrameHeader_MaxLineBytes / 2];
    // Lines may be planned whole (off when the reference path is forced).
    bool planLines;
    // Unchanged rows may be passed over at once (see mPassUnchangedRow).
    bool passUnchanged;
    // The runs of pairs of the line being planned: where each starts in the
    // line's data and in the row (both in pairs' units: bytes and pairs).
    struct Run {
        uint16_t src;
        uint16_t col;
        uint16_t pairs;
    } runs[FrameHeader_MaxLineBytes / 4];
    // The pairs of a line's runs side by side, and converted (8 bytes a pair
    // at most).
    uint8_t gathered[FrameHeader_MaxLineBytes + 16];
    uint8_t converted[FrameHeader_MaxLineBytes * 2];
    // A scattered line's pairs at their places in the row, every slot the
    // camera skipped marked by an odd first byte, for toRGB24Sent; room for
    // the 16-byte copies and marks that reach past the row.
    alignas(64) uint8_t placed[FrameHeader_MaxLineBytes + 32];
    void (*sentKernel)(const uint8_t *src, uint8_t *dst, uint32_t pairs);
    // Where the runs of a planned line go without the writer table: the
    // family's write position (at the row's start once the row is set up) and
    // its row kernel. Null `packed` and `luma`: through the writer table.
    uint8_t **packed;
    uint32_t packedFormat;
    void (*packKernel)(const uint8_t *src, uint8_t *dst, uint32_t pairs);
    uint8_t **luma, **chromaU, **chromaV;
    void (*planarKernel)(const uint8_t *src, uint8_t *y, uint8_t *u, uint8_t *v, uint32_t pairs);
};

// Row faults, kept apart so the one that counts can be chosen at the end.
struct RowFaults {
    bool wrongCount = false;  // data did not use exactly L - 1 bytes, or ran past the row
    bool noMarker = false;    // the line did not end with 0xFD
    bool earlyMarker = false; // 0xFD came before L - 1 bytes of data
};

} // namespace

static size_t mBytesLeft(const FrameWalk &walk)
{
    return walk.length - static_cast<size_t>(StreamBufferptr - walk.stream);
}

static size_t mRowOffset()
{
    return static_cast<size_t>(HostYUVptr - (HostYUV422 + size_t{current_row} * hostyuvcols));
}

// `pairs` full pairs at StreamBufferptr, at the current place in the row:
// into the line image when the frame needs it, noted as transmitted on even
// rows of 4:2:0 frames, and to the writer (batched when allowed).
static void mTakePairs(FrameWalk &walk, uint32_t pairs)
{
    const size_t bytes = 4 * size_t{pairs};
    if (walk.keepLineImage) {
        std::memcpy(HostYUVptr, StreamBufferptr, bytes);
        if (even_line)
            std::memset(walk.sentAbove + mRowOffset() / 2, 1, bytes / 2);
    }
    if (walk.hasOutput) {
        if (walk.rowWriter != nullptr) {
            walk.rowWriter(StreamBufferptr, pairs);
        } else {
            for (uint32_t i = 0; i < pairs; ++i)
                walk.writer.MakePixelPairFrom422(StreamBufferptr + 4 * i);
        }
    }
    StreamBufferptr += bytes;
    HostYUVptr += bytes;
}

// The row above copied into this row, 8 pixels (16 bytes of 4:2:2 data) at a
// time, in the output and in the line image.
static void mCopyRowFromAbove(FrameWalk &walk)
{
    for (uint32_t done = 0; done < hostyuvcols; done += 16) {
        std::memcpy(HostYUVptr, HostYUVptr - hostyuvcols, 16);
        HostYUVptr += 16;
        if (walk.hasOutput)
            walk.writer.Copy8PixelsFromPreviousLine();
    }
}

// Skipped bytes of a 4:2:0 odd row (k bytes of 4:2:2 data from HostYUVptr,
// which this moves past). A skipped pair keeps its luma, but shows the chroma
// of the pair above: where this frame transmitted that pair with other chroma
// than the pair shows, the pair is rebuilt in the line image and drawn again;
// elsewhere the output already shows the right chroma (a pair above that was
// not transmitted did not change) and the pair is skipped as usual. Drawing a pair
// moves the writer as far as skipping its 4 bytes does. Doing this in the odd
// row itself, rather than from the even row above, keeps every row below a
// faulty line untouched. The luma of a redrawn pair comes from the line
// image: with one line image per process, two streams of compressed 4:2:0
// frames decoded in turn would see each other's luma there (the driver asks
// the camera for 4:2:2 only).
static void mSkip420OddPairs(FrameWalk &walk, uint32_t k)
{
    const size_t offset = mRowOffset();
    uint32_t pending = 0; // bytes skipped but not yet passed on to the writer
    uint32_t done = 0;
    for (; done + 4 <= k; done += 4) {
        const size_t unit = (offset + done) / 2;
        uint8_t *q = HostYUVptr + done;
        const uint8_t *above = q - hostyuvcols;
        if ((walk.sentAbove[unit] == 0 && walk.sentAbove[unit + 1] == 0) ||
            (q[1] == above[1] && q[3] == above[3])) {
            pending += 4;
            continue;
        }
        q[1] = above[1];
        q[3] = above[3];
        if (walk.hasOutput) {
            if (pending > 0)
                walk.writer.SkipBytes(static_cast<uint16_t>(pending), even_line);
            pending = 0;
            walk.writer.MakePixelPairFrom422(q);
        }
    }
    pending += k - done;
    if (walk.hasOutput && pending > 0)
        walk.writer.SkipBytes(static_cast<uint16_t>(pending), even_line);
    HostYUVptr += k;
}

// Over-long lines: whatever the declared length says, nothing is written past
// the row's width. Data left over when the row is full stays unread; the
// end-of-line check then meets it instead of the marker, and the line is
// reported as a wrong byte count (1). A skip that reaches past the row is cut
// at the row and reported the same way. A line that ends before its row does
// leaves the rest of the row as a skip would.
//
// Returns false when the caller's buffer ended inside the line (status 3).
static bool mDecodeUncompressed(FrameWalk &walk, int32_t &n, RowFaults &faults)
{
    const bool rebuild420 = Header.subsampling == 0 && even_line == 0;
    uint32_t covered = 0;

    // A whole row of full pairs, exactly as long as declared, in one batch.
    // The planar formats go to their row kernel straight, past the writer
    // table: nothing else writes to this row, so their positions need not
    // move (the next row sets its own).
    if (!rebuild420 && n == static_cast<int32_t>(hostyuvcols) && mBytesLeft(walk) >= hostyuvcols) {
        if (walk.luma != nullptr && !walk.keepLineImage) {
            walk.planarKernel(StreamBufferptr, *walk.luma, even_line ? *walk.chromaU : nullptr, *walk.chromaV,
                              hostyuvcols / 4u);
            StreamBufferptr += hostyuvcols;
            HostYUVptr += hostyuvcols;
        } else {
            mTakePairs(walk, hostyuvcols / 4u);
        }
        n = 0;
        return true;
    }

    while (n > 0) {
        if (covered >= hostyuvcols) {
            faults.wrongCount = true;
            break;
        }
        if (rebuild420) {
            // Four pairs at a time: 8 stream bytes, 16 bytes of the line image.
            if (hostyuvcols - covered < 16) {
                faults.wrongCount = true;
                break;
            }
            if (mBytesLeft(walk) < 8)
                return false;
            for (int i = 0; i < 4; ++i) {
                const uint8_t *rebuilt = HostYUVptr;
                HostYUV422_Copy420PixelPairFromStream();
                if (walk.hasOutput)
                    walk.writer.MakePixelPairFrom420(rebuilt);
            }
            n -= 8;
            covered += 16;
        } else {
            if (mBytesLeft(walk) < 4)
                return false;
            mTakePairs(walk, 1);
            n -= 4;
            covered += 4;
        }
    }
    if (rebuild420 && covered < hostyuvcols)
        mSkip420OddPairs(walk, hostyuvcols - covered);
    return true;
}

static void mPackYUY2(const uint8_t *src, uint8_t *dst)
{
    std::memcpy(dst, src, 4);
}
static void mPackYUY2Run(const uint8_t *src, uint8_t *dst, uint32_t pairs)
{
    std::memcpy(dst, src, 4 * size_t{pairs});
}
static void mPackUYVY(const uint8_t *src, uint8_t *dst)
{
    const uint8_t pair[4] = {src[1], src[0], src[3], src[2]};
    std::memcpy(dst, pair, 4);
}

// The families whose row kernels the planned lines call straight. RGB24
// without the vector form keeps its table writer.
static void mChooseRunTarget(FrameWalk &walk, uint32_t formatCode)
{
    walk.packed = nullptr;
    walk.luma = nullptr;
    walk.sentKernel = nullptr;
    if (!walk.hasOutput || !walk.planLines)
        return;
    const RowKernels *k = RowKernels_Current();
    auto packed = [&](uint8_t **ptr, auto kernel) {
        walk.packed = ptr;
        walk.packedFormat = formatCode;
        walk.packKernel = kernel;
    };
    switch (formatCode) {
    case ZM4_FORMAT_RGB32:
        packed(&RGB32_Ptr, k->toRGB32);
        break;
    case ZM4_FORMAT_RGB24:
        if (walk.writer.MakeRowFrom422 == RGB24_MakeRowFrom422MMX) {
            packed(&RGB24_Ptr, k->toRGB24);
            walk.sentKernel = k->toRGB24Sent;
        }
        break;
    case ZM4_FORMAT_RGB16:
        packed(&RGB16_Ptr, k->toRGB16);
        break;
    case ZM4_FORMAT_YUY2:
        packed(&YUY2_Ptr, mPackYUY2Run);
        break;
    case ZM4_FORMAT_UYVY:
        packed(&UYVY_Ptr, k->toUYVY);
        break;
    case ZM4_FORMAT_I420:
        walk.luma = &I420_YPtr, walk.chromaU = &I420_UPtr, walk.chromaV = &I420_VPtr;
        walk.planarKernel = k->toPlanar;
        break;
    case ZM4_FORMAT_YV12:
        walk.luma = &YV12_YPtr, walk.chromaU = &YV12_UPtr, walk.chromaV = &YV12_VPtr;
        walk.planarKernel = k->toPlanar;
        break;
    default:
        break;
    }
}

// Copies a run's pairs from d to dst. A run of up to four pairs takes one
// 16-byte copy, with no branch on its length (scattered changes make it
// unpredictable), when those bytes lie inside the `readable` bytes from d;
// dst must have room for them, and whatever follows the run gets overwritten.
static inline void mCopyRun(uint8_t *dst, const uint8_t *d, size_t readable, const FrameWalk::Run &run)
{
    if (run.pairs <= 4 && run.src + size_t{16} <= readable)
        std::memcpy(dst, d + run.src, 16);
    else
        std::memcpy(dst, d + run.src, 4 * size_t{run.pairs});
}

// The runs of a planned line into a packed format of Bpp bytes a pair. A
// line of many short runs (scattered changes) into RGB has its pairs gathered
// and converted by the row kernel in one call, and the converted pixels put
// in place: cheaper than a pair converter call each, whose lanes the kernel
// fills 16 or 32 pairs at a time (the YUV orders only move bytes, which is
// cheaper done straight). Otherwise a lone pair goes by the format's pair
// converter, called straight, a longer run by the row kernel (YUY2: a copy).
// Returns Bpp.
template <uint32_t Bpp, void (*Pair)(const uint8_t *, uint8_t *)>
static uint32_t mPackRuns(FrameWalk &walk, const uint8_t *d, size_t readable, uint8_t *base, uint32_t runs)
{
    if (Pair != mPackYUY2 && Pair != mPackUYVY && runs >= 4) {
        // Scattered runs are short and of unpredictable length: a run of up
        // to four pairs is gathered by one 16-byte copy (the next run
        // overwrites what it takes past the run), and a run of one or two
        // pairs put in place by two copies of a pair, the second one at the
        // run's last pair.
        uint8_t *const gathered = walk.gathered;
        uint32_t k = 0;
        for (uint32_t i = 0; i < runs; ++i) {
            const FrameWalk::Run run = walk.runs[i];
            mCopyRun(gathered + 4 * size_t{k}, d, readable, run);
            k += run.pairs;
        }
        walk.packKernel(gathered, walk.converted, k);
        k = 0;
        for (uint32_t i = 0; i < runs; ++i) {
            const FrameWalk::Run run = walk.runs[i];
            uint8_t *dst = base + size_t{run.col} * Bpp;
            const uint8_t *converted = walk.converted + size_t{k} * Bpp;
            if (run.pairs <= 2) {
                const size_t last = size_t{run.pairs - 1u} * Bpp;
                std::memcpy(dst, converted, Bpp);
                std::memcpy(dst + last, converted + last, Bpp);
            } else {
                std::memcpy(dst, converted, size_t{run.pairs} * Bpp);
            }
            k += run.pairs;
        }
        return Bpp;
    }
    for (uint32_t i = 0; i < runs; ++i) {
        const FrameWalk::Run run = walk.runs[i];
        uint8_t *dst = base + size_t{run.col} * Bpp;
        if (run.pairs == 1)
            Pair(d + run.src, dst);
        else if (Pair == mPackYUY2)
            std::memcpy(dst, d + run.src, 4 * size_t{run.pairs});
        else
            walk.packKernel(d + run.src, dst, run.pairs);
    }
    return Bpp;
}

// A line of many runs into RGB24 where the level has toRGB24Sent: when the
// runs are dense (one or more for every six pairs from the first run to the
// end of the last, as when a third of the pairs changed at random), they are
// put at their places in the row, 16 bytes a copy for the short ones (no
// branch on their length, which scattered changes make unpredictable), each
// followed by a mark of the slots the copy reached past; then one kernel
// call converts from the first run to the end of the last and stores only
// the sent pairs, with no second pass over the runs. Sparser lines convert
// fewer pairs gathered (mPackRuns). `readable` bytes from d lie inside the
// caller's buffer. Returns false, having done nothing, for a sparse line.
static bool mPlaceRunsRGB24(FrameWalk &walk, const uint8_t *d, size_t readable, uint8_t *base, uint32_t runs)
{
    uint8_t *const placed = walk.placed;
    const uint32_t first = walk.runs[0].col;
    const uint32_t end = walk.runs[runs - 1].col + walk.runs[runs - 1].pairs;
    if (end - first > 6 * runs)
        return false;
    std::memset(placed + 4 * size_t{first}, 0xFF, 4 * size_t{end - first});
    uint8_t skipped[16];
    std::memset(skipped, 0xFF, sizeof skipped);
    for (uint32_t i = 0; i < runs; ++i) {
        const FrameWalk::Run run = walk.runs[i];
        uint8_t *dst = placed + 4 * size_t{run.col};
        mCopyRun(dst, d, readable, run);
        std::memcpy(dst + 4 * size_t{run.pairs}, skipped, 16);
    }
    walk.sentKernel(placed + 4 * size_t{first}, base + 6 * size_t{first}, end - first);
    return true;
}

// The runs of pairs of a compressed line's data d[0..dataBytes), into out;
// false for a line the item walk must take. Kept out of line, so that its
// few values stay in registers: inlined into the line's other work, the read
// position and the column went through the stack on every item.
__attribute__((noinline)) static bool mFindRuns(FrameWalk::Run *out,
                                                uint32_t (*countPairs)(const uint8_t *, uint32_t),
                                                const uint8_t *d, uint32_t dataBytes, uint32_t rowPairs,
                                                uint32_t &runsOut, uint32_t &colOut)
{
    uint32_t pos = 0, col = 0, runs = 0, refused = 0;
    // A line of nothing but pairs, as every changed row of a moving picture
    // is, is one run: found by the vector search alone.
    if (dataBytes % 4 == 0 && dataBytes / 4 <= rowPairs && countPairs(d, dataBytes / 4) == dataBytes / 4) {
        out[runs++] = {0, 0, static_cast<uint16_t>(dataBytes / 4)};
        pos = dataBytes;
        col = dataBytes / 4;
    }
    while (pos < dataBytes) {
        if (col >= rowPairs)
            return false; // data left over when the row is full
        const uint32_t b = d[pos];
        if (b & 1) {
            // The marker, or a skip of half a pair, makes the line one for the item walk.
            refused |= (b == 0xFD) | ((b - 1) & 3);
            col += (b - 1) >> 2;
            ++pos;
            continue;
        }
        const uint32_t start = pos, first = col;
        pos += 4;
        ++col;
        // Short runs, the common case of scattered changes, are seen without
        // a call; from the fourth pair on, the vector search takes over. The
        // loop also takes a last pair cut short by the line's end (the line
        // is then refused).
        for (uint32_t seen = 1; pos < dataBytes && col < rowPairs && (d[pos] & 1) == 0; ++seen) {
            if (seen == 4) {
                const uint32_t most = std::min((dataBytes - pos) / 4, rowPairs - col);
                const uint32_t more = countPairs(d + pos, most);
                pos += 4 * more;
                col += more;
                continue;
            }
            pos += 4;
            ++col;
        }
        out[runs++] = {static_cast<uint16_t>(start), static_cast<uint16_t>(first),
                       static_cast<uint16_t>(col - first)};
    }
    if (refused != 0 || pos != dataBytes || col > rowPairs)
        return false;
    runsOut = runs;
    colOut = col;
    return true;
}

// A compressed line as the camera sends it: inside the caller's buffer and
// ending in its marker, every item inside the declared data, every skip whole
// pairs, nothing after the row is covered. Such a line is read once into runs
// of pairs, with one bounds check for the line and none per item, and then
// the runs go to the row writer. Returns false, having changed nothing, for
// any other line, which the item walk below then takes with its checks.
static bool mTakePlannedLine(FrameWalk &walk, int32_t &n)
{
    if (n <= 0 || mBytesLeft(walk) <= static_cast<uint32_t>(n))
        return false;
    const uint32_t dataBytes = static_cast<uint32_t>(n);
    const uint8_t *const d = StreamBufferptr;
    if (d[dataBytes] != 0xFD)
        return false;
    uint32_t runs = 0, col = 0;
    if (!mFindRuns(walk.runs, walk.countPairs, d, dataBytes, hostyuvcols / 4u, runs, col))
        return false;

    uint8_t *const rowStart = HostYUV422 + size_t{current_row} * hostyuvcols;
    if (walk.keepLineImage) {
        for (uint32_t i = 0; i < runs; ++i) {
            const FrameWalk::Run run = walk.runs[i];
            std::memcpy(rowStart + 4 * size_t{run.col}, d + run.src, 4 * size_t{run.pairs});
            if (even_line)
                std::memset(walk.sentAbove + 2 * size_t{run.col}, 1, 2 * size_t{run.pairs});
        }
    }
    if (walk.hasOutput && runs > 0) {
        const FrameWalk::Run last = walk.runs[runs - 1];
        const uint32_t end = last.col + last.pairs; // the writer stops after the last pair
        if (walk.packed != nullptr) {
            uint8_t *const base = *walk.packed;
            const size_t readable = mBytesLeft(walk);
            uint32_t bpp = 4;
            switch (walk.packedFormat) {
            case ZM4_FORMAT_RGB32:
                bpp = mPackRuns<8, YUVPixeltoRGB32>(walk, d, readable, base, runs);
                break;
            case ZM4_FORMAT_RGB24:
                if (walk.sentKernel == nullptr || runs < 4 || !mPlaceRunsRGB24(walk, d, readable, base, runs))
                    mPackRuns<6, YUVPixeltoRGB24MMX>(walk, d, readable, base, runs);
                bpp = 6;
                break;
            case ZM4_FORMAT_RGB16:
                bpp = mPackRuns<4, YUVPixeltoRGB16Bytes>(walk, d, readable, base, runs);
                break;
            case ZM4_FORMAT_YUY2:
                bpp = mPackRuns<4, mPackYUY2>(walk, d, readable, base, runs);
                break;
            default:
                bpp = mPackRuns<4, mPackUYVY>(walk, d, readable, base, runs);
                break;
            }
            *walk.packed = base + size_t{end} * bpp;
        } else if (walk.luma != nullptr) {
            uint8_t *const y = *walk.luma, *const u = *walk.chromaU, *const v = *walk.chromaV;
            for (uint32_t i = 0; i < runs; ++i) {
                const FrameWalk::Run run = walk.runs[i];
                const uint8_t *src = d + run.src;
                if (run.pairs == 1) {
                    // A lone pair without a call.
                    y[2 * size_t{run.col}] = src[0];
                    y[2 * size_t{run.col} + 1] = src[2];
                    if (even_line) {
                        u[run.col] = src[1];
                        v[run.col] = src[3];
                    }
                } else {
                    walk.planarKernel(src, y + 2 * size_t{run.col}, even_line ? u + run.col : nullptr,
                                      v + run.col, run.pairs);
                }
            }
            *walk.luma = y + 2 * size_t{end};
            if (even_line) {
                *walk.chromaU = u + end;
                *walk.chromaV = v + end;
            }
        } else {
            uint32_t written = 0; // pairs the writer has moved over
            for (uint32_t i = 0; i < runs; ++i) {
                const FrameWalk::Run run = walk.runs[i];
                if (run.col != written)
                    walk.writer.SkipBytes(static_cast<uint16_t>(4 * (run.col - written)), even_line);
                walk.rowWriter(d + run.src, run.pairs);
                written = run.col + run.pairs;
            }
        }
    }
    StreamBufferptr += dataBytes;
    HostYUVptr = rowStart + 4 * size_t{col};
    n = 0;
    return true;
}

static bool mDecodeCompressed(FrameWalk &walk, int32_t &n, RowFaults &faults)
{
    const bool rebuild420 = Header.subsampling == 0 && even_line == 0;
    if (!rebuild420 && walk.planLines && mTakePlannedLine(walk, n))
        return true;
    uint32_t covered = 0;
    // Skips of whole pairs move every writer as one skip of their sum would,
    // so they are passed on together before the next pair, and not at all at
    // the end of the row (the next row sets its own positions).
    uint32_t pendingSkip = 0;
    while (n > 0 && covered < hostyuvcols) {
        const size_t bytesLeft = mBytesLeft(walk);
        if (bytesLeft < 1)
            return false;
        const uint8_t b = *StreamBufferptr;
        if (b == 0xFD) {
            // Left for the end-of-line check to consume.
            faults.earlyMarker = true;
            n = 0;
            break;
        }
        if (b & 1) {
            ++StreamBufferptr;
            --n;
            uint32_t k = b - 1u;
            if (k > hostyuvcols - covered) {
                k = hostyuvcols - covered;
                faults.wrongCount = true;
            }
            if (rebuild420) {
                mSkip420OddPairs(walk, k);
            } else {
                if (k % 4 == 0) {
                    pendingSkip += k;
                } else if (walk.hasOutput) {
                    if (pendingSkip > 0)
                        walk.writer.SkipBytes(static_cast<uint16_t>(pendingSkip), even_line);
                    pendingSkip = 0;
                    walk.writer.SkipBytes(static_cast<uint16_t>(k), even_line);
                }
                HostYUVptr += k;
            }
            covered += k;
            continue;
        }
        // An odd skip can leave less than a pair of room: the pair would
        // reach past the row.
        if (hostyuvcols - covered < 4) {
            faults.wrongCount = true;
            break;
        }
        if (rebuild420) {
            if (bytesLeft < 2)
                return false;
            const uint8_t *rebuilt = HostYUVptr;
            HostYUV422_Copy420PixelPairFromStream();
            if (walk.hasOutput)
                walk.writer.MakePixelPairFrom422(rebuilt);
            n -= 2;
            covered += 4;
            continue;
        }
        if (bytesLeft < 4)
            return false;
        if (walk.hasOutput && pendingSkip > 0)
            walk.writer.SkipBytes(static_cast<uint16_t>(pendingSkip), even_line);
        pendingSkip = 0;
        // The run of pairs up to the next skip code, taken at once: pairs are
        // taken while data is left (n > 0 before each), inside the row and
        // inside the buffer, exactly as one by one.
        uint32_t most = (static_cast<uint32_t>(n) + 3) / 4;
        most = std::min<uint32_t>(most, (hostyuvcols - covered) / 4);
        most = static_cast<uint32_t>(std::min<size_t>(most, bytesLeft / 4));
        // A lone pair between skip codes is the common case of a frame with
        // scattered changes: seen without a call.
        const uint32_t run =
            most == 1 || (StreamBufferptr[4] & 1) != 0 ? 1 : walk.countPairs(StreamBufferptr, most);
        mTakePairs(walk, run);
        n -= static_cast<int32_t>(4 * run);
        covered += 4 * run;
    }
    if (rebuild420 && covered < hostyuvcols)
        mSkip420OddPairs(walk, hostyuvcols - covered);
    return true;
}

// A row this compressed frame leaves as it was, the common row of a still
// picture: its line is skips that reach the row's end with the last of them,
// then the marker. Nothing is drawn and no writer moves (the next row sets
// its own positions), so the row costs a look at its few bytes instead of a
// line plan. Returns false, having changed nothing, for any other line.
static bool mPassUnchangedRow(FrameWalk &walk)
{
    // A CIF row is two skips of the largest size; a camera may cut it into
    // more.
    constexpr uint32_t kMostSkips = 16;
    const size_t left = mBytesLeft(walk);
    if (left < 4)
        return false;
    const uint8_t *const line = StreamBufferptr;
    const uint32_t lineLength = line[0] | static_cast<uint32_t>(line[1]) << 8;
    if (lineLength < 2 || lineLength > kMostSkips + 1 || left < 2 + size_t{lineLength})
        return false;
    const uint8_t *const d = line + 2;
    const uint32_t dataBytes = lineLength - 1;
    if (d[dataBytes] != 0xFD)
        return false;
    uint32_t covered = 0;
    for (uint32_t i = 0; i < dataBytes; ++i) {
        // Any odd byte but the marker is a skip; with nothing drawn after
        // it, one of half a pair moves nothing that shows. Data left once
        // the row is covered is a wrong count.
        const uint32_t b = d[i];
        if ((b & 1) == 0 || b == 0xFD || covered >= hostyuvcols)
            return false;
        covered += b - 1;
    }
    if (covered != hostyuvcols)
        return false;
    StreamBufferptr = d + dataBytes + 1;
    HostYUVptr = HostYUV422 + size_t{current_row} * hostyuvcols + hostyuvcols;
    return true;
}

// Decodes row current_row; returns its status.
static uint32_t mDecodeRow(FrameWalk &walk, bool decimationEnded)
{
    const uint16_t row = current_row;
    const bool decimatedOddRow = decimation != 0 && even_line == 0;
    // Not the odd rows of decimated frames, nor those the decimation fix-up
    // redraws: they take the row above.
    const bool passable = even_line != 0 || (decimation == 0 && !decimationEnded);
    if (walk.passUnchanged && passable && mPassUnchangedRow(walk))
        return ZM4_FRAME_OK;
    uint8_t *const rowStart = HostYUV422 + size_t{row} * hostyuvcols;

    HostYUVptr = rowStart;
    if (walk.hasOutput)
        walk.writer.SetupBufferPointers(row, walk.output);
    if (walk.keepLineImage && even_line)
        std::memset(walk.sentAbove, 0, hostyuvcols / 2u);

    int32_t n;
    if (decimatedOddRow) {
        n = hostyuvcols; // nothing transmitted: taken as one full line
    } else {
        if (mBytesLeft(walk) < 2)
            return ZM4_FRAME_NO_END_OF_LINE;
        const uint32_t lineLength = StreamBufferptr[0] | static_cast<uint32_t>(StreamBufferptr[1]) << 8;
        StreamBufferptr += 2;
        // A length no line can have is taken as a line without data: the
        // end-of-line check then sees the first data byte.
        n = lineLength > 706 ? 0 : static_cast<int32_t>(lineLength) - 1;
    }

    RowFaults faults;
    if (decimatedOddRow) {
        // The row the camera left out repeats the row above.
        if (n > 0)
            mCopyRowFromAbove(walk);
        n = 0;
    } else {
        const bool ok = Header.compression == 0 ? mDecodeUncompressed(walk, n, faults)
                                                : mDecodeCompressed(walk, n, faults);
        if (!ok)
            return ZM4_FRAME_NO_END_OF_LINE;

        // End of line: resynchronise on the next 0xFD within 704 bytes.
        if (mBytesLeft(walk) < 1)
            return ZM4_FRAME_NO_END_OF_LINE;
        if (*StreamBufferptr++ != 0xFD) {
            faults.noMarker = true;
            for (uint32_t scanned = 0; scanned < FrameHeader_MaxLineBytes; ++scanned) {
                if (mBytesLeft(walk) < 1)
                    return ZM4_FRAME_NO_END_OF_LINE;
                if (*StreamBufferptr++ == 0xFD)
                    break;
            }
        }
        if (n != 0)
            faults.wrongCount = true;
    }

    // First compressed full frame after decimated ones: its odd rows were
    // coded against repeated rows, so they repeat the row above once more.
    if (decimationEnded && even_line == 0 && Header.compression != 0) {
        HostYUVptr = rowStart;
        if (walk.hasOutput)
            walk.writer.SetupBufferPointers(row, walk.output);
        mCopyRowFromAbove(walk);
    }

    if (faults.wrongCount)
        return ZM4_FRAME_BAD_LINE_LENGTH;
    if (faults.noMarker)
        return ZM4_FRAME_NO_END_OF_LINE;
    if (faults.earlyMarker)
        return ZM4_FRAME_EARLY_END_OF_LINE;
    return ZM4_FRAME_OK;
}

// The caller's buffer bounds every read: a frame that runs past it fails with
// 3 (no end-of-line marker within the buffer), a header cut short with 4.
static uint32_t mFormatFrame(uint32_t formatCode, const uint8_t *stream, size_t length, uint8_t *output,
                             uint32_t width, uint32_t height, uint16_t *decimationState)
{
    even_line = 1;
    if (stream == nullptr)
        length = 0;
    const size_t magic = FrameHeader_FindMagic(stream, length);
    if (magic == FrameHeader_Bytes || length - magic < FrameHeader_Bytes)
        return ZM4_FRAME_BAD_HEADER;
    const uint8_t *frame = stream + magic;

    FrameHeaderInfo info;
    FrameHeader_Read(frame, &info);
    Header = {info.compression, info.videoSize, info.decimation, info.subsampling, info.colStart, info.colEnd,
              info.rowStart,    info.rowEnd,    info.byte1E,     info.byte1F,      info.byte28};
    // The line image and the output sizes rest on these: a region larger than
    // the camera's, or one whose columns run backwards, is a bad header even
    // if the caller skipped VerifyStream.
    if (Header.colStart > FrameHeader_MaxLineBytes || Header.colEnd > FrameHeader_MaxLineBytes ||
        Header.rowStart > FrameHeader_MaxRows || Header.rowEnd > FrameHeader_MaxRows ||
        Header.colEnd < Header.colStart)
        return ZM4_FRAME_BAD_HEADER;

    uint16_t unusedState = 0;
    if (decimationState == nullptr)
        decimationState = &unusedState;
    const uint8_t frameDecimation = info.decimation;
    const bool decimationEnded = (*decimationState & 0xFFu) != frameDecimation && frameDecimation == 0;
    *decimationState = frameDecimation;
    decimation = frameDecimation;

    StreamBufferptr = frame + FrameHeader_Bytes;
    hostyuvcols = static_cast<uint16_t>(Header.colEnd - Header.colStart);
    hostyuvrows =
        static_cast<uint16_t>(Header.rowEnd > Header.rowStart ? Header.rowEnd - Header.rowStart : 0);

    // Without the line image (InitDecode not called, or its allocation
    // failed) no format can be supplied: 4:2:0 lines and the decimation
    // fix-up depend on it.
    if (HostYUV422 == nullptr)
        return ZM4_FRAME_BAD_FORMAT;
    static FrameWalk walk; // under the decoder lock; too large for a kernel stack
    walk.stream = stream;
    walk.length = length;
    walk.writer = ColourFormatter{};
    walk.hasOutput = formatCode != ZM4_FORMAT_NONE;
    walk.output = output;
    walk.keepLineImage = Header.subsampling == 0;
    if (walk.hasOutput) {
        if (InitialiseColourFormatter(&walk.writer, formatCode) == 0)
            return ZM4_FRAME_BAD_FORMAT;
        // A missing output buffer matches no size.
        if (output == nullptr || width > 0xFFFF || height > 0xFFFF ||
            walk.writer.SetupBufferDimensions(static_cast<uint16_t>(width), static_cast<uint16_t>(height)) ==
                0)
            return ZM4_FRAME_SIZE_MISMATCH;
    }
    walk.rowWriter =
        Decode_ReferencePath.load(std::memory_order_relaxed) != 0 ? nullptr : walk.writer.MakeRowFrom422;
    walk.countPairs = RowKernels_Current()->countPairs;
    walk.planLines = walk.rowWriter != nullptr || !walk.hasOutput;
    walk.planLines = walk.planLines && Decode_ReferencePath.load(std::memory_order_relaxed) == 0;
    // 4:2:0 frames mark their even rows' sent pairs for the odd rows below,
    // and rebuild those odd rows even where they were skipped.
    walk.passUnchanged = walk.planLines && Header.compression != 0 && !walk.keepLineImage;
    mChooseRunTarget(walk, formatCode);
    if (hostyuvrows == 0)
        return ZM4_FRAME_OK;

    for (uint32_t row = 0; row < hostyuvrows; ++row) {
        current_row = static_cast<uint16_t>(row);
        const uint32_t status = mDecodeRow(walk, decimationEnded);
        // Later rows keep the previous frame's pixels; the caller discards it.
        if (status != ZM4_FRAME_OK)
            return status;
        even_line ^= 1u;
    }
    return ZM4_FRAME_OK;
}

} // namespace zm4::decode

using namespace zm4::decode;

void Decode_ForceReferencePath(uint32_t on)
{
    std::lock_guard<std::mutex> guard(gDecoderLock);
    Decode_ReferencePath.store(on ? 1 : 0);
}

void Decode_ForceNoMmx(uint32_t on)
{
    std::lock_guard<std::mutex> guard(gDecoderLock);
    gForceNoMmx = on ? 1 : 0;
}

void Decode_SetAllocator(Decode_AllocateRoutine allocate, Decode_FreeRoutine release)
{
    std::lock_guard<std::mutex> guard(gDecoderLock);
    gAllocate = allocate != nullptr ? allocate : mDefaultAllocate;
    gFree = release != nullptr ? release : mDefaultFree;
}

// A failed allocation is not reported here (the result says only whether the
// processor has MMX); FormatStream then answers 7 for every frame, since no
// output format can be supplied without the line image. A later InitDecode
// tries the allocation again.
uint32_t InitDecode(void)
{
    std::lock_guard<std::mutex> guard(gDecoderLock);
    ++gInitCount;
    // Switches for comparing paths without rebuilding the caller.
    if (const char *reference = std::getenv("ZM4_DECODE_REFERENCE"); reference != nullptr)
        Decode_ReferencePath.store(std::strcmp(reference, "0") != 0 ? 1 : 0);
    if (const char *isa = std::getenv("ZM4_DECODE_ISA"); isa != nullptr) {
        const uint32_t level = std::strcmp(isa, "avx512") == 0 ? DecodeIsa_Avx512
                               : std::strcmp(isa, "avx2") == 0 ? DecodeIsa_Avx2
                                                               : DecodeIsa_Baseline;
        gForcedIsa.store(level);
        gRowKernels.store(RowKernels_For(level), std::memory_order_release);
    }
    if (HostYUV422 == nullptr) {
        HostYUV422 = static_cast<uint8_t *>(gAllocate(HostYUV422_Bytes, HostYUV422_Tag));
        gLineImageFree = gFree;
        // Skip codes of a first compressed frame then show black-green, not
        // whatever the allocation held.
        if (HostYUV422 != nullptr)
            std::memset(HostYUV422, 0, HostYUV422_Bytes);
    }
    // The tables are a fixed function of nothing and only read after they are
    // filled, and the processor does not change under the process: both are
    // worked out at the first InitDecode only, which saves every later device
    // start 128 KB of table writes and a CPUID.
    static bool tablesReady = false;
    static uint32_t processorHasMmx = 0;
    if (!tablesReady) {
        SetupTables();
        processorHasMmx = CPUcaps();
        tablesReady = true;
    }
    hasmmx = gForceNoMmx ? 0 : processorHasMmx;
    return hasmmx;
}

void FiniDecode(void)
{
    std::lock_guard<std::mutex> guard(gDecoderLock);
    if (gInitCount == 0)
        return;
    if (--gInitCount == 0 && HostYUV422 != nullptr) {
        gLineImageFree(HostYUV422);
        HostYUV422 = nullptr;
    }
}

uint32_t Decode_ForceIsa(uint32_t isa)
{
    std::lock_guard<std::mutex> guard(gDecoderLock);
    gForcedIsa.store(isa);
    const RowKernels *kernels = RowKernels_For(isa);
    gRowKernels.store(kernels, std::memory_order_release);
    return isa > RowKernels_Supported() ? RowKernels_Supported() : isa;
}

uint32_t Decode_SupportedIsa()
{
    return RowKernels_Supported();
}

const char *Decode_IsaName()
{
    return RowKernels_Current()->name;
}

uint32_t FormatStreamBounded(uint32_t formatCode, const uint8_t *stream, size_t length, uint8_t *output,
                             uint32_t width, uint32_t height, uint16_t *decimationState)
{
    std::lock_guard<std::mutex> guard(gDecoderLock);
    return mFormatFrame(formatCode, stream, length, output, width, height, decimationState);
}

uint32_t FormatStream(uint32_t formatCode, const uint8_t *stream, uint8_t *output, uint32_t width,
                      uint32_t height, uint16_t *decimationState)
{
    return FormatStreamBounded(formatCode, stream, ZM4_MAX_STREAM_BYTES, output, width, height,
                               decimationState);
}
