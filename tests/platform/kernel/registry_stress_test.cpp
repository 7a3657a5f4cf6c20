// The registry file under concurrent use, in real time: readers never see a
// partial file, and writers in several threads or processes lose nothing.
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <csignal>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/kernel/registry_store.h"
#include "tests/platform/kernel/registry_temp_dir.h"

namespace zm4::host {
namespace {

using test::TempDir;

const std::string kKey(kDriverKeyPath);

TEST(RegistryStress, ReadersNeverSeeAHalfWrittenFile)
{
    TempDir dir;
    const auto path = dir / "registry.reg";
    constexpr uint32_t kWrites = 300;
    std::atomic<bool> done{false};
    std::atomic<int> reads{0}, damaged{0}, wentBack{0};

    std::thread reader([&] {
        size_t seen = 0;
        while (!done.load()) {
            // A fresh store parses the whole file each time.
            auto store = RegistryStore::openFile(path);
            if (store->damage())
                ++damaged;
            const auto values = store->values(kKey);
            const size_t count = values ? values->size() : 0;
            if (count < seen)
                ++wentBack;
            seen = count;
            ++reads;
        }
    });
    auto writer = RegistryStore::openFile(path);
    bool allWritten = true;
    for (uint32_t i = 0; i < kWrites; ++i)
        allWritten = writer->write(kKey, "Value" + std::to_string(i), RegistryValue::dword(i)) && allWritten;
    // Let the reader finish at least one pass over the final file.
    const int readsAtEnd = reads.load();
    while (reads.load() < readsAtEnd + 2)
        std::this_thread::yield();
    done = true;
    reader.join();

    EXPECT_TRUE(allWritten);
    EXPECT_EQ(damaged.load(), 0);
    EXPECT_EQ(wentBack.load(), 0);
    auto values = RegistryStore::openFile(path)->values(kKey);
    ASSERT_TRUE(values);
    EXPECT_EQ(values->size(), kWrites);
}

TEST(RegistryStress, TwoProcessesWritingAtOnceLoseNothing)
{
    TempDir dir;
    const auto path = dir / "registry.reg";
    constexpr int kEach = 30;
    auto writeMany = [&](const char *prefix) {
        auto store = RegistryStore::openFile(path);
        bool ok = true;
        for (int i = 0; i < kEach; ++i)
            ok = store->write(kKey, prefix + std::to_string(i),
                              RegistryValue::dword(static_cast<uint32_t>(i))) &&
                 ok;
        return ok;
    };
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        ::_exit(writeMany("child") ? 0 : 1);
    EXPECT_TRUE(writeMany("parent"));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    auto store = RegistryStore::openFile(path);
    ASSERT_EQ(store->damage(), std::nullopt);
    for (int i = 0; i < kEach; ++i) {
        EXPECT_EQ(store->read(kKey, "parent" + std::to_string(i)),
                  RegistryValue::dword(static_cast<uint32_t>(i)));
        EXPECT_EQ(store->read(kKey, "child" + std::to_string(i)),
                  RegistryValue::dword(static_cast<uint32_t>(i)));
    }
}

// A process saving settings (ten values, one replace of the file each) killed
// at random points, as many times as the parameter says: each kill leaves at
// most one temporary, which the next store opened removes, and a file that
// parses and holds every value either as the saving round left it or as the
// round before did.
class KilledWriters : public ::testing::TestWithParam<int> {};

TEST_P(KilledWriters, LeaveOldOrNewValuesAndAtMostOneTemporary)
{
    TempDir dir;
    const auto path = dir / "registry.reg";
    auto countTemporaries = [&] {
        size_t n = 0;
        for (const auto &entry : std::filesystem::directory_iterator(dir.path()))
            n += entry.path().filename().string().starts_with("registry.reg.tmp");
        return n;
    };
    {
        auto store = RegistryStore::openFile(path);
        for (int i = 0; i < 300; ++i) // a file that takes a while to write
            store->write(kKey, "Padding" + std::to_string(i),
                         RegistryValue::binary(std::vector<uint8_t>(64)));
    }
    auto saved = [](const RegistryStore &store, int i) {
        const auto value = store.read(kKey, "Setting" + std::to_string(i));
        return value ? value->asDword().value_or(0) : 0; // never saved: 0
    };
    std::mt19937 random(7);
    for (int round = 0; round < GetParam(); ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            auto store = RegistryStore::openFile(path);
            // The save the last kill cut short goes on where it stopped, then new ones.
            uint32_t value = std::max(saved(*store, 0), 1u);
            int i = 0;
            while (i < 10 && saved(*store, i) == value)
                ++i;
            for (;; ++i) {
                if (i == 10) {
                    i = 0;
                    ++value;
                }
                store->write(kKey, "Setting" + std::to_string(i), RegistryValue::dword(value));
            }
        }
        ::usleep(static_cast<useconds_t>(500 + random() % 30000));
        ::kill(child, SIGKILL);
        ASSERT_EQ(::waitpid(child, nullptr, 0), child);
        ASSERT_LE(countTemporaries(), 1u) << "after kill " << round;
        auto store = RegistryStore::openFile(path);
        ASSERT_EQ(store->damage(), std::nullopt) << "after kill " << round;
        // Saved in order: the first value is the newest, the rest equal it or are one round older.
        const uint32_t newest = saved(*store, 0);
        for (int i = 1; i < 10; ++i)
            ASSERT_TRUE(saved(*store, i) == newest || saved(*store, i) + 1 == newest)
                << "after kill " << round;
    }
    EXPECT_EQ(countTemporaries(), 0u);
}

// CI keeps the count small; the soak run (label soak) does 10,000 kills.
INSTANTIATE_TEST_SUITE_P(RegistryStress, KilledWriters, ::testing::Values(30));
INSTANTIATE_TEST_SUITE_P(RegistrySoak, KilledWriters, ::testing::Values(10000));

} // namespace
} // namespace zm4::host
