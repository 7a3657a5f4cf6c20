// The stream decoder: walks one camera frame line by line, expands skip codes,
// rebuilds 4:2:0 lines, fills in the lines a decimated frame leaves out, and
// hands every pixel pair to the writers of the chosen output format. Also owns
// the decoder's process-wide state: the line image, its lock and the switches.
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "decode/colour_formatter.h"
#include "decode/decode_options.h"
#include "decode/decoder_state.h"
#include "decode/yuv2rgb.h"
#include "decode/zm4decode.h"

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
    if (HostYUV422 == nullptr) {
        HostYUV422 = static_cast<uint8_t *>(gAllocate(HostYUV422_Bytes, HostYUV422_Tag));
        gLineImageFree = gFree;
        // Skip codes of a first compressed frame then show black-green, not
        // whatever the allocation held.
        if (HostYUV422 != nullptr)
            std::memset(HostYUV422, 0, HostYUV422_Bytes);
    }
    SetupTables();
    hasmmx = gForceNoMmx ? 0 : CPUcaps();
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

// A full pair goes to the writers straight from the stream, and into the line
// image as well, so that the line image always holds the frame the output
// shows: 4:2:0 odd rows take their chroma from it, and the decimation fix-up
// copies its rows.
static void mStorePairInLineImage(const uint8_t *src)
{
    std::memcpy(HostYUVptr, src, 4);
}

