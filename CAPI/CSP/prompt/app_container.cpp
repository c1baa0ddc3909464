// Whether the process runs in an AppContainer (its PIN prompt is then the
// credential prompt).
#include "globals/csp_globals.h"
#include "log_trace.h"
#include "pin_prompts.h"

int IsAppContainerApp()
{
    HANDLE token = nullptr;
    DWORD value = 0;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        DWORD size = 0;
        // TokenIsAppContainer (29): a DWORD.
        if (!GetTokenInformation(token, static_cast<TOKEN_INFORMATION_CLASS>(29), nullptr, 0, &size) &&
            GetLastError() == ERROR_INSUFFICIENT_BUFFER && size >= sizeof(DWORD)) {
            void *buffer = LocalAlloc(LPTR, size);
            if (buffer &&
                GetTokenInformation(token, static_cast<TOKEN_INFORMATION_CLASS>(29), buffer, size, &size))
                value = *static_cast<DWORD *>(buffer);
            LocalFree(buffer);
        }
        CloseHandle(token);
    }
    _Log_Trace(LOG_INFO, LOG_LEVEL_FUNCTION, "IsAppContainerApp", 0, FALSE, "%s", value == 1 ? "YES" : "NO");
    return value == 1 ? 1 : 0;
}
