// Scratch memory for the conversions that run at once on one filter, as
// hosts that call a filter from several threads at a time do: each call
// leases a Scratch of its own and gives it back. A slot is taken with one
// atomic exchange, so no call waits for another; a call that finds every
// slot taken gets a Scratch for itself alone.
#pragma once

#include "plane.h"

namespace bitgrade {

class ScratchPool {
    struct Slot {
        int taken = 0;
        Scratch scratch;
    };

public:
    class Lease {
    public:
        explicit Lease(ScratchPool& pool) : slot(pool.Take()) {}
        ~Lease() {
            if (slot) __atomic_store_n(&slot->taken, 0, __ATOMIC_RELEASE);
        }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        Scratch& Get() { return slot ? slot->scratch : own; }

    private:
        Slot* slot;
        Scratch own;
    };

private:
    Slot* Take() {
        for (Slot& s : slots)
            if (!__atomic_load_n(&s.taken, __ATOMIC_RELAXED) && !__atomic_exchange_n(&s.taken, 1, __ATOMIC_ACQUIRE))
                return &s;
        return nullptr;
    }

    // More threads than a host gives one filter on most machines; each slot
    // holds memory only once a call has used it.
    Slot slots[32];
};

}  // namespace bitgrade
