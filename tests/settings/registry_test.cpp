// The registry table and the Registry_ routines, observed through the host's
// in-memory registry store.

#include <gtest/gtest.h>

#include <string>

#include "platform/kernel/registry_store.h"
#include "settings/registry.h"

using namespace zm4::host;

namespace {

using Matrix = std::basic_string<UCHAR>;

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
    EXPECT_EQ(store_->values(kDriverKeyPath).value().size(), size_t{REG_TERMINATOR});
    for (ULONG i = 0; i < REG_TERMINATOR; ++i) {
        ULONG read = 0;
        ASSERT_EQ(Registry_Read(i, &read), STATUS_SUCCESS);
        EXPECT_EQ(read, 1000 + i) << zm4::host::utf8FromUtf16(Registry_Table[i].name).value();
    }
}

// A stored value wins, a missing one reads as its default (never written
// back); a failed query (no key, a binary or text value where a word belongs)
// leaves the caller's value alone; without a registry reads and writes fail
// while the defaults are still handed out, GetDefault only from the table.
TEST_F(RegistryTest, ReadsFallBackToDefaultsAndFailedReadsChangeNothing)
{
    ULONG value = 1234, frameRate = 77, apCor = 0;
    EXPECT_FALSE(NT_SUCCESS(Registry_Read(REG_BRIGHTNESS, &value)));
    EXPECT_EQ(value, 1234u);
    ASSERT_TRUE(store_->write(kDriverKeyPath, "bandwidth", RegistryValue::dword(2)));
    EXPECT_EQ(Registry_Read(REG_BANDWIDTH, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 2u);
    EXPECT_EQ(Registry_Read(REG_FRAMERATE, &frameRate), STATUS_SUCCESS);
    EXPECT_EQ(frameRate, 1u);
    EXPECT_EQ(Registry_Read(REG_AP_COR, &apCor), STATUS_SUCCESS);
    EXPECT_EQ(apCor, 0xFFFFFFFFu);
    EXPECT_FALSE(stored("Framerate").has_value());

    value = 1234;
    ASSERT_TRUE(
        store_->write(kDriverKeyPath, "Brightness", RegistryValue::binary({1, 2, 3, 4, 5, 6, 7, 8, 9})));
    EXPECT_FALSE(NT_SUCCESS(Registry_Read(REG_BRIGHTNESS, &value)));
    EXPECT_EQ(value, 1234u);
    // Nor can a number a user typed as text: it is unreadable, not a string record.
    ASSERT_TRUE(store_->write(kDriverKeyPath, "Brightness", RegistryValue::string("7000")));
    EXPECT_EQ(Registry_Read(REG_BRIGHTNESS, &value), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(value, 1234u);

    EXPECT_EQ(Registry_Default(REG_EXP_COARSE, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 185u);
    EXPECT_EQ(stored("ExpCoarse"), RegistryValue::dword(185));
    Registry_GetDefault(REG_ACB_GAIN_B, &value);
    EXPECT_EQ(value, 50u);
    Registry_GetDefault(REG_OFFSET, &value);
    EXPECT_EQ(value, 0xFFFFFFFFu);
    EXPECT_FALSE(stored("AcbGainB") || stored("Offset"));
    zm4::host::setCurrentRegistry(nullptr);
    value = 1234;
    EXPECT_FALSE(NT_SUCCESS(Registry_Read(REG_EXP_COARSE, &value)));
    EXPECT_EQ(value, 1234u);
    EXPECT_FALSE(NT_SUCCESS(Registry_Write(REG_EXP_COARSE, 5)));
    EXPECT_FALSE(NT_SUCCESS(Registry_Default(REG_EXP_COARSE, &value)));
    EXPECT_EQ(value, 185u);
    zm4::host::setCurrentRegistry(store_.get());
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

// Lists are stored as exactly the given bytes; the matrix reads back only
// when usable.
TEST_F(RegistryTest, ListsAndTheMatrixAreBinaryValues)
{
    const UCHAR list[] = {1, 8, 2};
    EXPECT_EQ(Registry_WriteList(REG_DEBUG_LIST, nullptr, 3), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Registry_WriteList(REG_DEBUG_LIST, list, 3), STATUS_SUCCESS);
    EXPECT_EQ(stored("DebugList"), RegistryValue::binary({1, 8, 2}));
    EXPECT_EQ(Registry_WriteList(REG_DEBUG_LIST, list, 0), STATUS_SUCCESS);
    EXPECT_EQ(stored("DebugList"), RegistryValue::binary({})); // present, REG_BINARY, empty
    ASSERT_EQ(store_->deleteKey(kDriverKeyPath), zm4::host::KeyDeletion::Deleted);

    UCHAR read[9] = {9, 9, 9, 9, 9, 9, 9, 9, 9};
    // No key: the query itself fails and the output stays.
    EXPECT_FALSE(NT_SUCCESS(Registry_ReadMatrix(read)));
    EXPECT_EQ(Matrix(read, 9), Matrix(9, 9));
    // Missing value: the all-zero default is copied out, unsuccessfully.
    createDriverKey();
    EXPECT_EQ(Registry_ReadMatrix(read), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Matrix(read, 9), Matrix(9, 0));
    // Too long for the query buffer: untouched.
    std::fill(std::begin(read), std::end(read), 9);
    ASSERT_TRUE(store_->write(kDriverKeyPath, "Matrix", RegistryValue::binary(std::vector<uint8_t>(40, 7))));
    EXPECT_FALSE(NT_SUCCESS(Registry_ReadMatrix(read)));
    EXPECT_EQ(Matrix(read, 9), Matrix(9, 9));
    // A stored all-zero matrix is copied out but unsuccessful.
    ASSERT_TRUE(store_->write(kDriverKeyPath, "Matrix", RegistryValue::binary(std::vector<uint8_t>(9, 0))));
    EXPECT_EQ(Registry_ReadMatrix(read), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Matrix(read, 9), Matrix(9, 0));

    const UCHAR matrix[9] = {0x40, 0xF0, 0x05, 0, 0x3A, 0xFF, 1, 2, 3};
    EXPECT_EQ(Registry_WriteMatrix(matrix), STATUS_SUCCESS);
    EXPECT_EQ(stored("Matrix"), RegistryValue::binary({0x40, 0xF0, 0x05, 0, 0x3A, 0xFF, 1, 2, 3}));
    EXPECT_EQ(Registry_ReadMatrix(read), STATUS_SUCCESS);
    EXPECT_EQ(Matrix(read, 9), Matrix(matrix, 9));
}

TEST_F(RegistryTest, EnumTreeDeleteRemovesOnlyALeafEnumerationKey)
{
    // Absent: nothing changes.
    createDriverKey();
    ASSERT_TRUE(store_->write(kDriverKeyPath, "PUEnumFix", RegistryValue::dword(1)));
    const auto keysBefore = store_->keys();
    EXPECT_EQ(Registry_EnumTreeDelete(), 0u);
    EXPECT_EQ(store_->keys(), keysBefore);
    EXPECT_EQ(stored("PUEnumFix"), RegistryValue::dword(1));
    // With a subkey it stays.
    const std::string child = std::string(kEnumKeyPath) + "\\5&1234";
    ASSERT_TRUE(store_->createKey(child));
    EXPECT_EQ(Registry_EnumTreeDelete(), 0u);
    EXPECT_TRUE(store_->keyExists(child));
    // A leaf with values goes; the driver's own key stays.
    ASSERT_EQ(store_->deleteKey(child), zm4::host::KeyDeletion::Deleted);
    ASSERT_TRUE(store_->write(kEnumKeyPath, "Driver", RegistryValue::dword(1)));
    EXPECT_EQ(Registry_EnumTreeDelete(), 0u);
    EXPECT_FALSE(store_->keyExists(kEnumKeyPath));
    EXPECT_TRUE(store_->keyExists(kDriverKeyPath));
    EXPECT_EQ(zm4::host::openKeyHandleCount(), 0u);
}

} // namespace
