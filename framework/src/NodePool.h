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
 * live at once. Arrays (hash buckets) go straight to the heap, except the
 * short ones of FewAllocator (an object's children and contexts). The
 * framework's request and memory objects, made and freed for every
 * request, come from free nodes too (PooledNew). Of the memory the driver
 * sees, pool blocks are always heap blocks, and contexts and memory-object
 * buffers are heap blocks under a sanitizer (so it sees every misuse of
 * them) and free nodes by size class otherwise (object/Object.cpp).
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
        if (!armed_) [[unlikely]] {
            /* The reaper (a thread-local with a destructor, so each use of
               it checks its initialisation) is touched once per thread. */
            armed_ = true;
            reaper_.Arm();
        }
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
    static thread_local bool armed_;
    static thread_local Reaper reaper_;
};
template <std::size_t Size, std::size_t Align> thread_local
    typename FreeNodes<Size, Align>::Link *FreeNodes<Size, Align>::head_ = nullptr;
template <std::size_t Size, std::size_t Align> thread_local bool FreeNodes<Size, Align>::gone_ = false;
template <std::size_t Size, std::size_t Align> thread_local bool FreeNodes<Size, Align>::armed_ = false;
template <std::size_t Size, std::size_t Align> thread_local
    typename FreeNodes<Size, Align>::Reaper FreeNodes<Size, Align>::reaper_;
} // namespace detail

/* Arrays of T of up to Few elements are free nodes (of one, two or four
   elements), longer ones heap blocks. */
template <class T, std::size_t Few> class PoolAllocator {
    static_assert(Few == 1 || Few == 2 || Few == 4, "free nodes of one, two or four elements");

public:
    using value_type = T;
    template <class U> struct rebind {
        using other = PoolAllocator<U, Few>;
    };

    PoolAllocator() noexcept = default;
    template <class U> PoolAllocator(const PoolAllocator<U, Few> &) noexcept {} // NOLINT(google-explicit-constructor)

    T *allocate(std::size_t N)
    {
        if (N == 1) return static_cast<T *>(detail::FreeNodes<sizeof(T), alignof(T)>::Take());
        if (Few >= 2 && N == 2) return static_cast<T *>(detail::FreeNodes<2 * sizeof(T), alignof(T)>::Take());
        if (Few >= 4 && N <= 4) return static_cast<T *>(detail::FreeNodes<4 * sizeof(T), alignof(T)>::Take());
        return static_cast<T *>(::operator new(N * sizeof(T)));
    }
    void deallocate(T *P, std::size_t N) noexcept
    {
        if (N == 1) {
            detail::FreeNodes<sizeof(T), alignof(T)>::Give(P);
        } else if (Few >= 2 && N == 2) {
            detail::FreeNodes<2 * sizeof(T), alignof(T)>::Give(P);
        } else if (Few >= 4 && N <= 4) {
            detail::FreeNodes<4 * sizeof(T), alignof(T)>::Give(P);
        } else {
            ::operator delete(P);
        }
    }

    template <class U> bool operator==(const PoolAllocator<U, Few> &) const noexcept { return true; }
    template <class U> bool operator!=(const PoolAllocator<U, Few> &) const noexcept { return false; }
};

/* For the node-based containers: single nodes from the free list, arrays
   (hash buckets) from the heap. */
template <class T> using NodeAllocator = PoolAllocator<T, 1>;
/* For the host's short arrays (an object's children and its contexts,
   which most objects have none or one of). */
template <class T> using FewAllocator = PoolAllocator<T, 4>;

/* A base giving T class-specific allocation from the free nodes: for the
   host's objects made and freed for every request (the framework's request
   and memory objects; not memory the driver sees). A class derived from T
   with a size of its own goes to the heap. */
template <class T> struct PooledNew {
    static void *operator new(std::size_t Size)
    {
        return Size == sizeof(T) ? detail::FreeNodes<sizeof(T), alignof(T)>::Take() : ::operator new(Size);
    }
    static void operator delete(void *P, std::size_t Size) noexcept
    {
        if (Size == sizeof(T)) {
            detail::FreeNodes<sizeof(T), alignof(T)>::Give(P);
        } else {
            ::operator delete(P);
        }
    }
};

} // namespace fx
