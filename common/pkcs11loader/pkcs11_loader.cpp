// Binding the card's PKCS#11 library from the system directory.
#include "pkcs11_loader.h"

namespace vel {

#ifdef _WIN64
const char kPkcs11LibraryName[] = "vel3_pkcs11_w64.dll";
#else
const char kPkcs11LibraryName[] = "vel3_pkcs11_w32.dll";
#endif

Pkcs11Loader::Pkcs11Loader(const char *fileName) : fileName_(fileName)
{
}

unsigned long Pkcs11Loader::Load(CK_C_GetFunctionList *entry, Pkcs11LoadStep *failedStep,
                                 unsigned long *windowsError)
{
    Pkcs11LoadStep step = Pkcs11LoadStep::None;
    DWORD error = 0;
    AcquireSRWLockExclusive(&lock_);
    if (!entry_ && !fileName_) {
        error = ERROR_INVALID_PARAMETER;
        step = Pkcs11LoadStep::LoadLibrary;
    } else if (!entry_) {
        // Also for the library's own dependencies: nothing from the program's
        // folder or the current directory.
        SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
        HMODULE module = LoadLibraryExA(fileName_, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (!module) {
            error = GetLastError();
            step = Pkcs11LoadStep::LoadLibrary;
        } else {
            FARPROC proc = GetProcAddress(module, "C_GetFunctionList");
            if (!proc) {
                error = GetLastError();
                step = Pkcs11LoadStep::GetProcAddress;
                FreeLibrary(module);
            } else {
                entry_ = reinterpret_cast<CK_C_GetFunctionList>(reinterpret_cast<void (*)()>(proc));
            }
        }
    }
    CK_C_GetFunctionList found = entry_;
    ReleaseSRWLockExclusive(&lock_);

    if (entry)
        *entry = found;
    if (failedStep)
        *failedStep = step;
    if (windowsError)
        *windowsError = error;
    if (found)
        return PKCS11_LOADED;
    SetLastError(error);
    return step == Pkcs11LoadStep::LoadLibrary && error == ERROR_NOACCESS ? PKCS11_LOAD_ACCESS_DENIED
                                                                          : PKCS11_LOAD_FAILED;
}

CK_RV Pkcs11Loader::Bind(CK_FUNCTION_LIST **functions)
{
    if (!functions)
        return CKR_ARGUMENTS_BAD;
    *functions = nullptr;
    CK_C_GetFunctionList entry = nullptr;
    if (Load(&entry, nullptr, nullptr) != PKCS11_LOADED)
        return CKR_FUNCTION_FAILED;
    CK_RV rv = entry(functions);
    if (rv == CKR_OK && !*functions)
        rv = CKR_FUNCTION_FAILED;
    if (rv != CKR_OK)
        *functions = nullptr;
    return rv;
}

Pkcs11Loader &ThePkcs11Loader()
{
    static Pkcs11Loader loader;
    return loader;
}

} // namespace vel
