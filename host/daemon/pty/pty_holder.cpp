#include "pty_holder.h"

#include <host/common/numbers.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <functional>
#include <memory>
#include <vector>

namespace zelvcomd {
namespace {

constexpr char kProc[] = "/proc";
constexpr pid_t kHighestPid = 0x3FFFFF;  // the kernel's PID_MAX_LIMIT

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

// Every numeric entry of a /proc directory.
std::vector<unsigned long> NumericEntries(const std::string& path)
{
    std::vector<unsigned long> numbers;
    const Dir dir(opendir(path.c_str()));
    if (!dir)
        return numbers;
    while (const dirent* entry = readdir(dir.get())) {
        if (const auto number = zel::ReadDecimal(entry->d_name, 0, kHighestPid))
            numbers.push_back(static_cast<unsigned long>(*number));
    }
    return numbers;
}

std::string LinkTarget(const std::string& link)
{
    std::array<char, 256> target;
    const ssize_t length = readlink(link.c_str(), target.data(), target.size());
    return length > 0 ? std::string(target.data(), static_cast<std::size_t>(length)) : "";
}

std::string FdDirectory(pid_t pid)
{
    return std::string(kProc) + "/" + std::to_string(pid) + "/fd/";
}

}  // namespace

std::set<std::string> OpenFiles(pid_t pid)
{
    std::set<std::string> files;
    const std::string fds = FdDirectory(pid);
    for (const unsigned long fd : NumericEntries(fds))
        files.insert(LinkTarget(fds + std::to_string(fd)));
    return files;
}

std::map<std::string, PtyHolder> FindPtyHolders(const std::set<std::string>& slavePaths)
{
    std::map<std::string, PtyHolder> holders;
    std::vector<unsigned long> pids = NumericEntries(kProc);
    std::sort(pids.begin(), pids.end(), std::greater<>());
    const auto self = static_cast<unsigned long>(getpid());
    for (auto pid = pids.begin(); pid != pids.end() && holders.size() < slavePaths.size(); ++pid) {
        if (*pid == self)
            continue;
        const auto process = static_cast<pid_t>(*pid);
        const std::string fds = FdDirectory(process);
        for (const unsigned long fd : NumericEntries(fds)) {
            const std::string target = LinkTarget(fds + std::to_string(fd));
            if (slavePaths.count(target) != 0 && holders.count(target) == 0)
                holders[target] = PtyHolder{process, ProgramName(process)};
        }
    }
    return holders;
}

std::string ProgramName(pid_t pid)
{
    std::ifstream comm(std::string(kProc) + "/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

}  // namespace zelvcomd
