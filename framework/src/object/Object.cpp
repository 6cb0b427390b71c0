/*
 * Object.cpp - objects, handles, contexts, references; the execution
 * context (IRQL, device-wide lock); verifier and fault injection; pool.
 */
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "FxHost.h"
#include "core/LockOrder.h"
#include "core/Processors.h"
#include "core/RaceAnnotations.h"
#include "core/Timeline.h"

namespace fx {

/* ------------------------------------------------------------------ */
/* Host access, verifier, faults                                       */
/* ------------------------------------------------------------------ */
namespace detail {
/* The one host of the process (set while a HostState exists). */
HostCore *CurrentHost = nullptr;

[[gnu::cold]] void NoHost()
{
    std::fprintf(stderr, "framework: a kit call was made with no host\n");
    std::abort();
}
} // namespace detail

HostState::HostState()
{
    if (detail::CurrentHost != nullptr) {
        std::fprintf(stderr, "framework: a second host was created while one exists\n");
        std::abort();
    }
    Config.Version = 0;
    detail::CurrentHost = this;
}

HostState::~HostState()
{
    Shutdown();
    detail::CurrentHost = nullptr;
}

void HostState::Shutdown()
{
    if (ShutDown) return;
    ShutDown = true;
    for (auto &B : Pool) {
        char Buf[128];
        std::snprintf(Buf, sizeof Buf, "pool block of %zu bytes with tag 0x%08x never freed", (size_t)B.second.Size,
                      B.second.Tag);
        Report("PoolLeak", Buf);
    }
    if (TheDriver != nullptr) {
        LiveObjects++;
        TheDriver->Delete();
        TheDriver = nullptr;
    }
    /* Objects kept alive by references nobody dropped. */
    std::vector<Object *> Left = Handles.Live();
    if (!Left.empty()) {
        Report("ObjectLeak", std::to_string(Left.size()) +
                                 " framework object(s) still referenced when the world ended, "
                                 "first " +
                                 Left.front()->Describe());
    }
    Handles.Clear();
    for (Object *O : Left) delete O;
    for (auto &B : Pool) std::free(B.first);
    Pool.clear();
}

void HostState::Report(const char *Rule, const std::string &Message)
{
    std::string Text = std::string(Rule) + ": " + Message;
    if (Collect) {
        Reports.push_back(Text);
        return;
    }
    std::fprintf(stderr, "\n*** VERIFIER: %s\n", Text.c_str());
    std::fflush(stderr);
    std::abort();
}

void VerifierReport(const char *Rule, const std::string &Message)
{
    TimelineNote(TimelineKind::Report, 0, Rule, Message);
    if (!HaveHost()) {
        std::fprintf(stderr, "VERIFIER %s: %s\n", Rule, Message.c_str());
        std::abort();
    }
    Host().Report(Rule, Message);
}

bool TraceWanted() { return HaveHost() && static_cast<bool>(Host().TraceSink); }

void Trace(const std::string &Message)
{
    if (!HaveHost()) {
        return;
    }
    auto &H = Host();
    if (H.TraceSink) {
        H.TraceSink(Message);
    }
}

const char *TypeName(ObjectType Type)
{
    switch (Type) {
    case ObjectType::Driver: return "WDFDRIVER";
    case ObjectType::Device: return "WDFDEVICE";
    case ObjectType::Queue: return "WDFQUEUE";
    case ObjectType::Request: return "WDFREQUEST";
    case ObjectType::FileObject: return "WDFFILEOBJECT";
    case ObjectType::Timer: return "WDFTIMER";
    case ObjectType::Dpc: return "WDFDPC";
    case ObjectType::WorkItem: return "WDFWORKITEM";
    case ObjectType::SpinLock: return "WDFSPINLOCK";
    case ObjectType::WaitLock: return "WDFWAITLOCK";
    case ObjectType::Memory: return "WDFMEMORY";
    case ObjectType::String: return "WDFSTRING";
    case ObjectType::Key: return "WDFKEY";
    case ObjectType::IoTarget: return "WDFIOTARGET";
    case ObjectType::UsbDevice: return "WDFUSBDEVICE";
    case ObjectType::UsbInterface: return "WDFUSBINTERFACE";
    case ObjectType::UsbPipe: return "WDFUSBPIPE";
    case ObjectType::Generic: return "WDFOBJECT";
    }
    return "?";
}

/* ------------------------------------------------------------------ */
/* Execution context                                                   */
/* ------------------------------------------------------------------ */
DeviceLockScope::DeviceLockScope(Device *Dev, const void *Site)
    : dev_(Dev), saved_(Host().Irql), savedCurrent_(Host().Current)
{
    if (dev_->LockHeld && Locks().Holder(KeyOf(dev_)) != &HeldLocks()) {
        /* Another processor's callback holds it. */
        SpinWhileHeld(KeyOf(dev_), Site, [this]() { return dev_->LockHeld; });
    }
    if (dev_->LockHeld) {
        VerifierReport("DeviceLockReentered",
                       "the device-wide lock of " + dev_->Describe() + " was taken while already held");
        dev_ = nullptr;
        return;
    }
    dev_->LockHeld = true;
    race::Acquire(&dev_->LockHeld);
    Locks().Acquired(HeldLocks(), KeyOf(dev_), Site);
    Host().Irql = DISPATCH_LEVEL;
    Host().Current = Dev;
}
DeviceLockScope::~DeviceLockScope()
{
    if (dev_ != nullptr) {
        race::Release(&dev_->LockHeld);
        dev_->LockHeld = false;
        Locks().Released(HeldLocks(), KeyOf(dev_));
        Host().Irql = saved_;
        Host().Current = savedCurrent_;
    }
}
bool DeviceLockHeld(const Device *Dev) { return Dev != nullptr && Dev->LockHeld; }

ExecutionContext SaveContext()
{
    if (!HaveHost()) {
        return ExecutionContext{PASSIVE_LEVEL, nullptr, 0, 0, 0, nullptr};
    }
    auto &H = Host();
    return ExecutionContext{H.Irql, H.Current, H.LocksHeld, H.CallDepth, H.CurrentContext, H.HeldLocks};
}

void RestoreContext(const ExecutionContext &Saved)
{
    if (!HaveHost()) {
        return;
    }
    auto &H = Host();
    H.Irql = Saved.Irql;
    H.Current = Saved.Current;
    H.LocksHeld = Saved.LocksHeld;
    H.CallDepth = Saved.CallDepth;
    H.CurrentContext = Saved.Context;
    H.HeldLocks = Saved.HeldLocks;
}

namespace {
void CallDriverAt(const void *Site, Device *Dev, KIRQL Level, bool Serialized, CallableRef Fn)
{
    auto &H = Host();
    int LocksBefore = H.LocksHeld;
    H.CallDepth++;
    struct DepthGuard {
        int &D;
        std::uint64_t &Context;
        std::uint64_t Saved;
        ~DepthGuard()
        {
            D--;
            Context = Saved;
        }
    } Guard{H.CallDepth, H.CurrentContext, H.CurrentContext};
    H.CurrentContext = ++H.ContextSerial;
    const std::uint64_t Span = H.CurrentContext;
    /* The span opens at the callback's own IRQL, under its lock. */
    auto Begin = [&]() {
        if (TimelineOn()) {
            TimelineNote(TimelineKind::CallbackBegin, Span, TimelineCallbackName(Site), DescribeCode(Site), Serialized);
        }
    };
    if (Serialized && Dev != nullptr) {
        DeviceLockScope Lock(Dev, Site);
        IrqlScope At(Level);
        Begin();
        race::Section InDriver(race::Mode::Driver);
        Fn();
    } else {
        CurrentDeviceScope Cur(Dev);
        IrqlScope At(Level);
        Begin();
        race::Section InDriver(race::Mode::Driver);
        Fn();
    }
    if (H.LocksHeld != LocksBefore) {
        VerifierReport("SpinLockHeldOnReturn", "a driver callback returned with a spin lock still held");
        H.LocksHeld = LocksBefore;
    }
    if (TimelineOn()) {
        TimelineNote(TimelineKind::CallbackEnd, Span, {});
    }
}
} // namespace

void CallDriver(Device *Dev, KIRQL Level, bool Serialized, CallableRef Fn)
{
    const void *Site = __builtin_return_address(0);
    /* On several processors a callback made from outside any task is a
       task of its own, which the others may interleave with. On one, the
       task's closure (a heap block) is never made. */
    if (MultiProcessor() == nullptr || !RunOnProcessor([&]() { CallDriverAt(Site, Dev, Level, Serialized, Fn); })) {
        CallDriverAt(Site, Dev, Level, Serialized, Fn);
    }
}

void CallPnpPower(PhysicalDevice *Node, Device *Dev, CallableRef Fn)
{
    const void *Site = __builtin_return_address(0);
    auto Ordered = [&]() {
        race::Acquire(Node);
        CallDriverAt(Site, Dev, PASSIVE_LEVEL, false, Fn);
        race::Release(Node);
    };
    if (MultiProcessor() == nullptr || !RunOnProcessor(Ordered)) {
        Ordered(); /* one processor: no std::function to build */
    }
}

void Defer(std::function<void()> Fn, const char *What)
{
    if (race::kEnabled) {
        /* The framework queues its own deferred work under its locks: what
           led to it happens before it runs. */
        auto Order = std::make_shared<char>(0);
        race::Release(Order.get());
        Clock().ScheduleAfter(
            0,
            [Fn = std::move(Fn), Order]() {
                race::Acquire(Order.get());
                Fn();
            },
            What);
        return;
    }
    Clock().ScheduleAfter(0, std::move(Fn), What);
}

bool RequirePassive(const char *Api)
{
    if (Irql() > PASSIVE_LEVEL) {
        VerifierReport("IrqlTooHigh", std::string(Api) + " called at IRQL " + std::to_string(Irql()) +
                                          "; it may be called only at PASSIVE_LEVEL");
        return false;
    }
    return true;
}

/* ------------------------------------------------------------------ */
/* Objects                                                             */
/* ------------------------------------------------------------------ */
namespace {
/* Every context block starts with this header so a context pointer maps
   back to its object. */
struct ContextHeader {
    std::uint64_t Magic;
    Object *Owner;
    std::uint64_t Bytes; /* the whole block, header included */
};
constexpr std::uint64_t kContextMagic = 0x46584354584d4147ULL;

/* The blocks the driver sees that the framework makes and frees with every
   request: object contexts and the buffers of memory objects. Under a
   sanitizer each is a heap block of its own, so an overrun or a use after
   free of one is caught where it happens, and the race detector (the host
   being uninstrumented, BRISUM_RACE_ANNOTATIONS) sees each block's life
   begin and end and never takes two owners of one for a race. Otherwise a
   block of up to 4 KB comes from a free list of its power-of-two size (as
   the kernel serves small pool from lookaside lists), which costs a
   fraction of a heap allocation and free on a path that makes two of them
   per packet. */
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(BRISUM_RACE_ANNOTATIONS)
#define FX_DRIVER_BLOCKS_FROM_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define FX_DRIVER_BLOCKS_FROM_HEAP 1
#endif
#endif

#ifdef FX_DRIVER_BLOCKS_FROM_HEAP
void *TakeBlock(std::size_t Bytes) { return std::malloc(Bytes); }
void GiveBlock(void *P, std::size_t) { std::free(P); }
#else
/* The free list of blocks of Class bytes; blocks too large for any class
   come from the heap. The switch keeps each class a constant. */
template <class Fn> auto WithBlockClass(std::size_t Bytes, Fn &&F)
{
    constexpr std::size_t A = alignof(std::max_align_t);
    if (Bytes <= 64) return F(detail::FreeNodes<64, A>{});
    if (Bytes <= 128) return F(detail::FreeNodes<128, A>{});
    if (Bytes <= 256) return F(detail::FreeNodes<256, A>{});
    if (Bytes <= 512) return F(detail::FreeNodes<512, A>{});
    if (Bytes <= 1024) return F(detail::FreeNodes<1024, A>{});
    if (Bytes <= 2048) return F(detail::FreeNodes<2048, A>{});
    return F(detail::FreeNodes<4096, A>{});
}
constexpr std::size_t kLargestClass = 4096;
void *TakeBlock(std::size_t Bytes)
{
    if (Bytes > kLargestClass) {
        return std::malloc(Bytes);
    }
    return WithBlockClass(Bytes, [](auto List) { return decltype(List)::Take(); });
}
void GiveBlock(void *P, std::size_t Bytes)
{
    if (Bytes > kLargestClass) {
        std::free(P);
        return;
    }
    WithBlockClass(Bytes, [P](auto List) { decltype(List)::Give(P); });
}
#endif

/* A zeroed block of Bytes (contexts and memory-object buffers start
   zeroed); it goes back by FreeZeroedBlock with the same Bytes. Opaque to
   the compiler between the allocation and the fill, which it would
   otherwise turn into calloc: the one allocation the C library never
   serves from its per-thread cache of freed blocks. */
void *ZeroedBlock(std::size_t Bytes)
{
    void *P = TakeBlock(Bytes);
    if (P != nullptr) {
        asm volatile("" : : "r"(P) : "memory");
        std::memset(P, 0, Bytes);
    }
    return P;
}
void FreeZeroedBlock(void *P, std::size_t Bytes) { GiveBlock(P, Bytes); }
} // namespace

Object::Object(ObjectType Type, Device *Owner) : type_(Type), owner_(Owner) {}

Object::~Object()
{
    for (auto &C : contexts_) {
        if (C.Block != nullptr) {
            FreeZeroedBlock(C.Block, static_cast<ContextHeader *>(C.Block)->Bytes);
        }
    }
}

std::string Object::Describe() const
{
    char Buf[64];
    std::snprintf(Buf, sizeof Buf, "%s 0x%llx", TypeName(type_), (unsigned long long)(std::uintptr_t)handle_);
    return Buf;
}

NTSTATUS Object::Commit(PWDF_OBJECT_ATTRIBUTES Attributes, Object *DefaultParent, const char *Api)
{
    auto &H = Host();
    Object *ParentObj = DefaultParent;
    if (Attributes != nullptr) {
        if (Attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
            VerifierReport("BadAttributes", std::string(Api) +
                                                ": WDF_OBJECT_ATTRIBUTES has a wrong Size (initialise it with "
                                                "WDF_OBJECT_ATTRIBUTES_INIT)");
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        if (Attributes->ParentObject != nullptr) {
            ParentObj = Lookup(Attributes->ParentObject, Api);
            if (ParentObj == nullptr) {
                return STATUS_INVALID_PARAMETER;
            }
        }
        ExecutionLevel = Attributes->ExecutionLevel;
        SyncScope = Attributes->SynchronizationScope;
        if (Attributes->ContextTypeInfo != nullptr) {
            PCWDF_OBJECT_CONTEXT_TYPE_INFO Info = Attributes->ContextTypeInfo;
            size_t Size = Info->ContextSize;
            if (Attributes->ContextSizeOverride > Size) {
                Size = Attributes->ContextSizeOverride;
            }
            if (AddContext(Info, Size, Attributes->EvtCleanupCallback, Attributes->EvtDestroyCallback) == nullptr) {
                return STATUS_INSUFFICIENT_RESOURCES;
            }
        } else if (Attributes->EvtCleanupCallback != nullptr || Attributes->EvtDestroyCallback != nullptr) {
            contexts_.push_back(
                Context{nullptr, nullptr, Attributes->EvtCleanupCallback, Attributes->EvtDestroyCallback});
        }
    }
    if (owner_ == nullptr && ParentObj != nullptr) {
        owner_ = ParentObj->owner_;
    }
    handle_ = reinterpret_cast<WDFOBJECT>(H.Handles.Insert(this));
    H.LiveObjects++;
    committed_ = true;
    if (ParentObj != nullptr) {
        AttachTo(ParentObj);
    }
    return STATUS_SUCCESS;
}

void Object::Destroy(Object *Obj)
{
    if (Obj == nullptr) {
        return;
    }
    if (Obj->committed_) {
        /* Committed but then abandoned by its creator: no callbacks ran for
           it yet, so a plain delete path is right. */
        for (auto &C : Obj->contexts_) {
            C.Cleanup = nullptr;
            C.Destroy = nullptr;
        }
        Obj->Delete();
        return;
    }
    delete Obj;
}

void Object::AttachTo(Object *P)
{
    parent_ = P;
    P->children_.push_back(this);
}

void Object::DetachFromParent()
{
    if (parent_ == nullptr) {
        return;
    }
    /* From the newest: the objects made and deleted for every request are
       the last children of long-lived parents. */
    auto &C = parent_->children_;
    for (auto It = C.rbegin(); It != C.rend(); ++It) {
        if (*It == this) {
            C.erase(std::next(It).base());
            break;
        }
    }
    parent_ = nullptr;
}

void Object::Delete()
{
    if (state_ != State::Live) {
        return;
    }
    state_ = State::Deleting;
    OnDelete();
    /* Children are disposed first, most recently created first. Their
       memory stays until this object's own cleanup callbacks have run, so a
       cleanup callback may still stop a child timer or cancel a child DPC. */
    /* The disposed children, held until then; the first few without a
       heap block, as most objects have one child or none. */
    Object *FewZombies[4] = {};
    std::size_t FewCount = 0;
    std::vector<Object *> MoreZombies;
    while (!children_.empty()) {
        Object *Child = children_.back();
        Child->Reference();
        Child->disposedWithParent_ = true;
        if (FewCount < sizeof(FewZombies) / sizeof(FewZombies[0])) {
            FewZombies[FewCount++] = Child;
        } else {
            MoreZombies.push_back(Child);
        }
        Child->Delete();
        if (!children_.empty() && children_.back() == Child) {
            children_.pop_back();
        }
    }
    for (auto It = contexts_.rbegin(); It != contexts_.rend(); ++It) {
        if (It->Cleanup != nullptr) {
            PFN_WDF_OBJECT_CONTEXT_CLEANUP Cb = It->Cleanup;
            CurrentDeviceScope Cur(owner_);
            race::Section InDriver(race::Mode::Driver);
            Cb(handle_);
        }
    }
    DetachFromParent();
    state_ = State::Disposed;
    auto Release = [](Object *Child) {
        Child->disposedWithParent_ = false;
        Child->Dereference();
    };
    for (std::size_t I = 0; I < FewCount; ++I) {
        Release(FewZombies[I]);
    }
    for (Object *Child : MoreZombies) {
        Release(Child);
    }
    Dereference();
}

void Object::Reference() { refs_++; }

void Object::DeleteWhenUnreferenced()
{
    if (refs_ <= 1) {
        Delete();
    } else {
        deleteWhenUnreferenced_ = true;
    }
}

void Object::Dereference()
{
    if (refs_ <= 0) {
        VerifierReport("ReferenceUnderflow", Describe() + " dereferenced more often than referenced");
        return;
    }
    if (refs_ == 2 && deleteWhenUnreferenced_ && state_ == State::Live) {
        /* Only the creation reference is left: the framework's release. */
        refs_--;
        Delete();
        return;
    }
    if (--refs_ == 0) {
        if (state_ == State::Live) {
            /* The last reference of a live object went: that is a driver
               dereferencing what it never referenced. */
            VerifierReport("ReferenceUnderflow", Describe() + " lost its creation reference while not deleted");
            refs_ = 1;
            return;
        }
        Free();
    }
}

void Object::Free()
{
    for (auto It = contexts_.rbegin(); It != contexts_.rend(); ++It) {
        if (It->Destroy != nullptr) {
            CurrentDeviceScope Cur(owner_);
            race::Section InDriver(race::Mode::Driver);
            It->Destroy(handle_);
        }
    }
    if (committed_ && HaveHost()) {
        auto &H = Host();
        H.Handles.Erase(reinterpret_cast<std::uintptr_t>(handle_));
        H.LiveObjects--;
    }
    delete this;
}

void *Object::FindContext(PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) const
{
    if (TypeInfo == nullptr) {
        return nullptr;
    }
    PCWDF_OBJECT_CONTEXT_TYPE_INFO Unique = TypeInfo->UniqueType != nullptr ? TypeInfo->UniqueType : TypeInfo;
    for (auto &C : contexts_) {
        if (C.Type == Unique && C.Block != nullptr) {
            return static_cast<char *>(C.Block) + sizeof(ContextHeader);
        }
    }
    return nullptr;
}

void *Object::AddContext(PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo, size_t Size, PFN_WDF_OBJECT_CONTEXT_CLEANUP Cleanup,
                         PFN_WDF_OBJECT_CONTEXT_DESTROY DestroyCb)
{
    PCWDF_OBJECT_CONTEXT_TYPE_INFO Unique = TypeInfo->UniqueType != nullptr ? TypeInfo->UniqueType : TypeInfo;
    if (FindContext(Unique) != nullptr) {
        return nullptr;
    }
    const std::size_t Bytes = sizeof(ContextHeader) + (Size == 0 ? 1 : Size);
    void *Block = ZeroedBlock(Bytes);
    if (Block == nullptr) {
        return nullptr;
    }
    auto *Hdr = static_cast<ContextHeader *>(Block);
    Hdr->Magic = kContextMagic;
    Hdr->Owner = this;
    Hdr->Bytes = Bytes;
    contexts_.push_back(Context{Unique, Block, Cleanup, DestroyCb});
    return static_cast<char *>(Block) + sizeof(ContextHeader);
}

Object *Object::FromContext(const void *Ctx)
{
    if (Ctx == nullptr) {
        return nullptr;
    }
    auto *Hdr = reinterpret_cast<const ContextHeader *>(static_cast<const char *>(Ctx) - sizeof(ContextHeader));
    if (Hdr->Magic != kContextMagic) {
        return nullptr;
    }
    return Hdr->Owner;
}

Object *TryLookup(WDFOBJECT Handle)
{
    if (Handle == nullptr || !HaveHost()) {
        return nullptr;
    }
    auto &H = Host();
    Object *O = H.Handles.Find(reinterpret_cast<std::uintptr_t>(Handle));
    if (O == nullptr || !O->Alive()) {
        return nullptr;
    }
    return O;
}

Object *detail::BadHandle(WDFOBJECT Handle, const char *Api, bool AllowDisposed)
{
    auto &H = Host();
    if (Handle == nullptr) {
        VerifierReport("NullHandle", std::string(Api) + " called with a NULL handle");
        return nullptr;
    }
    auto Key = reinterpret_cast<std::uintptr_t>(Handle);
    Object *O = H.Handles.Find(Key);
    if (O == nullptr) {
        if (H.Handles.Issued(Key)) {
            VerifierReport("DeletedHandle", std::string(Api) + " called with the handle of a deleted object");
        } else {
            VerifierReport("InvalidHandle", std::string(Api) + " called with an invalid handle");
        }
        return nullptr;
    }
    if (!AllowDisposed && !O->Alive() && !O->DisposedWithParent()) {
        VerifierReport("DeletedHandle",
                       std::string(Api) + " called with the handle of a deleted object (" + O->Describe() + ")");
    }
    return nullptr;
}

Object *detail::WrongType(const Object *O, ObjectType Type, const char *Api)
{
    VerifierReport("WrongHandleType", std::string(Api) + " expects a " + TypeName(Type) + " but got " + O->Describe());
    return nullptr;
}

/* ------------------------------------------------------------------ */
/* Memory                                                              */
/* ------------------------------------------------------------------ */
Memory::Memory(Device *Owner, void *Buffer, size_t Size, ULONG Tag, bool Owned)
    : Object(ObjectType::Memory, Owner), buffer_(Buffer), size_(Size), tag_(Tag), owned_(Owned)
{}

Memory::~Memory()
{
    if (owned_ && buffer_ != nullptr) {
        FreeZeroedBlock(buffer_, size_ == 0 ? 1 : size_); /* made by CreateMemory, never in the pool table */
    }
}

Memory *CreateMemory(Device *Owner, Object *Parent, size_t Size, ULONG Tag, PWDF_OBJECT_ATTRIBUTES Attributes,
                     NTSTATUS *Status)
{
    /* The buffer belongs to the memory object and goes with it: it is not a
       pool block the driver could free, so it stays out of the pool table
       (an ExFreePool of it is reported as a block never allocated). It
       starts zeroed. */
    void *Buf = ZeroedBlock(Size == 0 ? 1 : Size);
    if (Buf == nullptr) {
        *Status = STATUS_INSUFFICIENT_RESOURCES;
        return nullptr;
    }
    auto *M = new Memory(Owner, Buf, Size, Tag, true);
    *Status = CommitOrDestroy(M, Attributes, Parent, "WdfMemoryCreate");
    if (!NT_SUCCESS(*Status)) {
        return nullptr;
    }
    return M;
}

/* ------------------------------------------------------------------ */
/* Pool                                                                */
/* ------------------------------------------------------------------ */
void *PoolAllocate(SIZE_T Bytes, ULONG Tag, const char *Api)
{
    (void)Api;
    void *P = std::malloc(Bytes == 0 ? 1 : Bytes);
    if (P == nullptr) {
        return nullptr;
    }
    /* Filled with a pattern so that reads of uninitialised pool show up. */
    std::memset(P, 0xCD, Bytes == 0 ? 1 : Bytes);
    Host().Pool[P] = HostState::Block{Bytes, Tag, CurrentDevice()};
    return P;
}

void PoolFree(void *Block, ULONG Tag, bool CheckTag, const char *Api)
{
    if (Block == nullptr) {
        VerifierReport("PoolFreeNull", std::string(Api) + " called with NULL");
        return;
    }
    if (!HaveHost()) {
        std::free(Block);
        return;
    }
    auto &H = Host();
    auto It = H.Pool.find(Block);
    if (It == H.Pool.end()) {
        VerifierReport("PoolFreeUnknown", std::string(Api) + " of a block that is not allocated (double free?)");
        return;
    }
    if (CheckTag && Tag != 0 && It->second.Tag != Tag) { /* tag 0 frees like ExFreePool */
        char Buf[128];
        std::snprintf(Buf, sizeof Buf, "%s with tag 0x%08x of a block allocated with tag 0x%08x", Api, Tag,
                      It->second.Tag);
        VerifierReport("PoolTagMismatch", Buf);
    }
    H.Pool.erase(It);
    std::free(Block);
}

} // namespace fx

/* ------------------------------------------------------------------ */
/* The kit's object calls                                              */
/* ------------------------------------------------------------------ */
using namespace fx;

EXTERN_C PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo)
{
    KIT_ENTRY(WdfObjectGetTypedContextWorker);
    Object *O = Lookup(Handle, "WdfObjectGetTypedContext", true);
    if (O == nullptr) {
        return nullptr;
    }
    return O->FindContext(TypeInfo);
}

