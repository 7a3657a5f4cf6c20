// The registry table and the Registry_ routines. The module keeps no state and
// takes no lock: every routine is a single call into the kernel's registry.

#include "settings/registry.h"

const WCHAR Registry_KeyPath[] = u"Software\\Lumena\\ZM4 Microscope";
const WCHAR Registry_EnumKeyPath[] = u"Enum\\USB\\VID_1E7A&PID_0001";
const WCHAR Registry_MatrixName[] = u"Matrix";

const REGISTRY_TABLE_ENTRY Registry_Table[REG_TABLE_ENTRIES] = {
    {0, u"DebugInfo"},        {0, u"DebugFunc"},
    {3, u"Bandwidth"},        {5000, u"Brightness"},
    {5000, u"Contrast"},      {5000, u"Saturation"},
    {0, u"VidConf"},          {5, u"ConfValue"},
    {5, u"CapValue"},         {1, u"Framerate"},
    {0, u"Backlit"},          {1, u"Flicker"},
    {1, u"FlickerMains"},     {30, u"AcbGainR"},
    {3, u"AcbGainG"},         {50, u"AcbGainB"},
    {2, u"AcbMode"},          {185, u"ExpCoarse"},
    {1, u"ExpFine"},          {0, u"ExpGain"},
    {2, u"ExpMode"},          {250, u"FlickerMax"},
    {146, u"FlickerExp"},     {1, u"AutoFR"},
    {0, u"ZIRCCamera"},       {0, u"CameraPresent"},
    {0, u"PUEnumFix"},        {1, u"AutoFRSave"},
    {0, u"UseRegMatrix"},     {0, u"UseOldBrightness"},
    {8, u"XferPackets"},      {8, u"XferIRPs"},
    {220, u"CompR"},          {214, u"CompG1"},
    {214, u"CompG2"},         {230, u"CompB"},
    {0xFFFFFFFF, u"ApCor"},   {0xFFFFFFFF, u"GamCor"},
    {0xFFFFFFFF, u"Offset"},  {0, u"Microscope"},
    {255, u"NoDataValue"},    {0, u"DebugMaskOutput"},
    {0, u"DebugCrisisCount"}, {0, u"CameraFault"},
    {0, u"DebugList"},        {0, nullptr},
};

// The matrix is queried into a buffer of this size; a missing value takes the
// same number of zero bytes as its default, which the all-zero rule then rejects.
constexpr ULONG kMatrixQueryBytes = 16;

// Only named entries are values: the terminator and anything past it are not.
static PCWSTR mValueName(ULONG index)
{
    if (index >= REG_TERMINATOR)
        return nullptr;
    return Registry_Table[index].name;
}

NTSTATUS Registry_Read(ULONG index, ULONG *value)
{
    PCWSTR name = mValueName(index);
    if (name == nullptr || value == nullptr)
        return STATUS_INVALID_PARAMETER;

    ULONG defaultData = Registry_Table[index].defaultValue;
    // A direct query treats a stored value longer than a word as a sized buffer
    // whose first word holds its size: start that word at the 4 bytes we really
    // have, so that a malformed (binary) value can only fail the query, never
    // overrun. The result lands here first so that a failing query leaves
    // *value untouched.
    ULONG queried = sizeof(ULONG);

    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = name;
    table[0].EntryContext = &queried;
    table[0].DefaultType = REG_DWORD;
    table[0].DefaultData = &defaultData;
    table[0].DefaultLength = sizeof(ULONG);

    NTSTATUS status =
        RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, Registry_KeyPath, table, nullptr, nullptr);
    if (NT_SUCCESS(status))
        *value = queried;
    return status;
}

NTSTATUS Registry_Write(ULONG index, ULONG value)
{
    PCWSTR name = mValueName(index);
    if (name == nullptr)
        return STATUS_INVALID_PARAMETER;
    return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, Registry_KeyPath, name, REG_DWORD, &value,
                                 sizeof(ULONG));
}

NTSTATUS Registry_Default(ULONG index, ULONG *value)
{
    if (mValueName(index) == nullptr || value == nullptr)
        return STATUS_INVALID_PARAMETER;
    *value = Registry_Table[index].defaultValue;
    return Registry_Write(index, *value);
}

void Registry_GetDefault(ULONG index, ULONG *value)
{
    if (value == nullptr)
        return;
    // Past the table there is no default; 0 is the terminator's.
    *value = index < REG_TABLE_ENTRIES ? Registry_Table[index].defaultValue : 0;
}

NTSTATUS Registry_WriteList(ULONG index, const UCHAR *bytes, ULONG length)
{
    PCWSTR name = mValueName(index);
    if (name == nullptr || (bytes == nullptr && length != 0))
        return STATUS_INVALID_PARAMETER;
    // The registry routine takes a non-const buffer but only reads it.
    return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, Registry_KeyPath, name, REG_BINARY,
                                 const_cast<UCHAR *>(bytes), length);
}

NTSTATUS Registry_ReadMatrix(UCHAR *matrix)
{
    if (matrix == nullptr)
        return STATUS_INVALID_PARAMETER;

    // Direct binary query: the buffer's first word holds its size on entry,
    // negative for "the data alone, from the first byte" (a positive size would
    // put a length and a type word in front of the data). A stored value longer
    // than the buffer fails the query.
    union {
        LONG size;
        UCHAR bytes[kMatrixQueryBytes];
    } buffer = {};
    buffer.size = -static_cast<LONG>(kMatrixQueryBytes);
    UCHAR defaultData[kMatrixQueryBytes] = {};

    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = Registry_MatrixName;
    table[0].EntryContext = &buffer;
    table[0].DefaultType = REG_BINARY;
    table[0].DefaultData = defaultData;
    table[0].DefaultLength = kMatrixQueryBytes;

    NTSTATUS status =
        RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, Registry_KeyPath, table, nullptr, nullptr);
    if (!NT_SUCCESS(status))
        return status;

    ULONG nonZero = 0;
    for (ULONG i = 0; i < REG_MATRIX_BYTES; ++i) {
        matrix[i] = buffer.bytes[i];
        nonZero |= buffer.bytes[i];
    }
    // An all-zero matrix would black out the picture: it means "no matrix stored".
    if (nonZero == 0)
        return STATUS_UNSUCCESSFUL;
    return status;
}

NTSTATUS Registry_WriteMatrix(const UCHAR *matrix)
{
    if (matrix == nullptr)
        return STATUS_INVALID_PARAMETER;
    return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, Registry_KeyPath, Registry_MatrixName, REG_BINARY,
                                 const_cast<UCHAR *>(matrix), REG_MATRIX_BYTES);
}

ULONG Registry_EnumTreeDelete()
{
    // Twice: the first pass removes the key, the second finds nothing once it has.
    for (int pass = 0; pass < 2; ++pass) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, Registry_EnumKeyPath);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_EXCLUSIVE, nullptr, nullptr);
        HANDLE key = nullptr;
        if (NT_SUCCESS(ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes))) {
            ZwDeleteKey(key);
            ZwClose(key);
        }
    }
    return 0;
}
