#include "port_ledger.h"

#include "logger.h"

#include <host/common/numbers.h>

#include <atomic>
#include <cctype>
#include <set>

namespace zelvcomd {
namespace {

using zelipc::PortLink;

constexpr std::string_view kDosDevicePrefix = "\\\\.\\";
constexpr std::string_view kComPrefix = "COM";
constexpr std::uint32_t kHighestComNumber = 4096;
// The driver's reports on a port's data connection, as the host logs them:
// "DbgPrint: ZelVCOM: COM<n>: <what happened>".
constexpr std::string_view kDriverReport = "DbgPrint: ZelVCOM: COM";
constexpr std::string_view kGoneSuffix = "; connecting again";
constexpr std::string_view kBackReport = "the data connection is back";

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(text[i])) != prefix[i])
            return false;
    }
    return true;
}

bool EndsWith(std::string_view text, std::string_view suffix)
{
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

// One port's record. A port is open by one opener at a time (the driver
// allows no second open).
class PortLedger::Port {
public:
    // Returns the session's number, for its close.
    std::uint64_t Opened(const Opener& opener)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        SetOpener(opener);
        state_.Link = PortLink::Connected;
        return ++session_;
    }
    // A close that comes after the next opener's open leaves that one be.
    void Closed(std::uint64_t session)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (session == session_) {
            SetOpener(Opener{});
            state_.Link = PortLink::Closed;
        }
    }
    void Failed(std::string words)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        state_.LastError = std::move(words);
    }

    // A read or write of the port's opener has ended.
    void Counted(bool write, const host::IoResult& result)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (NT_SUCCESS(result.Status)) {
            (write ? state_.ToModule : state_.FromModule) += result.Information;
            // What went out went over a connection: a write reconnects by
            // itself when the connection had gone.
            if (write && result.Information != 0)
                LinkBack();
        } else if (result.Status != STATUS_CANCELLED) {
            state_.LastError = std::string(write ? "a write" : "a read") +
                               " failed: " + StatusWords(result.Status);
            if (write)
                LinkGone();
        }
    }

    // What the driver said about the port's data connection.
    void DriverReport(std::string_view text)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (EndsWith(text, kGoneSuffix)) {
            state_.LastError = std::string(text.substr(0, text.size() - kGoneSuffix.size()));
            LinkGone();
        } else if (text == kBackReport) {
            LinkBack();
        }
    }

    // "picocom (pid 6217) on /dev/pts/3", or what of it is known.
    std::string Holder()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_.OpenedBy == zelipc::PortOpener::None)
            return "";
        std::string who = state_.Program.empty() ? "a program" : state_.Program;
        if (state_.ProcessId != 0)
            who += " (pid " + std::to_string(state_.ProcessId) + ")";
        return state_.Where.empty() ? who : who + " on " + state_.Where;
    }

    zelipc::PortReport Snapshot(std::uint32_t comNumber)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        zelipc::PortReport report = state_;
        report.ComNumber = comNumber;
        return report;
    }
    // A program on the pseudo-terminal found since the port was opened.
    void ProgramFound(const std::string& where, const PtyHolder& holder)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (state_.OpenedBy == zelipc::PortOpener::Program && state_.Where == where) {
            state_.ProcessId = static_cast<std::uint32_t>(holder.Pid);
            state_.Program = holder.Program;
        }
    }

private:
    void SetOpener(const Opener& opener)
    {
        state_.OpenedBy = opener.Kind;
        state_.ProcessId = static_cast<std::uint32_t>(opener.Pid);
        state_.Program = opener.Program;
        state_.Where = opener.Where;
    }
    // Each going counts once, however it was noticed; so does each return.
    void LinkGone()
    {
        if (state_.Link == PortLink::Connected) {
            state_.Link = PortLink::Reconnecting;
            ++state_.Drops;
        }
    }
    void LinkBack()
    {
        if (state_.Link == PortLink::Reconnecting) {
            state_.Link = PortLink::Connected;
            ++state_.Reconnects;
        }
    }

    std::mutex mutex_;
    zelipc::PortReport state_;  // all but the COM number, which the ledger keys it by
    std::uint64_t session_ = 0;
};

namespace {

using Port = PortLedger::Port;

// Counts a request's result once, whichever way the caller learns it (a
// called-off read may be waited for after its callback ran).
struct Tally {
    std::shared_ptr<Port> Of;
    bool Write = false;
    std::atomic<bool> Done{false};