EXTERN_C NTSTATUS WdfObjectAllocateContext(WDFOBJECT Handle, PWDF_OBJECT_ATTRIBUTES ContextAttributes, PVOID *Context)
{
    KIT_ENTRY(WdfObjectAllocateContext);
    NTSTATUS Status;
    if (Kit.Injected(&Status)) {
        return Status;
    }
    Object *O = Lookup(Handle, Kit.Name());
    if (O == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (ContextAttributes == nullptr || ContextAttributes->ContextTypeInfo == nullptr) {
        VerifierReport("BadAttributes", "WdfObjectAllocateContext without a context type");
        return STATUS_INVALID_PARAMETER;
    }
    if (ContextAttributes->ParentObject != nullptr) {
        VerifierReport("BadAttributes", "WdfObjectAllocateContext with a parent object in the attributes");
        return STATUS_INVALID_PARAMETER;
    }
    PCWDF_OBJECT_CONTEXT_TYPE_INFO Info = ContextAttributes->ContextTypeInfo;
    if (O->FindContext(Info) != nullptr) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    size_t Size = Info->ContextSize;
    if (ContextAttributes->ContextSizeOverride > Size) {
        Size = ContextAttributes->ContextSizeOverride;
    }
    void *C = O->AddContext(Info, Size, ContextAttributes->EvtCleanupCallback, ContextAttributes->EvtDestroyCallback);
    if (C == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (Context != nullptr) {
        *Context = C;
    }
    return STATUS_SUCCESS;
}

EXTERN_C WDFOBJECT WdfObjectContextGetObject(PVOID ContextPointer)
{
    KIT_ENTRY(WdfObjectContextGetObject);
    Object *O = Object::FromContext(ContextPointer);
    if (O == nullptr) {
        VerifierReport("BadContext", "WdfObjectContextGetObject with a pointer that is no object context");
        return nullptr;
    }
    return O->Handle();
}

EXTERN_C VOID WdfObjectReferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCCHAR File)
{
    KIT_ENTRY(WdfObjectReferenceActual);
    (void)Tag;
    (void)Line;
    (void)File;
    Object *O = Lookup(Handle, "WdfObjectReference");
    if (O != nullptr) {
        O->Reference();
    }
}

EXTERN_C VOID WdfObjectDereferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCCHAR File)
{
    KIT_ENTRY(WdfObjectDereferenceActual);
    (void)Tag;
    (void)Line;
    (void)File;
    Object *O = Lookup(Handle, "WdfObjectDereference", true);
    if (O != nullptr) {
        O->Dereference();
    }
}

