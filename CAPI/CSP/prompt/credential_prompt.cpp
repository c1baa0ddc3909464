// The credential prompt, for AppContainer processes: asks for the PIN, or
// tells that the card is missing. The credential library is loaded for each
// prompt and freed after it; every buffer that held a PIN is wiped.
#include <windows.h>
#include <wincred.h>
#include <tlhelp32.h>
#include <objbase.h>

#include <cstdio>
#include <cwchar>
#include <cstring>
#include <string>

#include "globals/csp_globals.h"
#include "log_trace.h"
#include "pin_prompts.h"
#include "prompt_texts.h"

namespace {

constexpr DWORD kPackIdProviderCredentials = 0x8; // CRED_PACK_ID_PROVIDER_CREDENTIALS
constexpr DWORD kPackProtectedCredentials = 0x1;  // CRED_PACK_PROTECTED_CREDENTIALS

typedef BOOL(WINAPI *PackFn)(DWORD, LPWSTR, LPWSTR, PBYTE, DWORD *);
typedef BOOL(WINAPI *UnpackFn)(DWORD, PVOID, DWORD, LPWSTR, DWORD *, LPWSTR, DWORD *, LPWSTR, DWORD *);
typedef DWORD(WINAPI *PromptFn)(PCREDUI_INFOW, DWORD, ULONG *, LPCVOID, ULONG, LPVOID *, ULONG *, BOOL *,
                                DWORD);

// ANSI (Windows-1252) text, at most max characters, to UTF-16.
std::wstring Wide(const char *text, size_t max)
{
    if (!text)
        return std::wstring();
    const int n = static_cast<int>(strnlen(text, max));
    if (n == 0)
        return std::wstring();
    std::wstring out(static_cast<size_t>(n), L'\0');
    const int m = MultiByteToWideChar(CP_ACP, 0, text, n, &out[0], n);
    out.resize(m > 0 ? static_cast<size_t>(m) : 0);
    return out;
}

struct WindowSearch {
    DWORD processId;
    HWND found;
};

} // namespace

BOOL CALLBACK EnumProc(HWND hWnd, LPARAM lParam)
{
    WindowSearch *search = reinterpret_cast<WindowSearch *>(lParam);
    DWORD pid = 0;
    GetWindowThreadProcessId(hWnd, &pid);
    _Log_Trace(LOG_INFO, LOG_LEVEL_UI, "EnumProc", 0, FALSE, "hWnd : 0x%p - processID = %lu",
               static_cast<void *>(hWnd), static_cast<unsigned long>(pid));
    if (pid == search->processId) {
        search->found = hWnd;
        return FALSE;
    }
    return TRUE;
}

namespace {

// The first top-level window of "ApplicationFrameHost.exe", or NULL.
HWND FrameHostWindow()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return nullptr;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    DWORD pid = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !pid;
         more = Process32NextW(snapshot, &entry)) {
        _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "GetFrameHostProcessName", 0, FALSE, "szExeFile = %ls",
                   entry.szExeFile);
        if (_wcsicmp(entry.szExeFile, L"ApplicationFrameHost.exe") == 0)
            pid = entry.th32ProcessID;
    }
    CloseHandle(snapshot);
    if (!pid)
        return nullptr;
    WindowSearch search = {pid, nullptr};
    if (EnumWindows(EnumProc, reinterpret_cast<LPARAM>(&search)))
        return nullptr; // the enumeration did not stop on a window of that process
    return search.found;
}

