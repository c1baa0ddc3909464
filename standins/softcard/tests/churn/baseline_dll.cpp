// A C++ DLL that does nothing but may throw, built as the software card is
// (static runtime): what any such DLL leaves behind at each load and unload
// (the runtime's emergency exception pool, allocated at start-up and never
// freed; a C++ DLL that cannot throw leaves nothing).
#include <string>

extern "C" __declspec(dllexport) int BaselineLength(const char *text)
{
    return static_cast<int>(std::string(text ? text : "").size());
}
