// The kernel as the driver sees it: the published types, status codes and
// routines of pool, spin locks, events, work items, system time, interlocked
// counters and registry. The host implements them in user space (see host.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// ---- Basic types -----------------------------------------------------------
using UCHAR = uint8_t;
using USHORT = uint16_t;
using ULONG = uint32_t;
using LONG = int32_t;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using BOOLEAN = uint8_t;
using KIRQL = uint8_t;
using KPRIORITY = LONG;
using NTSTATUS = int32_t;
using ACCESS_MASK = ULONG;
using ULONG_PTR = uintptr_t;
using PVOID = void *;
using HANDLE = void *;
using WCHAR = char16_t; // registry names are 16-bit wide strings: u"Bandwidth"
using PCWSTR = const WCHAR *;

union LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

// ---- Status codes ----------------------------------------------------------
constexpr NTSTATUS STATUS_SUCCESS = 0x00000000;
constexpr NTSTATUS STATUS_TIMEOUT = 0x00000102;
constexpr NTSTATUS STATUS_PENDING = 0x00000103;
constexpr NTSTATUS STATUS_MORE_PROCESSING_REQUIRED = static_cast<NTSTATUS>(0xC0000016);
constexpr NTSTATUS STATUS_UNSUCCESSFUL = static_cast<NTSTATUS>(0xC0000001);
constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = static_cast<NTSTATUS>(0xC0000002);
constexpr NTSTATUS STATUS_INVALID_PARAMETER = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS STATUS_NO_MEMORY = static_cast<NTSTATUS>(0xC0000017);
constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = static_cast<NTSTATUS>(0xC0000023);
constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = static_cast<NTSTATUS>(0xC000009A);
constexpr NTSTATUS STATUS_NO_DATA_DETECTED = static_cast<NTSTATUS>(0x80000022);
constexpr NTSTATUS STATUS_IO_DEVICE_ERROR = static_cast<NTSTATUS>(0xC0000185);
constexpr NTSTATUS STATUS_CANCELLED = static_cast<NTSTATUS>(0xC0000120);
constexpr NTSTATUS STATUS_DEVICE_NOT_CONNECTED = static_cast<NTSTATUS>(0xC000009D);
constexpr NTSTATUS STATUS_NO_MATCH = static_cast<NTSTATUS>(0xC0000272);
constexpr NTSTATUS STATUS_TOO_MANY_NODES = static_cast<NTSTATUS>(0xC000020E);
constexpr NTSTATUS STATUS_ACCESS_DENIED = static_cast<NTSTATUS>(0xC0000022);
constexpr NTSTATUS STATUS_OBJECT_TYPE_MISMATCH = static_cast<NTSTATUS>(0xC0000024);
constexpr NTSTATUS STATUS_CANNOT_DELETE = static_cast<NTSTATUS>(0xC0000121);

inline bool NT_SUCCESS(NTSTATUS status)
{
    return status >= 0;
}

// ---- Pool ------------------------------------------------------------------
enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1 };

// Pool tags are four characters read as a little-endian word: "Wdm " = 0x206D6457.
constexpr ULONG kPoolTagWdm = 0x206D6457;

PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, size_t numberOfBytes, ULONG tag);
void ExFreePool(PVOID block);

// ---- IRQL ------------------------------------------------------------------
constexpr KIRQL PASSIVE_LEVEL = 0;
constexpr KIRQL APC_LEVEL = 1;
constexpr KIRQL DISPATCH_LEVEL = 2;

KIRQL KeGetCurrentIrql();
// Raise to newIrql (>= current), returning the previous level; lower back with KeLowerIrql.
void KeRaiseIrql(KIRQL newIrql, KIRQL *oldIrql);
void KeLowerIrql(KIRQL newIrql);

// ---- Spin locks ------------------------------------------------------------
// A spin lock raises to DISPATCH_LEVEL while held. The host records a label per
// lock for its lock-order verifier (see host.h, labelLock).
using KSPIN_LOCK = ULONG_PTR;

