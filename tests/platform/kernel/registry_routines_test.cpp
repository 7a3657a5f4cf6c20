// The kernel's registry routines as the driver calls them, on the in-memory
// store and on a file store, checked through what the store then holds.
#include <cstring>
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
constexpr PCWSTR kEnumPath = u"Enum\\USB\\VID_1E7A&PID_0001";
const std::string kKey(kDriverKeyPath);
const std::string kEnum(kEnumKeyPath);

NTSTATUS writeDword(PCWSTR name, ULONG value, PCWSTR path = kPath)
{
    return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, path, name, REG_DWORD, &value, sizeof value);
}

// One direct query with a REG_DWORD default, as the driver reads its values.
NTSTATUS readDword(PCWSTR name, ULONG *out, ULONG defaultValue, PCWSTR path = kPath, ULONG flags = 0)
{
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0] = {nullptr,      RTL_QUERY_REGISTRY_DIRECT | flags, name, out, REG_DWORD, &defaultValue,
                sizeof(ULONG)};
    return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path, table, nullptr, nullptr);
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

NTSTATUS openKey(PCWSTR name, HANDLE *handle)
{
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &string, OBJ_EXCLUSIVE, nullptr, nullptr);
    return ZwOpenKey(handle, KEY_ALL_ACCESS, &attributes);
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

TEST_P(RegistryRoutines, DwordValuesRoundTrip)
{
    ASSERT_EQ(writeDword(u"Bandwidth", 2), STATUS_SUCCESS);
    ASSERT_EQ(writeDword(u"ApCor", 0xFFFFFFFF), STATUS_SUCCESS);
    EXPECT_EQ(persisted().read(kKey, "Bandwidth"), RegistryValue::dword(2));
    ULONG value = 77;
    EXPECT_EQ(readDword(u"bandwidth", &value, 3), STATUS_SUCCESS); // names ignore case
    EXPECT_EQ(value, 2u);
    EXPECT_EQ(readDword(u"ApCor", &value, 0), STATUS_SUCCESS);
    EXPECT_EQ(value, 0xFFFFFFFFu);
    // The object-manager spelling names the same key.
    EXPECT_EQ(readDword(u"Bandwidth", &value, 3, u"\\Registry\\Machine\\SOFTWARE\\Lumena\\ZM4 Microscope"),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 2u);
}

TEST_P(RegistryRoutines, MissingValuesAndKeys)
{
    ULONG value = 77;
    // No key at all: the query fails and the output is untouched.
    EXPECT_EQ(readDword(u"Framerate", &value, 1), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(value, 77u);
    ASSERT_EQ(writeDword(u"Bandwidth", 3), STATUS_SUCCESS);
    // The key exists but the value does not: the default, with success.
    EXPECT_EQ(readDword(u"Framerate", &value, 1), STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(persisted().read(kKey, "Framerate"), std::nullopt); // a default is not written
    // Required: the default does not count.
    value = 77;
    EXPECT_EQ(readDword(u"Framerate", &value, 1, kPath, RTL_QUERY_REGISTRY_REQUIRED),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(value, 77u);
    // No default: the entry is skipped.
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    ULONG a = 77, b = 0;
    table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, u"Framerate", &a, REG_NONE, nullptr, 0};
    table[1] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, u"Bandwidth", &b, REG_NONE, nullptr, 0};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kPath, table, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(a, 77u);
    EXPECT_EQ(b, 3u);
}

TEST_P(RegistryRoutines, BinaryValuesFollowTheDirectBufferRules)
{
    UCHAR matrix[9] = {96, 0xD0, 48, 1, 2, 3, 4, 5, 6};
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kPath, u"Matrix", REG_BINARY, matrix, 9),
              STATUS_SUCCESS);
    EXPECT_EQ(persisted().read(kKey, "Matrix"), RegistryValue::binary({96, 0xD0, 48, 1, 2, 3, 4, 5, 6}));

    // The first word of a direct buffer gives its size: negative for the data
    // alone, positive for length and type words before the data.
    const auto sized = [](UCHAR *buffer, LONG size) {
        std::memcpy(buffer, &size, sizeof size);
        return buffer;
    };
    UCHAR exact[16];
    std::memset(exact, 0xEE, sizeof exact);
    ASSERT_EQ(queryBinary(u"Matrix", sized(exact, -16)), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(exact, matrix, 9), 0);
    EXPECT_EQ(exact[9], 0xEE);
    UCHAR framed[20];
    ASSERT_EQ(queryBinary(u"Matrix", sized(framed, 20)), STATUS_SUCCESS);
    ULONG header[2];
    std::memcpy(header, framed, sizeof header);
    EXPECT_EQ(header[0], 9u);
    EXPECT_EQ(header[1], REG_BINARY);
    EXPECT_EQ(std::memcmp(framed + 8, matrix, 9), 0);
    // Too small either way, by one byte.
    EXPECT_EQ(queryBinary(u"Matrix", sized(exact, -8)), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(queryBinary(u"Matrix", sized(framed, 16)), STATUS_BUFFER_TOO_SMALL);
    // A missing binary takes its default data the same way.
    ASSERT_EQ(queryBinary(u"NoMatrix", sized(exact, -16), std::vector<uint8_t>(16, 0)), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(exact, exact + 16), std::vector<uint8_t>(16, 0));
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

TEST_P(RegistryRoutines, EnumerationKeyOpenAndDelete)
{
    HANDLE handle = nullptr;
    // Absent: nothing to open, nothing changes.
    EXPECT_EQ(openKey(kEnumPath, &handle), STATUS_OBJECT_NAME_NOT_FOUND);

    // Present with a subkey: it cannot go, and stays.
    ASSERT_TRUE(store_->createKey(kEnum + "\\5&2a3b&0&1"));
    ASSERT_EQ(openKey(kEnumPath, &handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(handle), STATUS_CANNOT_DELETE);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_TRUE(persisted().keyExists(kEnum));

    // Without its subkey it goes.
    ASSERT_EQ(store_->deleteKey(kEnum + "\\5&2A3B&0&1"), KeyDeletion::Deleted);
    ASSERT_TRUE(store_->write(kEnum, "Driver", RegistryValue::string("zm4")));
    ASSERT_EQ(openKey(u"\\REGISTRY\\MACHINE\\enum\\usb\\vid_1e7a&pid_0001", &handle), STATUS_SUCCESS);
    EXPECT_EQ(openKeyHandleCount(), 1u);
    EXPECT_EQ(ZwDeleteKey(handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_FALSE(persisted().keyExists(kEnum));
    EXPECT_TRUE(persisted().keys().empty());
    EXPECT_EQ(openKey(kEnumPath, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
}

INSTANTIATE_TEST_SUITE_P(Registry, RegistryRoutines, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &param) {
                             return param.param ? "File" : "Memory";
                         });

} // namespace
} // namespace zm4::host
