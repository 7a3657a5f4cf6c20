// The registry store: its text file, case rules, damaged files and the
// temporaries of killed writers. (Several writers on one file are the stress
// tests'.)
#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kernel/registry_store.h"
#include "tests/platform/kernel/registry_temp_dir.h"

namespace zm4::host {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

const std::string kKey(kDriverKeyPath);
const std::string kEnum(kEnumKeyPath);

TEST(RegistryFile, WritesTheEditorExportFormat)
{
    TempDir dir;
    const auto path = dir / "config/zm4/registry.reg"; // folder created by the first write
    auto store = RegistryStore::openFile(path);
    ASSERT_TRUE(store->write(kKey, "Bandwidth", RegistryValue::dword(3)));
    ASSERT_TRUE(store->write(kKey, "ApCor", RegistryValue::dword(0xFFFFFFFF)));
    ASSERT_TRUE(store->write(kKey, "Matrix", RegistryValue::binary({1, 8, 0x7f, 0x80, 0xff, 0, 2, 3, 4})));
    ASSERT_TRUE(store->write(kKey, "DebugList", RegistryValue::binary({})));
    ASSERT_TRUE(store->write(kKey, "Note", RegistryValue::string("C:\\cam \"ZM4\"")));
    ASSERT_TRUE(store->createKey(kEnum));
    EXPECT_EQ(readFile(path), "Windows Registry Editor Version 5.00\n"
                              "\n"
                              "[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1E7A&PID_0001]\n"
                              "\n"
                              "[HKEY_LOCAL_MACHINE\\Software\\Lumena\\ZM4 Microscope]\n"
                              "\"Bandwidth\"=dword:00000003\n"
                              "\"ApCor\"=dword:ffffffff\n"
                              "\"Matrix\"=hex:01,08,7f,80,ff,00,02,03,04\n"
                              "\"DebugList\"=hex:\n"
                              "\"Note\"=\"C:\\\\cam \\\"ZM4\\\"\"\n"
                              "\n");
    EXPECT_FALSE(std::filesystem::exists(path.string() + ".tmp")); // no temporary left behind

    // What went to the file comes back from it.
    auto reopened = RegistryStore::openFile(path);
    EXPECT_EQ(reopened->damage(), std::nullopt);
    EXPECT_EQ(reopened->values(kKey), store->values(kKey));
    EXPECT_EQ(reopened->read(kKey, "Note")->asString(), "C:\\cam \"ZM4\"");
    EXPECT_TRUE(reopened->keyExists(kEnum));
}

TEST(RegistryFile, ParsesAHandWrittenFile)
{
    TempDir dir;
    const auto path = dir / "registry.reg";
    writeFile(path, "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
                    "\r\n"
                    "; settings written by hand\r\n"
                    "[HKEY_LOCAL_MACHINE\\Software\\Lumena\\ZM4 Microscope]\r\n"
                    "\"Framerate\"=dword:5\r\n"
                    "\"Matrix\"=hex:0A,0b,\\\r\n"
                    "  0c\r\n"
                    "@=\"default\"\r\n"
                    "\"Big\"=hex(b):01,00,00,00,00,00,00,00\r\n"
                    "\"Framerate\"=dword:00000004\r\n"
                    "\r\n"
                    "[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1E7A&PID_0001\\5&1]\r\n");
    auto store = RegistryStore::openFile(path);
    ASSERT_EQ(store->damage(), std::nullopt);
    EXPECT_EQ(store->read(kKey, "Framerate")->asDword(), 4u); // the later line wins
    EXPECT_EQ(store->read(kKey, "Matrix"), RegistryValue::binary({0x0a, 0x0b, 0x0c}));
    EXPECT_EQ(store->read(kKey, "")->asString(), "default");
    EXPECT_EQ(store->read(kKey, "Big")->type, 0xBu);
    EXPECT_TRUE(store->keyExists(kEnum)); // a parent of a listed key exists
    EXPECT_EQ(store->keys(), (std::vector<std::string>{kEnum + "\\5&1", kKey}));

    // A write keeps every value it did not touch, in the editor's spelling.
    ASSERT_TRUE(store->write(kKey, "Backlit", RegistryValue::dword(1)));
    const std::string text = readFile(path);
    EXPECT_NE(text.find("@=\"default\"\n"), text.npos);
    EXPECT_NE(text.find("\"Big\"=hex(b):01,00,00,00,00,00,00,00\n"), text.npos);
    EXPECT_NE(text.find("\"Framerate\"=dword:00000004\n"), text.npos);
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1E7A&PID_0001\\5&1]\n"), text.npos);
}

