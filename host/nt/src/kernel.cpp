#include "kernel_impl.h"

#include "device_table.h"
#include "dispatcher.h"
#include "io_manager.h"
#include "irp_table.h"
#include "loaded_driver.h"
#include "low_resources.h"
#include "mdl_table.h"
#include "ob_handle_table.h"
#include "object_namespace.h"
#include "pool.h"
#include "registry_store.h"
#include "room_watch.h"
#include "tcp_transport.h"
#include "timer_queue.h"
#include "verifier.h"
#include "verifier_rules.h"
#include "work_item_table.h"
#include "worker.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

namespace host {
namespace {

// The one live kernel of the process.
std::atomic<Kernel*> current{nullptr};

std::string WithoutTrailingNewline(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

}  // namespace

// ---------------------------------------------------------------------------
// Kernel::Impl

Kernel::Impl::Impl(KernelOptions options) : options_(std::move(options))
{
    if (options_.StateDirectory.empty()) {
        throw std::invalid_argument("KernelOptions::StateDirectory is empty");
    }
    std::filesystem::create_directories(options_.StateDirectory);
    registry_ = RegistryStore::Open(options_.StateDirectory);
    pool_ = std::make_unique<Pool>();
    lowResources_ = std::make_unique<LowResourcesSimulation>();
    dispatcher_ = std::make_unique<Dispatcher>();
    names_ = std::make_unique<ObjectNamespace>();
    devices_ = std::make_unique<DeviceTable>(*names_);
    irps_ = std::make_unique<IrpTable>();
    worker_ = std::make_unique<Worker>();
    timers_ = std::make_unique<TimerQueue>(*dispatcher_);
    workItems_ = std::make_unique<WorkItemTable>(*worker_, *devices_);
    io_ = std::make_unique<IoManager>(*irps_, *devices_, *worker_);
    objects_ = std::make_unique<ObjectTable>();
    mdls_ = std::make_unique<MdlTable>();
}

Kernel::Impl::~Impl() = default;

void Kernel::Impl::StartTransport()
{
    tcp_ = std::make_unique<TcpTransport>(*devices_, *worker_);
}

void Kernel::Impl::StopTransport()
{
    tcp_.reset();
}

Kernel::Impl* Kernel::Impl::CurrentOrNull()
{
    Kernel* kernel = current.load();
    return kernel == nullptr ? nullptr : kernel->impl_.get();
}

void Kernel::Impl::Log(LogLevel level, const std::string& line)
{
    std::lock_guard<std::recursive_mutex> lock(logMutex_);
    if (options_.Log) {
        options_.Log(level, line);
    } else if (level >= LogLevel::Info) {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
}

void Kernel::Impl::LogToSinkOnly(LogLevel level, const std::string& line)
{
    std::lock_guard<std::recursive_mutex> lock(logMutex_);
    if (options_.Log) {
        options_.Log(level, line);
    }
}

void Kernel::Impl::RecordDebugOutput(const std::string& message)
{
    {
        std::lock_guard<std::mutex> lock(debugMutex_);
        debugOutput_.push_back(message);
    }
    Log(LogLevel::Info, "DbgPrint: " + WithoutTrailingNewline(message));
}

std::vector<std::string> Kernel::Impl::DebugOutput() const
{
    std::lock_guard<std::mutex> lock(debugMutex_);
    return debugOutput_;
}

// ---------------------------------------------------------------------------
// Kernel

Kernel::Kernel(KernelOptions options)
{
    if (current.load() != nullptr) {
        throw std::logic_error("a host kernel is already running in this process");
    }
    impl_ = std::make_unique<Impl>(std::move(options));
    current.store(this);
    // The transport creates its device through the running kernel.
    try {
        impl_->StartTransport();
    } catch (...) {
        impl_.reset();
        current.store(nullptr);
        throw;
    }
}

Kernel::~Kernel()
{
    if (impl_->DriverLoaded()) {
        impl_->UnloadDriver();
    }
    impl_->StopTransport();
    // The parts stop while the kernel is still current: their threads may
    // finish a last callback.
    impl_.reset();
    current.store(nullptr);
}

Kernel& Kernel::Current()
{
    Kernel* kernel = current.load();
    if (kernel == nullptr) {
        verifier::BugCheck(rule::kNoKernel, "an NT routine was called with no host kernel running");
    }
    return *kernel;
}

NTSTATUS Kernel::LoadDriver(const std::string& serviceName, PDRIVER_INITIALIZE entry)
{
    return impl_->LoadDriver(serviceName, entry);
}

bool Kernel::DriverLoaded() const
{
    return impl_->DriverLoaded();
}

void Kernel::UnloadDriver()
{
    impl_->UnloadDriver();
}

PDRIVER_OBJECT Kernel::DriverObject() const
{
    return impl_->DriverObject();
}

NTSTATUS Kernel::Open(const std::string& name, std::unique_ptr<File>* file)
{
    return impl_->Io().Open(name, file);
}

std::vector<std::string> Kernel::DeviceNames() const
{
    // The kernel's own devices belong to no driver the caller loaded.
    std::vector<std::string> names = impl_->Names().DeviceNames();
    const PDEVICE_OBJECT transport = impl_->Tcp().Device();
    auto isTransport = [&](const std::string& name) {
        return impl_->Names().FindDevice(name) == transport;
    };
    names.erase(std::remove_if(names.begin(), names.end(), isTransport), names.end());
    return names;
}

std::optional<std::string> Kernel::SymbolicLinkTarget(const std::string& linkName) const
{
    return impl_->Names().LinkTarget(linkName);
}

std::vector<std::string> Kernel::SymbolicLinkNames() const
{
    return impl_->Names().LinkNames();
}

PDEVICE_OBJECT Kernel::FindDevice(const std::string& deviceName) const
{
    return impl_->Names().FindDevice(deviceName);
}

Registry& Kernel::RegistryView()
{
    return impl_->Registry();
}

std::unique_ptr<RoomWatch> Kernel::WatchForRoom(int fd, std::function<void()> onRoom)
{
    return MakeRoomWatch(impl_->Tcp().Events(), fd, std::move(onRoom));
}

std::vector<std::string> Kernel::DebugOutput() const
{
    return impl_->DebugOutput();
}

void Kernel::ArmLowResources(LowResources plan)
{
    if (plan.FailCall == 0 && plan.FailProbability > 0) {
        impl_->Log(LogLevel::Info, "low resources: each allocating call fails with probability " +
                                       std::to_string(plan.FailProbability) + ", seed " +
                                       std::to_string(plan.Seed));
    }
    impl_->LowResourcesSim().Arm(std::move(plan));
}

std::uint64_t Kernel::DisarmLowResources()
{
    return impl_->LowResourcesSim().Disarm();
}

}  // namespace host
