/*
 * NodePool.h - an allocator for the host's node-based containers (maps,
 * sets, lists, hash tables) that keeps freed nodes for the next insert.
 *
 * The host inserts and erases a node in several of its tables for every
 * request, memory object, transfer and clock event; with this allocator a
 * steady stream of them reuses the same nodes instead of going to the heap
 * each time. Single nodes are kept on a free list per thread and node size
 * (the world runs one caller at a time, and a list dies with its thread);
 * what the free list holds is bounded by the most nodes of that size ever
 * live at once. Arrays (hash buckets) go straight to the heap. Only the
 * host's own bookkeeping uses it: memory the driver sees (pool blocks,
 * contexts, buffers) is allocated and freed for real, so the sanitizers
 * still see every misuse of it.
 */
#pragma once
#include <cstddef>
#include <new>

namespace fx {

namespace detail {
/* The free nodes of one size and alignment on this thread. */
template <std::size_t Size, std::size_t Align> class FreeNodes {
    static_assert(Align <= __STDCPP_DEFAULT_NEW_ALIGNMENT__, "nodes come from plain operator new");
    static constexpr std::size_t kBytes = Size < sizeof(void *) ? sizeof(void *) : Size;

public:
    static void *Take()
    {
        if (head_ == nullptr) {
            return ::operator new(kBytes);
        }
        Link *Node = head_;
        head_ = Node->Next;
        return Node;
    }
    static void Give(void *P)
    {
        if (gone_) {
            ::operator delete(P); /* the thread is ending: nothing will take it */
            return;
        }
        reaper_.Arm();
        auto *Node = static_cast<Link *>(P);
        Node->Next = head_;
        head_ = Node;
    }

private:
    struct Link {
        Link *Next;
    };
    /* Frees the thread's free nodes when the thread ends. */
    struct Reaper {
        bool Armed = false;
        void Arm() { Armed = true; }
        Reaper() = default;
        Reaper(const Reaper &) = delete;
        Reaper &operator=(const Reaper &) = delete;
        ~Reaper()
        {
            gone_ = true;
            while (head_ != nullptr) {
                Link *Next = head_->Next;
                ::operator delete(head_);
                head_ = Next;
            }
        }
    };
    static thread_local Link *head_;
    static thread_local bool gone_;
    static thread_local Reaper reaper_;
};
template <std::size_t Size, std::size_t Align> thread_local
    typename FreeNodes<Size, Align>::Link *FreeNodes<Size, Align>::head_ = nullptr;
template <std::size_t Size, std::size_t Align> thread_local bool FreeNodes<Size, Align>::gone_ = false;
template <std::size_t Size, std::size_t Align> thread_local
    typename FreeNodes<Size, Align>::Reaper FreeNodes<Size, Align>::reaper_;
} // namespace detail

template <class T> class NodeAllocator {
public:
    using value_type = T;

    NodeAllocator() noexcept = default;
    template <class U> NodeAllocator(const NodeAllocator<U> &) noexcept {} // NOLINT(google-explicit-constructor)

    T *allocate(std::size_t N)
    {
        if (N == 1) {
            return static_cast<T *>(detail::FreeNodes<sizeof(T), alignof(T)>::Take());
        }
        return static_cast<T *>(::operator new(N * sizeof(T)));
    }
    void deallocate(T *P, std::size_t N) noexcept
    {
        if (N == 1) {
            detail::FreeNodes<sizeof(T), alignof(T)>::Give(P);
            return;
        }
        ::operator delete(P);
    }

    template <class U> bool operator==(const NodeAllocator<U> &) const noexcept { return true; }
    template <class U> bool operator!=(const NodeAllocator<U> &) const noexcept { return false; }
};

} // namespace fx
