#include "ProgressButton.h"

namespace vel {

const cl::MessageMap *CProgressButton::GetMessageMap() const
{
    static const cl::MessageEntry entries[] = {
        cl::OnMessage<&CProgressButton::OnEraseBackground>(WM_ERASEBKGND),
    };
    static const cl::MessageMap map(CButton::GetMessageMap(), entries);
    return &map;
}

void CProgressButton::DrawItem(DRAWITEMSTRUCT *dis)
{
    if (!m_fill || !m_region.m_hObject)
        return;
    cl::CBrush blue(RGB(0, 0, 255)), white(RGB(255, 255, 255));
    cl::CRgn rest;
    rest.CreateRectRgn(dis->rcItem.left, dis->rcItem.top, dis->rcItem.right, dis->rcItem.bottom);
    rest.CombineRgn(rest, m_region, RGN_DIFF);
    ::FillRgn(dis->hDC, m_region, blue);
    ::FillRgn(dis->hDC, rest, white);
}

} // namespace vel
