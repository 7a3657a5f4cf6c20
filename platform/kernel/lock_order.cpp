// The lock-order verifier (see lock_order.h).
#include "platform/kernel/lock_order.h"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include "platform/kernel/kernel_internal.h"

namespace zm4::host {

namespace {

// The driver's locks, outer first along each arrow. The relation is partial:
// locks of different chains have no prescribed order and are only checked for
// cycles.
constexpr std::array<std::pair<const char *, const char *>, 6> kLockList{{
    {"frame excluder", "camera lock"},
    {"camera lock", "link lock"},
    {"link lock", "USB request lock"},
    {"transfer excluder", "USB request lock"},
    {"transfer excluder", "transfer spin lock"},
    {"transfer spin lock", "empty-buffer queue lock"},
}};

} // namespace

std::string LockOrderVerifier::addressClass(uintptr_t address) const
{
    return (excluders_.count(address) != 0 ? "unnamed excluder " : "unnamed spin lock ") +
           detail::hexAddress(reinterpret_cast<const void *>(address));
}

bool LockOrderVerifier::listOrders(const std::string &outer, const std::string &inner)
{
    // Depth-first over the list's arrows; the list is tiny.
    std::vector<std::string> pending{outer};
    std::set<std::string> seen;
    while (!pending.empty()) {
        std::string at = std::move(pending.back());
        pending.pop_back();
        for (const auto &[from, to] : kLockList) {
            if (at != from || !seen.insert(to).second)
                continue;
            if (inner == to)
                return true;
            pending.emplace_back(to);
        }
    }
    return false;
}

void LockOrderVerifier::name(const void *lock, const char *lockClass)
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(mutex_);
    const auto address = reinterpret_cast<uintptr_t>(lock);
    if (addressClasses_.erase(address) != 0)
        dropNode(addressClass(address));
    if (lockClass == nullptr || *lockClass == '\0')
        names_.erase(address); // no name: back to an unnamed lock
    else
        names_[address] = lockClass;
}

void LockOrderVerifier::forget(uintptr_t begin, size_t bytes)
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(mutex_);
    const uintptr_t end = begin + std::max<size_t>(bytes, 1);
    names_.erase(names_.lower_bound(begin), names_.lower_bound(end));
    for (auto it = addressClasses_.lower_bound(begin); it != addressClasses_.end() && *it < end;) {
        dropNode(addressClass(*it));
        it = addressClasses_.erase(it);
    }
    excluders_.erase(excluders_.lower_bound(begin), excluders_.lower_bound(end));
}

void LockOrderVerifier::markExcluder(const void *event)
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(mutex_);
    excluders_.insert(reinterpret_cast<uintptr_t>(event));
}

bool LockOrderVerifier::isExcluder(const void *event) const
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(mutex_);
    const auto address = reinterpret_cast<uintptr_t>(event);
    return names_.count(address) != 0 || excluders_.count(address) != 0;
}

bool LockOrderVerifier::isNamed(const void *lock) const
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(mutex_);
    return names_.count(reinterpret_cast<uintptr_t>(lock)) != 0;
}

std::string LockOrderVerifier::classOf(uintptr_t address) const
{
    auto it = names_.find(address);
    return it != names_.end() ? it->second : addressClass(address);
}

void LockOrderVerifier::dropNode(const std::string &lockClass)
{
    graph_.erase(lockClass);
    for (auto &[from, edges] : graph_)
        edges.erase(lockClass);
}

bool LockOrderVerifier::pathExists(const std::string &from, const std::string &to, std::string *path,
                                   const void **firstSite) const
{
    // Breadth-first with parents, so the message can show the recorded chain.
    std::map<std::string, std::string> parent{{from, ""}};
    std::vector<std::string> frontier{from};
    while (!frontier.empty()) {
        std::vector<std::string> next;
        for (const auto &at : frontier) {
            auto node = graph_.find(at);
            if (node == graph_.end())
                continue;
            for (const auto &[target, edge] : node->second) {
                if (!parent.emplace(target, at).second)
                    continue;
                if (target == to) {
                    std::vector<std::string> chain{to};
                    for (std::string step = at; !step.empty(); step = parent[step])
                        chain.push_back(step);
                    std::reverse(chain.begin(), chain.end());
                    *firstSite = graph_.at(chain[0]).at(chain[1]).site;
                    path->clear();
                    for (size_t i = 0; i < chain.size(); ++i)
                        *path += (i ? " -> '" : "'") + chain[i] + "'";
                    return true;
                }
                next.push_back(target);
            }
        }
        frontier = std::move(next);
    }
    return false;
}

void LockOrderVerifier::checkAcquire(const void *lock, const void *site)
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(mutex_);
    const auto address = reinterpret_cast<uintptr_t>(lock);
    const std::string taking = classOf(address);
    if (names_.count(address) == 0)
        addressClasses_.insert(address);

    for (const detail::HeldLock &held : detail::context().held) {
        if (held.address == address || held.lockClass == taking)
            continue;
        if (listOrders(taking, held.lockClass))
            detail::fatal("lock order violation: '" + taking + "' acquired at " + detail::describeCode(site) +
                          " while holding '" + held.lockClass + "'; the driver's lock order takes '" +
                          taking + "' before '" + held.lockClass + "'");
        auto &edges = graph_[held.lockClass];
        if (edges.count(taking) != 0)
            continue;
        std::string path;
        const void *firstSite = nullptr;
        if (pathExists(taking, held.lockClass, &path, &firstSite))
            detail::fatal("lock order cycle: '" + taking + "' acquired at " + detail::describeCode(site) +
                          " while holding '" + held.lockClass + "', but the order " + path +
                          " was recorded earlier (its first step at " + detail::describeCode(firstSite) +
                          ")");
        edges.emplace(taking, Edge{site});
    }
}

void LockOrderVerifier::acquired(const void *lock)
{
    detail::TsanQuiet quiet;
    std::lock_guard guard(mutex_);
    const auto address = reinterpret_cast<uintptr_t>(lock);
    detail::context().held.push_back({address, classOf(address)});
}

void LockOrderVerifier::released(const void *lock)
{
    // The held list is the context's own; no shared state is touched.
    auto &held = detail::context().held;
    const auto address = reinterpret_cast<uintptr_t>(lock);
    for (auto it = held.rbegin(); it != held.rend(); ++it) {
        if (it->address == address) {
            held.erase(std::next(it).base());
            return;
        }
    }
}

} // namespace zm4::host
