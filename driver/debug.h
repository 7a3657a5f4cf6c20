// The debug problem record: one per driver, the distinct problems met since the
// camera was last (re)started, in order of first occurrence, and the count of
// transfer crises, both mirrored to the registry for diagnostic tools.
#pragma once

#include "platform/kernel/kernel.h"

struct DEVICE_EXTENSION;

// Problem codes, one bit each.
constexpr ULONG DEBUG_PROBLEM_FILLER_FRAME = 1;     // a waiting read got a filler frame
constexpr ULONG DEBUG_PROBLEM_TRANSFER_GAVE_UP = 2; // 10 crises in a row without a good packet
constexpr ULONG DEBUG_PROBLEM_LINK_REFUSED = 4;     // link refused after repeated failures
constexpr ULONG DEBUG_PROBLEM_EXCLUDER_TIMEOUT = 8; // a lock wait timed out after 1.2 s
constexpr ULONG DEBUG_PROBLEM_CAMERA_FAULT = 16;    // data write failed on a halted device

constexpr ULONG DEBUG_PROBLEM_LIST_SIZE = 10;
// The debug word's value once a problem in the output mask has been recorded.
constexpr ULONG DEBUG_WORD_PROBLEM_OUTPUT = 0x40000000;

struct DEBUG_RECORD {
    ULONG debugWord;     // "DebugInfo" at load; DEBUG_WORD_PROBLEM_OUTPUT once a masked problem occurs
    ULONG debugFunction; // "DebugFunc" at load; kept
    ULONG problemBits;   // union of the codes recorded since the last clear
    ULONG outputMask;    // "DebugMaskOutput"
    ULONG crisisCount;   // transfer crises since driver load ("DebugCrisisCount")
    ULONG problemCount;  // entries in problemList, 0 to 10
    DEVICE_EXTENSION *deviceExtension;          // the device most recently initialised
    UCHAR problemList[DEBUG_PROBLEM_LIST_SIZE]; // "DebugList": codes in order of first occurrence
};

// At driver load, before anything can record a problem.
void Debug_Init();
void Debug_SetDeviceExtension(DEVICE_EXTENSION *deviceExtension);
void Debug_ProblemClearAll();
// set != 0 records code (listed once, at most 10 entries); set == 0 clears its
// bits from the problem bits but leaves the list alone.
void Debug_ProblemSet(ULONG code, ULONG set);
void Debug_ClearCrisisCount();
void Debug_IncrementCrisisCount();

// Read-only view for tests and tools; not a snapshot, so read it when no
// problem is being recorded.
const DEBUG_RECORD *Debug_GetRecord();
