// The host kernel: a user-mode implementation of the NT kernel API the driver
// uses. One Kernel instance exists per process at a time; the NT routines
// (IoCreateDevice, KeWaitForSingleObject, ...) act on it.
//
// This header is the C++ face of the host for the programs around the driver
// (tests, zelvcomd). It never appears in driver code.
#pragma once

#include <host/common/non_copyable.h>
#include <wdm.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace host {

enum class LogLevel { Debug, Info, Warning, Error };

using LogSink = std::function<void(LogLevel, const std::string&)>;

// Result of one request as the caller sees it. For reads and device
// controls, Data holds the bytes copied back (Information bytes, or none when
// the status is an error).
struct IoResult {
    NTSTATUS Status = STATUS_PENDING;
    ULONG_PTR Information = 0;
    std::vector<std::uint8_t> Data;
};

// A request in flight. Wait() blocks until the IRP has completed.
class PendingIo {
public:
    virtual ~PendingIo() = default;
    virtual bool Done() const = 0;
    virtual const IoResult& Wait() = 0;
    // Waits at most the given time; false when still pending.
    virtual bool WaitFor(std::chrono::milliseconds timeout) = 0;
    // IoCancelIrp on the request; harmless once it has completed.
    virtual void Cancel() = 0;
    // Runs callback once with the result: at once when the request has
    // already completed, otherwise in the thread that completes it, once
    // that thread has left the driver (at PASSIVE_LEVEL, no spin lock
    // held). It may call into the driver but must not block: the thread may
    // be one the transport or the timers depend on. One callback per request.
    virtual void OnComplete(std::function<void(const IoResult&)> callback) = 0;
};

// One open handle (one file object). Closing the handle sends IRP_MJ_CLEANUP
// at once and IRP_MJ_CLOSE once every request on the file object has
// completed. The destructor closes the handle if Close() was not called.
class File {
public:
    virtual ~File() = default;

    virtual std::shared_ptr<PendingIo> StartRead(ULONG length) = 0;
    virtual std::shared_ptr<PendingIo> StartWrite(const void* data, ULONG length) = 0;
    virtual std::shared_ptr<PendingIo> StartDeviceControl(ULONG code, const void* input,
                                                          ULONG inputLength,
                                                          ULONG outputLength) = 0;
    virtual std::shared_ptr<PendingIo> StartFlush() = 0;

    // Blocking forms: start, then wait for completion.
    IoResult Read(ULONG length) { return StartRead(length)->Wait(); }
    IoResult Write(const void* data, ULONG length) { return StartWrite(data, length)->Wait(); }
    IoResult DeviceControl(ULONG code, const void* input, ULONG inputLength, ULONG outputLength)
    {
        return StartDeviceControl(code, input, inputLength, outputLength)->Wait();
    }

    // Cancels every request still pending on this handle (CancelIo).
    virtual void CancelAll() = 0;
    virtual void Close() = 0;
    virtual PFILE_OBJECT FileObject() const = 0;
};

// One value of the host registry.
struct RegistryValue {
    ULONG Type = REG_NONE;
    std::vector<std::uint8_t> Data;
};

// Direct access to the registry for the programs around the driver (and for
// tests): keys are paths relative to the root, written with backslashes,
// value names and paths in UTF-8. RelativeTo is RTL_REGISTRY_SERVICES or
// RTL_REGISTRY_DEVICEMAP.
class Registry {
public:
    virtual ~Registry() = default;
    virtual std::optional<RegistryValue> Query(ULONG relativeTo, const std::string& key,
                                               const std::string& valueName) const = 0;
    virtual NTSTATUS Write(ULONG relativeTo, const std::string& key, const std::string& valueName,
                           const RegistryValue& value) = 0;
    virtual NTSTATUS DeleteValue(ULONG relativeTo, const std::string& key,
                                 const std::string& valueName) = 0;
    virtual NTSTATUS DeleteKey(ULONG relativeTo, const std::string& key) = 0;
    virtual bool KeyExists(ULONG relativeTo, const std::string& key) const = 0;
    // Value names of a key, in no particular order; empty when absent.
    virtual std::vector<std::string> ValueNames(ULONG relativeTo, const std::string& key) const = 0;
};

