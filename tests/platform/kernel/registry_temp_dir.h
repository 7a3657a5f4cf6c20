// Helpers of the registry tests: a fresh folder under the system's temporary
// folder, removed with everything in it when the test ends, file access, and
// a readable form of values in failure messages.
#pragma once

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>

#include <unistd.h>

#include "platform/kernel/registry_store.h"

namespace zm4::host {

inline void PrintTo(const RegistryValue &value, std::ostream *os)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    *os << "type " << value.type << " [";
    for (size_t i = 0; i < value.data.size(); ++i)
        *os << (i ? "," : "") << kDigits[value.data[i] >> 4] << kDigits[value.data[i] & 15];
    *os << "]";
}

namespace test {

class TempDir {
public:
    TempDir()
    {
        static std::atomic<unsigned> counter{0};
        path_ = std::filesystem::temp_directory_path() /
                ("zm4-registry-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::filesystem::path &path() const { return path_; }
    std::filesystem::path operator/(const std::string &name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

inline std::string readFile(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeFile(const std::filesystem::path &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

} // namespace test
} // namespace zm4::host
