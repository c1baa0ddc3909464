// GDI wrappers: each object owns its handle and deletes it.
#pragma once
#include <windows.h>

namespace cl {

class CGdiObject {
public:
    CGdiObject() = default;
    ~CGdiObject() { DeleteObject(); }
    CGdiObject(const CGdiObject &) = delete;
    CGdiObject &operator=(const CGdiObject &) = delete;
    HGDIOBJ m_hObject = nullptr;
    BOOL DeleteObject();

protected:
    BOOL Attach(HGDIOBJ h);
};

class CBrush : public CGdiObject {
public:
    CBrush() = default;
    explicit CBrush(COLORREF color) { CreateSolidBrush(color); }
    BOOL CreateSolidBrush(COLORREF color) { return Attach(::CreateSolidBrush(color)); }
    operator HBRUSH() const { return (HBRUSH)m_hObject; }
};

class CFont : public CGdiObject {
public:
    BOOL CreateFont(int height, int width, int weight, BYTE charset, BYTE quality, const char *face);
    operator HFONT() const { return (HFONT)m_hObject; }
};

class CRgn : public CGdiObject {
public:
    BOOL CreateRectRgn(int l, int t, int r, int b) { return Attach(::CreateRectRgn(l, t, r, b)); }
    BOOL CreateRoundRectRgn(int l, int t, int r, int b, int w, int h)
    {
        return Attach(::CreateRoundRectRgn(l, t, r, b, w, h));
    }
    // this = a <mode> b (RGN_AND, RGN_OR, RGN_DIFF...); this must exist.
    int CombineRgn(HRGN a, HRGN b, int mode) { return ::CombineRgn((HRGN)m_hObject, a, b, mode); }
    operator HRGN() const { return (HRGN)m_hObject; }
};

// A device context handle with the few drawing calls used; owns nothing.
class CDC {
public:
    explicit CDC(HDC dc = nullptr) : m_hDC(dc) {}
    HDC m_hDC;
    operator HDC() const { return m_hDC; }
    BOOL FillRgn(HRGN rgn, HBRUSH brush) const { return ::FillRgn(m_hDC, rgn, brush); }
    void FillSolidRect(const RECT &r, COLORREF color) const;
    COLORREF SetTextColor(COLORREF c) const { return ::SetTextColor(m_hDC, c); }
    COLORREF SetBkColor(COLORREF c) const { return ::SetBkColor(m_hDC, c); }
    int SetBkMode(int mode) const { return ::SetBkMode(m_hDC, mode); }
    BOOL TextOut(int x, int y, const char *text, int len) const { return ::TextOutA(m_hDC, x, y, text, len); }
    BOOL DrawIcon(int x, int y, HICON icon) const { return ::DrawIcon(m_hDC, x, y, icon); }
};

// BeginPaint / EndPaint for the life of the object.
class CPaintDC : public CDC {
public:
    explicit CPaintDC(HWND hwnd) : m_hWnd(hwnd) { m_hDC = ::BeginPaint(hwnd, &m_ps); }
    ~CPaintDC() { ::EndPaint(m_hWnd, &m_ps); }
    CPaintDC(const CPaintDC &) = delete;
    CPaintDC &operator=(const CPaintDC &) = delete;
    PAINTSTRUCT m_ps{};

private:
    HWND m_hWnd;
};

} // namespace cl
