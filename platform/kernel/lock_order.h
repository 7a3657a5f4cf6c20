// The lock-order verifier: records, for every spin lock and excluder
// acquisition, the edge from each lock the context already holds to the new
// one, and aborts on a cycle or on an order the driver's lock list forbids.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace zm4::host {

// Locks are grouped into classes by the name given with HostVerifierNameLock,
// as lockdep does; an unnamed lock is a class of its own, keyed by its
// address. Synchronization events take part once named or when initialised
// signalled (an auto-reset event that starts signalled is a lock: waited on to
// enter, set to leave): those are the excluders. Nesting two locks of one class
// is not an ordering question and is not recorded (a re-acquired excluder is
// the driver's tolerated self-wait).
class LockOrderVerifier {
public:
    void name(const void *lock, const char *lockClass);
    // A lock initialised afresh (or freed memory) is no longer the lock that
    // was named or recorded at that address.
    void forget(uintptr_t begin, size_t bytes);
    bool isNamed(const void *lock) const;
    // A synchronization event initialised signalled: an excluder even unnamed.
    void markExcluder(const void *event);
    bool isExcluder(const void *event) const; // named or marked

    // Before a spin lock acquisition or a blocking excluder wait: checks and
    // records the edges from every held lock; aborts on a violation.
    void checkAcquire(const void *lock, const void *site);
    // After the acquisition: the lock is held by the current context.
    void acquired(const void *lock);
    // The current context releases its most recent hold of the lock, if any.
    void released(const void *lock);

    // True when the driver's lock list puts outer before inner.
    static bool listOrders(const std::string &outer, const std::string &inner);

private:
    std::string classOf(uintptr_t address) const;      // mutex_ held
    std::string addressClass(uintptr_t address) const; // mutex_ held
    bool pathExists(const std::string &from, const std::string &to, std::string *path,
                    const void **firstSite) const;
    void dropNode(const std::string &lockClass);

    struct Edge {
        const void *site; // where the inner lock was first taken under the outer
    };
    mutable std::mutex mutex_;
    std::map<uintptr_t, std::string> names_;
    std::set<uintptr_t> addressClasses_; // unnamed locks seen in the graph
    std::set<uintptr_t> excluders_;      // marked synchronization events
    std::map<std::string, std::map<std::string, Edge>> graph_;
};

} // namespace zm4::host
