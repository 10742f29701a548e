#include "verifier.h"

#include "callback_check.h"
#include "kernel_impl.h"
#include "thread_state.h"
#include "verifier_rules.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace host::verifier {
namespace {

std::atomic<bool> stopping{false};

void ReportToLog(const std::string& message)
{
    Kernel::Impl* kernel = Kernel::Impl::CurrentOrNull();
    if (kernel != nullptr) {
        kernel->LogToSinkOnly(LogLevel::Error, message);
    }
}

}  // namespace

void BugCheck(const char* rule, const std::string& detail)
{
    const std::string message = std::string("*** STOP: ") + rule + ": " + detail;
    std::fprintf(stderr, "%s\n", message.c_str());
    std::fflush(stderr);
    // A log sink that itself stops must not recurse.
    if (!stopping.exchange(true)) {
        ReportToLog(message);
    }
    std::abort();
}

void BugCheckBadFree(const char* routine, const void* p, const char* kind)
{
    BugCheck(rule::kBadPoolCaller, std::string(routine) + " of " + PointerText(p) +
                                       ", which is not an allocated " + kind + " (freed twice?)");
}

std::string Hex(ULONG value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

std::string PointerText(const void* p)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%p", p);
    return text;
}

void RequireIrqlAtMost(KIRQL maxIrql, const char* routine)
{
    const KIRQL irql = thread_state::Irql();
    if (irql > maxIrql) {
        BugCheck(rule::kIrqlNotLessOrEqual, std::string(routine) + " called at IRQL " +
                                                std::to_string(irql) + " (allowed up to " +
                                                std::to_string(maxIrql) + ")");
    }
}

void RequireUnchanged(const thread_state::Snapshot& before, const char* what)
{
    const thread_state::Snapshot after = thread_state::Take();
    if (after.HeldLocks > before.HeldLocks) {
        BugCheck(rule::kVerifierViolation, std::string(what) + " returned holding " +
                                               std::to_string(after.HeldLocks - before.HeldLocks) +
                                               " spin lock(s)");
    }
    if (after.HeldLocks < before.HeldLocks) {
        BugCheck(rule::kVerifierViolation, std::string(what) + " released " +
                                               std::to_string(before.HeldLocks - after.HeldLocks) +
                                               " spin lock(s) its caller held");
    }
    if (after.Irql != before.Irql) {
        BugCheck(rule::kIrqlUnexpectedValue,
                 std::string(what) + " was called at IRQL " + std::to_string(before.Irql) +
                     " and returned at IRQL " + std::to_string(after.Irql));
    }
}

}  // namespace host::verifier