    void Count(const host::IoResult& result)
    {
        if (!Done.exchange(true))
            Of->Counted(Write, result);
    }
};

class CountedIo : public host::PendingIo {
public:
    CountedIo(std::shared_ptr<host::PendingIo> inner, std::shared_ptr<Tally> tally)
        : inner_(std::move(inner)), tally_(std::move(tally))
    {
    }
    bool Done() const override { return inner_->Done(); }
    const host::IoResult& Wait() override
    {
        const host::IoResult& result = inner_->Wait();
        tally_->Count(result);
        return result;
    }
    bool WaitFor(std::chrono::milliseconds timeout) override
    {
        if (!inner_->WaitFor(timeout))
            return false;
        tally_->Count(inner_->Wait());
        return true;
    }
    void Cancel() override { inner_->Cancel(); }
    // The callback holds the tally, not this wrapper, so nothing holds
    // itself.
    void OnComplete(std::function<void(const host::IoResult&)> callback) override
    {
        inner_->OnComplete(
            [tally = tally_, callback = std::move(callback)](const host::IoResult& result) {
                tally->Count(result);
                callback(result);
            });
    }

private:
    const std::shared_ptr<host::PendingIo> inner_;
    const std::shared_ptr<Tally> tally_;
};

class CountedFile : public host::File {
public:
    CountedFile(std::unique_ptr<host::File> inner, std::shared_ptr<Port> port,
                std::uint64_t session)
        : inner_(std::move(inner)), port_(std::move(port)), session_(session)
    {
    }
    ~CountedFile() override { Close(); }

    std::shared_ptr<host::PendingIo> StartRead(ULONG length) override
    {
        return Counted(inner_->StartRead(length), false);
    }
    std::shared_ptr<host::PendingIo> StartWrite(const void* data, ULONG length) override
    {
        return Counted(inner_->StartWrite(data, length), true);
    }
    std::shared_ptr<host::PendingIo> StartDeviceControl(ULONG code, const void* input,
                                                        ULONG inputLength,
                                                        ULONG outputLength) override
    {
        return inner_->StartDeviceControl(code, input, inputLength, outputLength);
    }
    std::shared_ptr<host::PendingIo> StartFlush() override { return inner_->StartFlush(); }
    void CancelAll() override { inner_->CancelAll(); }
    void Close() override
    {
        if (closed_.exchange(true))
            return;
        inner_->Close();
        port_->Closed(session_);
    }
    PFILE_OBJECT FileObject() const override { return inner_->FileObject(); }

private:
    std::shared_ptr<host::PendingIo> Counted(std::shared_ptr<host::PendingIo> io, bool write)
    {
        auto tally = std::make_shared<Tally>();
        tally->Of = port_;
        tally->Write = write;
        return std::make_shared<CountedIo>(std::move(io), std::move(tally));
    }

    const std::unique_ptr<host::File> inner_;
    const std::shared_ptr<Port> port_;
    const std::uint64_t session_;
    std::atomic<bool> closed_{false};
};

}  // namespace

PortLedger::PortLedger() = default;
PortLedger::~PortLedger() = default;

NTSTATUS PortLedger::Open(host::Kernel& kernel, const std::string& name, Opener opener,
                          std::unique_ptr<host::File>* file)
{
    const NTSTATUS status = kernel.Open(name, file);
    const auto number = ComNumberOf(name);
    if (!number)
        return status;
    const auto port = PortOf(*number);
    if (!NT_SUCCESS(status)) {
        // Refused because someone has it: no fault of the port's.
        if (status != STATUS_ACCESS_DENIED) {
            port->Failed("an open failed: " + WhyNotOpened(name, status));
        }
        return status;
    }
    if (opener.Program.empty() && opener.Pid != 0)
        opener.Program = ProgramName(opener.Pid);
    const std::uint64_t session = port->Opened(opener);
    *file = std::make_unique<CountedFile>(std::move(*file), port, session);
    return status;
}

void PortLedger::OnKernelLog(const std::string& line)
{
    const std::size_t at = line.find(kDriverReport);
    if (at == std::string::npos)
        return;
    const std::string_view rest = std::string_view(line).substr(at + kDriverReport.size());
    const std::size_t colon = rest.find(": ");
    const auto number = zel::ReadDecimal(rest.substr(0, colon), 1, kHighestComNumber);
    if (colon == std::string_view::npos || !number)
        return;
    std::string_view text = rest.substr(colon + 2);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.remove_suffix(1);
    PortOf(static_cast<std::uint32_t>(*number))->DriverReport(text);
}

