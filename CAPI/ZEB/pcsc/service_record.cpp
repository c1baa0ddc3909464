#include "service_record.h"

#include <algorithm>

namespace zeb {

namespace {
const char kPrefix[] = "certpropsvc_stopped_by_";
const size_t kPrefixLength = sizeof(kPrefix) - 1;
const size_t kMaxPidDigits = 10; // process ids are 32-bit
} // namespace

std::string ServiceRecordName(unsigned long pid)
{
    return kPrefix + std::to_string(pid);
}

bool ParseServiceRecordName(const std::string &name, unsigned long *pid)
{
    if (name.compare(0, kPrefixLength, kPrefix) != 0)
        return false;
    std::string digits = name.substr(kPrefixLength);
    if (digits.empty() || digits.size() > kMaxPidDigits || (digits.size() > 1 && digits[0] == '0') ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    uint64_t value = std::stoull(digits);
    if (value > 0xFFFFFFFFull)
        return false;
    *pid = static_cast<unsigned long>(value);
    return true;
}

OwnerState JudgeOwner(unsigned long ownerPid, uint64_t recordedCreation, unsigned long ownPid,
                      const OwnerSeen &seen)
{
    if (ownerPid == ownPid)
        return OwnerState::gone;
    if (!seen.opened)
        return seen.accessDenied ? OwnerState::alive : OwnerState::gone;
    if (!seen.running)
        return OwnerState::gone;
    if (recordedCreation != 0 && seen.creationTime != 0 && recordedCreation != seen.creationTime)
        return OwnerState::gone;
    return OwnerState::alive;
}

bool RestartAtStartup(const std::vector<OwnerState> &owners)
{
    bool anyGone = std::find(owners.begin(), owners.end(), OwnerState::gone) != owners.end();
    bool anyAlive = std::find(owners.begin(), owners.end(), OwnerState::alive) != owners.end();
    return anyGone && !anyAlive;
}

bool DropStaleRecords(ServiceAnswer answer)
{
    return answer == ServiceAnswer::running || answer == ServiceAnswer::missing;
}

} // namespace zeb
