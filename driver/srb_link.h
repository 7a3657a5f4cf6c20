// Where a queued request block keeps its queue link: the first word of the small
// block that its SRBExtension field points to (allocated zeroed, one pointer
// wide, when the request arrives, freed when it completes).
//
// The request block itself is the stream class port library's published
// structure. The queues name it only through this accessor, a template so that
// it compiles wherever the request block's layout is visible: at the callers,
// which include the port library's header, and in tests with their own block.
#pragma once

#include "platform/kernel/kernel.h"

struct _HW_STREAM_REQUEST_BLOCK;

template <class Srb> inline Srb **Extns_SRBLink(Srb *srb)
{
    return static_cast<Srb **>(srb->SRBExtension);
}
