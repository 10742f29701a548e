#include "port_link.h"

#include <system_error>

namespace zelvcomd {

void PublishLink(const std::filesystem::path& link, const std::string& target)
{
    std::filesystem::path staging = link;
    staging += ".new";
    std::filesystem::remove(staging);
    std::filesystem::create_symlink(target, staging);
    std::filesystem::rename(staging, link);
}

void RemoveLink(const std::filesystem::path& link)
{
    std::error_code ignored;
    std::filesystem::remove(link, ignored);
}

}  // namespace zelvcomd
