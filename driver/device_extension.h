// The device extension: the one zero-filled record per camera that the port
// library hands to every request and callback. Each group below belongs to one
// subsystem; the groups stay in this order.
#pragma once

#include "camera/camera.h"
#include "driver/extns.h"
#include "platform/kernel/kernel.h"
#include "platform/usb/usb.h"
#include "settings/settings_record.h"

struct DEVICE_EXTENSION {
    // Physical device object: the device object below the driver, to which every
    // USB request goes. Owner: the device object (device initialise).
    DEVICE_OBJECT *PhysicalDeviceObject;

    // Status-check flag of camera control, kept directly after the physical
    // device object: 1 when the camera's status is read after every command.
    ULONG statusCheck;

    // Request queues (device, stream control, stream data), timer running, tick
    // count. Owner: driver entry and request dispatch. Each queue holds the
    // requests of its kind that arrived while another was being processed.
    EXTNS_SRB_QUEUE deviceQueue;
    EXTNS_SRB_QUEUE streamControlQueue; // shared by all streams
    EXTNS_SRB_QUEUE streamDataQueue;    // shared by all streams
    ULONG timerRunning;                 // 1 while the timer reschedules itself; 0 asks it to stop
    ULONG tickCount;                    // timer callbacks so far; driver time is tickCount x 100
    // One spare link word each for the device and the stream control queue, and
    // whether a request holds it: the link of a request that must not be
    // refused when the pool has no link block for it (see entry.cpp).
    PVOID spareLink[2];
    LONG spareLinkInUse[2];

    // Stream state. Owner: the video stream object. The format and open count
    // change only in device and stream control requests; the pending queues are
    // shared with frame assembly, the watchdog and the filler worker and are only
    // touched through their spin-locked operations.
    EXTNS_STREAM_DATA **streamInstances; // owned: one instance record per stream
    EXTNS_SRB_QUEUE *pendingReadQueues;  // owned: one per stream, reads waiting for a frame
    LONG runningCount;                   // instances between PAUSE and STOP (interlocked)
    ULONG openCount;                     // open instances sharing the current format
    LONG streamWidth;                    // biWidth of the current format
    LONG streamHeight;                   // biHeight of the current format
    ULONG streamFormatIndex;             // index of the current format
    ULONG lastFrameTime;                 // driver time of the last frame, request look-up or start

    // Frame pacing state. Owner: stream timing. Millisecond times of the
    // accurate clock, compared unsigned.
    ULONG pacingActive;     // 1 once a paced read has been served since the last reset
    ULONG previousCallTime; // time of the previous timing decision
    ULONG nextDueTime;      // when the next paced frame is due
    ULONG earliestTime;     // next due - interval: frames at or before it are held

    // USB interface state. Owner: the USB interface.
    DEVICE_OBJECT *usbPhysicalDeviceObject;            // copy taken at initialise; every request goes to it
    USB_CONFIGURATION_DESCRIPTOR *usbConfigDescriptor; // owned pool copy (wTotalLength bytes), or null
    EXTNS_EXCLUDER usbRequestLock;                     // serialises selections and vendor requests
    ULONG usbAlternateSetting;                         // last setting selected successfully
    USBD_INTERFACE_INFORMATION *usbInterfaceInfo;      // owned copy from the last selection, or null
    USBD_CONFIGURATION_HANDLE usbConfigHandle;         // of the last successful selection
    ULONG usbDeviceHalted;                             // 1 once a request failed with a halted endpoint

    // Message link state. Owner: the message link.
    EXTNS_EXCLUDER linkLock; // one message at a time
    ULONG linkFailures;      // consecutive failed messages
    ULONG linkCameraFault;   // 1 while the camera fault is latched: nothing is sent

    // Settings record. Owner: the property manager.
    SETTINGS_RECORD settings;

    // Isochronous transfer state. Owner: isochronous transfer. The counters are
    // changed with interlocked operations because the crisis and the stop poll
    // them without the spin lock; the flags that the watchdog sets from the
    // timer are read and written with interlocked operations as well.
    LONG xferRequestsInFlight;   // handed to the bus driver and not yet completed
    ULONG xferRunning;           // 1 while completions may resubmit; camera control reads it too
    LONG xferFailedRequests;     // completions with a failed status (diagnostic)
    ULONG xferCrisisPending;     // a failed request, a request without good packets or a stall
    ULONG xferConsecutiveCrises; // crises since the last good packet
    LONG xferCompletedRequests;  // all completions (diagnostic)
    LONG xferFailedPackets;      // packets with a failed status (diagnostic)
    ULONG xferBufferSize;        // capacity of the frame buffer being filled
    ULONG xferBufferFill;        // bytes copied into it so far
    UCHAR *xferCurrentBuffer;    // the frame buffer being filled, or null
    EXTNS_EMPTY_BUFFER_QUEUE xferEmptyBuffers; // frame buffers free for filling, value = size
    ULONG xferLastGoodPacketTime;              // driver ms; 0xFFFFFFFF after initialise
    KSPIN_LOCK xferSpinLock;                   // completions, and the crisis while it resubmits
    EXTNS_EXCLUDER xferExcluder;               // serialises the crisis and the stop
    ULONG xferPacketsPerRequest;               // "XferPackets"
    ULONG xferRequestsPerStream;               // "XferIRPs"

    // Frame assembly state. Owner: frame assembly. Everything but the
    // full-frame flag is used under the frame excluder; the flag is also set by
    // the transfer's warning at dispatch level.
    UCHAR *frameDecodeBuffer;     // last decoded image (a quarter frame when upscaling), owned
    UCHAR *frameUpscaleBuffer;    // the doubled image when upscaling, owned
    ULONG frameSize;              // bytes of one output frame
    USHORT frameDecimationState;  // the decoder's word that lasts across frames
    ULONG frameOutputFormat;      // output format code of the stream's format
    EXTNS_EXCLUDER frameExcluder; // frame work items, the held-frame copy and finish
    ULONG frameFullFrame;         // 1: compressed frames wait for an uncompressed one
    ULONG frameUpscale;           // 1: output above 352 x 288, camera at half size
    ULONG frameHeld;              // 1: the output buffer holds a frame no read has taken
    ULONG frameBitsPerPixel;      // of the stream's format, fixed from start to stop

    // Capture control state. Owner: capture control. Plain flags written without
    // a lock by the frame work items, the watchdog and the retry.
    ULONG captureGrabOutstanding;  // a grab was issued and its frame not uploaded yet
    ULONG captureOnDemand;         // 1: grab only when a frame is wanted
    ULONG captureGrabTime;         // accurate ms of the last grab
    ULONG captureLastDeliveryTime; // accurate ms of the last frame taken by a read
    ULONG captureRetryHappened;    // the next upload sets the full-frame flag
    ULONG captureNextAutoFRTime;   // driver ms when the automatic frame rate runs next
    ULONG captureRetrying;         // the retry work item is running

    // Camera control state, including the status-check flag `statusCheck`, which
    // lies directly after the physical device object. Owner: the camera record,
    // settings, exposure, background thread and compression modules.
    CAMERA_RECORD camera;
};
