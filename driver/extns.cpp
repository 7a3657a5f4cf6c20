// Kernel building blocks: everything but the request-block queue operations,
// which live in the header beside the request block's link accessor.

#include "driver/extns.h"

#include "driver/debug.h"

// ---- Request-block queue ------------------------------------------------------

void Extns_SRBQueue_CheckInitialise(EXTNS_SRB_QUEUE *queue)
{
    if (queue->initialised != 0)
        return;
    queue->head = nullptr;
    KeInitializeSpinLock(&queue->lock);
    queue->initialised = 1;
    queue->busy = 0;
}

// ---- Stream instance record -----------------------------------------------------

// RemoveInstance marks "not found" with this index, so capacities stay below it.
constexpr ULONG kNoSlot = 0xFFFF;

ULONG Extns_StreamData_Init(EXTNS_STREAM_DATA *record, ULONG capacity)
{
    record->slots = nullptr;
    // A record with no slot, or too many for the not-found marker, is refused
    // as empty rather than half built.
    if (capacity == 0 || capacity >= kNoSlot) {
        record->capacity = 0;
        record->free = 0;
        return 0;
    }
    record->capacity = capacity;
    record->free = capacity;
    auto *slots =
        static_cast<PVOID *>(ExAllocatePoolWithTag(NonPagedPool, capacity * sizeof(PVOID), EXTNS_POOL_TAG));
    if (slots == nullptr)
        return 0;
    for (ULONG i = 0; i < capacity; ++i)
        slots[i] = nullptr;
    record->slots = slots;
    return 1;
}

ULONG Extns_StreamData_AddInstance(EXTNS_STREAM_DATA *record, PVOID handle)
{
    if (record->free == 0 || record->slots == nullptr)
        return 0;
    record->free -= 1;
    record->slots[record->free] = handle;
    return 1;
}

void Extns_StreamData_RemoveInstance(EXTNS_STREAM_DATA *record, PVOID handle)
{
    // A null handle would match an empty slot.
    if (handle == nullptr || record->slots == nullptr)
        return;
    ULONG index = kNoSlot;
    for (ULONG i = 0; i < record->capacity; ++i) {
        if (record->slots[i] == handle)
            index = i;
    }
    if (index == kNoSlot || index < record->free)
        return;
    // The most recently added instance fills the hole.
    record->slots[index] = record->slots[record->free];
    record->slots[record->free] = nullptr;
    record->free += 1;
}

void Extns_StreamData_Finish(EXTNS_STREAM_DATA *record)
{
    if (record->slots != nullptr)
        ExFreePool(record->slots);
    record->slots = nullptr;
}

// ---- Worker ------------------------------------------------------------------

ULONG Extns_Worker_Create(PVOID context, ULONG_PTR value1, ULONG_PTR value2, PWORKER_THREAD_ROUTINE routine)
{
    auto *worker = static_cast<EXTNS_WORKER *>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(EXTNS_WORKER), EXTNS_POOL_TAG));
    auto *item = static_cast<WORK_QUEUE_ITEM *>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(WORK_QUEUE_ITEM), EXTNS_POOL_TAG));
    if (worker == nullptr || item == nullptr) {
        if (worker != nullptr)
            ExFreePool(worker);
        if (item != nullptr)
            ExFreePool(item);
        return 0;
    }
    worker->workItem = item;
    worker->context = context;
    worker->value1 = value1;
    worker->value2 = value2;
    ExInitializeWorkItem(item, routine, worker);
    item->List.Blink = nullptr;
    ExQueueWorkItem(item, CriticalWorkQueue);
    return 1;
}

void Extns_Worker_Destroy(EXTNS_WORKER *worker, PVOID *context, ULONG_PTR *value1, ULONG_PTR *value2)
{
    *context = worker->context;
    *value1 = worker->value1;
    *value2 = worker->value2;
    ExFreePool(worker->workItem);
    ExFreePool(worker);
}

// ---- Excluder ----------------------------------------------------------------

// Long enough for any camera exchange; a holder that keeps it longer is stuck.
constexpr LONGLONG kExcluderWait100ns = -12000000;  // 1.2 s, relative
constexpr LONGLONG kExcluderTestWait100ns = -10000; // 1 ms, relative

void Extns_Excluder_Initialise(EXTNS_EXCLUDER *excluder)
{
    // A signalled auto-reset event: the verifier checks it as a lock of its own
    // until its owner names its class ("frame excluder", ...).
    KeInitializeEvent(&excluder->event, SynchronizationEvent, TRUE);
    excluder->owned = 0;
}

