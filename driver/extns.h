// Kernel building blocks used by every other module instead of the kernel's own
// objects: request-block queues with a single drainer, stream instance records,
// deferred workers, excluders, context blocks, deadlines, empty-buffer queues.
#pragma once

#include "driver/srb_link.h"
#include "platform/kernel/kernel.h"

// Every allocation of the driver comes from non-paged pool with this tag ("Wdm ").
constexpr ULONG EXTNS_POOL_TAG = 0x206D6457;

// ---- Request-block queue ------------------------------------------------------
// A spin-locked singly linked FIFO threaded through the request blocks, with a
// busy flag that gives exactly one thread at a time the right to drain it: on
// arrival CheckInitialise, then AddIfBusy; on 0 process the request, then Remove
// and process until Remove yields null, which clears busy and ends the drain.
struct EXTNS_SRB_QUEUE {
    ULONG initialised;              // 0 until the first CheckInitialise
    KSPIN_LOCK lock;                // guards head and busy
    _HW_STREAM_REQUEST_BLOCK *head; // first queued request; null when empty
    ULONG busy;                     // 1 while a thread owns the drain
};

// Not locked: the first request to arrive on a queue initialises it, before any
// other thread can reach it.
void Extns_SRBQueue_CheckInitialise(EXTNS_SRB_QUEUE *queue);

// The queue operations below are templates only so that they compile where the
// request block's layout is known (see srb_link.h); Srb is always the port
// library's request block, which the head field pins down.

// Appends at the tail; the caller holds the queue's lock. Walks the list: queues
// hold a handful of requests at most.
template <class Srb> inline void mSRBQueueAppendLocked(EXTNS_SRB_QUEUE *queue, Srb *srb)
{
    *Extns_SRBLink(srb) = nullptr;
    Srb **link = &queue->head;
    while (*link != nullptr)
        link = Extns_SRBLink(*link);
    *link = srb;
}

// 0: the queue was idle and the caller now owns the drain (the request is not
// queued; process it now). 1: another thread is draining; the request is queued
// for it and the caller must return at once.
template <class Srb> inline ULONG Extns_SRBQueue_AddIfBusy(EXTNS_SRB_QUEUE *queue, Srb *srb)
{
    KIRQL oldIrql = KfAcquireSpinLock(&queue->lock);
    ULONG queued = 0;
    if (queue->busy != 1) {
        queue->busy = 1;
    } else {
        mSRBQueueAppendLocked(queue, srb);
        queued = 1;
    }
    KfReleaseSpinLock(&queue->lock, oldIrql);
    return queued;
}

template <class Srb> inline void Extns_SRBQueue_Add(EXTNS_SRB_QUEUE *queue, Srb *srb)
{
    KIRQL oldIrql = KfAcquireSpinLock(&queue->lock);
    mSRBQueueAppendLocked(queue, srb);
    KfReleaseSpinLock(&queue->lock, oldIrql);
}

// Pushes at the front: puts back a request just taken with Remove.
template <class Srb> inline void Extns_SRBQueue_Replace(EXTNS_SRB_QUEUE *queue, Srb *srb)
{
    KIRQL oldIrql = KfAcquireSpinLock(&queue->lock);
    *Extns_SRBLink(srb) = queue->head;
    queue->head = srb;
    KfReleaseSpinLock(&queue->lock, oldIrql);
}

// *srb = the head, unlinked; or null when empty, which also ends the drain.
template <class Srb> inline void Extns_SRBQueue_Remove(EXTNS_SRB_QUEUE *queue, Srb **srb)
{
    KIRQL oldIrql = KfAcquireSpinLock(&queue->lock);
    Srb *head = queue->head;
    if (head != nullptr) {
        queue->head = *Extns_SRBLink(head);
    } else {
        queue->busy = 0;
    }
    KfReleaseSpinLock(&queue->lock, oldIrql);
    *srb = head;
}

// Unlinks srb wherever it is; a request not in the queue is left alone. Neither
// completes nor frees it. 1 when it was unlinked: only then does the caller
// own it (a request out of the queue is being completed by whoever took it).
template <class Srb> inline ULONG Extns_SRBQueue_Delete(EXTNS_SRB_QUEUE *queue, Srb *srb)
{
    KIRQL oldIrql = KfAcquireSpinLock(&queue->lock);
    Srb **link = &queue->head;
    while (*link != nullptr && *link != srb)
        link = Extns_SRBLink(*link);
    const ULONG found = *link == srb && srb != nullptr ? 1 : 0;
    if (found != 0)
        *link = *Extns_SRBLink(srb);
    KfReleaseSpinLock(&queue->lock, oldIrql);
    return found;
}

