// The verifying pool: ExAllocatePoolWithTag and ExFreePool over malloc, with a
// record of every live block, failure injection and guarded blocks.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <execinfo.h>
#include <memory_resource>
#include <random>
#include <unordered_map>
#include <vector>

#include "platform/kernel/address_map.h"
#include "platform/kernel/kernel_internal.h"
#include "platform/kernel/lock_order.h"

// AddressSanitizer's poisoning, when the process has its runtime: this file
// may be built without the instrumentation itself (the fuzzers build it so).
extern "C" void __asan_poison_memory_region(void const volatile *address, size_t size) __attribute__((weak));
extern "C" void __asan_unpoison_memory_region(void const volatile *address, size_t size)
    __attribute__((weak));

namespace zm4::host {

namespace {

void poison(const void *address, size_t size)
{
    if (__asan_poison_memory_region != nullptr)
        __asan_poison_memory_region(address, size);
}

void unpoison(const void *address, size_t size)
{
    if (__asan_unpoison_memory_region != nullptr)
        __asan_unpoison_memory_region(address, size);
}

// Canaries sit on both sides of a guarded block; 16 bytes keep the block
// itself aligned as malloc aligns.
constexpr size_t kCanaryBytes = 16;
constexpr unsigned char kCanary = 0xFD;
// New blocks are filled so that code relying on zeroed pool shows up (the
// kernel's pool is not zeroed); freed blocks are filled so stale reads stand out.
constexpr unsigned char kFreshFill = 0xCD;
constexpr unsigned char kFreedFill = 0xDD;
// Larger requests fail as the kernel's pool would rather than exhaust the host.
constexpr size_t kLargestBlock = size_t{1} << 30;
// How many freed blocks are remembered to tell a double free from a wild pointer.
constexpr size_t kFreedHistory = 4096;
// Light mode's lookaside (see Pool::setLight): blocks of one rounded size wait
// in a queue, poisoned, until kReuseDelay younger ones have joined them, so a
// stale pointer meets poisoned bytes for as long as it would meet a freed
// block in AddressSanitizer's own quarantine; past kLookasideBytes they go
// back to malloc: then the sizes used longest ago give theirs up, until a
// quarter of the room is free, so that sizes nobody asks for any more do not
// keep the room from those in use. Behind every block kTailBytes are
// poisoned too.
constexpr size_t kLookasideGranule = 16;
constexpr size_t kTailBytes = 16;
constexpr size_t kReuseDelay = 16;
constexpr size_t kLookasideBytes = size_t{64} << 20;
// A reused block's first bytes get the fresh fill, as AddressSanitizer fills
// the first bytes of its own blocks, so that code relying on zeroed pool
// shows up in light mode too.
constexpr size_t kReuseFillBytes = 4096;

std::string tagText(uint32_t tag)
{
    std::string text = "'";
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text + "'";
}

} // namespace

struct Pool::State {
    struct Block {
        uint32_t tag;
        size_t size;
        const void *site;
        uint64_t serial;
        bool guarded;
        bool light; // has the lookaside's room and poisoned tail
    };
    struct Freed {
        uint32_t tag;
        size_t size;
        const void *allocSite;
        const void *freeSite;
    };
    // Unordered: the leak report sorts by serial, nothing else needs an order.
    detail::AddressMap<Block> live;
    // The history's nodes are recycled: a malloc per record would double the
    // cost of each block.
    std::pmr::unsynchronized_pool_resource nodes;
    std::pmr::unordered_map<uintptr_t, Freed> freed{&nodes};
    std::deque<uintptr_t> freedOrder;

    uint64_t attempts = 0;
    uint64_t failed = 0;
    uint64_t serial = 0;
    uint32_t onlyTag = 0;  // 0: failures may hit any tag
    uint64_t eligible = 0; // attempts that the tag filter lets failures reach
    uint64_t failAt = 0;   // absolute eligible attempt number; 0 = none
    uint64_t failEvery = 0;
    uint64_t failEveryBase = 0;
    bool failRandom = false;
    double failProbability = 0;
    std::mt19937_64 random;
    size_t newSitesLeft = 0; // failNewSites: sites still to fail
    std::set<CallSite> sitesSeen;
    std::vector<CallSite> sitesFailed;
    bool guarded = false;
    bool light = false;
    // Light mode's freed blocks by rounded size, oldest first (a queue per
    // size, found through its index), and their bytes.
    struct Queue {
        size_t size;
        std::deque<unsigned char *> blocks;
        uint64_t lastUse; // of useClock, when a block last came or went
    };
    std::vector<Queue> lookaside;
    detail::AddressMap<size_t> lookasideIndex;
    size_t lookasideBytes = 0;
    uint64_t useClock = 0;

    ~State() { dropLookaside(); }

