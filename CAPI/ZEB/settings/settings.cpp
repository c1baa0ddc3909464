#include "settings.h"

#include <cstring>

#include "event_log.h"
#include "poll_period.h"
#include "reg_value.h"
#include "settings_rules.h"

namespace zeb {

const char kSettingsKey[] = "Software\\Ovrane\\ZEB";

namespace {

const char *RootName(HKEY root)
{
    if (root == HKEY_LOCAL_MACHINE)
        return "HKEY_LOCAL_MACHINE";
    if (root == HKEY_CURRENT_USER)
        return "HKEY_CURRENT_USER";
    return "Unknown";
}

// The system's text for an error, first line only.
struct ErrorText {
    char text[512];
    explicit ErrorText(DWORD code)
    {
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                 1033, text, sizeof text, nullptr);
        if (n == 0) {
            strcpy(text, "Unknown error");
            return;
        }
        text[sizeof text - 1] = '\0';
        text[strcspn(text, "\r\n")] = '\0';
    }
};

LONG OpenForQuery(HKEY root, HKEY *key)
{
    LONG rc = RegOpenKeyExA(root, kSettingsKey, 0, KEY_QUERY_VALUE, key);
    if (rc != ERROR_SUCCESS)
        WriteEventLog(
            "[ZEB] Echec de l'ouverture du registre  %s\\Software\\Ovrane\\ZEB avec l'erreur: %lu (%s)",
            RootName(root), (unsigned long)rc, ErrorText(rc).text);
    return rc;
}

// The raw bytes of one value, whatever their size. ERROR_OUTOFMEMORY when
// the buffer cannot be had.
LONG QueryRaw(HKEY key, const char *name, DWORD *type, std::vector<BYTE> *data)
{
    for (int attempt = 0; attempt < 4; ++attempt) { // the value may grow between the two calls
        DWORD size = 0;
        LONG rc = RegQueryValueExA(key, name, nullptr, type, nullptr, &size);
        if (rc != ERROR_SUCCESS)
            return rc;
        try {
            data->assign(size ? size : 1, 0);
        } catch (...) {
            return ERROR_OUTOFMEMORY;
        }
        DWORD got = size;
        rc = RegQueryValueExA(key, name, nullptr, type, data->data(), &got);
        if (rc == ERROR_MORE_DATA)
            continue;
        if (rc != ERROR_SUCCESS)
            return rc;
        data->resize(got);
        return ERROR_SUCCESS;
    }
    return ERROR_MORE_DATA;
}

// A DWORD of an open key, checked for type and size.
LONG QueryDword(HKEY key, const char *name, DWORD *out)
{
    DWORD type = 0, v = 0, size = sizeof v;
    LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(&v), &size);
    if (rc == ERROR_MORE_DATA)
        return ERROR_INVALID_DATA; // longer than a DWORD
    if (rc != ERROR_SUCCESS)
        return rc;
    uint32_t checked;
    if (!DwordFromValue(type, reinterpret_cast<const uint8_t *>(&v), size, &checked))
        return ERROR_INVALID_DATA;
    *out = checked;
    return ERROR_SUCCESS;
}

void WriteDword(HKEY key, const char *name, DWORD v)
{
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&v), sizeof v);
}

