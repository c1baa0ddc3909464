// The card's PKCS#11 library as the programs bind it at run time: loaded from
// the system directory only (never beside the program or from the current
// directory), its C_GetFunctionList found by name and kept, the library left
// loaded to the end of the process.
#ifndef VEL_PKCS11_LOADER_H
#define VEL_PKCS11_LOADER_H

#include <windows.h>

#include "pkcs11.h"

namespace vel {

// The library of this process's architecture: "vel3_pkcs11_w64.dll" or
// "vel3_pkcs11_w32.dll".
extern const char kPkcs11LibraryName[];

// Results of Pkcs11Loader::Load.
enum Pkcs11LoadResult : unsigned long {
    PKCS11_LOADED = 0,
    PKCS11_LOAD_ACCESS_DENIED = 5, // LoadLibraryExA failed with ERROR_NOACCESS
    PKCS11_LOAD_FAILED = 6         // any other failure to load or to find the entry point
};

// Which step of Load failed.
enum class Pkcs11LoadStep { None, LoadLibrary, GetProcAddress };

// One library file bound by one program. Any thread may call it; the entry
// point, once found, is kept.
class Pkcs11Loader {
public:
    // fileName: the library's file name, looked up in the system directory
    // only; kept, not copied. NULL: every Load fails (ERROR_INVALID_PARAMETER).
    explicit Pkcs11Loader(const char *fileName = kPkcs11LibraryName);
    Pkcs11Loader(const Pkcs11Loader &) = delete;
    Pkcs11Loader &operator=(const Pkcs11Loader &) = delete;

    // Loads the library and finds C_GetFunctionList, unless already done.
    //   entry        receives the entry point (NULL on failure); may be NULL
    //   failedStep   receives the step that failed (None on success); may be NULL
    //   windowsError receives GetLastError of the failed step (0 on success);
    //                may be NULL
    // Returns a Pkcs11LoadResult. After a failure the next call tries again; a
    // library without the entry point is unloaded again. The thread's last
    // error is left as the failed step set it.
    unsigned long Load(CK_C_GetFunctionList *entry, Pkcs11LoadStep *failedStep, unsigned long *windowsError);

    // Load, then C_GetFunctionList.
    //   functions  receives the library's function list (NULL on failure)
    // Returns CKR_FUNCTION_FAILED when the library or its entry point is
    // missing, CKR_ARGUMENTS_BAD for a NULL functions, otherwise the result of
    // C_GetFunctionList (CKR_FUNCTION_FAILED when it answers CKR_OK with no list).
    CK_RV Bind(CK_FUNCTION_LIST **functions);

    const char *FileName() const { return fileName_; }

private:
    const char *fileName_;
    SRWLOCK lock_ = SRWLOCK_INIT;
    CK_C_GetFunctionList entry_ = nullptr;
};

// The process's loader of kPkcs11LibraryName.
Pkcs11Loader &ThePkcs11Loader();

} // namespace vel

#endif