    static size_t lookasideSize(size_t bytes)
    {
        return ((bytes == 0 ? 1 : bytes) + kLookasideGranule - 1) / kLookasideGranule * kLookasideGranule;
    }

    // A block of the lookaside that waited long enough, or null.
    unsigned char *reuse(size_t bytes)
    {
        const size_t *index = lookasideIndex.find(lookasideSize(bytes));
        if (index == nullptr || lookaside[*index].blocks.size() <= kReuseDelay)
            return nullptr;
        Queue &queue = lookaside[*index];
        unsigned char *block = queue.blocks.front();
        queue.blocks.pop_front();
        queue.lastUse = ++useClock;
        lookasideBytes -= queue.size;
        unpoison(block, bytes);
        return block;
    }

    // Takes a freed light block; false when the lookaside has no room for it
    // even after the sizes used longest ago gave theirs up.
    bool keep(unsigned char *block, size_t bytes)
    {
        const size_t size = lookasideSize(bytes);
        if (lookasideBytes + size > kLookasideBytes)
            dropStaleSizes(kLookasideBytes / 4 * 3);
        if (lookasideBytes + size > kLookasideBytes)
            return false;
        poison(block, size + kTailBytes);
        const size_t *index = lookasideIndex.find(size);
        if (index == nullptr) {
            lookasideIndex.put(size, lookaside.size());
            lookaside.push_back({size, {}, 0});
            index = lookasideIndex.find(size);
        }
        Queue &queue = lookaside[*index];
        queue.blocks.push_back(block);
        queue.lastUse = ++useClock;
        lookasideBytes += size;
        return true;
    }

    // Gives the blocks of the sizes used longest ago back to malloc, until at
    // most target bytes are kept.
    void dropStaleSizes(size_t target)
    {
        std::vector<Queue *> byUse;
        for (Queue &queue : lookaside)
            if (!queue.blocks.empty())
                byUse.push_back(&queue);
        std::sort(byUse.begin(), byUse.end(),
                  [](const Queue *a, const Queue *b) { return a->lastUse < b->lastUse; });
        for (Queue *queue : byUse) {
            if (lookasideBytes <= target)
                break;
            dropBlocks(*queue);
        }
    }

    void dropBlocks(Queue &queue)
    {
        for (unsigned char *block : queue.blocks) {
            unpoison(block, queue.size + kTailBytes);
            std::free(block);
        }
        lookasideBytes -= queue.size * queue.blocks.size();
        queue.blocks.clear();
    }

    void dropLookaside()
    {
        for (Queue &queue : lookaside)
            dropBlocks(queue);
        lookaside.clear();
        lookasideIndex = {};
        lookasideBytes = 0;
    }

    bool shouldFail(uint32_t tag, const void *callSite)
    {
        if (onlyTag != 0 && tag != onlyTag)
            return false;
        ++eligible;
        bool fail = false;
        if (failAt != 0 && eligible == failAt) {
            failAt = 0;
            fail = true;
        }
        if (failEvery != 0 && (eligible - failEveryBase) % failEvery == 0)
            fail = true;
        // The draw is made on every attempt so a seed gives one sequence.
        if (failRandom && std::uniform_real_distribution<double>(0.0, 1.0)(random) < failProbability)
            fail = true;
        if (newSitesLeft != 0) {
            const CallSite site = callPath(callSite);
            if (sitesSeen.insert(site).second) {
                --newSitesLeft;
                sitesFailed.push_back(site);
                fail = true;
            }
        }
        return fail;
    }

    // The caller's return address and those of its callers, from the stack
    // (this routine's own frames and the pool routine's are skipped by finding
    // the caller's return address among them).
    static CallSite callPath(const void *callSite)
    {
        void *frames[32];
        const int count = backtrace(frames, 32);
        CallSite site{};
        int first = 0;
        while (first < count && frames[first] != callSite)
            ++first;
        if (first == count) {
            site[0] = callSite; // unwinding failed: the direct caller alone
            return site;
        }
        for (size_t i = 0; i < site.size() && first + static_cast<int>(i) < count; ++i)
            site[i] = frames[first + i];
        return site;
    }

    std::string describe(uintptr_t address, const Block &block) const
    {
        return "pool block " + detail::hexAddress(reinterpret_cast<const void *>(address)) + " (" +
               tagText(block.tag) + ", " + std::to_string(block.size) + " bytes, allocated at " +
               detail::describeCode(block.site) + ")";
    }
};

Pool::Pool() : state_(std::make_unique<State>()) {}

Pool::~Pool() = default;

Pool &Pool::fallback()
{
    // Deliberately leaked: blocks may be freed during static destruction.
    static Pool *pool = new Pool;
    return *pool;
}

size_t Pool::liveBlocks(uint32_t tag) const
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(mutex_);
    size_t count = 0;
    state_->live.forEach([&](uintptr_t, const State::Block &block) { count += block.tag == tag ? 1 : 0; });
    return count;
}

