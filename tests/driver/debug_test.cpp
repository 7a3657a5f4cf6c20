// The debug problem record: what it keeps and what a diagnostic tool reads
// from the registry; and the record under problems reported from several
// threads at once (real time, meant for ThreadSanitizer).

#include <algorithm>
#include <thread>
#include <vector>

#include "driver/debug.h"
#include "driver_test_env.h"

using zm4::host::kDriverKeyPath;
using zm4::host::RegistryValue;

namespace {

std::vector<uint8_t> listed()
{
    const DEBUG_RECORD *record = Debug_GetRecord();
    return {record->problemList, record->problemList + record->problemCount};
}

// Init clears the mirror and writes a zero (or missing) mask back as its
// default; loaded again, it reads the debug words, and the crisis count
// restarts. Crises are counted in the mirror; the record works without a
// registry.
TEST_F(DriverTest, DebugInitReadsTheDebugWordsAndCountsCrises)
{
    Debug_Init();
    EXPECT_EQ(stored("DebugList"), RegistryValue::binary({}));
    EXPECT_EQ(stored("DebugMaskOutput"), RegistryValue::dword(0));
    const DEBUG_RECORD *record = Debug_GetRecord();
    EXPECT_EQ(record->problemCount | record->problemBits | record->debugWord, 0u);
    for (int i = 0; i < 3; ++i)
        Debug_IncrementCrisisCount();
    EXPECT_EQ(record->crisisCount, 3u);
    EXPECT_EQ(stored("DebugCrisisCount"), RegistryValue::dword(3));

    for (const auto &[name, value] :
         {std::pair{"DebugInfo", 0x11u}, {"DebugFunc", 0x22u}, {"DebugMaskOutput", 0x18u}})
        ASSERT_TRUE(registry().write(kDriverKeyPath, name, RegistryValue::dword(value)));
    Debug_Init();
    EXPECT_EQ(std::tuple(record->debugWord, record->debugFunction, record->outputMask),
              std::tuple(0x11u, 0x22u, 0x18u));
    EXPECT_EQ(record->crisisCount, 0u);
    EXPECT_EQ(stored("DebugCrisisCount"), RegistryValue::dword(0));
    EXPECT_EQ(stored("DebugMaskOutput"), RegistryValue::dword(0x18));

    zm4::host::setCurrentRegistry(nullptr);
    Debug_Init();
    Debug_ProblemSet(2, 1);
    Debug_IncrementCrisisCount();
    zm4::host::setCurrentRegistry(&registry());
    EXPECT_EQ(listed(), (std::vector<uint8_t>{2}));
    EXPECT_EQ(record->crisisCount, 1u);
}

// Problems are listed in order of first occurrence; code 0 records nothing; a
// cleared problem keeps its entry and is listed again when it recurs; ten
// distinct codes fill the list (a code's low byte is what is listed), a new
// one then finds no room and a present one is not listed again; a problem in
// the output mask sets the debug word even when it is not listed; clearing
// all empties list and mirror.
TEST_F(DriverTest, DebugProblemsAreListedInOrderOfFirstOccurrence)
{
    ASSERT_TRUE(registry().write(kDriverKeyPath, "DebugMaskOutput", RegistryValue::dword(0x400)));
    Debug_Init();
    for (ULONG code : {1u, 8u, 1u, 0u, 2u})
        Debug_ProblemSet(code, 1);
    EXPECT_EQ(Debug_GetRecord()->problemBits, 11u);
    Debug_ProblemSet(8, 0);
    EXPECT_EQ(Debug_GetRecord()->problemBits, 3u);
    EXPECT_EQ(stored("DebugList"), RegistryValue::binary({1, 8, 2}));
    Debug_ProblemSet(8, 1);
    EXPECT_EQ(stored("DebugList"), RegistryValue::binary({1, 8, 2, 8}));
    EXPECT_EQ(Debug_GetRecord()->debugWord, 0u);

    for (ULONG bit = 0; bit < 10; ++bit)
        Debug_ProblemSet(1u << bit, 1);
    const std::vector<uint8_t> full = {1, 8, 2, 8, 4, 16, 32, 64, 128, 0};
    EXPECT_EQ(listed(), full);
    Debug_ProblemSet(1u << 10, 1); // new: no room
    Debug_ProblemSet(8, 1);        // present: not again
    EXPECT_EQ(listed(), full);
    EXPECT_EQ(stored("DebugList"), RegistryValue::binary(full));
    EXPECT_EQ(Debug_GetRecord()->problemBits, 0x1FFu);
    EXPECT_EQ(Debug_GetRecord()->debugWord, DEBUG_WORD_PROBLEM_OUTPUT);

    Debug_ProblemClearAll();
    EXPECT_EQ(Debug_GetRecord()->problemCount | Debug_GetRecord()->problemBits, 0u);
    EXPECT_EQ(stored("DebugList"), RegistryValue::binary({}));
}

class DebugStress : public DriverTest {
protected:
    zm4::host::KernelOptions kernelOptions() const override
    {
        return {.clock = zm4::host::Clock::Real, .delayFuzz = true, .fuzzSeed = 7};
    }
};

TEST_F(DebugStress, ConcurrentProblemsAreEachListedOnce)
{
    Debug_Init();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            // Every thread records the same ten codes, each starting elsewhere.
            for (int round = 0; round < 5; ++round)
                for (int i = 0; i < 10; ++i)
                    Debug_ProblemSet(1u << ((i + t * 3) % 10), 1);
        });
    }
    for (auto &thread : threads)
        thread.join();
    ASSERT_EQ(Debug_GetRecord()->problemCount, 10u);
    EXPECT_EQ(Debug_GetRecord()->problemBits, 0x3FFu);
    // The registry mirror was written with the final list, not an older one.
    EXPECT_EQ(stored("DebugList"), RegistryValue::binary(listed()));
    // Bits 8 and 9 list as 0; the eight low codes appear once each.
    std::vector<uint8_t> sorted = listed();
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<uint8_t>{0, 0, 1, 2, 4, 8, 16, 32, 64, 128}));
}

} // namespace