// One prompt: 1 with a 4-digit PIN in pinOut, 0 for an entry of another
// form (ask again), 2 for a cancel or a failure.
int PromptOnce(HMODULE credui, char *pinOut, int pinLen, const std::wstring &identifiant,
               const std::wstring &message, bool retry)
{
    PackFn pack = reinterpret_cast<PackFn>(
        reinterpret_cast<void *>(GetProcAddress(credui, "CredPackAuthenticationBufferW")));
    UnpackFn unpack = reinterpret_cast<UnpackFn>(
        reinterpret_cast<void *>(GetProcAddress(credui, "CredUnPackAuthenticationBufferW")));
    PromptFn prompt = reinterpret_cast<PromptFn>(
        reinterpret_cast<void *>(GetProcAddress(credui, "CredUIPromptForWindowsCredentialsW")));
    if (!pack || !unpack || !prompt)
        return 2;
    _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "GetCredentials", 0, FALSE, "%s", "");
    const csp::prompt::CredentialTexts texts = csp::prompt::CredentialPromptTexts(
        identifiant, message, Wide(CurrentPromptTexts().VersionLabel, 64), retry);
    const std::wstring &caption = texts.caption;
    const std::wstring &text = texts.message;
    const DWORD packFlags = texts.cardAbsent ? kPackIdProviderCredentials : 0;
    std::wstring user = identifiant;
    wchar_t emptyPassword[1] = {L'\0'};
    DWORD size = 0;
    // Size query: a stub that answers TRUE with no size is a failure, not a packed buffer.
    if ((!pack(packFlags, &user[0], emptyPassword, nullptr, &size) &&
         GetLastError() != ERROR_INSUFFICIENT_BUFFER) ||
        size == 0) {
        _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "GetCredentials", 0, FALSE, "dwResult = 0x%08lx, hr = 0x%08lx",
                   static_cast<unsigned long>(size), static_cast<unsigned long>(GetLastError()));
        return 2;
    }
    BYTE *packed = static_cast<BYTE *>(CoTaskMemAlloc(size + 1));
    if (!packed)
        return 2;
    std::memset(packed, 0, size + 1);
    DWORD packedSize = size;
    if (!pack(packFlags, &user[0], emptyPassword, packed, &packedSize) || packedSize == 0 ||
        packedSize > size) {
        _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "GetCredentials", 0, FALSE, "hr = 0x%lx",
                   static_cast<unsigned long>(GetLastError()));
        WipeMemory(packed, size + 1);
        CoTaskMemFree(packed);
        return 2;
    }
    CREDUI_INFOW info = {};
    info.cbSize = sizeof info;
    info.pszMessageText = text.empty() ? nullptr : text.c_str();
    info.pszCaptionText = caption.c_str();
    LPVOID out = nullptr;
    ULONG outSize = 0, package = 0;
    BOOL save = FALSE;
    DWORD result = ERROR_CANCELLED;
    for (int call = 0; call < 2; ++call) {
        HWND parent;
        if (call == 0) {
            parent = ParentWindow ? ParentWindow : GetForegroundWindow();
            _Log_Trace(LOG_INFO, LOG_LEVEL_UI, "GetCredentials", 0, FALSE,
                       "step 0 - For HNWD using GetForegroundWindow : 0x%p", static_cast<void *>(parent));
        } else {
            parent = FrameHostWindow();
            _Log_Trace(LOG_INFO, LOG_LEVEL_UI, "GetCredentials", 0, FALSE,
                       "step 1 - For HNWD using FindWindowFromProcessId(AppFrameHost) : 0x%p",
                       static_cast<void *>(parent));
        }
        info.hwndParent = parent;
        result =
            prompt(&info, 0, &package, packed, packedSize, &out, &outSize, &save, CREDUIWIN_IN_CRED_ONLY);
        if (result == ERROR_SUCCESS || result == ERROR_CANCELLED)
            break;
        _Log_Trace(LOG_INFO, LOG_LEVEL_UI, "GetCredentials", 0, FALSE,
                   "CredUIPromptForWindowsCredentialsW failed with error 0x%lu",
                   static_cast<unsigned long>(result));
    }
    WipeMemory(packed, size + 1);
    CoTaskMemFree(packed);
    if (result != ERROR_SUCCESS) {
        _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "GetCredentials", 0, FALSE, "0x%08lx",
                   static_cast<unsigned long>(result));
        if (out) {
            WipeMemory(out, outSize);
            CoTaskMemFree(out);
        }
        return 2;
    }
    int answer = 2;
    if (out && outSize && pinOut && pinLen > kPinDigits) {
        wchar_t userName[128] = {}, domain[128] = {}, password[128] = {};
        DWORD userLength = 128, domainLength = 128, passwordLength = 128;
        if (unpack(kPackProtectedCredentials, out, outSize, userName, &userLength, domain, &domainLength,
                   password, &passwordLength)) {
            // The typed text is wiped in there; a PIN of another form wipes pinOut.
            answer = csp::prompt::PinFromTyped(password, 128, pinOut, static_cast<size_t>(pinLen)) ? 1 : 0;
        }
        WipeMemory(password, sizeof password);
    }
    if (out) {
        WipeMemory(out, outSize);
        CoTaskMemFree(out);
    }
    return answer;
}

} // namespace

int MngtCredsSpartan(char *pinOut, int pinLen, const char *identifiant, const char *message)
{
    _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "MngtCredsSpartan", 0, FALSE, "identifiant : %s",
               identifiant ? identifiant : "NULL");
    if (pinOut && pinLen > 0)
        WipeMemory(pinOut, static_cast<size_t>(pinLen));
    const std::wstring id = Wide(identifiant, 32);
    const std::wstring text = Wide(message, 128);
    HMODULE credui = LoadLibraryExW(L"credui", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!credui)
        return 2;
    int result = 2;
    for (bool retry = false;; retry = true) {
        result = PromptOnce(credui, pinOut, pinLen, id, text, retry);
        if (result != 0)
            break;
    }
    FreeLibrary(credui);
    if (result != 1)
        _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "MngtCredsSpartan", 0, FALSE, " : %s",
                   identifiant ? identifiant : "NULL");
    return result == 1 ? 1 : 2;
}
