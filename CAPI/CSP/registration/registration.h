// The provider's entry in CryptoAPI's provider list.
#ifndef VEL_CSP_REGISTRATION_H
#define VEL_CSP_REGISTRATION_H

#include <windows.h>

extern const char kProviderName[]; // "Ovrane Cryptographic Provider"

// Writes "Image Path" (our own full path) and "Type" 1 under the provider key.
// S_OK, E_HANDLE without a module handle, HRESULT_FROM_WIN32 of the failing
// call (a file name without a full stop: ERROR_INVALID_NAME); a failure
// leaves no partial key behind.
HRESULT RegisterProvider(HMODULE module);
// Removes the provider key; S_OK in every case.
HRESULT UnregisterProvider();

#endif
