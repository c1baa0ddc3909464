// The list view and the image list as the reader-state dialog uses them:
// columns, rows with images, cell texts, and an image list that outlives the
// control it was lent to.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <string>

#include "classlib/classlib.h"
#include "classlib_test_ids.h"

namespace {

class ListDlg : public cl::CDialog {
public:
    ListDlg() : CDialog(IDD_LIST) {}
    cl::CListCtrl list;
    std::function<void(ListDlg &)> onInit;
    void DoDataExchange(cl::CDataExchange *dx) override { cl::DDX_Control(dx, IDC_LIST, list); }
    BOOL OnInitDialog() override
    {
        CDialog::OnInitDialog();
        if (onInit)
            onInit(*this);
        EndDialog(IDOK);
        return TRUE;
    }
};

TEST(ListView, ColumnsRowsImagesAndTexts)
{
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&icc);
    cl::CImageList images;
    ASSERT_TRUE(images.Create(16, 16, ILC_COLOR32 | ILC_MASK, 0, 0));
    EXPECT_FALSE(images.Create(16, 16, ILC_COLOR32 | ILC_MASK, 0, 0)); // one list per object
    EXPECT_EQ(images.Add(LoadIconA(nullptr, IDI_APPLICATION)), 0);
    EXPECT_EQ(images.Add(LoadIconA(nullptr, IDI_INFORMATION)), 1);
    EXPECT_EQ(images.GetImageCount(), 2);

    ListDlg dlg;
    const std::string longText(1000, 'L');
    dlg.onInit = [&](ListDlg &d) {
        cl::CListCtrl &list = d.list;
        EXPECT_EQ(list.SetImageList(&images, LVSIL_SMALL), nullptr);
        RECT r;
        list.GetClientRect(&r);
        int w = r.right - r.left;
        EXPECT_EQ(list.InsertColumn(0, "Nom du Lecteur", LVCFMT_LEFT, w / 2 + 10), 0);
        EXPECT_EQ(list.InsertColumn(1, "Etat", LVCFMT_LEFT, w / 2 - 14), 1);
        EXPECT_EQ(list.InsertItem(0, "Lecteur Ovrane VEL 0", 1), 0);
        EXPECT_EQ(list.InsertItem(1, "Lecteur N° 2", 0), 1);
        EXPECT_TRUE(list.SetItemText(0, 1, "Certificats synchronisés."));
        EXPECT_TRUE(list.SetItemText(1, 1, longText.c_str()));
        EXPECT_EQ(list.GetItemCount(), 2);
        EXPECT_EQ(list.GetItemText(0, 0), "Lecteur Ovrane VEL 0");
        EXPECT_EQ(list.GetItemText(0, 1), "Certificats synchronisés.");
        EXPECT_EQ(list.GetItemText(1, 0), "Lecteur N° 2");
        EXPECT_EQ(list.GetItemText(1, 1), longText);
        EXPECT_EQ(list.GetItemText(5, 0), "");
        EXPECT_EQ(list.GetItemImage(0), 1);
        EXPECT_EQ(list.GetItemImage(1), 0);
        EXPECT_EQ(list.GetItemImage(7), -1);
        EXPECT_TRUE(list.DeleteAllItems());
        EXPECT_EQ(list.GetItemCount(), 0);
    };
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(dlg.list.m_hWnd, nullptr);
    // The control is gone; the list is still its owner's.
    EXPECT_EQ(ImageList_GetImageCount(images), 2);
    EXPECT_TRUE(images.DeleteImageList());
    EXPECT_FALSE(images.DeleteImageList());
    EXPECT_EQ(images.GetImageCount(), 0);
    EXPECT_EQ(images.Add(LoadIconA(nullptr, IDI_APPLICATION)), -1);
}

} // namespace
