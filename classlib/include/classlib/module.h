// The module whose resources the class layer loads (dialog templates,
// bitmaps, icons, strings, menus). It is not always the process's program: a
// DLL built on the class layer and loaded into another program (the
// provider's PIN dialog) keeps its templates in the DLL.
#pragma once
#include <windows.h>

namespace cl {

// The module the class layer's own code was linked into: the program, or the
// DLL that carries this copy of the layer.
HINSTANCE AfxGetCodeModule();

// Where resources are looked up: the module set by AfxSetResourceHandle, or
// else AfxGetCodeModule().
HINSTANCE AfxGetResourceHandle();
// Sets the resource module for this copy of the class layer (every thread);
// NULL goes back to the default.
void AfxSetResourceHandle(HINSTANCE resources);

} // namespace cl
