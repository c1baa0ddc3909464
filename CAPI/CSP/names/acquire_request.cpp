#include "acquire_request.h"

#include <cstring>

#include "container_names.h"

namespace csp::names {

const char kWinlogon[] = "winlogonProcess";
const char kDataByThread[] = "winlogonProcess;dataByThread";

bool EndsAsServiceRequest(const char *text)
{
    const size_t n = text ? std::strlen(text) : 0;
    return n > 0 && text[n - 1] == ')';
}

AcquireRequest ReadAcquireRequest(const char *text, uint32_t flags, const char *commandLine)
{
    AcquireRequest r;
    r.container = text && text[0] ? text : "DEFAULT_CONTAINER";
    r.containerFits = r.container.size() < kContainerRoom;
    r.silent = (flags & kSilent) != 0;
    r.systemLogon = r.silent && (flags & kMachineKeyset) != 0;
    if (r.silent) {
        char reader[kReaderRoom];
        r.readerFits = ReaderFromRequest(text, reader, sizeof reader);
        if (r.readerFits)
            r.reader = reader;
    }
    r.remoteSession = EndsAsServiceRequest(r.container.c_str());
    if (r.systemLogon) {
        char computer[kComputerRoom];
        r.computerFits = ComputerNameFromContainer(r.container.c_str(), computer, sizeof computer);
        if (r.computerFits)
            r.computer = computer;
    }
    // Inside the security authority (the name served is never empty).
    if (commandLine && (std::strstr(commandLine, "lsa") || std::strstr(commandLine, "LSA")))
        r.reserved =
            r.systemLogon && r.remoteSession ? std::string(kDataByThread) + "=" + r.computer : kWinlogon;
    return r;
}

} // namespace csp::names
