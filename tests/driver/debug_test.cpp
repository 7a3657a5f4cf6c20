// The debug problem record: what it keeps and what a diagnostic tool reads
// from the registry.

#include <vector>

#include "driver/debug.h"
#include "driver/device_extension.h"
#include "driver_test_env.h"

using zm4::host::kDriverKeyPath;
using zm4::host::RegistryValue;

namespace {

class DebugTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        Debug_Init();
    }

    void put(const char *name, uint32_t value)
    {
        ASSERT_TRUE(registry().write(kDriverKeyPath, name, RegistryValue::dword(value)));
    }

    static std::vector<uint8_t> list()
    {
        const DEBUG_RECORD *record = Debug_GetRecord();
        return {record->problemList, record->problemList + record->problemCount};
    }
};

TEST_F(DebugTest, InitClearsTheMirrorDefaultsTheMaskAndReadsTheDebugWords)
{
    EXPECT_EQ(stored("DebugList"), RegistryValue::binary({}));
    EXPECT_EQ(stored("DebugCrisisCount"), RegistryValue::dword(0));
    // A zero (or missing) mask is written back as its default.
    EXPECT_EQ(stored("DebugMaskOutput"), RegistryValue::dword(0));
    const DEBUG_RECORD *record = Debug_GetRecord();
    EXPECT_EQ(record->problemCount, 0u);
    EXPECT_EQ(record->problemBits, 0u);
    EXPECT_EQ(record->crisisCount, 0u);
    EXPECT_EQ(record->debugWord, 0u);

    // Loaded again, it reads the debug words.
    put("DebugInfo", 0x11);
    put("DebugFunc", 0x22);
    put("DebugMaskOutput", 0x18);
    put("DebugCrisisCount", 9);
    Debug_Init();
    EXPECT_EQ(record->debugWord, 0x11u);
    EXPECT_EQ(record->debugFunction, 0x22u);
    EXPECT_EQ(record->outputMask, 0x18u);
    // The crisis count restarts at every driver load.
    EXPECT_EQ(stored("DebugCrisisCount"), RegistryValue::dword(0));
    EXPECT_EQ(stored("DebugMaskOutput"), RegistryValue::dword(0x18));
}

// Problems are listed in order of first occurrence; code 0 records nothing; a
// cleared problem keeps its entry and is listed again when it recurs; clearing
// all empties list and mirror.
TEST_F(DebugTest, ProblemsAreListedInOrderOfFirstOccurrence)
{
    for (ULONG code : {1u, 8u, 1u, 0u, 2u})
        Debug_ProblemSet(code, 1);
    EXPECT_EQ(list(), (std::vector<uint8_t>{1, 8, 2}));
    EXPECT_EQ(Debug_GetRecord()->problemBits, 11u);
    EXPECT_EQ(stored("DebugList"), RegistryValue::binary({1, 8, 2}));
    Debug_ProblemSet(8, 0);
    EXPECT_EQ(Debug_GetRecord()->problemBits, 3u);
    EXPECT_EQ(stored("DebugList"), RegistryValue::binary({1, 8, 2}));
    Debug_ProblemSet(8, 1);
    EXPECT_EQ(list(), (std::vector<uint8_t>{1, 8, 2, 8}));
    EXPECT_EQ(stored("DebugList"), RegistryValue::binary({1, 8, 2, 8}));

    Debug_ProblemClearAll();
    EXPECT_EQ(Debug_GetRecord()->problemCount, 0u);
    EXPECT_EQ(Debug_GetRecord()->problemBits, 0u);
    EXPECT_EQ(stored("DebugList"), RegistryValue::binary({}));
    Debug_ProblemSet(0, 1);
    Debug_ProblemSet(16, 1);
    EXPECT_EQ(stored("DebugList"), RegistryValue::binary({16}));
}

// Ten distinct codes fill the list (a code's low byte is what is listed); a
// new one finds no room, a present one is not listed again; a problem in the
// output mask sets the debug word even when it is not listed.
TEST_F(DebugTest, ListHoldsAtMostTenProblemsAndTheMaskSetsTheDebugWord)
{
    put("DebugMaskOutput", 0x400);
    Debug_Init();
    for (ULONG bit = 0; bit < 10; ++bit)
        Debug_ProblemSet(1u << bit, 1);
    const std::vector<uint8_t> full = {1, 2, 4, 8, 16, 32, 64, 128, 0, 0};
    EXPECT_EQ(list(), full);
    EXPECT_EQ(stored("DebugList"), RegistryValue::binary(full));
    EXPECT_EQ(Debug_GetRecord()->debugWord, 0u);

    Debug_ProblemSet(1u << 10, 1); // new: no room
    Debug_ProblemSet(8, 1);        // present: not again
    EXPECT_EQ(list(), full);
    EXPECT_EQ(Debug_GetRecord()->problemBits, 0x3FFu);
    EXPECT_EQ(stored("DebugList"), RegistryValue::binary(full));
    EXPECT_EQ(Debug_GetRecord()->debugWord, DEBUG_WORD_PROBLEM_OUTPUT);
}

TEST_F(DebugTest, CrisisCountIsMirroredAndTheRecordWorksWithoutARegistry)
{
    for (int i = 0; i < 3; ++i)
        Debug_IncrementCrisisCount();
    EXPECT_EQ(Debug_GetRecord()->crisisCount, 3u);
    EXPECT_EQ(stored("DebugCrisisCount"), RegistryValue::dword(3));
    Debug_ClearCrisisCount();
    EXPECT_EQ(Debug_GetRecord()->crisisCount, 0u);
    EXPECT_EQ(stored("DebugCrisisCount"), RegistryValue::dword(0));

    auto first = std::make_unique<DEVICE_EXTENSION>();
    auto second = std::make_unique<DEVICE_EXTENSION>();
    Debug_SetDeviceExtension(first.get());
    Debug_SetDeviceExtension(second.get());
    EXPECT_EQ(Debug_GetRecord()->deviceExtension, second.get());

    zm4::host::setCurrentRegistry(nullptr);
    Debug_Init();
    Debug_ProblemSet(2, 1);
    Debug_IncrementCrisisCount();
    zm4::host::setCurrentRegistry(&registry());
    EXPECT_EQ(list(), (std::vector<uint8_t>{2}));
    EXPECT_EQ(Debug_GetRecord()->crisisCount, 1u);
}

} // namespace
