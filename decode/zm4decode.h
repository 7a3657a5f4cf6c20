/*
 * zm4decode: verifies and decodes the raw frames a ZM4 camera sends (64-byte
 * header, length-prefixed 4:2:2 or 4:2:0 lines, optionally compressed) into
 * RGB32, RGB24, RGB16 (5-5-5), I420, YV12, YUY2 or UYVY images.
 * Usable from C and C++; link the static library `zm4decode`.
 */
#ifndef ZM4DECODE_H
#define ZM4DECODE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Header fields of a verified frame, filled by VerifyStream. */
typedef struct FrameHeaderInfo {
    uint8_t compression; /* header byte 0x1C: 1 = lines are compressed */
    uint8_t videoSize;   /* header byte 0x10: 1 = 352 x 288 mode, 0 = 176 x 144 */
    uint8_t decimation;  /* header byte 0x1D: 1 = every second line only */
    uint8_t subsampling; /* header byte 0x11: 1 = 4:2:2, 0 = 4:2:0 */
    uint8_t yuvOrder;    /* header byte 0x12 */
    uint16_t colStart;   /* header byte 0x18 x 16: byte position in a 4:2:2 line */
    uint16_t colEnd;     /* header byte 0x19 x 16 */
    uint16_t rowStart;   /* header byte 0x1A x 4: line number */
    uint16_t rowEnd;     /* header byte 0x1B x 4 */
    uint16_t byte1E;
    uint16_t byte1F;
    uint16_t byte28;
    uint16_t byte29;
    uint16_t byte27;
    uint8_t rawHeader[64]; /* the whole frame header, unchanged */
} FrameHeaderInfo;

/* Where and why a frame failed verification, filled by VerifyStream. */
typedef struct StreamErrorDetails {
    uint32_t code;   /* the status returned */
    uint16_t line;   /* header row number of the line at fault */
    uint32_t length; /* the line length L read for that line */
    uint32_t offset; /* byte offset from the position VerifyStream was given */
} StreamErrorDetails;

/* Status codes shared by VerifyStream and FormatStream. */
#define ZM4_FRAME_OK 0u
#define ZM4_FRAME_BAD_LINE_LENGTH 1u   /* L too large, or data did not use exactly L - 1 bytes */
#define ZM4_FRAME_EARLY_END_OF_LINE 2u /* end-of-line marker before L - 1 data bytes */
#define ZM4_FRAME_NO_END_OF_LINE 3u    /* line does not end with 0xFD */
#define ZM4_FRAME_BAD_HEADER 4u        /* no magic in the first 64 bytes, or a bad header field */
#define ZM4_FRAME_MAGIC_MOVED 5u       /* magic found, but not at the first byte */
#define ZM4_FRAME_NO_END_OF_FRAME 6u   /* end-of-frame marker missing */
#define ZM4_FRAME_BAD_FORMAT 7u        /* output format code not supported */
#define ZM4_FRAME_SIZE_MISMATCH 8u     /* output size does not match the frame */

/* Output format codes (FormatToSupplyFourCC's results). There is no code 5. */
#define ZM4_FORMAT_UNSUPPORTED 0u
#define ZM4_FORMAT_NONE 1u /* walk and check the frame, write nothing */
#define ZM4_FORMAT_RGB32 2u
#define ZM4_FORMAT_RGB24 3u
#define ZM4_FORMAT_RGB16 4u
#define ZM4_FORMAT_I420 6u
#define ZM4_FORMAT_YV12 7u
#define ZM4_FORMAT_YUY2 8u
#define ZM4_FORMAT_UYVY 9u

/* Bytes of an output image of width x height pixels in the format's layout
 * (RGB32 4, RGB24 3, RGB16, YUY2 and UYVY 2 bytes a pixel; I420 and YV12 a
 * luma plane and two quarter-size chroma planes); 0 for a code that writes
 * nothing (ZM4_FORMAT_NONE) or is not supported. */
size_t Decode_ImageBytes(uint32_t formatCode, uint32_t width, uint32_t height);

/* The largest frame: 352 x 288, every line at its longest, 4-byte end marker. */
#define ZM4_MAX_FRAME_BYTES 203684u
/* How far the unbounded forms may read: the magic may lie up to 63 bytes in. */
#define ZM4_MAX_STREAM_BYTES (63u + ZM4_MAX_FRAME_BYTES)

/* Allocates the decoder's line image, fills the conversion tables and detects
 * MMX; returns 1 when the processor has MMX, else 0. Call once before FormatStream.
 * The line image is shared by every caller in the process: each InitDecode is
 * paired with one FiniDecode, and the last FiniDecode frees it. A failed
 * allocation is not reported here: FormatStream then returns
 * ZM4_FRAME_BAD_FORMAT for every frame (nothing can be decoded without the
 * line image), as it does when InitDecode was never called. */
uint32_t InitDecode(void);
/* Frees what InitDecode allocated (see above). */
void FiniDecode(void);
/* Maps a video format's FourCC (little-endian) and bit count to an output format code. */
uint32_t FormatToSupplyFourCC(uint32_t fourcc, uint16_t bitCount);

/* Checks the frame at stream; fills info on success, details on failure. */
uint32_t VerifyStream(const uint8_t *stream, FrameHeaderInfo *info, StreamErrorDetails *details);
/* Decodes one verified frame into output (width x height pixels in the format's
 * layout); output must keep the previous frame's image, as compressed frames only
 * carry what changed. *decimationState is the stream's word, 0 at stream start.
 * Calls are serialised by a process-wide lock: the decoder's state is shared.
 * A line longer than its row (uncompressed data past the row's width, or a
 * skip or pair reaching past it) is cut at the row and reported as
 * ZM4_FRAME_BAD_LINE_LENGTH; nothing is written outside the row. A header whose
 * region exceeds 704 bytes x 288 lines or whose columns run backwards gives
 * ZM4_FRAME_BAD_HEADER; a null output gives ZM4_FRAME_SIZE_MISMATCH. */
uint32_t FormatStream(uint32_t formatCode, const uint8_t *stream, uint8_t *output, uint32_t width,
                      uint32_t height, uint16_t *decimationState);

/* The same, reading nothing outside [stream, stream + length), whatever the
 * bytes say, and writing nothing outside the output image of width x height.
 * No magic within the available bytes, or fewer than 64 header bytes from it,
 * gives ZM4_FRAME_BAD_HEADER (VerifyStreamBounded: offset 64 when no magic was
 * found, else the buffer's length). A frame that runs past the buffer gives
 * ZM4_FRAME_NO_END_OF_FRAME from VerifyStreamBounded, with offset = length
 * (where the buffer ran out) and the row it was reading, and
 * ZM4_FRAME_NO_END_OF_LINE from FormatStreamBounded. The unbounded forms are
 * these with length ZM4_MAX_STREAM_BYTES. */
uint32_t VerifyStreamBounded(const uint8_t *stream, size_t length, FrameHeaderInfo *info,
                             StreamErrorDetails *details);
uint32_t FormatStreamBounded(uint32_t formatCode, const uint8_t *stream, size_t length, uint8_t *output,
                             uint32_t width, uint32_t height, uint16_t *decimationState);

#ifdef __cplusplus
}
#endif

#endif /* ZM4DECODE_H */