bool HasValue(HKEY key, const char *name)
{
    return RegQueryValueExA(key, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

// Opens the per-user key for reading and writing.
LONG OpenUserKey(HKEY *key)
{
    return RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE,
                         key);
}

// One DWORD setting: per-user value, else machine value, else the default.
void ReadSetting(const char *name, DWORD *value)
{
    DWORD def = *value;
    if (ReadRegDword(HKEY_CURRENT_USER, name, value) == ERROR_SUCCESS)
        return;
    if (ReadRegDword(HKEY_LOCAL_MACHINE, name, value) == ERROR_SUCCESS)
        return;
    *value = def;
    WriteEventLog(
        u8"[ZEB] Echec de lecture du DWORD dans HKEY_LOCAL_MACHINE et HKEY_CURRENT_USER, utilisation de la "
        u8"valeur par défaut %d de la clé %s",
        (int)def, name);
}

void ReadStringList(const char *name, std::vector<std::string> *target,
                    const std::vector<std::string> &defaults)
{
    std::vector<std::string> read;
    if (ReadRegMultiSz(HKEY_CURRENT_USER, name, &read) != ERROR_SUCCESS &&
        ReadRegMultiSz(HKEY_LOCAL_MACHINE, name, &read) != ERROR_SUCCESS) {
        WriteEventLog(
            u8"[ZEB] Echec de lecture du  Multi SZ dans HKEY_LOCAL_MACHINE et HKEY_CURRENT_USER de la clé %s",
            name);
        WriteEventLog(
            u8"[ZEB] Echec de récupération de la liste Multi SZ de la clé %s. Utilisation de la liste de "
            u8"valeur par défaut",
            name);
        target->insert(target->end(), defaults.begin(), defaults.end());
        return;
    }
    target->insert(target->end(), read.begin(), read.end());
}

void LogAdminRights(const Settings &s)
{
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    BOOL member = FALSE;
    if (AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                 0, &admins)) {
        if (!CheckTokenMembership(nullptr, admins, &member))
            member = FALSE;
        FreeSid(admins);
    }
    if (member)
        WriteEventLog("[ZEB] P2 actif et ZEB lance en admin : Stop/Start CertPropSvc autorise.");
    else
        WriteEventLog(
            "[ZEB] WARNING : P2 actif (patch_fido_webautn=%lu) mais ZEB lance en NON-ADMIN. Le Stop/Start "
            "CertPropSvc va echouer (err=5 acces refuse). Le hold EXCLUSIVE risque SHARING_VIOLATION. "
            "Solution : lancer ZEB via la tache planifiee 'ZEB_Sorvelo_FIDO' (RunLevel=Highest) ou ajouter "
            "le user au groupe admin local.",
            (unsigned long)s.patch_fido_webauthn);
}

} // namespace

LONG ReadRegDword(HKEY root, const char *name, DWORD *out)
{
    HKEY key;
    LONG rc = OpenForQuery(root, &key);
    if (rc != ERROR_SUCCESS)
        return rc;
    rc = QueryDword(key, name, out);
    if (rc != ERROR_SUCCESS)
        WriteEventLog(
            "[ZEB] Echec de lecture de la valeur de registre DWORD %s\\Software\\Ovrane\\ZEB\\%s avec "
            "l'erreur: %lu (%s) ",
            RootName(root), name, (unsigned long)rc, ErrorText(rc).text);
    RegCloseKey(key);
    return rc;
}

LONG ReadRegMultiSz(HKEY root, const char *name, std::vector<std::string> *out)
{
    out->clear();
    HKEY key;
    LONG rc = OpenForQuery(root, &key);
    if (rc != ERROR_SUCCESS)
        return rc;
    DWORD type = 0;
    rc = RegQueryValueExA(key, name, nullptr, &type, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) {
        WriteEventLog(u8"[ZEB] Echec de récupération de la taille de données et de son type "
                      u8"%s\\Software\\Ovrane\\ZEB\\%s avec l'erreur: %lu (%s)",
                      RootName(root), name, (unsigned long)rc, ErrorText(rc).text);
        RegCloseKey(key);
        return rc;
    }
    if (type != REG_MULTI_SZ) {
        WriteEventLog("[ZEB]  mauvais type de registre lu %lu", (unsigned long)type);
        RegCloseKey(key);
        return ERROR_INVALID_DATA;
    }
    std::vector<BYTE> data;
    rc = QueryRaw(key, name, &type, &data);
    RegCloseKey(key);
    if (rc == ERROR_OUTOFMEMORY) {
        WriteEventLog(u8"[ZEB]  Echec du malloc, pas de mémoire disponible");
        return rc;
    }
    if (rc == ERROR_SUCCESS && !MultiStringFromValue(type, data.data(), data.size(), out))
        rc = ERROR_INVALID_DATA;
    if (rc != ERROR_SUCCESS)
        WriteEventLog(
            "[ZEB] Echec de lecture de la valeur de registre Multi SZ %s\\Software\\Ovrane\\ZEB\\%s avec "
            "l'erreur: %lu (%s) ",
            RootName(root), name, (unsigned long)rc, ErrorText(rc).text);
    return rc;
}

