#include "version_label.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "installed_package_win.h"
#include "log_trace.h"
#include "trace_scope.h"

namespace {

const char kOurVersion[] = " - v03.09.00";

#ifdef _WIN64
const std::string kFileName = "vel3_csp_w64.dll";
#else
const std::string kFileName = "vel3_csp_w32.dll";
#endif

// Copies text into label, cut to fit capacity.
void Put(char *label, DWORD capacity, const std::string &text)
{
    if (!capacity)
        return;
    const size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
    std::memcpy(label, text.data(), n);
    label[n] = '\0';
}

} // namespace

const char *ProviderWidthMark()
{
    return kFileName.find("w64") != std::string::npos ? " 64b" : " 32b";
}

void LabelFromProductName(const char *productName, char *label, DWORD capacity, DWORD *length)
{
    std::string name = productName;
    const size_t vel = name.find("VEL ");
    if (vel == std::string::npos) {
        Put(label, capacity, name);
        return;
    }
    std::string package = name.substr(vel + 4);
    const size_t x64 = package.find("(x64)");
    std::string width;
    if (x64 != std::string::npos) {
        package.erase(x64);
        width = "64b";
    } else {
        width = " 32b";
    }
    const std::string suffix = width + kOurVersion + ProviderWidthMark();
    // Suffixes always show whole: a long package name is cut instead.
    if (capacity > suffix.size() + 1 && package.size() > capacity - 1 - suffix.size())
        package.erase(capacity - 1 - suffix.size());
    Put(label, capacity, package + suffix);
    if (length)
        *length = static_cast<DWORD>(std::strlen(label));
}

int getSorveloVersion(DWORD *capacity, char *label)
{
    TraceScope trace(LOG_LEVEL_DETAIL, "getSorveloVersion", TRUE, "%s", "");
    if (!capacity || !label || *capacity == 0) {
        trace.Return(FALSE, "Bad parameters supplied");
        return 0;
    }
    const DWORD room = *capacity;
    const vel::InstalledPackage package = vel::ReadInstalledPackage();
    const LONG r = package.openResult;
    if (r == ERROR_ACCESS_DENIED) {
        _Log_Trace(LOG_INFO, LOG_LEVEL_DETAIL, "getSorveloVersion", 0, FALSE, "Access denied : %lx",
                   static_cast<unsigned long>(r));
        Put(label, room, std::string("TAV") + kOurVersion + ProviderWidthMark());
        trace.Return(TRUE, "%s", "");
        return 1;
    }
    if (r != ERROR_SUCCESS) {
        trace.Return(FALSE, "Error RegOpenKeyEx : %lx", static_cast<unsigned long>(r));
        return 0;
    }
    // Every product rewrites the label: the last one decides.
    bool lastFound = false;
    for (const vel::InstalledProduct &product : package.products) {
        std::memset(label, 0, room);
        const std::string *name = vel::ProductShownName(product);
        lastFound = name != nullptr;
        if (!name)
            continue;
        DWORD length = 0;
        LabelFromProductName(name->c_str(), label, room, &length);
        if (name->find("VEL ") != std::string::npos)
            *capacity = length;
    }
    const bool ok = package.listEnded && lastFound;
    trace.Return(ok ? TRUE : FALSE, "%s", "");
    return 1;
}
