// The prefix's fonts: Wine's own (the package fonts-wine), which the title
// bars, menus and dialogs of every program are drawn with. Without Marlett
// the caption buttons show its letters ("0", "1", "r") instead of their
// symbols.
#include <windows.h>

#include <gtest/gtest.h>

namespace {

int CALLBACK OnFamily(const LOGFONTA *, const TEXTMETRICA *, DWORD, LPARAM found)
{
    *reinterpret_cast<bool *>(found) = true;
    return 0;
}

// The family as installed, not a substitute: enumeration by name answers
// only for a family the prefix has.
bool HasFamily(const char *family)
{
    HDC dc = CreateCompatibleDC(nullptr);
    LOGFONTA wanted{};
    wanted.lfCharSet = DEFAULT_CHARSET;
    lstrcpynA(wanted.lfFaceName, family, LF_FACESIZE);
    bool found = false;
    EnumFontFamiliesExA(dc, &wanted, OnFamily, reinterpret_cast<LPARAM>(&found), 0);
    DeleteDC(dc);
    return found;
}

TEST(PrefixFonts, WinesOwnFamiliesAreInstalled)
{
    for (const char *family : {"Marlett", "Tahoma", "MS Sans Serif", "Symbol", "Wingdings"})
        EXPECT_TRUE(HasFamily(family)) << family;
    EXPECT_FALSE(HasFamily("No Such Family Here")); // the probe tells them apart
}

} // namespace
