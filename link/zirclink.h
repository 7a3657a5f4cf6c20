// The message link: carries each camera command to the camera as one vendor
// control transfer, checks first that the camera answers, retries, counts
// consecutive failures and latches a camera fault on a halted data write.
#pragma once

#include "platform/kernel/kernel.h"

struct DEVICE_EXTENSION;

void ZIRCLink_Initialise(DEVICE_EXTENSION *device);
// Clears a latched camera fault ("CameraFault" = 0) and the debug problem record.
void ZIRCLink_Start(DEVICE_EXTENSION *device);
// params: the four parameter bytes, or null for all 0. read non-zero: the data
// stage comes from the camera. 1 when the message was carried out, else 0.
ULONG ZIRCLink_TransferMessage(DEVICE_EXTENSION *device, UCHAR module, UCHAR command, const UCHAR *params,
                               ULONG read, USHORT dataLength, UCHAR *data);