// A descriptor of the caller's, watched on the TCP transport's thread for
// room to write: after each Arm(), onRoom runs once on that thread (outside
// the driver, at PASSIVE_LEVEL, so it may call into the driver) when the
// descriptor can take more or has failed. A stream that the transport
// feeds can so be carried by one thread. The watch keeps a duplicate of
// the descriptor; destroying it ends the watch, though an onRoom already
// under way on the transport's thread still runs.
class RoomWatch {
public:
    virtual ~RoomWatch() = default;
    virtual void Arm() = 0;
};

// Which allocating calls fail under the low-resources simulation: calls
// to ExAllocatePool*, IoAllocateIrp, IoAllocateMdl, IoAllocateWorkItem,
// ZwCreateFile, IoCreateDevice and IoCreateSymbolicLink, and the Rtl
// routines' own allocations, counted from 1 at arming.
struct LowResources {
    // The one call to fail; 0 for none.
    std::uint64_t FailCall = 0;
    // Otherwise each call fails with this probability, drawn from Seed.
    double FailProbability = 0;
    std::uint32_t Seed = 0;
    // Otherwise the rule decides, given the routine's name.
    std::function<bool(const char* routine)> Rule;
};

struct KernelOptions {
    // Holds the persistent registry (services tree) and runtime files.
    std::filesystem::path StateDirectory;
    // Receives the host's log lines, DbgPrint output included. When empty,
    // lines at Info and above go to standard error.
    LogSink Log;
};

class Kernel : zel::NonCopyable {
public:
    explicit Kernel(KernelOptions options);
    ~Kernel();

    // The live instance; a bug check when there is none.
    static Kernel& Current();

    // Creates the driver object \Driver\<serviceName> and calls its entry at
    // PASSIVE_LEVEL. A failure status leaves nothing loaded.
    NTSTATUS LoadDriver(const std::string& serviceName, PDRIVER_INITIALIZE entry);
    bool DriverLoaded() const;
    // Calls DriverUnload, then the verifier checks that the driver left no
    // device, pool block, IRP or queued timer behind. Every handle must be
    // closed first (a bug check otherwise).
    void UnloadDriver();
    PDRIVER_OBJECT DriverObject() const;

    // Opens "\\.\NAME" (resolved through \DosDevices\NAME) or a full object
    // name such as "\Device\ZelMinVirtCOM". On failure, returns the NT
    // status and leaves *file empty.
    NTSTATUS Open(const std::string& name, std::unique_ptr<File>* file);

    // The object namespace: device names, and symbolic links with targets.
    // The kernel's own \Device\Tcp is not among the names, though
    // FindDevice and Open reach it.
    std::vector<std::string> DeviceNames() const;
    std::optional<std::string> SymbolicLinkTarget(const std::string& linkName) const;
    std::vector<std::string> SymbolicLinkNames() const;
    PDEVICE_OBJECT FindDevice(const std::string& deviceName) const;

    Registry& RegistryView();

    // Throws std::system_error when the descriptor cannot be duplicated.
    std::unique_ptr<RoomWatch> WatchForRoom(int fd, std::function<void()> onRoom);

    // Low-resources simulation, for tests of failure paths: while armed, the
    // routines that allocate for the driver count their calls and fail the
    // chosen ones as an exhausted system does. Disarming returns how many
    // calls failed since arming.
    void ArmLowResources(LowResources plan);
    std::uint64_t DisarmLowResources();

    // Every DbgPrint message since the kernel started, in order.
    std::vector<std::string> DebugOutput() const;

    class Impl;
    Impl& Internals() { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace host
