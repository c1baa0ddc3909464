// The five exports: each only hands its arguments to the lookups and turns
// an unexpected C++ failure into a result code, never into an exception
// crossing into the calling application.
#include <windows.h>

#include <new>

#include "builtin.h"
#include "dictionary_file.h"
#include "dictionary_path.h"
#include "lookups.h"
#include "vltab.h"

namespace {

// One per process, loaded by the first table lookup and kept until the
// process ends (the library stays loaded: see DllMain). Built when the
// library loads, not at first use: a guarded first-use construction could
// need memory the call no longer has.
vltab::DictionaryLoad g_dictionary(
    [](vltab::FileBytes &out) { return vltab::ReadDictionaryFile(vltab::GetDictionaryPath(), out); },
    vltab::kBuiltinDictionaryText, vltab::kBuiltinDictionarySize);

vltab::DictionaryLoad &ProcessDictionary()
{
    return g_dictionary;
}

template <class Call> unsigned short Guarded(Call call)
{
    try {
        return call();
    } catch (...) {
        // Nothing is expected to throw here; the caller still gets a code.
        return vltab::kOutOfMemory;
    }
}

} // namespace

// Applications load the library around each lookup. Each unload would leave
// the static runtime's memory behind, on x86 a TLS slot and two handles as
// well, and such a host would run out of TLS slots within a thousand lookups.
// The tables are read once per process anyway: the first load keeps the
// library until the process ends.
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        const DWORD callerError = GetLastError();
        HMODULE self = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(module), &self);
        SetLastError(callerError);
    }
    return TRUE;
}

extern "C" {

unsigned short VLTAB_CALL QUVTAB_VersionTables(unsigned short *loadStatus, char *version, char *checksum,
                                               unsigned short *tableCount)
{
    return Guarded(
        [&] { return vltab::VersionTables(ProcessDictionary(), loadStatus, version, checksum, tableCount); });
}

unsigned short VLTAB_CALL QUVTAB_InfosSurTable(unsigned short *loadStatus, char *table, char *tableTitle,
                                               char *fieldTitle, unsigned short *recordCount,
                                               unsigned short *largestRecordSize)
{
    return Guarded([&] {
        return vltab::InfosSurTable(ProcessDictionary(), loadStatus, table, tableTitle, fieldTitle,
                                    recordCount, largestRecordSize);
    });
}

unsigned short VLTAB_CALL QUVTAB_LectureLibelle(unsigned short *loadStatus, char *table, char *key1,
                                                char *key2, char *key3, unsigned short *labelLength,
                                                char *label)
{
    return Guarded([&] {
        return vltab::LectureLibelle(ProcessDictionary(), loadStatus, table, key1, key2, key3, labelLength,
                                     label);
    });
}

unsigned short VLTAB_CALL QUVTAB_LectureEnregistrement(unsigned short *loadStatus, char *table,
                                                       unsigned short recordNumber, char *key1, char *key2,
                                                       char *key3, unsigned short *labelLength, char *label)
{
    return Guarded([&] {
        return vltab::LectureEnregistrement(ProcessDictionary(), loadStatus, table, recordNumber, key1, key2,
                                            key3, labelLength, label);
    });
}

unsigned short VLTAB_CALL QUVTAB_ISO8859EnEditable(const unsigned char *source, unsigned short length,
                                                   unsigned char *target)
{
    return vltab::ISO8859EnEditable(source, length, target);
}

} // extern "C"
