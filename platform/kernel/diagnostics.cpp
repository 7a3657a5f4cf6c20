// Verifier messages of the host kernel: the fatal stop, naming code addresses
// for messages, and keeping the kernel's own bookkeeping out of the race
// detector's view.
#include <cxxabi.h>
#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/kernel/kernel_internal.h"

#if defined(__SANITIZE_THREAD__)
#define ZM4_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZM4_TSAN 1
#endif
#endif

#ifdef ZM4_TSAN
extern "C" {
void AnnotateIgnoreSyncBegin(const char *file, int line);
void AnnotateIgnoreSyncEnd(const char *file, int line);
void AnnotateIgnoreReadsBegin(const char *file, int line);
void AnnotateIgnoreReadsEnd(const char *file, int line);
void AnnotateIgnoreWritesBegin(const char *file, int line);
void AnnotateIgnoreWritesEnd(const char *file, int line);
}
#endif

namespace zm4::host::detail {

void fatal(const std::string &message)
{
    std::fputs(("zm4 kernel: " + message + "\n").c_str(), stderr);
    std::fflush(stderr);
    std::abort();
}

std::string hexAddress(const void *address)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address)));
    return text;
}

static std::string hexOffset(uintptr_t offset)
{
    char text[32];
    std::snprintf(text, sizeof text, "+0x%llx", static_cast<unsigned long long>(offset));
    return text;
}

namespace {

std::string demangle(const char *name)
{
    int status = -1;
    std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(name, nullptr, nullptr, &status), &std::free);
    return status == 0 && demangled ? demangled.get() : name;
}

// The full symbol table of one module file, read on the first message that
// needs it: the dynamic table names only exported functions, and most of the
// driver's are file-local.
class ModuleSymbols {
public:
    explicit ModuleSymbols(const std::string &path)
    {
        std::ifstream file(path, std::ios::binary);
        const std::vector<char> image((std::istreambuf_iterator<char>(file)),
                                      std::istreambuf_iterator<char>());
        ElfW(Ehdr) header;
        if (image.size() < sizeof header)
            return;
        std::memcpy(&header, image.data(), sizeof header);
        if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_shentsize != sizeof(ElfW(Shdr)) ||
            header.e_shoff > image.size() ||
            header.e_shnum > (image.size() - header.e_shoff) / sizeof(ElfW(Shdr)))
            return;
        absolute_ = header.e_type == ET_EXEC;
        std::vector<ElfW(Shdr)> sections(header.e_shnum);
        std::memcpy(sections.data(), image.data() + header.e_shoff, sections.size() * sizeof(ElfW(Shdr)));
        for (const auto &section : sections) {
            if (section.sh_type != SHT_SYMTAB || section.sh_link >= sections.size())
                continue;
            const auto &strings = sections[section.sh_link];
            if (section.sh_offset > image.size() || section.sh_size > image.size() - section.sh_offset ||
                strings.sh_offset > image.size() || strings.sh_size > image.size() - strings.sh_offset)
                continue;
            for (size_t at = 0; at + sizeof(ElfW(Sym)) <= section.sh_size; at += sizeof(ElfW(Sym))) {
                ElfW(Sym) symbol;
                std::memcpy(&symbol, image.data() + section.sh_offset + at, sizeof symbol);
                if (ELF64_ST_TYPE(symbol.st_info) != STT_FUNC || symbol.st_size == 0 ||
                    symbol.st_name >= strings.sh_size)
                    continue;
                const char *name = image.data() + strings.sh_offset + symbol.st_name;
                const size_t length = strnlen(name, strings.sh_size - symbol.st_name);
                functions_.push_back({symbol.st_value, symbol.st_size, std::string(name, length)});
            }
        }
        std::sort(functions_.begin(), functions_.end(),
                  [](const Function &a, const Function &b) { return a.start < b.start; });
    }

    // offset: the address less the module's load base (ignored for a
    // fixed-address executable). Empty when no function covers it.
    std::string name(uintptr_t address, uintptr_t base, uintptr_t *start) const
    {
        const uintptr_t key = absolute_ ? address : address - base;
        auto it = std::upper_bound(functions_.begin(), functions_.end(), key,
                                   [](uintptr_t value, const Function &f) { return value < f.start; });
        if (it == functions_.begin())
            return {};
        --it;
        if (key >= it->start + it->size)
            return {};
        *start = absolute_ ? it->start : it->start + base;
        return demangle(it->name.c_str());
    }

private:
    struct Function {
        uintptr_t start;
        uintptr_t size;
        std::string name;
    };
    bool absolute_ = false;
    std::vector<Function> functions_;
};

std::string fullSymbolName(const Dl_info &info, uintptr_t address, uintptr_t *start)
{
    static std::mutex mutex;
    static std::map<std::string, std::unique_ptr<ModuleSymbols>> modules;
    // This program's own file is found through /proc, whatever it was started as.
    Dl_info own{};
    dladdr(reinterpret_cast<const void *>(&fullSymbolName), &own);
    const std::string path = info.dli_fbase == own.dli_fbase
                                 ? "/proc/self/exe"
                                 : (info.dli_fname != nullptr ? info.dli_fname : "");
    if (path.empty())
        return {};
    TsanQuiet quiet;
    std::lock_guard guard(mutex);
    auto &module = modules[path];
    if (!module)
        module = std::make_unique<ModuleSymbols>(path);
    return module->name(address, reinterpret_cast<uintptr_t>(info.dli_fbase), start);
}

} // namespace

std::string describeCode(const void *address, bool returnAddress)
{
    if (address == nullptr)
        return "an unknown caller";
    // A return address follows its call; look up the byte before it so a call
    // that ends a function is not credited to the next one.
    const auto pc = reinterpret_cast<uintptr_t>(address);
    const uintptr_t lookup = returnAddress ? pc - 1 : pc;
    Dl_info info{};
    void *symbolEntry = nullptr;
    if (dladdr1(reinterpret_cast<const void *>(lookup), &info, &symbolEntry, RTLD_DL_SYMENT) == 0)
        return hexAddress(address);
    const auto *symbol = static_cast<const ElfW(Sym) *>(symbolEntry);
    const auto start = reinterpret_cast<uintptr_t>(info.dli_saddr);
    // The nearest exported symbol counts only if the address lies within it.
    if (info.dli_sname != nullptr && symbol != nullptr && lookup >= start && lookup < start + symbol->st_size)
        return demangle(info.dli_sname) + hexOffset(pc - start);
    uintptr_t localStart = 0;
    if (std::string name = fullSymbolName(info, lookup, &localStart); !name.empty())
        return name + hexOffset(pc - localStart);
    if (info.dli_fname != nullptr) {
        std::string module = info.dli_fname;
        if (auto slash = module.rfind('/'); slash != std::string::npos)
            module.erase(0, slash + 1);
        return module + hexOffset(pc - reinterpret_cast<uintptr_t>(info.dli_fbase));
    }
    return hexAddress(address);
}

#ifdef ZM4_TSAN
TsanQuiet::TsanQuiet()
{
    AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
    AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
    AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
}

TsanQuiet::~TsanQuiet()
{
    AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
    AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
    AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
}
#else
TsanQuiet::TsanQuiet() = default;
TsanQuiet::~TsanQuiet() = default;
#endif

} // namespace zm4::host::detail