void Extns_Excluder_Acquire(EXTNS_EXCLUDER *excluder, const char *label)
{
    (void)label; // the caller's name, for whoever debugs a stuck lock
    LARGE_INTEGER timeout;
    timeout.QuadPart = kExcluderWait100ns;
    NTSTATUS status = KeWaitForSingleObject(&excluder->event, Executive, KernelMode, FALSE, &timeout);
    // A holder stuck for 1.2 s must not hang the caller too: note it and go on.
    if (status == STATUS_TIMEOUT)
        Debug_ProblemSet(DEBUG_PROBLEM_EXCLUDER_TIMEOUT, 1);
    // After a time-out the late holder and this caller both write owned: one
    // whole word each, the last writer wins.
    if (ReadNoFence(&excluder->owned) == 0)
        WriteNoFence(&excluder->owned, 1);
}

ULONG Extns_Excluder_Test_Acquire(EXTNS_EXCLUDER *excluder, const char *label)
{
    (void)label;
    LARGE_INTEGER timeout;
    timeout.QuadPart = kExcluderTestWait100ns;
    NTSTATUS status = KeWaitForSingleObject(&excluder->event, Executive, KernelMode, FALSE, &timeout);
    if (status == STATUS_TIMEOUT)
        return 0;
    WriteNoFence(&excluder->owned, 1);
    return 1;
}

void Extns_Excluder_Release(EXTNS_EXCLUDER *excluder)
{
    WriteNoFence(&excluder->owned, 0);
    KeSetEvent(&excluder->event, 0, FALSE);
}

// ---- Context block -------------------------------------------------------------

void Extns_Context_Create(EXTNS_CONTEXT **context, ULONG_PTR value1, ULONG_PTR value2)
{
    auto *block = static_cast<EXTNS_CONTEXT *>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(EXTNS_CONTEXT), EXTNS_POOL_TAG));
    *context = block;
    if (block == nullptr)
        return;
    block->value1 = value1;
    block->value2 = value2;
}

void Extns_Context_Write(EXTNS_CONTEXT *context, ULONG_PTR value1, ULONG_PTR value2)
{
    if (context == nullptr)
        return;
    context->value1 = value1;
    context->value2 = value2;
}

void Extns_Context_Decode(EXTNS_CONTEXT *context, ULONG_PTR *value1, ULONG_PTR *value2)
{
    if (context == nullptr)
        return;
    *value1 = context->value1;
    *value2 = context->value2;
}

void Extns_Context_Delete(EXTNS_CONTEXT *context)
{
    if (context != nullptr)
        ExFreePool(context);
}

// ---- Deadline -------------------------------------------------------------------

void Extns_TimeOut_Set(LARGE_INTEGER *deadline, ULONG milliseconds)
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    // The product is 32-bit: exact up to 429,496 ms, which covers every wait.
    ULONG duration = milliseconds * 10000u;
    deadline->QuadPart = static_cast<LONGLONG>(static_cast<ULONGLONG>(now.QuadPart) + duration);
}

ULONG Extns_TimeOut_TimedOut(const LARGE_INTEGER *deadline)
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    if (now.u.HighPart != deadline->u.HighPart)
        return now.u.HighPart > deadline->u.HighPart ? 1 : 0;
    return now.u.LowPart > deadline->u.LowPart ? 1 : 0;
}

// ---- Empty-buffer queue ------------------------------------------------------------

void Extns_EmptyBufferQueue_Add(EXTNS_EMPTY_BUFFER_QUEUE *queue, EXTNS_EMPTY_BUFFER_NODE *node,
                                ULONG_PTR value)
{
    KIRQL oldIrql = KfAcquireSpinLock(&queue->lock);
    node->next = nullptr;
    node->value = value;
    EXTNS_EMPTY_BUFFER_NODE **link = &queue->head;
    while (*link != nullptr)
        link = &(*link)->next;
    *link = node;
    KfReleaseSpinLock(&queue->lock, oldIrql);
}

void Extns_EmptyBufferQueue_Remove(EXTNS_EMPTY_BUFFER_QUEUE *queue, EXTNS_EMPTY_BUFFER_NODE **node,
                                   ULONG_PTR *value)
{
    KIRQL oldIrql = KfAcquireSpinLock(&queue->lock);
    EXTNS_EMPTY_BUFFER_NODE *head = queue->head;
    ULONG_PTR headValue = 0;
    if (head != nullptr) {
        queue->head = head->next;
        headValue = head->value;
    }
    KfReleaseSpinLock(&queue->lock, oldIrql);
    *node = head;
    *value = headValue;
}