void KeInitializeSpinLock(KSPIN_LOCK *spinLock);
KIRQL KfAcquireSpinLock(KSPIN_LOCK *spinLock);
void KfReleaseSpinLock(KSPIN_LOCK *spinLock, KIRQL newIrql);
inline void KeAcquireSpinLock(KSPIN_LOCK *spinLock, KIRQL *oldIrql)
{
    *oldIrql = KfAcquireSpinLock(spinLock);
}
inline void KeReleaseSpinLock(KSPIN_LOCK *spinLock, KIRQL newIrql)
{
    KfReleaseSpinLock(spinLock, newIrql);
}

// ---- Events and waits -------------------------------------------------------
enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };
enum KWAIT_REASON { Executive = 0, Suspended = 5 };
enum KPROCESSOR_MODE { KernelMode = 0, UserMode = 1 };

// The event's state is kept inline, so an event needs no destruction, as in the
// kernel; the host's waiters find it by its address.
struct KEVENT {
    LONG Type;        // EVENT_TYPE
    LONG SignalState; // 1 signalled, 0 not
};

void KeInitializeEvent(KEVENT *event, EVENT_TYPE type, BOOLEAN state);
LONG KeSetEvent(KEVENT *event, KPRIORITY increment, BOOLEAN wait);
LONG KeResetEvent(KEVENT *event);
void KeClearEvent(KEVENT *event);
LONG KeReadStateEvent(KEVENT *event);
// timeout: null waits for ever; negative = relative time in 100-ns units.
// Returns STATUS_SUCCESS when signalled, STATUS_TIMEOUT when the time ran out.
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON waitReason, KPROCESSOR_MODE waitMode,
                               BOOLEAN alertable, LARGE_INTEGER *timeout);
// interval: negative = relative time in 100-ns units.
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE waitMode, BOOLEAN alertable, LARGE_INTEGER *interval);

// ---- Lock-free words ---------------------------------------------------------
// Words that several threads read and write without a lock, by design (the
// last writer wins): each access is one whole load or store, never torn and
// never split or merged by the compiler, with no ordering beyond that (no
// fence), as the kernel's ReadNoFence/WriteNoFence family does for LONGs.
// Used for 8-, 16- and 32-bit fields alike.
template <class T> inline T ReadNoFence(const T *word)
{
    return std::atomic_ref<T>(*const_cast<T *>(word)).load(std::memory_order_relaxed);
}
template <class T, class V> inline void WriteNoFence(T *word, V value)
{
    std::atomic_ref<T>(*word).store(static_cast<T>(value), std::memory_order_relaxed);
}

// ---- Interlocked counters ----------------------------------------------------
LONG InterlockedIncrement(LONG volatile *addend);
LONG InterlockedDecrement(LONG volatile *addend);
LONG InterlockedExchange(LONG volatile *target, LONG value);
LONG InterlockedCompareExchange(LONG volatile *destination, LONG exchange, LONG comparand);

// ---- Time ------------------------------------------------------------------
// System time in 100-ns units.
void KeQuerySystemTime(LARGE_INTEGER *currentTime);

// ---- Work items ------------------------------------------------------------
enum WORK_QUEUE_TYPE { CriticalWorkQueue = 0, DelayedWorkQueue = 1 };
using PWORKER_THREAD_ROUTINE = void (*)(PVOID parameter);

struct LIST_ENTRY {
    LIST_ENTRY *Flink;
    LIST_ENTRY *Blink;
};

struct WORK_QUEUE_ITEM {
    LIST_ENTRY List;
    PWORKER_THREAD_ROUTINE WorkerRoutine;
    PVOID Parameter;
};

inline void ExInitializeWorkItem(WORK_QUEUE_ITEM *item, PWORKER_THREAD_ROUTINE routine, PVOID parameter)
{
    item->WorkerRoutine = routine;
    item->Parameter = parameter;
    item->List.Flink = nullptr;
}
void ExQueueWorkItem(WORK_QUEUE_ITEM *workItem, WORK_QUEUE_TYPE queueType);

// ---- Registry ----------------------------------------------------------------
struct UNICODE_STRING {
    USHORT Length;        // bytes, without a terminator
    USHORT MaximumLength; // bytes
    WCHAR *Buffer;
};

void RtlInitUnicodeString(UNICODE_STRING *destination, PCWSTR source);