size_t Pool::liveBlocks() const
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(mutex_);
    return state_->live.size();
}

size_t Pool::liveBytes() const
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(mutex_);
    size_t bytes = 0;
    state_->live.forEach([&](uintptr_t, const State::Block &block) { bytes += block.size; });
    return bytes;
}

std::string Pool::leakReport() const
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(mutex_);
    std::vector<std::pair<uintptr_t, State::Block>> blocks;
    state_->live.forEach(
        [&](uintptr_t address, const State::Block &block) { blocks.emplace_back(address, block); });
    std::sort(blocks.begin(), blocks.end(),
              [](const auto &a, const auto &b) { return a.second.serial < b.second.serial; });
    std::string report;
    for (const auto &[address, block] : blocks)
        report += "leaked " + state_->describe(address, block) + "\n";
    return report;
}

void Pool::failNth(uint64_t n)
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(mutex_);
    state_->failAt = n == 0 ? 0 : state_->eligible + n;
}

void Pool::failEveryNth(uint64_t n)
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(mutex_);
    state_->failEvery = n;
    state_->failEveryBase = state_->eligible;
}

void Pool::failRandomly(uint64_t seed, double probability)
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(mutex_);
    state_->failRandom = true;
    state_->failProbability = probability;
    state_->random.seed(seed);
}

void Pool::failOnlyTag(uint32_t tag)
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(mutex_);
    state_->onlyTag = tag;
}

void Pool::failNewSites(std::set<CallSite> spared, size_t limit)
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(mutex_);
    state_->sitesSeen = std::move(spared);
    state_->sitesFailed.clear();
    state_->newSitesLeft = limit;
}

std::vector<Pool::CallSite> Pool::failedSites() const
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(mutex_);
    return state_->sitesFailed;
}

std::string Pool::describe(const CallSite &site)
{
    std::string text;
    for (const void *frame : site) {
        if (frame == nullptr)
            break;
        text += (text.empty() ? "" : " <- ") + detail::describeCode(frame);
    }
    return text;
}

void Pool::clearFailures()
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(mutex_);
    state_->failAt = 0;
    state_->failEvery = 0;
    state_->failRandom = false;
    state_->newSitesLeft = 0;
    state_->onlyTag = 0;
}

uint64_t Pool::allocationCount() const
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(mutex_);
    return state_->attempts;
}

uint64_t Pool::failedCount() const
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(mutex_);
    return state_->failed;
}

void Pool::setGuarded(bool guarded)
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(mutex_);
    state_->guarded = guarded;
}

void Pool::setLight(bool light)
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(mutex_);
    state_->light = light;
    if (light) {
        state_->freed.clear();
        state_->freedOrder.clear();
    } else {
        state_->dropLookaside();
    }
}

void *Pool::allocate(POOL_TYPE /*type*/, size_t bytes, uint32_t tag, void *callSite)
{
    bool guarded = false;
    bool light = false;
    {
        detail::TsanQuiet quiet;
        std::lock_guard guard(mutex_);
        ++state_->attempts;
        if (state_->shouldFail(tag, callSite) || bytes > kLargestBlock) {
            ++state_->failed;
            return nullptr;
        }
        guarded = state_->guarded;
        light = state_->light;
        if (light && !guarded) {
            if (unsigned char *block = state_->reuse(bytes)) {
                std::memset(block, kFreshFill, std::min(bytes, kReuseFillBytes));
                state_->live.put(reinterpret_cast<uintptr_t>(block),
                                 State::Block{tag, bytes, callSite, ++state_->serial, false, true});
                return block;
            }
        }
    }
    // A zero-byte request still gets a distinct block, as the kernel's does.
    // A light block has room to wait in the lookaside with its poisoned tail.
    const size_t size = bytes == 0 ? 1 : bytes;
    const size_t extra = guarded ? 2 * kCanaryBytes
                         : light ? State::lookasideSize(bytes) - size + kTailBytes
                                 : 0;
    auto *base = static_cast<unsigned char *>(std::malloc(size + extra));
    if (base == nullptr) {
        detail::TsanQuiet quiet;
        std::lock_guard guard(mutex_);
        ++state_->failed;
        return nullptr;
    }
    unsigned char *block = base;
    if (guarded) {
        std::memset(base, kCanary, kCanaryBytes);
        block = base + kCanaryBytes;
        std::memset(block + bytes, kCanary, kCanaryBytes + (size - bytes));
    }
    if (!light)
        std::memset(block, kFreshFill, bytes);
    else if (!guarded)
        poison(block + bytes, extra + size - bytes);

    detail::TsanQuiet quiet;
    std::lock_guard guard(mutex_);
    const auto address = reinterpret_cast<uintptr_t>(block);
    state_->live.put(address,
                     State::Block{tag, bytes, callSite, ++state_->serial, guarded, light && !guarded});
    if (!state_->freed.empty())
        state_->freed.erase(address); // the address is a new block now
    return block;
}

