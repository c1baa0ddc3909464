// What the text and flags of one acquire ask for, read once where the
// request comes in and handed down: the container to serve, the reader of a
// "\\.\reader\container" request, whether it is a service's or a remote
// session's request (its text ends with ')'), the client computer of a system
// logon's "...CName(computer)", and the reserved text the card's library is
// started with inside the security authority. No platform calls: built and
// tested in every tree.
#ifndef VEL_CSP_ACQUIRE_REQUEST_H
#define VEL_CSP_ACQUIRE_REQUEST_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace csp::names {

// The acquire flags the reading depends on (CryptoAPI's values).
constexpr uint32_t kMachineKeyset = 0x20; // CRYPT_MACHINE_KEYSET
constexpr uint32_t kSilent = 0x40;        // CRYPT_SILENT

constexpr size_t kContainerRoom = 512; // a container name: 511 characters and a NUL
constexpr size_t kReaderRoom = 255;    // a request's reader: 254 characters and a NUL
constexpr size_t kComputerRoom = 128;  // a client computer: 127 characters and a NUL

// The reserved texts of the library's initialisation.
extern const char kWinlogon[];     // "winlogonProcess"
extern const char kDataByThread[]; // "winlogonProcess;dataByThread", then "=" and the computer

struct AcquireRequest {
    // The name served: the request's text, "DEFAULT_CONTAINER" when it has none.
    std::string container;
    bool containerFits = true; // false: a name that cannot be kept whole (refused)
    // CRYPT_MACHINE_KEYSET with CRYPT_SILENT: the system logon. CRYPT_SILENT
    // alone: the certificate propagation service. Both take the card on the
    // propagation path.
    bool systemLogon = false;
    bool silent = false;
    // The reader of a silent request's "\\.\reader\container", else "".
    std::string reader;
    bool readerFits = true; // false: refused before any context is made
    // The text ends with ')': a service's or a remote session's request.
    bool remoteSession = false;
    // The client computer of a system logon ("" when its name carries none).
    std::string computer;
    bool computerFits = true; // false: refused
    // The library's reserved text for this request; empty: none.
    std::string reserved;

    int Propagation() const { return systemLogon || silent ? 1 : 0; }
    // The computer as the card container takes it: NULL but for a system logon.
    const char *Computer() const { return systemLogon ? computer.c_str() : nullptr; }
    const char *Reserved() const { return reserved.empty() ? nullptr : reserved.c_str(); }
};

//   text         the requested container as the caller gave it (NULL: none)
//   flags        the acquire flags
//   commandLine  the process's command line (NULL: none): one holding "lsa"
//                or "LSA" is the security authority's, whose requests
//                start the library with a reserved text
AcquireRequest ReadAcquireRequest(const char *text, uint32_t flags, const char *commandLine);

// The text ends with ')': a service's or remote session's request (NULL: no).
bool EndsAsServiceRequest(const char *text);

} // namespace csp::names

#endif
