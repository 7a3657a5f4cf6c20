// Format matching: which offered format a requested format is, and the data
// intersection that builds a concrete format from an application's range.
#pragma once

#include "platform/kernel/kernel.h"
#include "platform/port/stream_class.h"

// 1 and *index = the first range of the stream that accepts the format (a
// KSDATAFORMAT followed by a KS_VIDEOINFOHEADER), else 0.
ULONG StreamFormat_GetFormatIndex(const KSDATAFORMAT *format, ULONG stream, ULONG *index);
// Builds the format for the caller's range into the caller's buffer; *byteCount
// receives the bytes written (the format size alone for a 4-byte buffer).
NTSTATUS StreamFormat_GetFormatFromRange(const STREAM_DATA_INTERSECT_INFO *info, ULONG *byteCount);
// SRB_GET_DATA_INTERSECTION.
void Stream_GetDataIntersection(HW_STREAM_REQUEST_BLOCK *srb);
