#include "registration.h"

#include <wincrypt.h>

#include <cstring>

const char kProviderName[] = "Ovrane Cryptographic Provider";

namespace {

const char kProvidersKey[] = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider";

HRESULT FromRegistry(LONG r)
{
    return r <= 0 ? static_cast<HRESULT>(r) : HRESULT_FROM_WIN32(static_cast<DWORD>(r));
}

LONG CreateKey(HKEY parent, const char *name, HKEY *out)
{
    return RegCreateKeyExA(parent, name, 0, const_cast<char *>(""), 0, KEY_ALL_ACCESS, nullptr, out, nullptr);
}

} // namespace

HRESULT RegisterProvider(HMODULE module)
{
    if (!module)
        return E_HANDLE;
    char path[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameA(module, path, MAX_PATH);
    if (n == 0)
        return HRESULT_FROM_WIN32(GetLastError());
    if (n >= MAX_PATH)
        return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER); // a cut path would register the wrong file
    const char *file = std::strrchr(path, '\\');
    file = file ? file + 1 : path;
    if (!std::strchr(file, '.'))
        return HRESULT_FROM_WIN32(ERROR_INVALID_NAME);
    HKEY providers = nullptr, ours = nullptr;
    LONG r = CreateKey(HKEY_LOCAL_MACHINE, kProvidersKey, &providers);
    if (r == ERROR_SUCCESS)
        r = CreateKey(providers, kProviderName, &ours);
    if (r == ERROR_SUCCESS)
        r = RegSetValueExA(ours, "Image Path", 0, REG_SZ, reinterpret_cast<const BYTE *>(path), n + 1);
    const DWORD type = PROV_RSA_FULL;
    if (r == ERROR_SUCCESS)
        r = RegSetValueExA(ours, "Type", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&type), sizeof type);
    if (ours)
        RegCloseKey(ours);
    if (providers)
        RegCloseKey(providers);
    if (r == ERROR_SUCCESS)
        return S_OK;
    UnregisterProvider();
    return FromRegistry(r);
}

HRESULT UnregisterProvider()
{
    HKEY providers = nullptr;
    if (CreateKey(HKEY_LOCAL_MACHINE, kProvidersKey, &providers) == ERROR_SUCCESS) {
        RegDeleteKeyA(providers, kProviderName);
        RegCloseKey(providers);
    }
    return S_OK;
}
