// The credential prompt and its authentication buffers, answered from a
// script file (see README.md).
// This library defines the credential functions rather than importing them.
#define _CREDUI_
#include <windows.h>
#include <objbase.h>
#include <wincred.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

namespace {

constexpr DWORD kMagic = 0x44455243; // "CRED"

// Layout: magic, user length, password length (characters), user, password.
struct PackedHeader {
    DWORD magic;
    DWORD userChars;
    DWORD passwordChars;
};

std::string ScriptPath()
{
    char path[MAX_PATH] = {};
    const DWORD n = GetEnvironmentVariableA("VEL_CREDUI_SCRIPT", path, sizeof path);
    return (n > 0 && n < sizeof path) ? std::string(path) : std::string();
}

std::string ReadAll(const std::string &path)
{
    std::string text;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            text.append(buffer, n);
        std::fclose(f);
    }
    return text;
}

void WriteAll(const std::string &path, const std::string &text, const char *mode)
{
    if (FILE *f = std::fopen(path.c_str(), mode)) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
}

// The next scripted answer, removed from the script.
std::string NextAnswer()
{
    const std::string path = ScriptPath();
    if (path.empty())
        return "cancel";
    std::string text = ReadAll(path);
    const size_t end = text.find('\n');
    std::string line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    WriteAll(path, end == std::string::npos ? std::string() : text.substr(end + 1), "wb");
    return line.empty() ? "cancel" : line;
}

std::string Utf8(const wchar_t *text)
{
    if (!text)
        return "(null)";
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<size_t>(n - 1) : 0, '\0');
    if (n > 1)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
    return out;
}

bool Unpack(const void *buffer, DWORD size, std::wstring &user, std::wstring &password)
{
    if (!buffer || size < sizeof(PackedHeader))
        return false;
    PackedHeader h;
    std::memcpy(&h, buffer, sizeof h);
    if (h.magic != kMagic || h.userChars > 0x10000 || h.passwordChars > 0x10000 ||
        sizeof h + (static_cast<size_t>(h.userChars) + h.passwordChars) * sizeof(wchar_t) > size)
        return false;
    const wchar_t *chars = reinterpret_cast<const wchar_t *>(static_cast<const BYTE *>(buffer) + sizeof h);
    user.assign(chars, h.userChars);
    password.assign(chars + h.userChars, h.passwordChars);
    return true;
}

// Packs into a CoTaskMemAlloc buffer, or into out when it is large enough.
BOOL Pack(const std::wstring &user, const std::wstring &password, BYTE *out, DWORD *size)
{
    const DWORD needed =
        static_cast<DWORD>(sizeof(PackedHeader) + (user.size() + password.size()) * sizeof(wchar_t));
    if (!out || *size < needed) {
        *size = needed;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    PackedHeader h = {kMagic, static_cast<DWORD>(user.size()), static_cast<DWORD>(password.size())};
    std::memcpy(out, &h, sizeof h);
    std::memcpy(out + sizeof h, user.data(), user.size() * sizeof(wchar_t));
    std::memcpy(out + sizeof h + user.size() * sizeof(wchar_t), password.data(),
                password.size() * sizeof(wchar_t));
    *size = needed;
    return TRUE;
}

BOOL CopyOut(const std::wstring &text, LPWSTR out, DWORD *chars)
{
    if (!chars)
        return TRUE;
    const DWORD needed = static_cast<DWORD>(text.size() + 1);
    if (!out || *chars < needed) {
        *chars = needed;
        return FALSE;
    }
    std::memcpy(out, text.c_str(), needed * sizeof(wchar_t));
    *chars = needed;
    return TRUE;
}

} // namespace

extern "C" BOOL WINAPI CredPackAuthenticationBufferW(DWORD dwFlags, LPWSTR pszUserName, LPWSTR pszPassword,
                                                     PBYTE pPackedCredentials, DWORD *pcbPackedCredentials)
{
    if (!pszUserName || !pszPassword || !pcbPackedCredentials || (dwFlags & ~0xFu)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Pack(pszUserName, pszPassword, pPackedCredentials, pcbPackedCredentials);
}

extern "C" BOOL WINAPI CredUnPackAuthenticationBufferW(DWORD dwFlags, PVOID pAuthBuffer, DWORD cbAuthBuffer,
                                                       LPWSTR pszUserName, DWORD *pcchMaxUserName,
                                                       LPWSTR pszDomainName, DWORD *pcchMaxDomainName,
                                                       LPWSTR pszPassword, DWORD *pcchMaxPassword)
{
    std::wstring user, password;
    if (!Unpack(pAuthBuffer, cbAuthBuffer, user, password)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const BOOL a = CopyOut(user, pszUserName, pcchMaxUserName);
    const BOOL b = CopyOut(std::wstring(), pszDomainName, pcchMaxDomainName);
    const BOOL c = CopyOut(password, pszPassword, pcchMaxPassword);
    SecureZeroMemory(&password[0], password.size() * sizeof(wchar_t));
    if (!a || !b || !c) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    return TRUE;
}

extern "C" DWORD WINAPI CredUIPromptForWindowsCredentialsW(PCREDUI_INFOW pUiInfo, DWORD dwAuthError,
                                                           ULONG *pulAuthPackage, LPCVOID pvInAuthBuffer,
                                                           ULONG ulInAuthBufferSize, LPVOID *ppvOutAuthBuffer,
                                                           ULONG *pulOutAuthBufferSize, BOOL *pfSave,
                                                           DWORD dwFlags)
{
    if (!ppvOutAuthBuffer || !pulOutAuthBufferSize || !pulAuthPackage)
        return ERROR_INVALID_PARAMETER;
    *ppvOutAuthBuffer = nullptr;
    *pulOutAuthBufferSize = 0;
    std::wstring user, password;
    if (pvInAuthBuffer && !Unpack(pvInAuthBuffer, ulInAuthBufferSize, user, password))
        return ERROR_INVALID_PARAMETER;
    const std::string path = ScriptPath();
    if (!path.empty()) {
        const std::string line = Utf8(pUiInfo ? pUiInfo->pszCaptionText : nullptr) + "|" +
                                 Utf8(pUiInfo ? pUiInfo->pszMessageText : nullptr) + "|" +
                                 ((pUiInfo && pUiInfo->hwndParent) ? "1" : "0") + "|" + Utf8(user.c_str()) +
                                 "\n";
        WriteAll(path + ".log", line, "ab");
    }
    const std::string answer = NextAnswer();
    if (answer.compare(0, 5, "fail ") == 0)
        return static_cast<DWORD>(std::strtoul(answer.c_str() + 5, nullptr, 0));
    if (answer.compare(0, 4, "pin ") != 0)
        return ERROR_CANCELLED;
    const std::string typed = answer.substr(4);
    const std::wstring typedWide(typed.begin(), typed.end());
    DWORD size = 0;
    Pack(user, typedWide, nullptr, &size);
    BYTE *out = static_cast<BYTE *>(CoTaskMemAlloc(size));
    if (!out)
        return ERROR_NOT_ENOUGH_MEMORY;
    Pack(user, typedWide, out, &size);
    *ppvOutAuthBuffer = out;
    *pulOutAuthBufferSize = size;
    if (pfSave)
        *pfSave = FALSE;
    return ERROR_SUCCESS;
}
