#include "loaded_library.h"

#if defined(_WIN32)
#include "test_process.h"
#endif

#include <cstdio>
#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#ifndef SOFTCARD_LIBRARY_FILE
#error SOFTCARD_LIBRARY_FILE must name the library to load
#endif
#ifndef SOFTCARD_CONTROL_FILE
#error SOFTCARD_CONTROL_FILE must name the control program
#endif

namespace softcard_test {

namespace {
void *module = nullptr;
std::string statePath;
}

std::string usePrivateState(const char *tag)
{
    char name[160];
#if defined(_WIN32)
    char dir[MAX_PATH];
    GetTempPathA(sizeof(dir), dir);
    std::snprintf(name, sizeof(name), "%ssoftcard-%s-%lu.state", dir, tag, GetCurrentProcessId());
    SetEnvironmentVariableA("VEL_SOFTCARD_STATE", name);
    _putenv_s("VEL_SOFTCARD_STATE", name);
#else
    std::snprintf(name, sizeof(name), "/tmp/softcard-%s-%d.state", tag, int(getpid()));
    setenv("VEL_SOFTCARD_STATE", name, 1);
#endif
    statePath = name;
    removeFile(statePath);
    removeFile(statePath + ".log");
    return statePath;
}

static void *symbol(const char *name)
{
    if (!module) {
#if defined(_WIN32)
        module = LoadLibraryA(SOFTCARD_LIBRARY_FILE);
#else
        module = dlopen(SOFTCARD_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
#endif
        if (!module) {
            std::fprintf(stderr, "cannot load %s\n", SOFTCARD_LIBRARY_FILE);
            std::exit(2);
        }
    }
#if defined(_WIN32)
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
#else
    return dlsym(module, name);
#endif
}

CK_FUNCTION_LIST *functions()
{
    static CK_FUNCTION_LIST *list = nullptr;
    if (!list) {
        auto get = reinterpret_cast<CK_C_GetFunctionList>(symbol("C_GetFunctionList"));
        if (!get || get(&list) != CKR_OK || !list) {
            std::fprintf(stderr, "C_GetFunctionList failed\n");
            std::exit(2);
        }
    }
    return list;
}

CK_IC_ForceCloseChannel01 forceCloseChannel()
{
    return reinterpret_cast<CK_IC_ForceCloseChannel01>(symbol("IC_ForceCloseChannel01"));
}

std::string beside(const char *file)
{
    // The software card's build folder, wherever the program itself was built.
    return std::string(SOFTCARD_DIR) + file;
}

int control(const std::string &args)
{
    const std::string cmd = "\"" + beside(SOFTCARD_CONTROL_FILE) + "\" " + args;
    // -1: the control program could not be started at all, so nothing ran.
    // Wine's process creation sometimes fails that way on a loaded machine:
    // try again a few times rather than fail the test.
    int rc = -1;
    for (int attempt = 0; attempt < 5 && rc == -1; ++attempt) {
#if defined(_WIN32)
        // Started directly, not through cmd.exe: one process per change of
        // the card instead of two (each costs tens of seconds where 32-bit
        // code is emulated).
        rc = vel_test::RunCommandLine(cmd);
#else
        rc = std::system(cmd.c_str());
#endif
    }
    return rc;
}

int runSelf(const char *argv0, const std::string &args, std::string *out)
{
    std::string cmd = std::string("\"") + argv0 + "\" " + args;
#if defined(_WIN32)
    cmd = "\"" + cmd + "\"";
    FILE *p = _popen(cmd.c_str(), "r");
#else
    FILE *p = popen(cmd.c_str(), "r");
#endif
    if (!p)
        return -1;
    char buf[512];
    size_t n;
    out->clear();
    while ((n = std::fread(buf, 1, sizeof(buf), p)) > 0)
        out->append(buf, n);
#if defined(_WIN32)
    return _pclose(p);
#else
    return pclose(p);
#endif
}

uint32_t currentThread()
{
#if defined(_WIN32)
    return GetCurrentThreadId();
#else
    return static_cast<uint32_t>(syscall(SYS_gettid));
#endif
}

void removeFile(const std::string &path)
{
    std::remove(path.c_str());
}

void writeFile(const std::string &path, const std::string &content)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f) {
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
    }
}

std::string readFile(const std::string &path)
{
    std::string out;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0)
        out.append(buf, n);
    std::fclose(f);
    return out;
}

} // namespace softcard_test
