// What the driver offers the port library and capture applications: its one
// video capture stream, the six data ranges, the advertised property set, the
// topology, and the per-format bits-per-pixel and output-code tables.
#pragma once

#include "platform/kernel/kernel.h"
#include "platform/port/stream_class.h"

// Format indices: the order of the data ranges.
constexpr ULONG STREAM_FORMAT_RGB24 = 0;
constexpr ULONG STREAM_FORMAT_RGB555 = 1;
constexpr ULONG STREAM_FORMAT_I420 = 2;
constexpr ULONG STREAM_FORMAT_YV12 = 3;
constexpr ULONG STREAM_FORMAT_UYVY = 4;
constexpr ULONG STREAM_FORMAT_YUY2 = 5;
constexpr ULONG STREAM_FORMAT_COUNT = 6;

ULONG StreamData_GetStreamCount();
ULONG StreamData_GetPropertyTableCount();
// Stream count entries, in stream number order.
const HW_STREAM_INFORMATION *StreamData_GetStreamDataPtr();
const KSPROPERTY_SET *StreamData_GetPropertyTablePtr();
const KSTOPOLOGY *StreamData_GetTopologyPtr();
// Instances a stream may have open at once; 0 for a stream that does not exist.
ULONG StreamData_GetAllowedInstanceCount(ULONG stream);
// Output bits per pixel and output code (four characters as a word) of a
// format; 0 outside the tables.
ULONG StreamData_GetBitsPerPixel(ULONG stream, ULONG formatIndex);
ULONG StreamData_GetFourCC(ULONG stream, ULONG formatIndex);
