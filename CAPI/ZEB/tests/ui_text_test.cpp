// Texts of the tray's dialogs: reader rows and the package version.
#include <gtest/gtest.h>

#include <string>

#include "row_text.h"

using zeb::PackageVersionFromName;
using zeb::SlotRowText;

TEST(UiText, SlotRowText)
{
    struct Case {
        std::string description;
        int index;
        std::string text;
    } cases[] = {
        {"Lecteur Ovrane VEL 0" + std::string(44, ' '), 0, "Lecteur Ovrane VEL 0"},
        {std::string(64, ' '), 0, " "}, // the first character stays
        {std::string(64, '\0'), 0, "Lecteur N° 1"},
        {std::string(1, '\0') + "x", 4, "Lecteur N° 5"},
        {"Court", 2, "Court"},                                      // shorter, not padded
        {std::string(64, 'a') + "beyond", 0, std::string(64, 'a')}, // never past 64 bytes
        {std::string("Lecteur\0   ", 11), 0, "Lecteur"},            // stops at a NUL
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.text, SlotRowText(c.description, c.index)) << c.text;
}

TEST(UiText, PackageVersionFromName)
{
    struct Case {
        const char *name, *version;
    } cases[] = {
        {"Suite v5.2.3", "05.02.03"},
        {"Suite v5.12.3", "05.12.03"},
        {"Suite v5.12", "inconnue"},
        {"Suite v5.x.3", "05.00.03"},   // not a number: 0
        {"Sorvelo v5.2.3", "00.05.02"}, // the v inside the first word splits it too
        {"Suite v1.2.3.4", "01.02.03"}, // only the first three count
        {"", "inconnue"},
        {"vvv...", "inconnue"},
        {"Suite", "inconnue"},
        {"Suite v123.4.5", "123.04.05"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.version, PackageVersionFromName(c.name)) << c.name;
}
