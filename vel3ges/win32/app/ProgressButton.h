// CProgressButton: the owner-drawn button lying under the progress bar; when
// its fill flag is set it paints its region blue and the rest white.
#ifndef VEL3GES_APP_PROGRESSBUTTON_H
#define VEL3GES_APP_PROGRESSBUTTON_H

#include "classlib/classlib.h"

namespace vel {

class CProgressButton : public cl::CButton {
public:
    const cl::MessageMap *GetMessageMap() const override;
    void DrawItem(DRAWITEMSTRUCT *dis) override;

    uint32_t m_fill = 0;
    cl::CRgn m_region;

private:
    LRESULT OnEraseBackground(WPARAM, LPARAM) { return 1; }
};

} // namespace vel

#endif
