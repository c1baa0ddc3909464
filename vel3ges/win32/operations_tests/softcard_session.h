// The card layer on the software card, loaded as the program loads its
// library: a session on the card of the first reader, the holder logged in
// on request, and the files the host-side checks (openssl) look at.
#ifndef VEL3GES_OPERATIONS_TESTS_SOFTCARD_SESSION_H
#define VEL3GES_OPERATIONS_TESTS_SOFTCARD_SESSION_H

#include <string>
#include <vector>

#include "pkcs11.h"
#include "scripted_host.h"

namespace vel::softcard_ops {

// C_Initialize, the card layer bound with `ui`, a public session on the
// first slot holding a card. False when the card cannot be reached.
bool OpenCardSession(OperationsUi &ui);
void CloseCardSession();

// The host's PIN presentation on the software card (PIN 1234).
uint16_t LogInWithDefaultPin();

// The card in the default reader becomes the built-in card `name`.
void InsertCard(const char *name);

// The value of the certificate with this label, read directly.
std::vector<CK_BYTE> CardCertificate(const char *label);

// Nothing left from an earlier run.
void ClearArtifacts();
// Folder of the files left for the host-side checks (made when missing).
std::string ArtifactFolder(const std::string &sub);
void WriteArtifact(const std::string &path, const std::vector<CK_BYTE> &bytes);

// The bytes of the hex lines that follow `heading` in the trace pane, for
// the `occurrence`-th heading (0-based).
std::vector<CK_BYTE> HexAfter(const std::vector<std::string> &trace, const std::string &heading,
                              int occurrence);

} // namespace vel::softcard_ops

#endif
