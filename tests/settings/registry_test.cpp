// The registry table and the Registry_ routines, observed through the host's
// in-memory registry store.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/kernel/registry_store.h"
#include "settings/registry.h"

using zm4::host::kDriverKeyPath;
using zm4::host::kEnumKeyPath;
using zm4::host::RegistryScope;
using zm4::host::RegistryStore;
using zm4::host::RegistryValue;

namespace {

std::string narrow(PCWSTR wide)
{
    return zm4::host::utf8FromUtf16(wide).value();
}

class RegistryTest : public ::testing::Test {
protected:
    std::unique_ptr<RegistryStore> store_ = RegistryStore::inMemory();
    RegistryScope scope_{*store_};

    void createDriverKey() { ASSERT_TRUE(store_->createKey(kDriverKeyPath)); }
    std::optional<RegistryValue> stored(const char *name) const { return store_->read(kDriverKeyPath, name); }
};

TEST_F(RegistryTest, EveryIndexNamesItsOwnValue)
{
    // Writing each index a different number must leave one distinct value per
    // index: a duplicated or misspelt name would make two indices share one.
    for (ULONG i = 0; i < REG_TERMINATOR; ++i)
        ASSERT_EQ(Registry_Write(i, 1000 + i), STATUS_SUCCESS) << i;
    auto values = store_->values(kDriverKeyPath);
    ASSERT_TRUE(values.has_value());
    EXPECT_EQ(values->size(), size_t{REG_TERMINATOR});
    for (ULONG i = 0; i < REG_TERMINATOR; ++i) {
        ULONG read = 0;
        ASSERT_EQ(Registry_Read(i, &read), STATUS_SUCCESS);
        EXPECT_EQ(read, 1000 + i) << narrow(Registry_Table[i].name);
    }
}

TEST_F(RegistryTest, DiagnosticValuesCarryTheNamesToolsLookFor)
{
    Registry_Write(REG_CAMERA_PRESENT, 1);
    Registry_Write(REG_CAMERA_FAULT, 1);
    Registry_Write(REG_DEBUG_CRISIS_COUNT, 7);
    const UCHAR list[] = {1, 8};
    Registry_WriteList(REG_DEBUG_LIST, list, 2);
    auto values = store_->values(kDriverKeyPath).value();
    std::set<std::string> names;
    for (const auto &[name, value] : values)
        names.insert(name);
    EXPECT_EQ(names, (std::set<std::string>{"CameraPresent", "CameraFault", "DebugCrisisCount", "DebugList"}));
    EXPECT_EQ(stored("DebugCrisisCount"), RegistryValue::dword(7));
}

TEST_F(RegistryTest, MissingValueUnderExistingKeyReadsAsDefault)
{
    createDriverKey();
    ULONG frameRate = 77;
    EXPECT_EQ(Registry_Read(REG_FRAMERATE, &frameRate), STATUS_SUCCESS);
    EXPECT_EQ(frameRate, 1u);
    ULONG apCor = 0;
    EXPECT_EQ(Registry_Read(REG_AP_COR, &apCor), STATUS_SUCCESS);
    EXPECT_EQ(apCor, 0xFFFFFFFFu);
    // Reading never writes the default back.
    EXPECT_FALSE(stored("Framerate").has_value());
}

TEST_F(RegistryTest, StoredValueWinsOverDefault)
{
    ASSERT_TRUE(store_->write(kDriverKeyPath, "bandwidth", RegistryValue::dword(2)));
    ULONG bandwidth = 0;
    EXPECT_EQ(Registry_Read(REG_BANDWIDTH, &bandwidth), STATUS_SUCCESS);
    EXPECT_EQ(bandwidth, 2u);
}

TEST_F(RegistryTest, FailedReadLeavesOutputUntouched)
{
    // No key at all: the query fails and the caller's value stays.
    ULONG value = 1234;
    NTSTATUS status = Registry_Read(REG_BRIGHTNESS, &value);
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_EQ(value, 1234u);

    // A binary value where a word is expected cannot overrun the word.
    ASSERT_TRUE(store_->write(kDriverKeyPath, "Brightness", RegistryValue::binary({1, 2, 3, 4, 5, 6, 7, 8, 9})));
    EXPECT_FALSE(NT_SUCCESS(Registry_Read(REG_BRIGHTNESS, &value)));
    EXPECT_EQ(value, 1234u);
}

TEST_F(RegistryTest, NoRegistryMeansFailureNotDefaults)
{
    zm4::host::setCurrentRegistry(nullptr);
    ULONG value = 99;
    EXPECT_FALSE(NT_SUCCESS(Registry_Read(REG_EXP_COARSE, &value)));
    EXPECT_EQ(value, 99u);
    EXPECT_FALSE(NT_SUCCESS(Registry_Write(REG_EXP_COARSE, 5)));
    // Default still hands out the default even though it cannot store it.
    EXPECT_FALSE(NT_SUCCESS(Registry_Default(REG_EXP_COARSE, &value)));
    EXPECT_EQ(value, 185u);
    zm4::host::setCurrentRegistry(store_.get());
}

TEST_F(RegistryTest, DefaultWritesTheDefaultBack)
{
    ULONG coarse = 0;
    EXPECT_EQ(Registry_Default(REG_EXP_COARSE, &coarse), STATUS_SUCCESS);
    EXPECT_EQ(coarse, 185u);
    EXPECT_EQ(stored("ExpCoarse"), RegistryValue::dword(185));
}

TEST_F(RegistryTest, GetDefaultDoesNotTouchTheRegistry)
{
    ULONG gain = 0;
    Registry_GetDefault(REG_ACB_GAIN_B, &gain);
    EXPECT_EQ(gain, 50u);
    Registry_GetDefault(REG_OFFSET, &gain);
    EXPECT_EQ(gain, 0xFFFFFFFFu);
    EXPECT_TRUE(store_->keys().empty());
}

TEST_F(RegistryTest, IndicesOutsideTheTableAreRefused)
{
    for (ULONG index : {ULONG{REG_TERMINATOR}, REG_TABLE_ENTRIES, ULONG{1000}, ULONG{0xFFFFFFFF}}) {
        ULONG value = 5;
        EXPECT_EQ(Registry_Read(index, &value), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(value, 5u);
        EXPECT_EQ(Registry_Write(index, 1), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(Registry_Default(index, &value), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(Registry_WriteList(index, nullptr, 0), STATUS_INVALID_PARAMETER);
        Registry_GetDefault(index, &value);
        EXPECT_EQ(value, 0u);
    }
    EXPECT_TRUE(store_->keys().empty());
}

TEST_F(RegistryTest, WriteListStoresExactlyTheGivenBytes)
{
    const UCHAR list[] = {1, 8, 2};
    EXPECT_EQ(Registry_WriteList(REG_DEBUG_LIST, list, 3), STATUS_SUCCESS);
    EXPECT_EQ(stored("DebugList"), RegistryValue::binary({1, 8, 2}));

    EXPECT_EQ(Registry_WriteList(REG_DEBUG_LIST, list, 0), STATUS_SUCCESS);
    auto empty = stored("DebugList");
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(empty->type, REG_BINARY);
    EXPECT_TRUE(empty->data.empty());

    EXPECT_EQ(Registry_WriteList(REG_DEBUG_LIST, nullptr, 3), STATUS_INVALID_PARAMETER);
}

TEST_F(RegistryTest, MatrixRoundTrip)
{
    const UCHAR matrix[9] = {0x40, 0xF0, 0x05, 0, 0x3A, 0xFF, 1, 2, 3};
    EXPECT_EQ(Registry_WriteMatrix(matrix), STATUS_SUCCESS);
    EXPECT_EQ(stored("Matrix"), RegistryValue::binary({0x40, 0xF0, 0x05, 0, 0x3A, 0xFF, 1, 2, 3}));
    UCHAR read[9] = {};
    EXPECT_EQ(Registry_ReadMatrix(read), STATUS_SUCCESS);
    EXPECT_EQ(std::basic_string<UCHAR>(read, 9), std::basic_string<UCHAR>(matrix, 9));
}

TEST_F(RegistryTest, AllZeroMatrixIsUnsuccessful)
{
    ASSERT_TRUE(store_->write(kDriverKeyPath, "Matrix", RegistryValue::binary(std::vector<uint8_t>(9, 0))));
    UCHAR read[9];
    std::fill(std::begin(read), std::end(read), 0xAA);
    EXPECT_EQ(Registry_ReadMatrix(read), STATUS_UNSUCCESSFUL);
    // The bytes were copied out all the same.
    EXPECT_EQ(std::basic_string<UCHAR>(read, 9), std::basic_string<UCHAR>(9, 0));
}

TEST_F(RegistryTest, MissingMatrixTakesZeroDefaultAndIsUnsuccessful)
{
    createDriverKey();
    UCHAR read[9] = {9, 9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_EQ(Registry_ReadMatrix(read), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(std::basic_string<UCHAR>(read, 9), std::basic_string<UCHAR>(9, 0));
}

TEST_F(RegistryTest, UnreadableMatrixLeavesOutputUntouched)
{
    UCHAR read[9] = {9, 9, 9, 9, 9, 9, 9, 9, 9};
    // No key: the query itself fails.
    EXPECT_FALSE(NT_SUCCESS(Registry_ReadMatrix(read)));
    EXPECT_EQ(std::basic_string<UCHAR>(read, 9), std::basic_string<UCHAR>(9, 9));
    // Too long for the query buffer.
    ASSERT_TRUE(store_->write(kDriverKeyPath, "Matrix", RegistryValue::binary(std::vector<uint8_t>(40, 7))));
    EXPECT_FALSE(NT_SUCCESS(Registry_ReadMatrix(read)));
    EXPECT_EQ(std::basic_string<UCHAR>(read, 9), std::basic_string<UCHAR>(9, 9));
}

TEST_F(RegistryTest, EnumTreeDeleteRemovesTheEnumerationKey)
{
    ASSERT_TRUE(store_->createKey(kEnumKeyPath));
    ASSERT_TRUE(store_->write(kEnumKeyPath, "Driver", RegistryValue::dword(1)));
    createDriverKey();
    EXPECT_EQ(Registry_EnumTreeDelete(), 0u);
    EXPECT_FALSE(store_->keyExists(kEnumKeyPath));
    EXPECT_TRUE(store_->keyExists(kDriverKeyPath));
    EXPECT_EQ(zm4::host::openKeyHandleCount(), 0u);
}

TEST_F(RegistryTest, EnumTreeDeleteWithoutTheKeyChangesNothing)
{
    createDriverKey();
    ASSERT_TRUE(store_->write(kDriverKeyPath, "PUEnumFix", RegistryValue::dword(1)));
    auto keysBefore = store_->keys();
    EXPECT_EQ(Registry_EnumTreeDelete(), 0u);
    EXPECT_EQ(store_->keys(), keysBefore);
    EXPECT_EQ(stored("PUEnumFix"), RegistryValue::dword(1));
    EXPECT_EQ(zm4::host::openKeyHandleCount(), 0u);
}

TEST_F(RegistryTest, EnumTreeDeleteLeavesAKeyWithSubkeys)
{
    const std::string child = std::string(kEnumKeyPath) + "\\5&1234";
    ASSERT_TRUE(store_->createKey(child));
    EXPECT_EQ(Registry_EnumTreeDelete(), 0u);
    EXPECT_TRUE(store_->keyExists(kEnumKeyPath));
    EXPECT_TRUE(store_->keyExists(child));
    EXPECT_EQ(zm4::host::openKeyHandleCount(), 0u);
}

} // namespace
