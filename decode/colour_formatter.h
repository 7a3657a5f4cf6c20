// The colour formatter: one table of writer operations per output format, and
// the writer families behind it. The stream decoder calls these per row, per
// pixel pair, per skipped run and per 8 copied pixels; each family keeps its
// own write positions as process-wide state under the decoder lock.
#pragma once

#include <cstdint>

namespace zm4::decode {

struct ColourFormatter {
    // 1 when the caller's width x height matches this frame, else 0.
    uint32_t (*SetupBufferDimensions)(uint16_t width, uint16_t height);
    // Write positions to the first pixel of row (0 = the frame's first row).
    void (*SetupBufferPointers)(uint16_t row, uint8_t *output);
    void (*Copy8PixelsFromPreviousLine)();
    void (*MakePixelPairFrom422)(const uint8_t *src);
    void (*MakePixelPairFrom420)(const uint8_t *src);
    void (*SkipBytes)(uint16_t k, uint8_t evenLine);
    // Optional batched form of MakePixelPairFrom422 for `pairs` consecutive
    // pairs of a row that needs no neighbour-row writes; same bytes as calling
    // the pair writer once per pair. nullptr when the family has none.
    void (*MakeRowFrom422)(const uint8_t *src, uint32_t pairs);
};

uint32_t InitialiseColourFormatter(ColourFormatter *formatter, uint32_t formatCode);

// The RGB families store the image bottom-up: the frame's first row is the
// last row of the buffer, so the row above lies one stride higher in memory.
constexpr uint32_t RGB32_Inverted = 1;
constexpr uint32_t RGB24_Inverted = 1;
constexpr uint32_t RGB16_Inverted = 1;

// Family state (positions are rebuilt per frame and per row).
extern uint16_t RGB32_Cols, RGB32_Rows;
extern int32_t RGB32_PreviousLineOffset;
extern uint8_t *RGB32_Ptr;
extern uint16_t RGB24_Cols, RGB24_Rows;
extern int32_t RGB24_PreviousLineOffset;
extern uint8_t *RGB24_Ptr;
extern uint16_t RGB16_Cols, RGB16_Rows;
extern int32_t RGB16_PreviousLineOffset;
extern uint8_t *RGB16_Ptr;
extern uint16_t I420_Cols, I420_Rows;
extern int32_t I420_PreviousLineOffsetY, I420_PreviousLineOffsetUV;
extern uint32_t I420_UOffset, I420_VOffset;
extern uint8_t *I420_YPtr, *I420_UPtr, *I420_VPtr;
extern uint16_t YV12_Cols, YV12_Rows;
extern int32_t YV12_PreviousLineOffsetY, YV12_PreviousLineOffsetUV;
extern uint32_t YV12_UOffset, YV12_VOffset;
extern uint8_t *YV12_YPtr, *YV12_UPtr, *YV12_VPtr;
extern uint16_t YUY2_Cols, YUY2_Rows;
extern int32_t YUY2_PreviousLineOffset;
extern uint8_t *YUY2_Ptr;
extern uint16_t UYVY_Cols, UYVY_Rows;
extern int32_t UYVY_PreviousLineOffset;
extern uint8_t *UYVY_Ptr;

// The families' operations, named family_operation.
#define ZM4_DECLARE_WRITER_FAMILY(F)                                                                         \
    uint32_t F##_SetupBufferDimensions(uint16_t width, uint16_t height);                                     \
    void F##_SetupBufferPointers(uint16_t row, uint8_t *output);                                             \
    void F##_Copy8PixelsFromPreviousLine();                                                                  \
    void F##_MakePixelPairFrom420(const uint8_t *src);                                                       \
    void F##_SkipBytes(uint16_t k, uint8_t evenLine)

ZM4_DECLARE_WRITER_FAMILY(RGB32);
ZM4_DECLARE_WRITER_FAMILY(RGB24);
ZM4_DECLARE_WRITER_FAMILY(RGB16);
ZM4_DECLARE_WRITER_FAMILY(I420);
ZM4_DECLARE_WRITER_FAMILY(YV12);
ZM4_DECLARE_WRITER_FAMILY(YUY2);
ZM4_DECLARE_WRITER_FAMILY(UYVY);
#undef ZM4_DECLARE_WRITER_FAMILY

void RGB32_MakePixelPairFrom422(const uint8_t *src);
void RGB24_MakePixelPairFrom422MMX(const uint8_t *src);
void RGB24_MakePixelPairFrom422Table(const uint8_t *src);
void RGB24_MakeRowFrom422MMX(const uint8_t *src, uint32_t pairs);
void RGB24_MakeRowFrom422Table(const uint8_t *src, uint32_t pairs);
void RGB32_MakeRowFrom422(const uint8_t *src, uint32_t pairs);
void RGB16_MakeRowFrom422(const uint8_t *src, uint32_t pairs);
void I420_MakeRowFrom422(const uint8_t *src, uint32_t pairs);
void YV12_MakeRowFrom422(const uint8_t *src, uint32_t pairs);
void YUY2_MakeRowFrom422(const uint8_t *src, uint32_t pairs);
void UYVY_MakeRowFrom422(const uint8_t *src, uint32_t pairs);
void RGB16_MakePixelPairFrom422(const uint8_t *src);
void I420_MakePixelPairFrom422(const uint8_t *src);
void YV12_MakePixelPairFrom422(const uint8_t *src);
void YUY2_MakePixelPairFrom422(const uint8_t *src);
void UYVY_MakePixelPairFrom422(const uint8_t *src);

} // namespace zm4::decode
