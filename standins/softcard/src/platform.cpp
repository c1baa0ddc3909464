#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>
#endif

namespace softcard {

#if defined(_WIN32)
static const char kSep = '\\';
#else
static const char kSep = '/';
#endif

namespace {

// The process environment itself: the C runtime's copy may predate changes
// that the calling program made before loading us.
std::string environment(const char *name)
{
#if defined(_WIN32)
    char buf[1024];
    DWORD n = GetEnvironmentVariableA(name, buf, sizeof(buf));
    return n > 0 && n < sizeof(buf) ? std::string(buf, n) : std::string();
#else
    const char *v = std::getenv(name);
    return v ? v : "";
#endif
}

} // namespace

std::string statePath()
{
    std::string env = environment("VEL_SOFTCARD_STATE");
    if (!env.empty())
        return env;
#if defined(_WIN32)
    std::string dir = environment("ProgramData");
    if (dir.empty())
        dir = "C:\\ProgramData";
    dir += "\\softcard";
#else
    std::string dir = environment("HOME");
    if (dir.empty())
        dir = "/tmp";
    dir += "/.softcard";
#endif
    return dir + kSep + "softcard.state";
}

std::string logPathFor(const std::string &statePath)
{
    return statePath + ".log";
}

namespace {

void makeParentFolders(const std::string &path)
{
    for (size_t i = 1; i < path.size(); ++i) {
        if (path[i] != '/' && path[i] != '\\')
            continue;
        std::string dir = path.substr(0, i);
        if (dir.size() == 2 && dir[1] == ':')
            continue; // a drive
#if defined(_WIN32)
        CreateDirectoryA(dir.c_str(), nullptr);
#else
        mkdir(dir.c_str(), 0700);
#endif
    }
}

} // namespace

ReadResult readWholeFile(const std::string &path, std::string &out)
{
    out.clear();
#if defined(_WIN32)
    // Shared for deletion too, so that a reader never stops another process
    // from moving a new state over the file.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? ReadResult::missing
                                                                          : ReadResult::failed;
    }
    char buf[8192];
    DWORD n = 0;
    bool bad = false;
    while (true) {
        if (!ReadFile(h, buf, sizeof(buf), &n, nullptr)) {
            bad = true;
            break;
        }
        if (n == 0)
            break;
        out.append(buf, n);
    }
    CloseHandle(h);
    return bad ? ReadResult::failed : ReadResult::ok;
#else
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) {
        struct stat st;
        return stat(path.c_str(), &st) != 0 ? ReadResult::missing : ReadResult::failed;
    }
    char buf[8192];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0)
        out.append(buf, n);
    bool bad = std::ferror(f) != 0;
    std::fclose(f);
    return bad ? ReadResult::failed : ReadResult::ok;
#endif
}

bool replaceFileAtomically(const std::string &path, const std::string &content, std::string &error)
{
    makeParentFolders(path);
    char suffix[48];
    std::snprintf(suffix, sizeof(suffix), ".%lu.tmp", currentProcessId());
    std::string tmp = path + suffix;
    FILE *f = std::fopen(tmp.c_str(), "wb");
    if (!f) {
        error = "impossible de créer " + tmp;
        return false;
    }
    bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    ok = std::fflush(f) == 0 && ok;
#if !defined(_WIN32)
    ok = fsync(fileno(f)) == 0 && ok;
#endif
    ok = std::fclose(f) == 0 && ok;
    if (ok) {
#if defined(_WIN32)
        // A program of another kind may hold the file open for a moment.
        for (int attempt = 0; attempt < 50; ++attempt) {
            ok = MoveFileExA(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) !=
                 0;
            if (ok || (GetLastError() != ERROR_SHARING_VIOLATION && GetLastError() != ERROR_ACCESS_DENIED))
                break;
            Sleep(10);
        }
#else
        ok = std::rename(tmp.c_str(), path.c_str()) == 0;
#endif
    }
    if (!ok) {
        std::remove(tmp.c_str());
        error = "écriture de " + path + " impossible";
    }
    return ok;
}

void appendToFile(const std::string &path, const std::string &text)
{
    FILE *f = std::fopen(path.c_str(), "ab");
    if (!f) {
        makeParentFolders(path);
        f = std::fopen(path.c_str(), "ab");
    }
    if (f) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
}

#if defined(_WIN32)

FileLock::FileLock(const std::string &path)
{
    std::string lockPath = path + ".lock";
    makeParentFolders(lockPath);
    HANDLE h = CreateFileA(lockPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return;
    OVERLAPPED ov = {};
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &ov)) {
        CloseHandle(h);
        return;
    }
    handle_ = h;
    held_ = true;
}

FileLock::~FileLock()
{
    if (held_) {
        OVERLAPPED ov = {};
        UnlockFileEx(static_cast<HANDLE>(handle_), 0, 1, 0, &ov);
        CloseHandle(static_cast<HANDLE>(handle_));
    }
}

void sleepMilliseconds(unsigned long ms)
{
    Sleep(ms);
}

uint32_t currentThreadId()
{
    return GetCurrentThreadId();
}

unsigned long currentProcessId()
{
    return GetCurrentProcessId();
}

} // namespace softcard

// RtlGenRandom, exported by advapi32 under this name; imported, so that the
// reference goes with the DLL (a LoadLibrary of our own was never freed).
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

namespace softcard {

bool randomBytes(uint8_t *out, size_t size)
{
    return SystemFunction036(out, static_cast<ULONG>(size)) != FALSE;
}

void pinLibrary(void *module)
{
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       static_cast<LPCWSTR>(module), &self);
}

#else

FileLock::FileLock(const std::string &path)
{
    std::string lockPath = path + ".lock";
    makeParentFolders(lockPath);
    int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            close(fd);
            return;
        }
    }
    fd_ = fd;
    held_ = true;
}

FileLock::~FileLock()
{
    if (held_) {
        flock(fd_, LOCK_UN);
        close(fd_);
    }
}

void sleepMilliseconds(unsigned long ms)
{
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = long(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

uint32_t currentThreadId()
{
    return static_cast<uint32_t>(syscall(SYS_gettid));
}

unsigned long currentProcessId()
{
    return static_cast<unsigned long>(getpid());
}

bool randomBytes(uint8_t *out, size_t size)
{
    while (size > 0) {
        ssize_t n = getrandom(out, size, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        out += n;
        size -= size_t(n);
    }
    return true;
}

#endif

} // namespace softcard