TEST(RegistryStore, NamesIgnoreCaseAndKeepTheirFirstSpelling)
{
    TempDir dir;
    for (bool file : {false, true}) {
        SCOPED_TRACE(file ? "file" : "memory");
        auto store = file ? RegistryStore::openFile(dir / "registry.reg") : RegistryStore::inMemory();
        ASSERT_TRUE(store->write(kKey, "Bandwidth", RegistryValue::dword(2)));
        ASSERT_TRUE(store->write("hkey_local_machine\\SOFTWARE\\lumena\\zm4 microscope", "BANDWIDTH",
                                 RegistryValue::dword(1)));
        EXPECT_EQ(store->read("HKEY_LOCAL_MACHINE\\software\\LUMENA\\ZM4 MICROSCOPE", "bandWIDTH")->asDword(),
                  1u);
        EXPECT_EQ(store->keys(), std::vector<std::string>{kKey});
        auto values = store->values(kKey);
        ASSERT_TRUE(values);
        ASSERT_EQ(values->size(), 1u);
        EXPECT_EQ(values->front().first, "Bandwidth");
        if (file) {
            EXPECT_NE(readFile(dir / "registry.reg").find("\"Bandwidth\"=dword:00000001"), std::string::npos);
        }
        ASSERT_TRUE(store->deleteValue(kKey, "bandwidth"));
    }
}

TEST(RegistryStore, ClearedStoreIsEmptyAndFillsAgainAsNew)
{
    TempDir dir;
    for (bool file : {false, true}) {
        SCOPED_TRACE(file ? "file" : "memory");
        auto store = file ? RegistryStore::openFile(dir / "registry.reg") : RegistryStore::inMemory();
        const std::string sub = kKey + "\\Colour";
        for (int round = 0; round < 3; ++round) {
            SCOPED_TRACE(round);
            // Each round writes other names, spellings and sizes into the
            // memory the round before left.
            const std::vector<NamedValue> expected = {
                {round == 1 ? "GAIN" : "Gain", RegistryValue::dword(static_cast<uint32_t>(round))},
                {"Name" + std::to_string(round), RegistryValue::string(std::string(5 + 20 * round, 'x'))},
                {"Blob", RegistryValue::binary(std::vector<uint8_t>(round + 1, static_cast<uint8_t>(round)))},
            };
            for (size_t i = 0; i < expected.size() - (round == 2); ++i)
                ASSERT_TRUE(store->write(kKey, expected[i].first, expected[i].second));
            ASSERT_TRUE(store->write(sub, "Red", RegistryValue::dword(7)));
            EXPECT_EQ(store->values(kKey),
                      std::vector<NamedValue>(expected.begin(), expected.end() - (round == 2)));
            EXPECT_EQ(store->read(kKey, "gain")->asDword(), static_cast<uint32_t>(round));
            EXPECT_EQ(store->read(kKey, "Name0"),
                      round == 0 ? std::optional(expected[1].second) : std::nullopt);
            EXPECT_EQ(store->keys(), (std::vector<std::string>{kKey, sub}));

            const uint64_t serial = store->serial();
            ASSERT_TRUE(store->clear());
            EXPECT_NE(store->serial(), serial); // key handles opened before are stale
            EXPECT_TRUE(store->keys().empty());
            EXPECT_FALSE(store->keyExists(kKey));
            EXPECT_EQ(store->read(sub, "Red"), std::nullopt);
            if (file) {
                EXPECT_EQ(readFile(dir / "registry.reg").find("Lumena"), std::string::npos);
            }
        }
    }
}

TEST(RegistryStore, RefusesBadNamesAndUnwritableFiles)
{
    auto memory = RegistryStore::inMemory();
    EXPECT_FALSE(memory->write("Software\\Lumena", "x", RegistryValue::dword(1)));           // no root
    EXPECT_FALSE(memory->write("HKEY_LOCAL_MACHINE\\A\\\\B", "x", RegistryValue::dword(1))); // empty part
    EXPECT_FALSE(memory->write(kKey, "two\nlines", RegistryValue::dword(1)));
    EXPECT_TRUE(memory->keys().empty());

    // A file whose folder cannot exist (its parent is a file): writes fail and
    // change nothing, even for a store running as root.
    TempDir dir;
    writeFile(dir / "plain", "x");
    auto store = RegistryStore::openFile(dir / "plain/registry.reg");
    EXPECT_EQ(store->damage(), std::nullopt); // no file is an empty registry
    EXPECT_FALSE(store->write(kKey, "Bandwidth", RegistryValue::dword(3)));
    EXPECT_FALSE(store->createKey(kEnum));
    EXPECT_EQ(store->read(kKey, "Bandwidth"), std::nullopt);
    EXPECT_FALSE(store->keyExists(kKey));
}

struct Damage {
    std::string text;
    std::string where; // expected in the diagnostic
};