constexpr ULONG RTL_REGISTRY_ABSOLUTE = 0;
constexpr ULONG RTL_QUERY_REGISTRY_DIRECT = 0x00000020;
constexpr ULONG RTL_QUERY_REGISTRY_REQUIRED = 0x00000004;
// With TYPECHECK the top byte of DefaultType names the type the direct buffer
// holds; a stored value of another type fails with STATUS_OBJECT_TYPE_MISMATCH.
constexpr ULONG RTL_QUERY_REGISTRY_TYPECHECK = 0x00000100;
constexpr ULONG RTL_QUERY_REGISTRY_TYPECHECK_SHIFT = 24;

constexpr ULONG REG_NONE = 0;
constexpr ULONG REG_SZ = 1;
constexpr ULONG REG_BINARY = 3;
constexpr ULONG REG_DWORD = 4;

using PRTL_QUERY_REGISTRY_ROUTINE = NTSTATUS (*)(PCWSTR valueName, ULONG valueType, PVOID valueData,
                                                 ULONG valueLength, PVOID context, PVOID entryContext);

struct RTL_QUERY_REGISTRY_TABLE {
    PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
    ULONG Flags;
    PCWSTR Name;
    PVOID EntryContext;
    ULONG DefaultType;
    PVOID DefaultData;
    ULONG DefaultLength;
};

// Direct queries: a REG_DWORD value is copied into the ULONG at EntryContext; a
// REG_BINARY value into the buffer at EntryContext, whose first LONG holds the
// buffer's size in bytes on entry (a negative size is the published "exact size" form).
// A missing value takes the entry's default data. A stored value whose type is
// not the one the buffer holds (named by TYPECHECK, else the default's type) is
// not copied: STATUS_OBJECT_TYPE_MISMATCH. The table ends with a zeroed entry.
NTSTATUS RtlQueryRegistryValues(ULONG relativeTo, PCWSTR path, RTL_QUERY_REGISTRY_TABLE *queryTable,
                                PVOID context, PVOID environment);
NTSTATUS RtlWriteRegistryValue(ULONG relativeTo, PCWSTR path, PCWSTR valueName, ULONG valueType,
                               PVOID valueData, ULONG valueLength);

constexpr ACCESS_MASK KEY_ALL_ACCESS = 0xF003F;
constexpr ULONG OBJ_EXCLUSIVE = 0x00000020;
constexpr ULONG OBJ_CASE_INSENSITIVE = 0x00000040;

struct OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    UNICODE_STRING *ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
};

inline void InitializeObjectAttributes(OBJECT_ATTRIBUTES *attributes, UNICODE_STRING *name, ULONG flags,
                                       HANDLE root, PVOID securityDescriptor)
{
    attributes->Length = sizeof(OBJECT_ATTRIBUTES);
    attributes->RootDirectory = root;
    attributes->ObjectName = name;
    attributes->Attributes = flags;
    attributes->SecurityDescriptor = securityDescriptor;
    attributes->SecurityQualityOfService = nullptr;
}

NTSTATUS ZwOpenKey(HANDLE *keyHandle, ACCESS_MASK desiredAccess, OBJECT_ATTRIBUTES *objectAttributes);
NTSTATUS ZwDeleteKey(HANDLE keyHandle);
NTSTATUS ZwClose(HANDLE handle);

// ---- Host verifier annotation -----------------------------------------------
// Names a spin lock or an excluder's synchronization event for the host's
// lock-order verifier, which checks every acquisition against the driver's lock
// order ("frame excluder", "camera lock", "link lock", "USB request lock",
// "transfer excluder", "transfer spin lock", "empty-buffer queue lock"). A spin
// lock never named still takes part in cycle detection; a synchronization event
// takes part once named, or unnamed when initialised signalled (then it is a
// lock by construction). Name a lock after initialising it: initialising
// it, or freeing the pool block it lives in, forgets the name. A no-op where no
// verifier runs.
void HostVerifierNameLock(PVOID lock, const char *lockClass);

// ---- Processor ---------------------------------------------------------------
// The processor identification instruction: fills eax, ebx, ecx, edx for the
// function. On hosts without it every register reads 0 (no features).
void KeCpuid(ULONG function, ULONG registers[4]);
