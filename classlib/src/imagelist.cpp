#include "classlib/imagelist.h"

namespace cl {

BOOL CImageList::Create(int cx, int cy, UINT flags, int initial, int grow)
{
    if (m_hImageList)
        return FALSE;
    m_hImageList = ImageList_Create(cx, cy, flags, initial, grow);
    return m_hImageList != nullptr;
}

BOOL CImageList::DeleteImageList()
{
    if (!m_hImageList)
        return FALSE;
    BOOL done = ImageList_Destroy(m_hImageList);
    m_hImageList = nullptr;
    return done;
}

} // namespace cl
