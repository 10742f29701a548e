// IRQL of the calling thread. Nothing is masked on the host; the level is
// what the verifier checks the driver's calls against.
#include "thread_state.h"
#include "verifier.h"
#include "verifier_rules.h"

#include <string>

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID)
{
    return host::thread_state::Irql();
}

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql)
{
    const KIRQL old = host::thread_state::Irql();
    if (NewIrql < old) {
        host::verifier::BugCheck(
            host::rule::kIrqlNotGreaterOrEqual,
            "KeRaiseIrql to " + std::to_string(NewIrql) + " from " + std::to_string(old));
    }
    host::thread_state::SetIrql(NewIrql);
    return old;
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql)
{
    const KIRQL old = host::thread_state::Irql();
    if (NewIrql > old) {
        host::verifier::BugCheck(
            host::rule::kIrqlNotLessOrEqual,
            "KeLowerIrql to " + std::to_string(NewIrql) + " from " + std::to_string(old));
    }
    host::thread_state::SetIrql(NewIrql);
}

}  // extern "C"