LONG ReadRegLogfile(HKEY root, std::string *out)
{
    HKEY key;
    LONG rc = OpenForQuery(root, &key);
    if (rc != ERROR_SUCCESS)
        return rc;
    DWORD type = 0;
    std::vector<BYTE> data;
    rc = QueryRaw(key, "logfile", &type, &data);
    char text[260];
    if (rc == ERROR_SUCCESS && !StringFromValue(type, data.data(), data.size(), text, sizeof text))
        rc = ERROR_INVALID_DATA;
    if (rc != ERROR_SUCCESS)
        WriteEventLog("[ZEB] Echec de lecture de la valeur de registre SZ %s\\Software\\Ovrane\\ZEB\\%s avec "
                      "l'erreur: %lu (%s) ",
                      RootName(root), "logfile", (unsigned long)rc, ErrorText(rc).text);
    else
        *out = text;
    RegCloseKey(key);
    return rc;
}

void EnsureSettingsKey(Settings *s)
{
    HKEY key = nullptr;
    bool user = OpenUserKey(&key) == ERROR_SUCCESS;
    if (!user && RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        key = nullptr;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr) == ERROR_SUCCESS) {
            user = true;
            WriteDword(key, "autoDetect", 1);
            WriteDword(key, "watchOnTimer", 2);
            WriteDword(key, "watchOffTimer", 600);
            WriteDword(key, "patch_fido_v4", 0);
            WriteDword(key, "patch_fido_webauthn", 0);
            WriteDword(key, "contournement_ssa", 1);
            WriteDword(key, "reset_v4_on_startup_delay_ms", 0xFFFFFFFFu);
        } else {
            key = nullptr;
        }
    }
    DWORD autoDetect = 1, on = 2, off = 600;
    if (key) {
        // Missing values are added; writes into the read-only machine key fail
        // quietly. A value present but malformed is the user's: the default
        // serves in its place, and it stays as it is.
        auto readOrAdd = [key](const char *name, DWORD *value, DWORD fallback) {
            if (QueryDword(key, name, value) == ERROR_SUCCESS)
                return;
            *value = fallback;
            if (!HasValue(key, name))
                WriteDword(key, name, fallback);
        };
        readOrAdd("autoDetect", &autoDetect, 1);
        readOrAdd("watchOnTimer", &on, 2);
        readOrAdd("watchOffTimer", &off, 600);
        if (!HasValue(key, "patch_fido_v4"))
            WriteDword(key, "patch_fido_v4", 0);
        if (!HasValue(key, "patch_fido_webauthn"))
            WriteDword(key, "patch_fido_webauthn", 0);
        if (!HasValue(key, "contournement_ssa"))
            WriteDword(key, "contournement_ssa", 1);
        if (!HasValue(key, "reset_v4_on_startup_delay_ms"))
            WriteDword(key, "reset_v4_on_startup_delay_ms", 0xFFFFFFFFu);
        RegCloseKey(key);
    }
    s->autoDetect = autoDetect;
    s->sleepMs = autoDetect ? PollPeriodMs(on, 2) : PollPeriodMs(off, 600);
    WriteEventLog("ZEB autoDetect=%lu sleepMs=%lu (watchOnTimer=%lu watchOffTimer=%lu)",
                  (unsigned long)s->autoDetect, (unsigned long)s->sleepMs, (unsigned long)on,
                  (unsigned long)off);
}

