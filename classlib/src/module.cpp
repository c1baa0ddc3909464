#include "classlib/module.h"

#include <atomic>

namespace cl {

namespace {
std::atomic<HINSTANCE> g_resources{nullptr};
} // namespace

HINSTANCE AfxGetCodeModule()
{
    HMODULE self = nullptr;
    // Any function of this file lies in the module that linked the layer.
    ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                             GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCSTR>(&AfxGetCodeModule), &self);
    return self ? self : ::GetModuleHandleA(nullptr);
}

HINSTANCE AfxGetResourceHandle()
{
    HINSTANCE set = g_resources.load();
    return set ? set : AfxGetCodeModule();
}

void AfxSetResourceHandle(HINSTANCE resources)
{
    g_resources.store(resources);
}

} // namespace cl
