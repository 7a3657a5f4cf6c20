// The debug problem record and its registry mirror.

#include "driver/debug.h"

#include "settings/registry.h"

static DEBUG_RECORD g_Debug;

// Makes each change of the record and its registry mirror indivisible. A
// synchronization event used as a mutex, because the registry is written while
// it is held and registry writes need passive level, which a spin lock would not
// give. It starts out signalled so that a problem recorded before Debug_Init
// (which initialises it again) cannot block for ever.
static KEVENT g_DebugMutex = {SynchronizationEvent, 1};

static void mLock()
{
    KeWaitForSingleObject(&g_DebugMutex, Executive, KernelMode, FALSE, nullptr);
}

static void mUnlock()
{
    KeSetEvent(&g_DebugMutex, 0, FALSE);
}

void Debug_Init()
{
    KeInitializeEvent(&g_DebugMutex, SynchronizationEvent, TRUE);

    // Values that cannot be read leave their fields at 0, their default.
    g_Debug.debugWord = 0;
    g_Debug.debugFunction = 0;
    g_Debug.outputMask = 0;
    Registry_Read(REG_DEBUG_INFO, &g_Debug.debugWord);
    Registry_Read(REG_DEBUG_FUNC, &g_Debug.debugFunction);
    Registry_Read(REG_DEBUG_MASK_OUTPUT, &g_Debug.outputMask);
    if (g_Debug.outputMask == 0)
        Registry_Default(REG_DEBUG_MASK_OUTPUT, &g_Debug.outputMask);

    Debug_ClearCrisisCount();
    Debug_ProblemClearAll();
}

void Debug_SetDeviceExtension(DEVICE_EXTENSION *deviceExtension)
{
    g_Debug.deviceExtension = deviceExtension;
}

void Debug_ProblemClearAll()
{
    mLock();
    g_Debug.problemBits = 0;
    Registry_WriteList(REG_DEBUG_LIST, g_Debug.problemList, 0);
    g_Debug.problemCount = 0;
    mUnlock();
}

void Debug_ProblemSet(ULONG code, ULONG set)
{
    // Code 0 names no problem: it would otherwise be listed on every call.
    if (code == 0)
        return;

    mLock();
    if (set != 0) {
        if ((g_Debug.problemBits & code) == 0 && g_Debug.problemCount < DEBUG_PROBLEM_LIST_SIZE) {
            g_Debug.problemList[g_Debug.problemCount] = static_cast<UCHAR>(code);
            g_Debug.problemCount += 1;
            Registry_WriteList(REG_DEBUG_LIST, g_Debug.problemList, g_Debug.problemCount);
            g_Debug.problemBits |= code;
        }
        if ((code & g_Debug.outputMask) != 0)
            g_Debug.debugWord = DEBUG_WORD_PROBLEM_OUTPUT;
    } else {
        g_Debug.problemBits &= ~code;
    }
    mUnlock();
}

void Debug_ClearCrisisCount()
{
    mLock();
    g_Debug.crisisCount = 0;
    Registry_Write(REG_DEBUG_CRISIS_COUNT, 0);
    mUnlock();
}

void Debug_IncrementCrisisCount()
{
    mLock();
    g_Debug.crisisCount += 1;
    Registry_Write(REG_DEBUG_CRISIS_COUNT, g_Debug.crisisCount);
    mUnlock();
}

const DEBUG_RECORD *Debug_GetRecord()
{
    return &g_Debug;
}