void LoadSettings(Settings *s)
{
    Settings defaults;
    s->logfile.clear();
    s->atr_badge_fido.clear();
    s->atr_contact_protected.clear();

    std::string logfile;
    if (ReadRegLogfile(HKEY_CURRENT_USER, &logfile) != ERROR_SUCCESS &&
        ReadRegLogfile(HKEY_LOCAL_MACHINE, &logfile) != ERROR_SUCCESS) {
        logfile.clear();
        WriteEventLog(
            u8"[ZEB] Echec de lecture du SZ dans HKEY_LOCAL_MACHINE et HKEY_CURRENT_USER, utilisation de la "
            u8"valeur par défaut %s de la clé %s",
            "", "logfile");
    }
    s->logfile = logfile;
    SetEventLogPath(s->logfile.c_str());

    // The DWORD settings in their reading order, each with its default (the
    // signed start-up delay read as its DWORD; "contournement_ssa" only
    // counts for the rules).
    DWORD ssa = 1;
    const struct {
        const char *name;
        DWORD *value;
        DWORD byDefault;
    } dwords[] = {
        {"patch_fido_v4", &s->patch_fido_v4, defaults.patch_fido_v4},
        {"reset_v4_on_startup_delay_ms", reinterpret_cast<DWORD *>(&s->reset_v4_on_startup_delay_ms),
         static_cast<DWORD>(defaults.reset_v4_on_startup_delay_ms)},
        {"patch_fido_v4_reset", &s->patch_fido_v4_reset, defaults.patch_fido_v4_reset},
        {"patch_fido_webauthn", &s->patch_fido_webauthn, defaults.patch_fido_webauthn},
        {"patch_fido_webautn_retry_ms", &s->patch_fido_webautn_retry_ms,
         defaults.patch_fido_webautn_retry_ms},
        {"patch_fido_webautn_retry_window_ms", &s->patch_fido_webautn_retry_window_ms,
         defaults.patch_fido_webautn_retry_window_ms},
        {"patch_fido_v4_detect_delay_ms", &s->patch_fido_v4_detect_delay_ms,
         defaults.patch_fido_v4_detect_delay_ms},
        {"patch_fido_v4_initial_delay_ms", &s->patch_fido_v4_initial_delay_ms,
         defaults.patch_fido_v4_initial_delay_ms},
        {"patch_fido_v4_stability_ms", &s->patch_fido_v4_stability_ms, defaults.patch_fido_v4_stability_ms},
        {"block_certpropsvc_p11_sessions", &s->block_certpropsvc_p11_sessions,
         defaults.block_certpropsvc_p11_sessions},
        {"contournement_ssa", &ssa, 1},
    };
    for (const auto &d : dwords) {
        *d.value = d.byDefault;
        ReadSetting(d.name, d.value);
    }

    ReadStringList("atr_contact_protected", &s->atr_contact_protected,
                   {"3BAC00402A001225006480000310009000", "CV*"});
    ReadStringList("atr_badge_fido", &s->atr_badge_fido, {"3B8580018073C821100E"});

    FidoSettings fido;
    fido.patchFidoV4 = s->patch_fido_v4;
    fido.contournementSsa = ssa;
    fido.resetV4OnStartupDelayMs = s->reset_v4_on_startup_delay_ms;
    fido.patchFidoV4Reset = s->patch_fido_v4_reset;
    fido.patchFidoWebauthn = s->patch_fido_webauthn;
    RulesApplied applied = ApplyConsistencyRules(&fido);
    s->patch_fido_v4 = fido.patchFidoV4;
    s->reset_v4_on_startup_delay_ms = fido.resetV4OnStartupDelayMs;
    s->patch_fido_v4_reset = fido.patchFidoV4Reset;
    s->patch_fido_webauthn = fido.patchFidoWebauthn;
    if (applied.resetDisabled)
        WriteEventLog("[ZEB] config invalide: reset_v4_on_startup_delay_ms=%lu mais patch_fido_v4=false -> "
                      "P4 desactive",
                      (unsigned long)applied.droppedDelayMs);
    if (applied.webauthnDisabled) {
        WriteEventLog(
            "[ZEB] config invalide: patch_fido_webautn=%lu mais patch_fido_v4=false -> tout desactive",
            (unsigned long)applied.droppedWebauthn);
        s->atr_badge_fido.clear();
    }

    FidoTimings timings;
    timings.holdSeconds = s->patch_fido_webauthn;
    timings.retryMs = s->patch_fido_webautn_retry_ms;
    timings.retryWindowMs = s->patch_fido_webautn_retry_window_ms;
    timings.detectDelayMs = s->patch_fido_v4_detect_delay_ms;
    timings.initialDelayMs = s->patch_fido_v4_initial_delay_ms;
    timings.stabilityMs = s->patch_fido_v4_stability_ms;
    timings.resetDelayMs = s->reset_v4_on_startup_delay_ms;
    for (const TimingBounded &b : BoundFidoTimings(&timings))
        WriteEventLog("[ZEB] config hors limites: %s=%lld -> %lld", b.name, (long long)b.read,
                      (long long)b.kept);
    s->patch_fido_webauthn = timings.holdSeconds;
    s->patch_fido_webautn_retry_ms = timings.retryMs;
    s->patch_fido_webautn_retry_window_ms = timings.retryWindowMs;
    s->patch_fido_v4_detect_delay_ms = timings.detectDelayMs;
    s->patch_fido_v4_initial_delay_ms = timings.initialDelayMs;
    s->patch_fido_v4_stability_ms = timings.stabilityMs;
    s->reset_v4_on_startup_delay_ms = timings.resetDelayMs;

    WriteEventLog("[ZEB] ===== ZEB startup pid=%lu =====", (unsigned long)GetCurrentProcessId());
    WriteEventLog(
        "[ZEB] config loaded patch_fido_v4=%d reset_v4_on_startup_delay_ms=%lu patch_fido_v4_reset=%d "
        "patch_fido_webautn=%lu v4_initial_delay_ms=%lu v4_detect_delay_ms=%lu v4_stability_ms=%lu "
        "retry_ms=%lu retry_window_ms=%lu atr_count=%d block_certpropsvc=%d",
        s->patch_fido_v4 ? 1 : 0, (unsigned long)s->reset_v4_on_startup_delay_ms,
        s->patch_fido_v4_reset ? 1 : 0, (unsigned long)s->patch_fido_webauthn,
        (unsigned long)s->patch_fido_v4_initial_delay_ms, (unsigned long)s->patch_fido_v4_detect_delay_ms,
        (unsigned long)s->patch_fido_v4_stability_ms, (unsigned long)s->patch_fido_webautn_retry_ms,
        (unsigned long)s->patch_fido_webautn_retry_window_ms, (int)s->atr_badge_fido.size(),
        s->block_certpropsvc_p11_sessions ? 1 : 0);
    if (s->patch_fido_v4 && s->patch_fido_webauthn)
        LogAdminRights(*s);
}

void ToggleAutoDetect(Settings *s)
{
    s->autoDetect = !s->autoDetect;
    HKEY key = nullptr;
    if (OpenUserKey(&key) != ERROR_SUCCESS) {
        DWORD on = 2, off = 600;
        HKEY machine;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ, &machine) == ERROR_SUCCESS) {
            QueryDword(machine, "watchOnTimer", &on);
            QueryDword(machine, "watchOffTimer", &off);
            RegCloseKey(machine);
        }
        if (RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr) != ERROR_SUCCESS) {
            s->sleepMs = s->autoDetect ? PollPeriodMs(on, 2) : PollPeriodMs(off, 600);
            return;
        }
        WriteDword(key, "watchOnTimer", on);
        WriteDword(key, "watchOffTimer", off);
    }
    WriteDword(key, "autoDetect", s->autoDetect);
    DWORD period = s->autoDetect ? 2 : 600;
    QueryDword(key, s->autoDetect ? "watchOnTimer" : "watchOffTimer", &period);
    s->sleepMs = PollPeriodMs(period, s->autoDetect ? 2 : 600);
    RegCloseKey(key);
}

} // namespace zeb
