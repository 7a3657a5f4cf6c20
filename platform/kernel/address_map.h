// A flat table from addresses to records for the host kernel's bookkeeping
// of pool blocks and IRPs, which are made and dropped by the thousand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace zm4::host::detail {

// Records by address (or any nonzero key spread in its upper bits), in one
// array: open addressing with linear probing, and deletion by moving the
// entries after a hole back into it, so that a record allocates nothing of
// its own (a driver allocates and frees blocks and IRPs by the thousand). Key
// 0 marks a free slot. Not thread-safe.
template <class Value> class AddressMap {
public:
    size_t size() const { return used_; }

    Value *find(uintptr_t key)
    {
        if (used_ == 0)
            return nullptr;
        for (size_t i = home(key);; i = (i + 1) & mask_) {
            if (slots_[i].key == key)
                return &slots_[i].value;
            if (slots_[i].key == 0)
                return nullptr;
        }
    }

    void put(uintptr_t key, const Value &value)
    {
        if (2 * (used_ + 1) > slots_.size())
            grow();
        size_t i = home(key);
        while (slots_[i].key != 0 && slots_[i].key != key)
            i = (i + 1) & mask_;
        used_ += slots_[i].key == 0 ? 1 : 0;
        slots_[i] = {key, value};
    }

    // Removes the record of key into out; false when there is none.
    bool take(uintptr_t key, Value &out)
    {
        if (used_ == 0)
            return false;
        size_t hole = home(key);
        while (slots_[hole].key != key) {
            if (slots_[hole].key == 0)
                return false;
            hole = (hole + 1) & mask_;
        }
        out = slots_[hole].value;
        // Entries after the hole that probed past it move back into it.
        for (size_t j = (hole + 1) & mask_; slots_[j].key != 0; j = (j + 1) & mask_) {
            const size_t k = home(slots_[j].key);
            const bool outside = hole <= j ? (k <= hole || k > j) : (k <= hole && k > j);
            if (outside) {
                slots_[hole] = slots_[j];
                hole = j;
            }
        }
        slots_[hole].key = 0;
        --used_;
        return true;
    }

    template <class F> void forEach(F f) const
    {
        for (const Slot &slot : slots_)
            if (slot.key != 0)
                f(slot.key, slot.value);
    }

private:
    struct Slot {
        uintptr_t key = 0;
        Value value{};
    };

    size_t home(uintptr_t key) const
    {
        return static_cast<size_t>((key >> 4) * 0x9E3779B97F4A7C15ull) & mask_;
    }

    void grow()
    {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(old.empty() ? 64 : 2 * old.size(), Slot{});
        mask_ = slots_.size() - 1;
        used_ = 0;
        for (const Slot &slot : old)
            if (slot.key != 0)
                put(slot.key, slot.value);
    }

    std::vector<Slot> slots_;
    size_t mask_ = 0;
    size_t used_ = 0;
};

} // namespace zm4::host::detail
