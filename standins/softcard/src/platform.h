// What the card needs from the operating system: the state file (read,
// atomic replace, a lock shared by every process), the call log file, time,
// thread ids and random bytes. Windows and POSIX versions in platform.cpp.
#ifndef SOFTCARD_PLATFORM_H
#define SOFTCARD_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace softcard {

// VEL_SOFTCARD_STATE, else a fixed place: C:\ProgramData\softcard\softcard.state
// on Windows (%ProgramData%), ~/.softcard/softcard.state elsewhere.
std::string statePath();
std::string logPathFor(const std::string &statePath);

enum class ReadResult { ok, missing, failed };
ReadResult readWholeFile(const std::string &path, std::string &out);
// Writes a temporary file beside path and moves it over path in one step, so
// that a reader sees either the old or the new content. Creates the folder.
bool replaceFileAtomically(const std::string &path, const std::string &content, std::string &error);
void appendToFile(const std::string &path, const std::string &text);

// Holds the lock file "<path>.lock" exclusively (all processes) while alive.
class FileLock {
public:
    explicit FileLock(const std::string &path);
    ~FileLock();
    bool held() const { return held_; }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

private:
    bool held_ = false;
#if defined(_WIN32)
    void *handle_ = nullptr;
#else
    int fd_ = -1;
#endif
};

void sleepMilliseconds(unsigned long ms);
uint32_t currentThreadId();
unsigned long currentProcessId();
bool randomBytes(uint8_t *out, size_t size);
#if defined(_WIN32)
// Keeps the library loaded until the process ends, from its first load.
void pinLibrary(void *module);
#endif

} // namespace softcard

#endif
