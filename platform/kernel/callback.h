// The callable the schedulers keep for an event or a work item: move-only,
// with room inline for what the platform's callers capture (a weak pointer
// and a few words), so that posting one does not allocate; a larger callable
// is kept on the heap.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace zm4::host {

class Callback {
public:
    static constexpr size_t kInlineBytes = 48;

    Callback() noexcept = default;

    template <typename F, typename D = std::decay_t<F>,
              typename = std::enable_if_t<!std::is_same_v<D, Callback> && std::is_invocable_r_v<void, D &>>>
    Callback(F &&fn) // NOLINT: converts like std::function
    {
        if constexpr (kFitsInline<D>) {
            ::new (static_cast<void *>(storage_)) D(std::forward<F>(fn));
            ops_ = &kInlineOps<D>;
        } else {
            *reinterpret_cast<D **>(storage_) = new D(std::forward<F>(fn));
            ops_ = &kHeapOps<D>;
        }
    }

    Callback(Callback &&other) noexcept { take(other); }
    Callback &operator=(Callback &&other) noexcept
    {
        if (this != &other) {
            reset();
            take(other);
        }
        return *this;
    }
    Callback(const Callback &) = delete;
    Callback &operator=(const Callback &) = delete;
    ~Callback() { reset(); }

    explicit operator bool() const noexcept { return ops_ != nullptr; }
    void operator()() { ops_->invoke(storage_); }

    // Destroys the callable (and what it captured) now.
    void reset() noexcept
    {
        if (ops_ != nullptr) {
            ops_->destroy(storage_);
            ops_ = nullptr;
        }
    }

private:
    struct Ops {
        void (*invoke)(void *self);
        void (*move)(void *to, void *from) noexcept; // leaves from destroyed
        void (*destroy)(void *self) noexcept;
    };

    template <typename D>
    static constexpr bool
        kFitsInline = sizeof(D) <= kInlineBytes &&
                      alignof(D) <= alignof(std::max_align_t) && std::is_nothrow_move_constructible_v<D>;

    template <typename D>
    static constexpr Ops kInlineOps{[](void *self) { (*static_cast<D *>(self))(); },
                                    [](void *to, void *from) noexcept {
                                        ::new (to) D(std::move(*static_cast<D *>(from)));
                                        static_cast<D *>(from)->~D();
                                    },
                                    [](void *self) noexcept { static_cast<D *>(self)->~D(); }};

    template <typename D>
    static constexpr Ops kHeapOps{
        [](void *self) { (**static_cast<D **>(self))(); },
        [](void *to, void *from) noexcept { *static_cast<D **>(to) = *static_cast<D **>(from); },
        [](void *self) noexcept { delete *static_cast<D **>(self); }};

    void take(Callback &other) noexcept
    {
        if (other.ops_ != nullptr) {
            other.ops_->move(storage_, other.storage_);
            ops_ = other.ops_;
            other.ops_ = nullptr;
        }
    }

    alignas(std::max_align_t) unsigned char storage_[kInlineBytes];
    const Ops *ops_ = nullptr;
};

} // namespace zm4::host