namespace {

// What one call works on: the frame as found in the caller's buffer.
struct FrameWalk {
    const uint8_t *stream; // the caller's buffer
    size_t length;         // and its length: nothing past it is read
    ColourFormatter writer;
    bool hasOutput;
    uint8_t *output;
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

// Over-long lines: whatever the declared length says, nothing is written past
// the row's width. Data left over when the row is full stays unread; the
// end-of-line check then meets it instead of the marker, and the line is
// reported as a wrong byte count (1). A skip that reaches past the row is cut
// at the row and reported the same way.
//
// Returns false when the caller's buffer ended inside the line (status 3).
static bool mDecodeUncompressed(FrameWalk &walk, int32_t &n, RowFaults &faults)
{
    const bool oddRow = even_line == 0;
    const bool rebuild420 = Header.subsampling == 0 && oddRow;
    uint32_t covered = 0;

    // Fast path: a whole row of full pairs, exactly as long as declared,
    // converted in one batch.
    if (!rebuild420 && walk.hasOutput && Decode_ReferencePath.load(std::memory_order_relaxed) == 0 &&
        walk.writer.MakeRowFrom422 != nullptr && n == static_cast<int32_t>(hostyuvcols) &&
        mBytesLeft(walk) >= hostyuvcols) {
        std::memcpy(HostYUVptr, StreamBufferptr, hostyuvcols);
        walk.writer.MakeRowFrom422(StreamBufferptr, hostyuvcols / 4u);
        StreamBufferptr += hostyuvcols;
        HostYUVptr += hostyuvcols;
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
            mStorePairInLineImage(StreamBufferptr);
            if (walk.hasOutput)
                walk.writer.MakePixelPairFrom422(StreamBufferptr);
            StreamBufferptr += 4;
            HostYUVptr += 4;
            n -= 4;
            covered += 4;
        }
    }
    return true;
}

// A skipped pair of a 4:2:0 odd row keeps its luma, but its chroma is the
// chroma of the pair above, which this frame may have changed. Pairs whose
// chroma above is unchanged are skipped as usual; the others are rebuilt in
// the line image and drawn again. Drawing a pair moves the writer as far as
// skipping its 4 bytes does, so the positions stay as a plain skip leaves them.
// Doing this in the odd row itself, rather than from the even row above,
// keeps every row below a faulty line untouched.
// The comparison trusts the line image to hold this stream's previous frame:
// with one line image per process, two streams of compressed 4:2:0 frames
// decoded in turn would see each other's chroma (the driver asks the camera
// for 4:2:2 only).
static void mSkip420OddPairs(FrameWalk &walk, uint32_t k)
{
    uint32_t pending = 0; // bytes skipped but not yet passed on to the writer
    uint32_t done = 0;
    for (; done + 4 <= k; done += 4) {
        uint8_t *q = HostYUVptr + done;
        const uint8_t *above = q - hostyuvcols;
        if (q[1] == above[1] && q[3] == above[3]) {
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
}

// How many full pairs start at StreamBufferptr in a compressed row: each
// begins with an even byte, lies in the buffer and in the row, and comes while
// data is left (n > 0 before it, as the pair loop tests). 0 when batching is
// off or the writer has no batched form.
static uint32_t mPairRun(const FrameWalk &walk, int32_t n, uint32_t covered)
{
    if (!walk.hasOutput || walk.writer.MakeRowFrom422 == nullptr ||
        Decode_ReferencePath.load(std::memory_order_relaxed) != 0)
        return 0;
    const size_t bytesLeft = mBytesLeft(walk);
    uint32_t run = 0;
    while (n - static_cast<int32_t>(4 * run) > 0 && covered + 4 * run + 4 <= hostyuvcols &&
           4 * size_t{run} + 4 <= bytesLeft && (StreamBufferptr[4 * run] & 1) == 0)
        ++run;
    return run;
}

static bool mDecodeCompressed(FrameWalk &walk, int32_t &n, RowFaults &faults)
{
    const bool rebuild420 = Header.subsampling == 0 && even_line == 0;
    uint32_t covered = 0;
    while (n > 0 && covered < hostyuvcols) {
        if (mBytesLeft(walk) < 1)
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
            if (rebuild420)
                mSkip420OddPairs(walk, k);
            else if (walk.hasOutput && k > 0)
                walk.writer.SkipBytes(static_cast<uint16_t>(k), even_line);
            HostYUVptr += k;
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
            if (mBytesLeft(walk) < 2)
                return false;
            const uint8_t *rebuilt = HostYUVptr;
            HostYUV422_Copy420PixelPairFromStream();
            if (walk.hasOutput)
                walk.writer.MakePixelPairFrom422(rebuilt);
            n -= 2;
        } else {
            if (mBytesLeft(walk) < 4)
                return false;
            // Fast path: the run of pairs that follows, up to the next skip
            // code, converted in one batch; it takes exactly the pairs the
            // loop would take one by one.
            const uint32_t run = mPairRun(walk, n, covered);
            if (run > 1) {
                std::memcpy(HostYUVptr, StreamBufferptr, 4 * size_t{run});
                walk.writer.MakeRowFrom422(StreamBufferptr, run);
                StreamBufferptr += 4 * size_t{run};
                HostYUVptr += 4 * size_t{run};
                n -= static_cast<int32_t>(4 * run);
                covered += 4 * run;
                continue;
            }
            mStorePairInLineImage(StreamBufferptr);
            if (walk.hasOutput)
                walk.writer.MakePixelPairFrom422(StreamBufferptr);
            StreamBufferptr += 4;
            HostYUVptr += 4;
            n -= 4;
        }
        covered += 4;
    }
    return true;
}

// Decodes row current_row; returns its status.
static uint32_t mDecodeRow(FrameWalk &walk, bool decimationEnded)
{
    const uint16_t row = current_row;
    const bool decimatedOddRow = decimation != 0 && even_line == 0;
    uint8_t *const rowStart = HostYUV422 + size_t{row} * hostyuvcols;

    HostYUVptr = rowStart;
    if (walk.hasOutput)
        walk.writer.SetupBufferPointers(row, walk.output);

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
            for (uint32_t scanned = 0; scanned < Decode_MaxLineBytes; ++scanned) {
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
    size_t magic = 0;
    while (magic < Decode_HeaderBytes &&
           !(magic + 1 < length && stream[magic] == 0x19 && stream[magic + 1] == 0x68))
        ++magic;
    if (magic == Decode_HeaderBytes || length - magic < Decode_HeaderBytes)
        return ZM4_FRAME_BAD_HEADER;
    const uint8_t *frame = stream + magic;

    Header.compression = frame[0x1C];
    Header.videoSize = frame[0x10];
    Header.decimation = frame[0x1D];
    Header.subsampling = frame[0x11];
    Header.colStart = static_cast<uint16_t>(frame[0x18] * 16);
    Header.colEnd = static_cast<uint16_t>(frame[0x19] * 16);
    Header.rowStart = static_cast<uint16_t>(frame[0x1A] * 4);
    Header.rowEnd = static_cast<uint16_t>(frame[0x1B] * 4);
    Header.byte1E = frame[0x1E];
    Header.byte1F = frame[0x1F];
    Header.byte28 = frame[0x28];
    // The line image and the output sizes rest on these: a region larger than
    // the camera's, or one whose columns run backwards, is a bad header even
    // if the caller skipped VerifyStream.
    if (Header.colStart > Decode_MaxLineBytes || Header.colEnd > Decode_MaxLineBytes ||
        Header.rowStart > Decode_MaxRows || Header.rowEnd > Decode_MaxRows || Header.colEnd < Header.colStart)
        return ZM4_FRAME_BAD_HEADER;

    uint16_t unusedState = 0;
    if (decimationState == nullptr)
        decimationState = &unusedState;
    const uint8_t frameDecimation = frame[0x1D];
    const bool decimationEnded = (*decimationState & 0xFFu) != frameDecimation && frameDecimation == 0;
    *decimationState = frameDecimation;
    decimation = frameDecimation;

    StreamBufferptr = frame + Decode_HeaderBytes;
    hostyuvcols = static_cast<uint16_t>(Header.colEnd - Header.colStart);
    hostyuvrows =
        static_cast<uint16_t>(Header.rowEnd > Header.rowStart ? Header.rowEnd - Header.rowStart : 0);

    // Without the line image (InitDecode not called, or its allocation
    // failed) no format can be supplied: 4:2:0 lines and the decimation
    // fix-up depend on it.
    if (HostYUV422 == nullptr)
        return ZM4_FRAME_BAD_FORMAT;
    FrameWalk walk{stream, length, ColourFormatter{}, formatCode != ZM4_FORMAT_NONE, output};
    if (walk.hasOutput) {
        if (InitialiseColourFormatter(&walk.writer, formatCode) == 0)
            return ZM4_FRAME_BAD_FORMAT;
        // A missing output buffer matches no size.
        if (output == nullptr || width > 0xFFFF || height > 0xFFFF ||
            walk.writer.SetupBufferDimensions(static_cast<uint16_t>(width), static_cast<uint16_t>(height)) ==
                0)
            return ZM4_FRAME_SIZE_MISMATCH;
    }
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
