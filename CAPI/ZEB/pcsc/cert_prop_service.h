// "CertPropSvc" stopped for an exclusive hold and started again after it,
// with the record that lets a later start give the service back when the
// tray that stopped it ended in between (service_record.h). The record is a
// value of HKEY_LOCAL_MACHINE\Software\Ovrane\ZEB, seen by every user's
// tray since the service is the machine's (the tray that may stop the
// service runs with the rights to write there); when it cannot be written
// there, of the same key under HKEY_CURRENT_USER, seen by this user's next
// start. Lines go to `log`. x86-64 Windows.
#ifndef ZEB_PCSC_CERT_PROP_SERVICE_H
#define ZEB_PCSC_CERT_PROP_SERVICE_H

#include <functional>
#include <string>

namespace zeb {

using ServiceLog = std::function<void(const std::string &)>;

// Stops the service when it runs, this process's record written first (and
// taken back when the stop request fails). True when the stop was requested
// here, so that the hold's end starts it again.
bool StopCertPropSvcForHold(const ServiceLog &log);
// Starts the service again after the hold; once it runs (or already ran),
// this process's record goes. 1 = running, 0 = failure (record kept).
bool StartCertPropSvcAfterHold(const ServiceLog &log);
// At the tray's start: when a record's owner has ended and no owner still
// runs, starts the service (waiting out a stop in progress) and drops the
// records of the ended owners; a record whose owner runs is left to it.
// Nothing is done, and nothing written, when there is no record.
void RestartCertPropSvcLeftStopped(const ServiceLog &log);

} // namespace zeb

#endif
