// Where a queued request block keeps its queue link: the first word of the small
// block that its SRBExtension field points to (allocated zeroed, one pointer
// wide, when the request arrives, freed when it completes).
//
// The request block itself is the stream class port library's published
// structure; the queues name it only through this accessor.
#pragma once

#include "platform/kernel/kernel.h"
#include "platform/port/stream_class.h"

template <class Srb> inline Srb **Extns_SRBLink(Srb *srb)
{
    return static_cast<Srb **>(srb->SRBExtension);
}
