#include "win32_process.h"

namespace zelwin32 {

Win32Process& Win32Process::Instance()
{
    static Win32Process process;
    return process;
}

std::shared_ptr<ServerConnection> Win32Process::Connection()
{
    std::lock_guard<std::mutex> lock(connectMutex_);
    if (connection_ == nullptr || connection_->Broken()) {
        connection_ = ServerConnection::Connect();
    }
    return connection_;
}

}  // namespace zelwin32