EXTERN_C VOID WdfObjectDelete(WDFOBJECT Handle)
{
    KIT_ENTRY(WdfObjectDelete);
    Object *O = Lookup(Handle, Kit.Name());
    if (O == nullptr) {
        return;
    }
    if (!O->DriverMayDelete()) {
        return;
    }
    O->Delete();
}

/* ------------------------------------------------------------------ */
/* IRQL and checks the kit headers route here                          */
/* ------------------------------------------------------------------ */
EXTERN_C KIRQL KeGetCurrentIrql(void)
{
    KIT_ENTRY(KeGetCurrentIrql);
    return Irql();
}

EXTERN_C void FxVerifierPagedCodeCheck(const char *Function)
{
    KIT_ENTRY(FxVerifierPagedCodeCheck);
    if (Irql() > APC_LEVEL) {
        VerifierReport("PagedCodeAtDispatch",
                       std::string("pageable routine ") + Function + " ran at IRQL " + std::to_string(Irql()));
    }
}

EXTERN_C void FxVerifierAssertFailed(const char *Expression, const char *File, int Line)
{
    KIT_ENTRY(FxVerifierAssertFailed);
    VerifierReport("AssertionFailed", std::string(Expression) + " at " + File + ":" + std::to_string(Line));
}

/* ------------------------------------------------------------------ */
/* Memory objects                                                      */
/* ------------------------------------------------------------------ */
namespace {
Object *MemoryParent(PWDF_OBJECT_ATTRIBUTES Attributes, const char *Api)
{
    if (Attributes != nullptr && Attributes->ParentObject != nullptr) {
        return Lookup(Attributes->ParentObject, Api);
    }
    return Host().TheDriver;
}
} // namespace

