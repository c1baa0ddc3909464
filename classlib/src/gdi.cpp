#include "classlib/gdi.h"

namespace cl {

BOOL CGdiObject::DeleteObject()
{
    if (!m_hObject)
        return FALSE;
    BOOL ok = ::DeleteObject(m_hObject);
    m_hObject = nullptr;
    return ok;
}

BOOL CGdiObject::Attach(HGDIOBJ h)
{
    DeleteObject();
    m_hObject = h;
    return h != nullptr;
}

BOOL CFont::CreateFont(int height, int width, int weight, BYTE charset, BYTE quality, const char *face)
{
    return Attach(::CreateFontA(height, width, 0, 0, weight, FALSE, FALSE, FALSE, charset, OUT_DEFAULT_PRECIS,
                                CLIP_DEFAULT_PRECIS, quality, DEFAULT_PITCH | FF_DONTCARE, face));
}

void CDC::FillSolidRect(const RECT &r, COLORREF color) const
{
    ::SetBkColor(m_hDC, color);
    ::ExtTextOutA(m_hDC, 0, 0, ETO_OPAQUE, &r, nullptr, 0, nullptr);
}

} // namespace cl
