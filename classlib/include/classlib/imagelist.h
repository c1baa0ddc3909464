// CImageList: an image list owned by the object (destroyed with it). A list
// view given it with CListCtrl::SetImageList only borrows it.
#pragma once
#include <windows.h>
#include <commctrl.h>

namespace cl {

class CImageList {
public:
    CImageList() = default;
    ~CImageList() { DeleteImageList(); }
    CImageList(const CImageList &) = delete;
    CImageList &operator=(const CImageList &) = delete;

    HIMAGELIST m_hImageList = nullptr;
    operator HIMAGELIST() const { return m_hImageList; }

    // Images of cx by cy pixels; flags ILC_COLOR32 | ILC_MASK and the like;
    // initial and grow: room made at first and at each growth. FALSE when one
    // already exists or the list cannot be made.
    BOOL Create(int cx, int cy, UINT flags, int initial, int grow);
    // Adds an icon (copied: the caller keeps its own); the new image's index,
    // or -1.
    int Add(HICON icon) const { return m_hImageList ? ImageList_AddIcon(m_hImageList, icon) : -1; }
    int GetImageCount() const { return m_hImageList ? ImageList_GetImageCount(m_hImageList) : 0; }
    BOOL DeleteImageList();
};

} // namespace cl
