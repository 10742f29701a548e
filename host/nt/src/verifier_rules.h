// Names of the rules the verifier enforces: the NT bug check names, so a
// stop message reads like the one Windows would show.
#pragma once

namespace host::rule {

inline constexpr const char* kIrqlNotLessOrEqual = "IRQL_NOT_LESS_OR_EQUAL";
inline constexpr const char* kIrqlNotGreaterOrEqual = "IRQL_NOT_GREATER_OR_EQUAL";
inline constexpr const char* kIrqlUnexpectedValue = "IRQL_UNEXPECTED_VALUE";
inline constexpr const char* kSpinLockAlreadyOwned = "SPIN_LOCK_ALREADY_OWNED";
inline constexpr const char* kSpinLockNotOwned = "SPIN_LOCK_NOT_OWNED";
inline constexpr const char* kBadPoolCaller = "BAD_POOL_CALLER";
inline constexpr const char* kPoolCorruption = "SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION";
inline constexpr const char* kMultipleIrpCompleteRequests = "MULTIPLE_IRP_COMPLETE_REQUESTS";
inline constexpr const char* kNoMoreIrpStackLocations = "NO_MORE_IRP_STACK_LOCATIONS";
inline constexpr const char* kCancelStateInCompletedIrp = "CANCEL_STATE_IN_COMPLETED_IRP";
inline constexpr const char* kIoManagerViolation = "DRIVER_VERIFIER_IOMANAGER_VIOLATION";
inline constexpr const char* kVerifierViolation = "DRIVER_VERIFIER_DETECTED_VIOLATION";
inline constexpr const char* kTimerOrDpcInvalid = "TIMER_OR_DPC_INVALID";
inline constexpr const char* kPendingOperationsAtUnload =
    "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS";
inline constexpr const char* kInvalidObject = "INVALID_KERNEL_OBJECT";
inline constexpr const char* kInvalidKernelHandle = "INVALID_KERNEL_HANDLE";
inline constexpr const char* kReferenceByPointer = "REFERENCE_BY_POINTER";
inline constexpr const char* kLockedPagesLeft = "DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS";
inline constexpr const char* kNoKernel = "HOST_KERNEL_NOT_RUNNING";
// The host itself could not go on: an operating system call failed.
inline constexpr const char* kHostSystemCall = "HOST_SYSTEM_CALL_FAILED";

}  // namespace host::rule
