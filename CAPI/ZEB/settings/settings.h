// The tray program's configuration, from "Software\Ovrane\ZEB" under
// HKEY_CURRENT_USER first, then HKEY_LOCAL_MACHINE; the per-user key is
// created with defaults when neither exists. Every failure and decision is
// written to the event log; none stops the program.
#ifndef ZEB_SETTINGS_H
#define ZEB_SETTINGS_H

#include <windows.h>

#include <string>
#include <vector>

namespace zeb {

extern const char kSettingsKey[]; // "Software\Ovrane\ZEB"

struct Settings {
    DWORD autoDetect = 1; // reader watching on (1) / off (0)
    DWORD sleepMs = 2000; // poll pause: watchOnTimer or watchOffTimer, in ms
    std::string logfile;  // event-log path, empty: no event log
    DWORD patch_fido_v4 = 0;
    DWORD patch_fido_webauthn = 0;
    DWORD patch_fido_webautn_retry_ms = 20;
    DWORD patch_fido_webautn_retry_window_ms = 2000;
    DWORD patch_fido_v4_detect_delay_ms = 1000;
    DWORD patch_fido_v4_initial_delay_ms = 650;
    DWORD patch_fido_v4_stability_ms = 300;
    DWORD block_certpropsvc_p11_sessions = 1;
    LONG reset_v4_on_startup_delay_ms = -1;
    DWORD patch_fido_v4_reset = 1;
    std::vector<std::string> atr_badge_fido;
    std::vector<std::string> atr_contact_protected;
};

// One DWORD value of the key under `root`.
//   root  HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE
//   name  value name
//   out   receives the value; untouched on failure
// Returns 0, the registry's error, or ERROR_INVALID_DATA for a value that is
// not a 4-byte REG_DWORD.
LONG ReadRegDword(HKEY root, const char *name, DWORD *out);

// One REG_MULTI_SZ value of the key under `root`, as its strings of two or
// more characters up to the first empty one.
// Returns 0, the registry's error, ERROR_INVALID_DATA for another type, or
// ERROR_OUTOFMEMORY.
LONG ReadRegMultiSz(HKEY root, const char *name, std::vector<std::string> *out);

// The "logfile" text of the key under `root`, at most 259 characters.
// Returns 0, the registry's error, or ERROR_INVALID_DATA for a value that is
// not a string.
LONG ReadRegLogfile(HKEY root, std::string *out);

// Creates the per-user key with its defaults when neither key exists, adds
// the watching values missing from the key in use, and sets autoDetect and
// sleepMs.
void EnsureSettingsKey(Settings *s);

// Reads every setting (defaults for what is missing or unusable), applies
// the consistency rules, hands "logfile" to the event log and logs the
// configuration.
void LoadSettings(Settings *s);

// Turns reader watching on or off, stores the choice in the per-user key
// and sets the matching poll pause.
void ToggleAutoDetect(Settings *s);

} // namespace zeb

#endif
