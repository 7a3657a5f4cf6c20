// The driver's persistent values: one registry key, one table of value names and
// defaults. Every other module names a value by its index in this table and
// reads or writes it through the Registry_ routines below.
#pragma once

#include "platform/kernel/kernel.h"

// The driver's own key, passed unchanged with RTL_REGISTRY_ABSOLUTE.
extern const WCHAR Registry_KeyPath[];
// The camera's hardware enumeration entry, deleted by Registry_EnumTreeDelete.
extern const WCHAR Registry_EnumKeyPath[];
// The colour matrix value in the driver's key: 9 coefficient bytes, row by row.
extern const WCHAR Registry_MatrixName[];

// Value indices. The numbers are the table positions: callers pass them, and the
// diagnostic tool reads the same names.
enum : ULONG {
    REG_DEBUG_INFO = 0,
    REG_DEBUG_FUNC = 1,
    REG_BANDWIDTH = 2,
    REG_BRIGHTNESS = 3,
    REG_CONTRAST = 4,
    REG_SATURATION = 5,
    REG_VID_CONF = 6,
    REG_CONF_VALUE = 7,
    REG_CAP_VALUE = 8,
    REG_FRAMERATE = 9,
    REG_BACKLIT = 10,
    REG_FLICKER = 11,
    REG_FLICKER_MAINS = 12,
    REG_ACB_GAIN_R = 13,
    REG_ACB_GAIN_G = 14,
    REG_ACB_GAIN_B = 15,
    REG_ACB_MODE = 16,
    REG_EXP_COARSE = 17,
    REG_EXP_FINE = 18,
    REG_EXP_GAIN = 19,
    REG_EXP_MODE = 20,
    REG_FLICKER_MAX = 21,
    REG_FLICKER_EXP = 22,
    REG_AUTO_FR = 23,
    REG_ZIRC_CAMERA = 24,
    REG_CAMERA_PRESENT = 25,
    REG_PU_ENUM_FIX = 26,
    REG_AUTO_FR_SAVE = 27,
    REG_USE_REG_MATRIX = 28,
    REG_USE_OLD_BRIGHTNESS = 29,
    REG_XFER_PACKETS = 30,
    REG_XFER_IRPS = 31,
    REG_COMP_R = 32,
    REG_COMP_G1 = 33,
    REG_COMP_G2 = 34,
    REG_COMP_B = 35,
    REG_AP_COR = 36,
    REG_GAM_COR = 37,
    REG_OFFSET = 38,
    REG_MICROSCOPE = 39,
    REG_NO_DATA_VALUE = 40,
    REG_DEBUG_MASK_OUTPUT = 41,
    REG_DEBUG_CRISIS_COUNT = 42,
    REG_CAMERA_FAULT = 43,
    REG_DEBUG_LIST = 44,
    REG_TERMINATOR = 45, // no name: marks the end of the table
};

// Entries of the table, terminator included.
constexpr ULONG REG_TABLE_ENTRIES = 46;
constexpr ULONG REG_MATRIX_BYTES = 9;

struct REGISTRY_TABLE_ENTRY {
    ULONG defaultValue;
    PCWSTR name; // null for the terminator
};

extern const REGISTRY_TABLE_ENTRY Registry_Table[REG_TABLE_ENTRIES];

// 32-bit value by index; a value missing under an existing key yields its default
// and success. On failure the status is returned and *value is left untouched.
NTSTATUS Registry_Read(ULONG index, ULONG *value);
NTSTATUS Registry_Write(ULONG index, ULONG value);
// *value = the table default, which is also written to the registry.
NTSTATUS Registry_Default(ULONG index, ULONG *value);
// *value = the table default; no registry access.
void Registry_GetDefault(ULONG index, ULONG *value);
// The value as REG_BINARY of length bytes (length 0 writes an empty value).
NTSTATUS Registry_WriteList(ULONG index, const UCHAR *bytes, ULONG length);
// "Matrix" into matrix[9]; STATUS_UNSUCCESSFUL when all nine bytes are zero.
NTSTATUS Registry_ReadMatrix(UCHAR *matrix);
NTSTATUS Registry_WriteMatrix(const UCHAR *matrix);
// Deletes the camera's hardware enumeration key; failures are ignored. Always 0.
ULONG Registry_EnumTreeDelete();
