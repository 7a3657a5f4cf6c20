// The kernel's registry routines as the driver calls them, on the in-memory
// store and on a file store, checked through what the store then holds. (The
// driver's own registry tests cover defaults, failed reads, the matrix buffer
// and the enumeration key on the in-memory store.)
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kernel/kernel.h"
#include "platform/kernel/registry_store.h"
#include "tests/platform/kernel/registry_temp_dir.h"

namespace zm4::host {
namespace {

constexpr PCWSTR kPath = u"Software\\Lumena\\ZM4 Microscope";
const std::string kKey(kDriverKeyPath);

NTSTATUS writeDword(PCWSTR name, ULONG value)
{
    return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kPath, name, REG_DWORD, &value, sizeof value);
}

// One direct query with a REG_DWORD default, as the driver reads its values.
NTSTATUS readDword(PCWSTR name, ULONG *out, ULONG defaultValue)
{
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, name, out, REG_DWORD, &defaultValue, sizeof(ULONG)};
    return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kPath, table, nullptr, nullptr);
}

NTSTATUS queryBinary(PCWSTR name, void *buffer, std::vector<uint8_t> defaultData = {})
{
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0] = {nullptr,
                RTL_QUERY_REGISTRY_DIRECT,
                name,
                buffer,
                defaultData.empty() ? REG_NONE : REG_BINARY,
                defaultData.data(),
                static_cast<ULONG>(defaultData.size())};
    return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kPath, table, nullptr, nullptr);
}

// Every test runs on both back ends; the file one also checks that a second
// store opened on the file afterwards sees the same thing.
class RegistryRoutines : public testing::TestWithParam<bool> {
protected:
    RegistryRoutines()
        : store_(GetParam() ? RegistryStore::openFile(dir_ / "registry.reg") : RegistryStore::inMemory()),
          scope_(*store_)
    {
    }
    ~RegistryRoutines() override { EXPECT_EQ(openKeyHandleCount(), 0u) << "a key handle was left open"; }

    // What a later run of the driver would find.
    RegistryStore &persisted()
    {
        if (GetParam())
            reopened_ = RegistryStore::openFile(dir_ / "registry.reg");
        return reopened_ ? *reopened_ : *store_;
    }

    test::TempDir dir_;
    std::unique_ptr<RegistryStore> store_, reopened_;
    RegistryScope scope_;
};

// What the driver writes reaches the store (and a later run), and reads back
// whatever the case of its name; a missing value reads as its default, which
// is not written, and so does one removed since it was last read.
TEST_P(RegistryRoutines, WritesPersistAndReadBack)
{
    UCHAR matrix[9] = {96, 0xD0, 48, 1, 2, 3, 4, 5, 6};
    ASSERT_EQ(writeDword(u"ApCor", 0xFFFFFFFF), STATUS_SUCCESS);
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kPath, u"Matrix", REG_BINARY, matrix, 9),
              STATUS_SUCCESS);
    EXPECT_EQ(persisted().read(kKey, "ApCor"), RegistryValue::dword(0xFFFFFFFF));
    EXPECT_EQ(persisted().read(kKey, "Matrix"), RegistryValue::binary({96, 0xD0, 48, 1, 2, 3, 4, 5, 6}));
    ULONG value = 77;
    EXPECT_EQ(readDword(u"apcor", &value, 3), STATUS_SUCCESS);
    EXPECT_EQ(value, 0xFFFFFFFFu);
    EXPECT_EQ(readDword(u"Framerate", &value, 1), STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(persisted().read(kKey, "Framerate"), std::nullopt);
    ASSERT_TRUE(store_->deleteValue(kKey, "ApCor"));
    EXPECT_EQ(readDword(u"ApCor", &value, 3), STATUS_SUCCESS);
    EXPECT_EQ(value, 3u);
}

TEST_P(RegistryRoutines, DirectBuffersOnlyTakeTheirOwnType)
{
    // A number typed as text, a word too long, and a word where bytes are
    // expected: none fits the buffer's layout, and the buffer is not touched.
    ASSERT_TRUE(store_->write(kKey, "Brightness", RegistryValue::string("7000")));
    ASSERT_TRUE(store_->write(kKey, "Contrast", {REG_DWORD, std::vector<uint8_t>(8, 0x40)}));
    ASSERT_TRUE(store_->write(kKey, "Matrix", RegistryValue::dword(7)));
    ULONG value = 77;
    EXPECT_EQ(readDword(u"Brightness", &value, 5000), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(readDword(u"Contrast", &value, 5000), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(value, 77u);
    UCHAR matrix[16] = {0xF0, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(queryBinary(u"Matrix", matrix, std::vector<uint8_t>(16, 0)), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(matrix[0], 0xF0);
    // The type can also be named outright, with no default at all.
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK, u"Brightness",
                &value,  REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT,          nullptr,
                0};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kPath, table, nullptr, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    table[0].Name = u"Missing";
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kPath, table, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(value, 77u);
}

INSTANTIATE_TEST_SUITE_P(Registry, RegistryRoutines, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &param) {
                             return param.param ? "File" : "Memory";
                         });

} // namespace
} // namespace zm4::host
