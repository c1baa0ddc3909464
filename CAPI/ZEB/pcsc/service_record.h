// The record of "CertPropSvc" stopped by a tray's exclusive hold. The hold
// writes it before the stop and clears it after the restart; a tray killed
// or crashed in between leaves it, and the next tray to start (this user's
// or another's: the service is the machine's) gives the service back. One
// record per tray process: its value name carries the process id, its data
// the process's creation time, so a later process that got the same id is
// not taken for the owner. The rules here are platform-free.
#ifndef ZEB_PCSC_SERVICE_RECORD_H
#define ZEB_PCSC_SERVICE_RECORD_H

#include <cstdint>
#include <string>
#include <vector>

namespace zeb {

// "certpropsvc_stopped_by_<pid>" (the pid in decimal).
std::string ServiceRecordName(unsigned long pid);
// The owner's process id of a record's value name; false for any other
// name (a setting, a malformed or out-of-range id).
bool ParseServiceRecordName(const std::string &name, unsigned long *pid);

// What start-up could learn of a record's owner.
struct OwnerSeen {
    bool opened = false;       // the process with that id could be opened
    bool accessDenied = false; // ... was refused (another user's process)
    bool running = false;      // opened: it has not ended
    uint64_t creationTime = 0; // opened: its creation time (0: not known)
};

enum class OwnerState {
    gone,  // ended: the service it stopped is nobody's to restart but ours
    alive, // may still be holding the readers: it restarts the service itself
};

// The owner of a record written by process `ownerPid`, created at
// `recordedCreation` (0: not known), judged from start-up process `ownPid`.
// A record of the starting process's own id is an earlier process's; a
// process that cannot be opened for lack of rights counts as alive; one
// whose creation time differs from the record's is a later process.
OwnerState JudgeOwner(unsigned long ownerPid, uint64_t recordedCreation, unsigned long ownPid,
                      const OwnerSeen &seen);

// Start-up: the service is started again when some record's owner is gone
// and no owner is alive (an owner still holding gives it back itself, and a
// restart now would end its hold's protection). Records of gone owners are
// dropped then at once, else once the start is answered (DropStaleRecords).
bool RestartAtStartup(const std::vector<OwnerState> &owners);

// What the service manager answered at start-up.
enum class ServiceAnswer {
    running, // started now, or already running
    missing, // no such service: nothing will ever restart it
    refused, // no right to start it: a tray with the right does it later
    failed,  // the start failed otherwise: the next start tries again
};

// Whether the records of gone owners are dropped after that answer.
bool DropStaleRecords(ServiceAnswer answer);

} // namespace zeb

#endif