EXTERN_C NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType, ULONG PoolTag,
                                  size_t BufferSize, WDFMEMORY *Memory, PVOID *Buffer)
{
    KIT_ENTRY(WdfMemoryCreate);
    NTSTATUS Status;
    (void)PoolType;
    if (Memory != nullptr) *Memory = nullptr;
    if (Buffer != nullptr) *Buffer = nullptr;
    if (Memory == nullptr) {
        VerifierReport("NullParameter", "WdfMemoryCreate without an output handle");
        return STATUS_INVALID_PARAMETER;
    }
    if (Kit.Injected(&Status)) {
        return Status;
    }
    if (BufferSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (PoolType == PagedPool && Irql() > APC_LEVEL) {
        VerifierReport("PagedPoolAtDispatch", "WdfMemoryCreate(PagedPool) above APC_LEVEL");
    }
    Object *Parent = MemoryParent(Attributes, Kit.Name());
    if (Attributes != nullptr && Attributes->ParentObject != nullptr && Parent == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Device *Owner = Parent != nullptr && Parent->OwnerDevice() != nullptr ? Parent->OwnerDevice() : CurrentDevice();
    fx::Memory *M = CreateMemory(Owner, Parent, BufferSize, PoolTag, Attributes, &Status);
    if (M == nullptr) {
        return Status;
    }
    M->DriverMade = true;
    *Memory = M->HandleAs<WDFMEMORY>();
    if (Buffer != nullptr) *Buffer = M->Buffer();
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfMemoryCreatePreallocated(PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer, size_t BufferSize,
                                              WDFMEMORY *Memory)
{
    KIT_ENTRY(WdfMemoryCreatePreallocated);
    NTSTATUS Status;
    if (Memory != nullptr) *Memory = nullptr;
    if (Memory == nullptr || Buffer == nullptr || BufferSize == 0) {
        VerifierReport("NullParameter", "WdfMemoryCreatePreallocated without a buffer or an output handle");
        return STATUS_INVALID_PARAMETER;
    }
    if (Kit.Injected(&Status)) {
        return Status;
    }
    Object *Parent = MemoryParent(Attributes, Kit.Name());
    if (Attributes != nullptr && Attributes->ParentObject != nullptr && Parent == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Device *Owner = Parent != nullptr && Parent->OwnerDevice() != nullptr ? Parent->OwnerDevice() : CurrentDevice();
    auto *M = new fx::Memory(Owner, Buffer, BufferSize, 0, false);
    return CommitNew(M, Attributes, Parent, Kit.Name(), Memory);
}

EXTERN_C PVOID WdfMemoryGetBuffer(WDFMEMORY Memory, size_t *BufferSize)
{
    KIT_ENTRY(WdfMemoryGetBuffer);
    auto *M = static_cast<fx::Memory *>(
        LookupTyped(reinterpret_cast<WDFOBJECT>(Memory), ObjectType::Memory, Kit.Name(), true));
    if (M == nullptr) {
        if (BufferSize != nullptr) *BufferSize = 0;
        return nullptr;
    }
    if (BufferSize != nullptr) *BufferSize = M->Size();
    return M->Buffer();
}

EXTERN_C NTSTATUS WdfMemoryCopyFromBuffer(WDFMEMORY DestinationMemory, size_t DestinationOffset, PVOID Buffer,
                                          size_t NumBytesToCopyFrom)
{
    KIT_ENTRY(WdfMemoryCopyFromBuffer);
    auto *M = As<fx::Memory>(DestinationMemory, ObjectType::Memory, Kit.Name());
    if (M == nullptr || Buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS Injected;
    if (Kit.Injected(&Injected)) {
        return Injected;
    }
    if (NumBytesToCopyFrom == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (DestinationOffset > M->Size() || NumBytesToCopyFrom > M->Size() - DestinationOffset) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memmove(static_cast<char *>(M->Buffer()) + DestinationOffset, Buffer, NumBytesToCopyFrom);
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfMemoryCopyToBuffer(WDFMEMORY SourceMemory, size_t SourceOffset, PVOID Buffer,
                                        size_t NumBytesToCopyTo)
{
    KIT_ENTRY(WdfMemoryCopyToBuffer);
    auto *M = As<fx::Memory>(SourceMemory, ObjectType::Memory, Kit.Name());
    if (M == nullptr || Buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (NumBytesToCopyTo == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (SourceOffset > M->Size() || NumBytesToCopyTo > M->Size() - SourceOffset) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memmove(Buffer, static_cast<const char *>(M->Buffer()) + SourceOffset, NumBytesToCopyTo);
    return STATUS_SUCCESS;
}
