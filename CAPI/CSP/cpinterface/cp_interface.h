// What CryptoAPI hands a provider at acquire time. The platform headers here
// declare it only for very old targets, so the provider declares it itself.
#ifndef VEL_CSP_CP_INTERFACE_H
#define VEL_CSP_CP_INTERFACE_H

#include <windows.h>
#include <wincrypt.h>

struct ProviderVTable {
    DWORD Version;
    FARPROC FuncVerifyImage;
    FARPROC FuncReturnhWnd;
    DWORD dwProvType;
    BYTE *pbContextInfo;
    DWORD cbContextInfo;
    LPSTR pszProvName;
};
typedef ProviderVTable *PVTableProvStruc;

#endif
