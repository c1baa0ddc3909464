// The resource module: a DLL's copy of the layer finds its own templates, a
// program can point its copy at another module, and a template missing from
// the resource module fails cleanly.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "classlib/classlib.h"
#include "classlib_test_ids.h"

namespace {

class CaptionDlg : public cl::CDialog {
public:
    explicit CaptionDlg(UINT id) : CDialog(id) {}
    std::string caption;
    BOOL OnInitDialog() override
    {
        CDialog::OnInitDialog();
        caption = GetWindowText();
        EndDialog(66);
        return TRUE;
    }
};

std::string Beside(const char *file)
{
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    std::string path(self, n);
    return path.substr(0, path.find_last_of('\\') + 1) + file;
}

TEST(ResourceModule, EachCopyOfTheLayerFindsItsOwnTemplates)
{
    HMODULE dll = LoadLibraryA(Beside("classlib_test_module.dll").c_str());
    ASSERT_NE(dll, nullptr);
    using RunFn = INT_PTR (*)(char *, int);
    using ResourcesFn = HINSTANCE (*)();
    auto run = reinterpret_cast<RunFn>(reinterpret_cast<void (*)()>(GetProcAddress(dll, "RunModuleDialog")));
    auto resources =
        reinterpret_cast<ResourcesFn>(reinterpret_cast<void (*)()>(GetProcAddress(dll, "ModuleResources")));
    ASSERT_NE(run, nullptr);
    ASSERT_NE(resources, nullptr);

    EXPECT_EQ(resources(), dll);
    EXPECT_EQ(cl::AfxGetResourceHandle(), GetModuleHandleA(nullptr));
    EXPECT_EQ(cl::AfxGetCodeModule(), GetModuleHandleA(nullptr));

    // The same template id in both modules, each with its own caption.
    char caption[64] = "";
    EXPECT_EQ(run(caption, sizeof caption), 77);
    EXPECT_STREQ(caption, "Fenêtre de la DLL");
    CaptionDlg own(IDD_MODULE);
    EXPECT_EQ(own.DoModal(), 66);
    EXPECT_EQ(own.caption, "Fenêtre du programme");

    // The program's copy pointed at the DLL: the DLL's template; one the DLL
    // lacks cannot be made (-1, no window).
    cl::AfxSetResourceHandle(dll);
    CaptionDlg borrowed(IDD_MODULE);
    EXPECT_EQ(borrowed.DoModal(), 66);
    EXPECT_EQ(borrowed.caption, "Fenêtre de la DLL");
    CaptionDlg missing(IDD_FULL);
    EXPECT_EQ(missing.DoModal(), -1);
    EXPECT_EQ(missing.m_hWnd, nullptr);
    cl::AfxSetResourceHandle(nullptr);
    EXPECT_EQ(cl::AfxGetResourceHandle(), GetModuleHandleA(nullptr));
    FreeLibrary(dll);
}

} // namespace