bool Pool::free(void *blockPointer, void *callSite, size_t *bytes)
{
    const auto address = reinterpret_cast<uintptr_t>(blockPointer);
    State::Block block{};
    bool light = false;
    {
        detail::TsanQuiet quiet;
        std::lock_guard guard(mutex_);
        if (!state_->live.take(address, block))
            return false;
        light = state_->light;
        if (!light && state_->freed.size() >= kFreedHistory) {
            state_->freed.erase(state_->freedOrder.front());
            state_->freedOrder.pop_front();
        }
        if (!light) {
            state_->freed[address] = State::Freed{block.tag, block.size, block.site, callSite};
            state_->freedOrder.push_back(address);
        }
    }
    auto *bytePointer = static_cast<unsigned char *>(blockPointer);
    unsigned char *base = bytePointer;
    if (block.guarded) {
        base = bytePointer - kCanaryBytes;
        const unsigned char *after = bytePointer + block.size;
        const size_t afterBytes = kCanaryBytes + (block.size == 0 ? 1 : 0);
        for (size_t i = 0; i < kCanaryBytes; ++i)
            if (base[i] != kCanary)
                detail::fatal(state_->describe(address, block) +
                              " was underrun: the canary before it is damaged " +
                              std::to_string(kCanaryBytes - i) + " bytes before its start (freed at " +
                              detail::describeCode(callSite) + ")");
        for (size_t i = 0; i < afterBytes; ++i)
            if (after[i] != kCanary)
                detail::fatal(state_->describe(address, block) +
                              " was overrun: the canary after it is damaged at byte " +
                              std::to_string(block.size + i) + " (freed at " +
                              detail::describeCode(callSite) + ")");
    }
    if (!light)
        std::memset(bytePointer, kFreedFill, block.size);
    if (block.light) {
        detail::TsanQuiet quiet;
        std::lock_guard guard(mutex_);
        if (state_->light && state_->keep(bytePointer, block.size)) {
            if (bytes != nullptr)
                *bytes = block.size;
            return true;
        }
        unpoison(bytePointer, State::lookasideSize(block.size) + kTailBytes);
    }
    std::free(base);
    if (bytes != nullptr)
        *bytes = block.size;
    return true;
}

std::string Pool::historyOf(const void *blockPointer) const
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(mutex_);
    const auto address = reinterpret_cast<uintptr_t>(blockPointer);
    auto it = state_->freed.find(address);
    if (it == state_->freed.end())
        return {};
    const State::Freed &freed = it->second;
    return "a double free of pool block " + detail::hexAddress(blockPointer) + " (" + tagText(freed.tag) +
           ", " + std::to_string(freed.size) + " bytes, allocated at " +
           detail::describeCode(freed.allocSite) + ", first freed at " +
           detail::describeCode(freed.freeSite) + ")";
}

} // namespace zm4::host

using zm4::host::Kernel;
using zm4::host::Pool;
namespace detail = zm4::host::detail;

PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, size_t numberOfBytes, ULONG tag)
{
    void *site = __builtin_return_address(0);
    Kernel *kernel = Kernel::currentOrNull();
    if (kernel == nullptr)
        return Pool::fallback().allocate(poolType, numberOfBytes, tag, site);
    if (poolType != NonPagedPool && detail::context().irql >= DISPATCH_LEVEL)
        detail::fatal("ExAllocatePoolWithTag of paged pool at DISPATCH_LEVEL by " +
                      detail::describeCode(site));
    return kernel->pool().allocate(poolType, numberOfBytes, tag, site);
}

void ExFreePool(PVOID block)
{
    void *site = __builtin_return_address(0);
    if (block == nullptr)
        detail::fatal("ExFreePool(NULL) by " + detail::describeCode(site));
    Kernel *kernel = Kernel::currentOrNull();
    size_t bytes = 0;
    if (kernel != nullptr && kernel->pool().free(block, site, &bytes)) {
        // Locks that lived in the block are gone; a later block at the same
        // address is a different lock.
        if (auto *verifier = kernel->verifier())
            verifier->forget(reinterpret_cast<uintptr_t>(block), bytes);
        return;
    }
    // Blocks taken while no kernel existed belong to the fallback pool.
    if (Pool::fallback().free(block, site, nullptr))
        return;
    std::string history = kernel != nullptr ? kernel->pool().historyOf(block) : std::string();
    if (history.empty())
        history = Pool::fallback().historyOf(block);
    if (history.empty())
        history = "a pointer that is not a pool block: " + detail::hexAddress(block);
    detail::fatal("ExFreePool by " + detail::describeCode(site) + ": " + history);
}