// ---- Stream instance record -----------------------------------------------------
// The open instances of one stream; the occupied slots are free .. capacity-1.
// No lock: its users are serialised by the device request queue.
struct EXTNS_STREAM_DATA {
    ULONG capacity; // slots
    ULONG free;     // empty slots
    PVOID *slots;   // owned; instance handles (stream extensions), null when empty
};

ULONG Extns_StreamData_Init(EXTNS_STREAM_DATA *record, ULONG capacity);
ULONG Extns_StreamData_AddInstance(EXTNS_STREAM_DATA *record, PVOID handle);
void Extns_StreamData_RemoveInstance(EXTNS_STREAM_DATA *record, PVOID handle);
void Extns_StreamData_Finish(EXTNS_STREAM_DATA *record);

// ---- Worker ------------------------------------------------------------------
// A deferred call: a routine and three values, run once at passive level in a
// system worker thread. The routine receives the worker record and must begin
// with Extns_Worker_Destroy, which hands back the values and frees the record.
struct EXTNS_WORKER {
    WORK_QUEUE_ITEM *workItem; // owned, allocated separately
    PVOID context;             // by convention the device extension
    ULONG_PTR value1;
    ULONG_PTR value2;
};

// Never waits: callable at dispatch level. 0 when memory is short (nothing queued).
ULONG Extns_Worker_Create(PVOID context, ULONG_PTR value1, ULONG_PTR value2, PWORKER_THREAD_ROUTINE routine);
void Extns_Worker_Destroy(EXTNS_WORKER *worker, PVOID *context, ULONG_PTR *value1, ULONG_PTR *value2);

// ---- Excluder ----------------------------------------------------------------
// A non-recursive lock on an auto-reset event, acquired at passive level only.
// A wait that lasts 1.2 s records problem 8 and proceeds as if it held the lock.
struct EXTNS_EXCLUDER {
    ULONG owned;  // 1 while held; informational
    KEVENT event; // SynchronizationEvent, signalled when free
};

void Extns_Excluder_Initialise(EXTNS_EXCLUDER *excluder);
// label: the caller's own name, for diagnosis only.
void Extns_Excluder_Acquire(EXTNS_EXCLUDER *excluder, const char *label);
// Gives up after 1 ms: 1 acquired, 0 not (nothing changed).
ULONG Extns_Excluder_Test_Acquire(EXTNS_EXCLUDER *excluder, const char *label);
void Extns_Excluder_Release(EXTNS_EXCLUDER *excluder);

// ---- Context block -------------------------------------------------------------
// Two words carried through an asynchronous USB request; owned by whoever holds it.
struct EXTNS_CONTEXT {
    ULONG_PTR value1;
    ULONG_PTR value2;
};

// *context = the new block, or null when memory is short.
void Extns_Context_Create(EXTNS_CONTEXT **context, ULONG_PTR value1, ULONG_PTR value2);
void Extns_Context_Write(EXTNS_CONTEXT *context, ULONG_PTR value1, ULONG_PTR value2);
void Extns_Context_Decode(EXTNS_CONTEXT *context, ULONG_PTR *value1, ULONG_PTR *value2);
void Extns_Context_Delete(EXTNS_CONTEXT *context);

// ---- Deadline -------------------------------------------------------------------
// An absolute system time (100-ns units) for polling waits.
void Extns_TimeOut_Set(LARGE_INTEGER *deadline, ULONG milliseconds);
// 1 once the system time is strictly later than the deadline.
ULONG Extns_TimeOut_TimedOut(const LARGE_INTEGER *deadline);

// ---- Empty-buffer queue ------------------------------------------------------------
// A spin-locked FIFO of caller-owned nodes (the free isochronous frame buffers,
// whose first two words serve as the node). The owner initialises the lock and
// sets head to null.
struct EXTNS_EMPTY_BUFFER_NODE {
    EXTNS_EMPTY_BUFFER_NODE *next;
    ULONG_PTR value;
};

struct EXTNS_EMPTY_BUFFER_QUEUE {
    KSPIN_LOCK lock;
    EXTNS_EMPTY_BUFFER_NODE *head;
};

void Extns_EmptyBufferQueue_Add(EXTNS_EMPTY_BUFFER_QUEUE *queue, EXTNS_EMPTY_BUFFER_NODE *node,
                                ULONG_PTR value);
// *node = the oldest node and *value its value, unlinked; both 0 when empty.
void Extns_EmptyBufferQueue_Remove(EXTNS_EMPTY_BUFFER_QUEUE *queue, EXTNS_EMPTY_BUFFER_NODE **node,
                                   ULONG_PTR *value);