std::vector<zelipc::PortReport> PortLedger::Reports(const std::vector<std::uint32_t>& comNumbers)
{
    std::vector<zelipc::PortReport> reports;
    // One look at each program's descriptors, however many ports it holds.
    std::map<pid_t, std::set<std::string>> held;
    std::set<std::string> unknown;
    for (const std::uint32_t number : comNumbers) {
        reports.push_back(PortOf(number)->Snapshot(number));
        const auto& report = reports.back();
        if (report.OpenedBy != zelipc::PortOpener::Program)
            continue;
        const auto pid = static_cast<pid_t>(report.ProcessId);
        if (pid != 0 && held.count(pid) == 0)
            held[pid] = OpenFiles(pid);
        if (pid == 0 || held[pid].count(report.Where) == 0)
            unknown.insert(report.Where);
    }
    if (unknown.empty())
        return reports;
    const auto holders = FindPtyHolders(unknown);
    for (auto& report : reports) {
        if (unknown.count(report.Where) == 0)
            continue;
        const auto holder = holders.find(report.Where);
        report.ProcessId =
            holder != holders.end() ? static_cast<std::uint32_t>(holder->second.Pid) : 0;
        report.Program = holder != holders.end() ? holder->second.Program : "";
        if (holder != holders.end())
            ProgramFound(report.ComNumber, report.Where, holder->second);
    }
    return reports;
}

void PortLedger::ProgramFound(std::uint32_t comNumber, const std::string& where,
                              const PtyHolder& holder)
{
    PortOf(comNumber)->ProgramFound(where, holder);
}

std::shared_ptr<PortLedger::Port> PortLedger::PortOf(std::uint32_t comNumber)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto& port = ports_[comNumber];
    if (!port)
        port = std::make_shared<Port>();
    return port;
}

std::optional<std::uint32_t> ComNumberOf(const std::string& dosName)
{
    std::string_view name = dosName;
    if (name.substr(0, kDosDevicePrefix.size()) != kDosDevicePrefix)
        return std::nullopt;
    name.remove_prefix(kDosDevicePrefix.size());
    if (!StartsWithNoCase(name, kComPrefix))
        return std::nullopt;
    const auto number = zel::ReadDecimal(name.substr(kComPrefix.size()), 1, kHighestComNumber);
    return number ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(*number))
                  : std::nullopt;
}

std::string PortLedger::WhyNotOpened(const std::string& name, NTSTATUS status)
{
    const auto number = ComNumberOf(name);
    if (number && status == STATUS_ACCESS_DENIED) {
        const std::string holder = PortOf(*number)->Holder();
        return "COM" + std::to_string(*number) + " is held by " +
               (holder.empty() ? "another program" : holder) + " (status " + StatusText(status) +
               ")";
    }
    if (number && status == STATUS_UNSUCCESSFUL) {
        return "the port could not connect to its module (status " + StatusText(status) + ")";
    }
    return StatusWords(status);
}

std::string StatusWords(NTSTATUS status)
{
    std::string words;
    switch (status) {
    case STATUS_CONNECTION_REFUSED:
        words = "the module refused the connection";
        break;
    case STATUS_IO_TIMEOUT:
        words = "the module did not answer in time";
        break;
    case STATUS_HOST_UNREACHABLE:
    case STATUS_NETWORK_UNREACHABLE:
    case STATUS_PORT_UNREACHABLE:
        words = "the module cannot be reached";
        break;
    case STATUS_CONNECTION_RESET:
        words = "the module reset the connection";
        break;
    case STATUS_CONNECTION_DISCONNECTED:
        words = "the module closed the connection";
        break;
    case STATUS_CONNECTION_ABORTED:
    case STATUS_CONNECTION_INVALID:
        words = "the connection to the module is gone";
        break;
    case STATUS_INSUFFICIENT_RESOURCES:
        words = "the system is out of resources";
        break;
    case STATUS_ACCESS_DENIED:
        words = "the port is already open";
        break;
    case STATUS_UNSUCCESSFUL:
        words = "the driver could not do it";
        break;
    default:
        return "status " + StatusText(status);
    }
    return words + " (status " + StatusText(status) + ")";
}

}  // namespace zelvcomd
