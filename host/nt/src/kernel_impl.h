// The parts of the host kernel and the one live instance they belong to.
// The NT routines reach their state through Internals().
#pragma once

#include <host/common/non_copyable.h>
#include <host/kernel.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace host {

class Pool;
class LowResourcesSimulation;
class Dispatcher;
class TimerQueue;
class Worker;
class WorkItemTable;
class ObjectNamespace;
class DeviceTable;
class IrpTable;
class IoManager;
class RegistryStore;
class ObjectTable;
class MdlTable;
class TcpTransport;
struct LoadedDriver;

class Kernel::Impl : zel::NonCopyable {
public:
    explicit Impl(KernelOptions options);
    ~Impl();

    // The instance of the running Kernel, or null while none exists.
    static Impl* CurrentOrNull();
    // \Device\Tcp lives while the kernel is current: its device is
    // created and deleted through the running kernel.
    void StartTransport();
    void StopTransport();

    void Log(LogLevel level, const std::string& line);
    // For the verifier: the sink only, since the stop message already went
    // to standard error.
    void LogToSinkOnly(LogLevel level, const std::string& line);
    void RecordDebugOutput(const std::string& message);
    std::vector<std::string> DebugOutput() const;

    NTSTATUS LoadDriver(const std::string& serviceName, PDRIVER_INITIALIZE entry);
    void UnloadDriver();
    bool DriverLoaded() const;
    PDRIVER_OBJECT DriverObject() const;

    Pool& PoolAllocator() { return *pool_; }
    LowResourcesSimulation& LowResourcesSim() { return *lowResources_; }
    Dispatcher& Dispatch() { return *dispatcher_; }
    TimerQueue& Timers() { return *timers_; }
    Worker& SystemWorker() { return *worker_; }
    WorkItemTable& WorkItems() { return *workItems_; }
    ObjectNamespace& Names() { return *names_; }
    DeviceTable& Devices() { return *devices_; }
    IrpTable& Irps() { return *irps_; }
    IoManager& Io() { return *io_; }
    RegistryStore& Registry() { return *registry_; }
    ObjectTable& Objects() { return *objects_; }
    MdlTable& Mdls() { return *mdls_; }
    TcpTransport& Tcp() { return *tcp_; }
    PKSPIN_LOCK CancelSpinLock() { return &cancelSpinLock_; }

private:
    void VerifyNothingLeft(PDRIVER_OBJECT driver, const char* when);
    void WaitForDriverCallbacks();

    KernelOptions options_;
    // Recursive: a log sink that stops the process logs the stop message.
    mutable std::recursive_mutex logMutex_;
    mutable std::mutex debugMutex_;
    std::vector<std::string> debugOutput_;
    KSPIN_LOCK cancelSpinLock_ = 0;

    std::unique_ptr<RegistryStore> registry_;
    std::unique_ptr<Pool> pool_;
    std::unique_ptr<LowResourcesSimulation> lowResources_;
    std::unique_ptr<Dispatcher> dispatcher_;
    std::unique_ptr<ObjectNamespace> names_;
    std::unique_ptr<DeviceTable> devices_;
    std::unique_ptr<IrpTable> irps_;
    std::unique_ptr<WorkItemTable> workItems_;
    std::unique_ptr<IoManager> io_;
    std::unique_ptr<ObjectTable> objects_;
    std::unique_ptr<MdlTable> mdls_;
    // Threads last, so they stop before what they use goes away.
    std::unique_ptr<TimerQueue> timers_;
    std::unique_ptr<Worker> worker_;
    // Its reactor thread may queue work for the worker.
    std::unique_ptr<TcpTransport> tcp_;
    std::unique_ptr<LoadedDriver> driver_;
};

// The live kernel's parts; a bug check when no kernel is running.
inline Kernel::Impl& Internals()
{
    return Kernel::Current().Internals();
}

}  // namespace host