class DamagedFile : public testing::TestWithParam<Damage> {};

TEST_P(DamagedFile, IsReportedAndNeverOverwritten)
{
    TempDir dir;
    const auto path = dir / "registry.reg";
    writeFile(path, GetParam().text);
    auto store = RegistryStore::openFile(path);
    ASSERT_TRUE(store->damage());
    EXPECT_NE(store->damage()->find(GetParam().where), std::string::npos) << *store->damage();
    EXPECT_NE(store->damage()->find("memory only"), std::string::npos) << *store->damage();
    EXPECT_TRUE(store->keys().empty()); // starts from defaults

    // Writes work for this run but the file keeps its bytes, and nothing
    // (temporary or lock file) appears beside it.
    EXPECT_TRUE(store->write(kKey, "Bandwidth", RegistryValue::dword(2)));
    EXPECT_TRUE(store->createKey(kEnum));
    EXPECT_EQ(store->read(kKey, "Bandwidth")->asDword(), 2u);
    EXPECT_EQ(readFile(path), GetParam().text);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

constexpr const char *kGoodStart = "Windows Registry Editor Version 5.00\n\n"
                                   "[HKEY_LOCAL_MACHINE\\Software\\Lumena\\ZM4 Microscope]\n"
                                   "\"Bandwidth\"=dword:00000003\n";

INSTANTIATE_TEST_SUITE_P(
    Registry, DamagedFile,
    testing::Values(
        Damage{"Registry File 1.0\n\n[HKEY_LOCAL_MACHINE\\A]\n", "line 1: bad header"},
        Damage{"", "line 1: bad header"},
        Damage{"Windows Registry Editor Version 5.00\n\n\"Orphan\"=dword:00000001\n",
               "line 3: value outside a section"},
        Damage{(std::string(kGoodStart) + "\"Matrix\"=hex:01,zz,03\n"), "line 5: bad hex byte \"zz\""},
        Damage{(std::string(kGoodStart) + "\"Matrix\"=hex:01,\\\n  02,\n"), "line 5: byte list ends"},
        Damage{(std::string(kGoodStart) + "\"Framerate\"=dword:123456789\n"), "line 5: bad dword"},
        Damage{(std::string(kGoodStart) + "Framerate=4\n"), "line 5: not a key"},
        Damage{(std::string(kGoodStart) + "[Software\\Lumena]\n"), "line 5: bad key name"},
        Damage{(std::string(kGoodStart) + "\"Note\"=\"open\n"), "line 5: missing closing quote"},
        Damage{(std::string(kGoodStart) + "\"Gone\"=-\n"), "line 5: value deletion"}));

TEST(RegistryFile, DamageFoundLaterKeepsTheLastGoodContents)
{
    TempDir dir;
    const auto path = dir / "registry.reg";
    auto store = RegistryStore::openFile(path);
    ASSERT_TRUE(store->write(kKey, "Bandwidth", RegistryValue::dword(3)));
    const std::string broken = std::string(kGoodStart) + "garbage\n";
    writeFile(path, broken); // someone edits the file badly while we run
    EXPECT_TRUE(store->write(kKey, "Brightness", RegistryValue::dword(700)));
    ASSERT_TRUE(store->damage());
    EXPECT_NE(store->damage()->find("line 5"), std::string::npos);
    EXPECT_EQ(store->read(kKey, "Bandwidth")->asDword(), 3u);
    EXPECT_EQ(store->read(kKey, "Brightness")->asDword(), 700u);
    EXPECT_EQ(readFile(path), broken);
}

TEST(RegistryFile, TemporariesOfKilledWritersAreRemoved)
{
    TempDir dir;
    const auto path = dir / "registry.reg";
    auto leaveTemporaries = [&] {
        writeFile(dir / "registry.reg.tmp", "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MA");
        writeFile(dir / "registry.reg.tmp.4242.17", "");
    };
    auto folder = [&] {
        std::vector<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(dir.path()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    };
    ASSERT_TRUE(RegistryStore::openFile(path)->write(kKey, "Framerate", RegistryValue::dword(3)));
    leaveTemporaries();
    auto store = RegistryStore::openFile(path); // a load removes them...
    EXPECT_EQ(folder(), (std::vector<std::string>{"registry.reg", "registry.reg.lock"}));
    EXPECT_EQ(store->read(kKey, "Framerate"), RegistryValue::dword(3));
    leaveTemporaries();
    ASSERT_TRUE(store->write(kKey, "Framerate", RegistryValue::dword(4))); // ...and so does a write
    EXPECT_EQ(folder(), (std::vector<std::string>{"registry.reg", "registry.reg.lock"}));
}

} // namespace
} // namespace zm4::host
