// The registry file under concurrent use, in real time: readers never see a
// partial file, and writers in several threads or processes lose nothing.
#include <atomic>
#include <filesystem>
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

// Writers killed at random points of their writes leave at most one temporary
// beside the registry, and the next store opened on it removes that one.
TEST(RegistryStress, KilledWritersLeaveAtMostOneTemporary)
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
    for (int round = 0; round < 30; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            auto store = RegistryStore::openFile(path);
            for (uint32_t i = 0;; ++i)
                store->write(kKey, "Counter", RegistryValue::dword(i));
        }
        ::usleep(static_cast<useconds_t>(1000 + round * 300));
        ::kill(child, SIGKILL);
        ASSERT_EQ(::waitpid(child, nullptr, 0), child);
        EXPECT_LE(countTemporaries(), 1u) << "after kill " << round;
    }
    auto store = RegistryStore::openFile(path);
    EXPECT_EQ(store->damage(), std::nullopt);
    EXPECT_EQ(countTemporaries(), 0u);
}

} // namespace
} // namespace zm4::host
