// "Lectures && Enregistrements X509": the card's authentication (or
// technical) and signature certificates read into the trace pane, each
// offered for saving as a ".crt" file.
#ifndef VEL3GES_CERTS_CERTIFICATES_H
#define VEL3GES_CERTS_CERTIFICATES_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "pkcs11.h"

namespace vel {

class DialogHost;

enum class CertificateKind { Authentication, Signature };

// The name proposed in the save dialog (without extension, at most 49
// characters): the token serial number up to its first blank followed by
// "-Auth_CL" for a single-certificate card's certificate, else the card
// number followed by "-Auth" or "-Sign". Characters that a file name cannot
// hold become '_'.
std::string CertificateFileName(CertificateKind kind, bool singleCertificate, const CK_TOKEN_INFO &token,
                                const char (&cardNumber)[10]);

// Menu command 32782. Uses the dialog host installed with SetDialogHost.
void ReadCertificate();
void ReadCertificate(DialogHost &host);

// The save dialog, then the whole certificate written under the chosen
// name; any failure shows "Impossible d'enregister le certificat sur le
// disque" and leaves no part of the certificate under that name.
void SaveCertificate(DialogHost &host, const char *proposedName, const uint8_t *bytes, size_t length);

} // namespace vel

#endif
