// The executive's pool routines: IRQL rules, then the host pool. Freeing
// memory that holds a queued timer or DPC (or a running DPC) stops, as the
// verifier does.
#include "kernel_impl.h"
#include "low_resources.h"
#include "pool.h"
#include "timer_queue.h"
#include "verifier.h"
#include "verifier_rules.h"

namespace {

constexpr ULONG kUntagged = 0;
constexpr POOL_TYPE kDontUseThisTypeSession = static_cast<POOL_TYPE>(DontUseThisTypeSession);

void RequireUsableType(POOL_TYPE type)
{
    if (type == DontUseThisType || type == kDontUseThisTypeSession) {
        host::verifier::BugCheck(host::rule::kBadPoolCaller,
                                 "pool allocation of type " + std::to_string(type));
    }
}

void RequireIrqlFor(POOL_TYPE type, const char* routine)
{
    host::verifier::RequireIrqlAtMost(host::Pool::IsPaged(type) ? APC_LEVEL : DISPATCH_LEVEL,
                                      routine);
}

PVOID Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const char* routine)
{
    RequireUsableType(type);
    RequireIrqlFor(type, routine);
    if (host::SimulateLowResources(routine)) {
        return nullptr;
    }
    return host::Internals().PoolAllocator().Allocate(type, bytes, tag);
}

}  // namespace

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    return Allocate(PoolType, NumberOfBytes, Tag, "ExAllocatePoolWithTag");
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return Allocate(PoolType, NumberOfBytes, kUntagged, "ExAllocatePool");
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    host::Kernel::Impl& kernel = host::Internals();
    POOL_TYPE type = NonPagedPool;
    SIZE_T size = 0;
    if (kernel.PoolAllocator().Lookup(P, &type, &size)) {
        RequireIrqlFor(type, "ExFreePool");
        if (auto queued = kernel.Timers().FindQueuedWithin(P, size)) {
            host::verifier::BugCheck(host::rule::kTimerOrDpcInvalid,
                                     "pool block freed while it holds a " + *queued);
        }
    }
    kernel.PoolAllocator().Free(P, Tag);
}

VOID NTAPI ExFreePool(PVOID P)
{
    ExFreePoolWithTag(P, kUntagged);
}

}  // extern "C"
