#include "systemprivileges.h"

#include <grp.h>
#include <pwd.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace {

// Groups whose members may become root through sudo or a similar tool, by
// the conventions of the common distributions.
const char *const elevationGroups[] = {"sudo", "wheel", "admin"};

std::vector<gid_t> processGroups()
{
    std::vector<gid_t> groups;
    const int count = getgroups(0, nullptr);
    if (count > 0) {
        groups.resize(static_cast<size_t>(count));
        const int read = getgroups(count, groups.data());
        groups.resize(read > 0 ? static_cast<size_t>(read) : 0);
    }
    groups.push_back(getgid());
    return groups;
}

// The real user's groups as the group database has them now, which may be
// more than the process inherited at login.
std::vector<gid_t> userGroups()
{
    std::vector<char> buffer(16384);
    passwd entry;
    passwd *user = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &user) != 0 || !user)
        return {};

    std::vector<gid_t> groups(32);
    for (int attempt = 0; attempt < 8; ++attempt) {
        int count = static_cast<int>(groups.size());
        if (getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) >= 0) {
            groups.resize(static_cast<size_t>(count));
            return groups;
        }
        groups.resize(static_cast<size_t>(std::max(count, static_cast<int>(groups.size()) * 2)));
    }
    return {};
}

bool groupId(const char *name, gid_t *id)
{
    std::vector<char> buffer(16384);
    group entry;
    group *found = nullptr;
    if (getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return false;
    *id = found->gr_gid;
    return true;
}

} // namespace

bool isAdministrator()
{
    return geteuid() == 0;
}

bool isNonElevatedAdministrator()
{
    if (geteuid() == 0)
        return false;

    std::vector<gid_t> groups = processGroups();
    const std::vector<gid_t> more = userGroups();
    groups.insert(groups.end(), more.begin(), more.end());

    for (const char *name : elevationGroups) {
        gid_t id;
        if (groupId(name, &id) && std::find(groups.begin(), groups.end(), id) != groups.end())
            return true;
    }
    return false;
}
