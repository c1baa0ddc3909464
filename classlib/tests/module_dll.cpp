// A DLL built on the class layer, as the provider is: its dialog's template
// lives in the DLL, not in the program that loads it.
#include <windows.h>

#include "classlib/dialog.h"
#include "classlib/module.h"
#include "classlib_test_ids.h"

namespace {

class ModuleDlg : public cl::CDialog {
public:
    ModuleDlg() : CDialog(IDD_MODULE) {}
    std::string caption;
    BOOL OnInitDialog() override
    {
        CDialog::OnInitDialog();
        caption = GetWindowText();
        EndDialog(77);
        return TRUE;
    }
};

} // namespace

// Runs the DLL's dialog; its caption goes to caption (size bytes).
extern "C" __declspec(dllexport) INT_PTR RunModuleDialog(char *caption, int size)
{
    ModuleDlg dlg;
    INT_PTR result = dlg.DoModal();
    ::lstrcpynA(caption, dlg.caption.c_str(), size);
    return result;
}

// This copy of the layer's resource module.
extern "C" __declspec(dllexport) HINSTANCE ModuleResources()
{
    return cl::AfxGetResourceHandle();
}
