#include "shared_world.h"

#include <windows.h>

#include <cstdio>

#include "platform.h"

namespace pcsc {

using softcard::ReadResult;

namespace {

bool ProcessEnded(unsigned long pid)
{
    if (pid == GetCurrentProcessId())
        return false;
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!h)
        return GetLastError() == ERROR_INVALID_PARAMETER;
    bool ended = WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
    CloseHandle(h);
    return ended;
}

void DropEnded(Runtime &rt)
{
    for (size_t i = rt.connections.size(); i-- > 0;)
        if (ProcessEnded(rt.connections[i].pid))
            rt.connections.erase(rt.connections.begin() + i);
}

} // namespace

SharedWorld::SharedWorld() : statePath_(softcard::statePath()), runtimePath_(statePath_ + ".pcsc")
{
}

std::string SharedWorld::Folder() const
{
    size_t cut = statePath_.find_last_of("/\\");
    return cut == std::string::npos ? std::string(".") : statePath_.substr(0, cut);
}

bool SharedWorld::ReadState(softcard::State &state)
{
    std::string text, error;
    // A file being replaced at this instant may fail to open: try again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        ReadResult r = softcard::readWholeFile(statePath_, text);
        if (r == ReadResult::missing) {
            state = softcard::defaultState();
            return true;
        }
        if (r == ReadResult::ok)
            return softcard::parseState(text, state, error);
        Sleep(1);
    }
    return false;
}

bool SharedWorld::Read(World &world)
{
    if (!ReadState(world.state))
        return false;
    std::string text, error;
    if (softcard::readWholeFile(runtimePath_, text) == ReadResult::failed)
        return false;
    if (!ParseRuntime(text, world.runtime, error))
        return false;
    DropEnded(world.runtime);
    return true;
}

long SharedWorld::Update(const std::function<long(World &, bool &)> &change)
{
    softcard::FileLock lock(runtimePath_);
    World world;
    if (!lock.held() || !Read(world))
        return long(0x80100001); // SCARD_F_INTERNAL_ERROR
    bool changed = false;
    long rv = change(world, changed);
    std::string error;
    if (changed && !softcard::replaceFileAtomically(runtimePath_, RuntimeToText(world.runtime), error))
        return long(0x80100001);
    return rv;
}

bool SharedWorld::TakeInjection(const char *function, long &rv)
{
    softcard::State state;
    if (!ReadState(state))
        return false;
    bool pending = false;
    for (const softcard::Injection &inj : state.injections)
        pending = pending || inj.function == function;
    if (!pending)
        return false;
    softcard::FileLock lock(statePath_);
    if (!lock.held() || !ReadState(state))
        return false;
    bool fired = false;
    for (size_t i = 0; i < state.injections.size(); ++i) {
        softcard::Injection &inj = state.injections[i];
        if (inj.function != function)
            continue;
        if (++inj.seen >= inj.call) {
            rv = long(inj.result);
            fired = true;
            state.injections.erase(state.injections.begin() + i);
        }
        break; // the first rule set for this function
    }
    std::string error;
    softcard::replaceFileAtomically(statePath_, softcard::stateToText(state), error);
    return fired;
}

void SharedWorld::ApplyLatency()
{
    softcard::State state;
    if (ReadState(state) && state.latencyMs)
        Sleep(state.latencyMs);
}

void SharedWorld::Log(const std::string &line)
{
    softcard::State state;
    if (!ReadState(state) || !state.log)
        return;
    char head[48];
    std::snprintf(head, sizeof(head), "[%lu:%lu] ", GetCurrentProcessId(), GetCurrentThreadId());
    softcard::appendToFile(softcard::logPathFor(statePath_), head + line + "\n");
}

} // namespace pcsc
