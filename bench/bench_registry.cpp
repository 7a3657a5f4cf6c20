// The registry store's cost as the driver's key grows: loading a file of N
// values and one read from it. Google Benchmark fits the growth
// (`_BigO` rows), which must stay N log N: a registry a user has grown by hand
// still opens at once.
#include <filesystem>
#include <fstream>
#include <string>

#include <benchmark/benchmark.h>
#include <unistd.h>

#include "platform/kernel/registry_store.h"

namespace {

std::filesystem::path writeRegistry(int64_t count)
{
    const auto path =
        std::filesystem::temp_directory_path() /
        ("zm4-bench-registry-" + std::to_string(::getpid()) + "-" + std::to_string(count) + ".reg");
    std::ofstream out(path);
    out << "Windows Registry Editor Version 5.00\n\n[" << zm4::host::kDriverKeyPath << "]\n";
    for (int64_t i = 0; i < count; ++i)
        out << "\"Value" << i << "\"=dword:" << std::hex << i << std::dec << "\n";
    return path;
}

void BM_RegistryLoad(benchmark::State &state)
{
    const auto path = writeRegistry(state.range(0));
    for (auto _ : state) {
        auto store = zm4::host::RegistryStore::openFile(path);
        benchmark::DoNotOptimize(store->read(zm4::host::kDriverKeyPath, "Value1"));
    }
    std::filesystem::remove(path);
    state.SetComplexityN(state.range(0));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RegistryLoad)
    ->RangeMultiplier(4)
    ->Range(1 << 10, 300000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oNLogN);

} // namespace

BENCHMARK_MAIN();
