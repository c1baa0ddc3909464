// The call record of the trace and diagnostic panes, the call names and the
// result texts.
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "CardConnection.h"
#include "CardTrace.h"
#include "PaneWriter.h"
#include "card_test_support.h"

using namespace vel;

namespace {

std::time_t LocalTime(int year, int month, int day, int h, int m, int s)
{
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = h;
    tm.tm_min = m;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

class Trace : public ::testing::Test {
protected:
    ScriptedUi ui;
    void SetUp() override { ResetForTest(ui); }
    void TearDown() override { SetCardUi(nullptr); }
};

} // namespace

TEST(CkrToText, KnownAndUnknownCodes)
{
    struct Case {
        CK_RV rv;
        const char *text;
    } cases[] = {
        {0x00, "OK"},
        {0x06, "L'opération a échoué"},
        {0x21, "Données en entrée incorrectes"},
        {0x30, "Erreur matérielle"},
        {0x70, "Algorithme invalide"},
        {0x90, "Opération en cours"},
        {0xA0, "Code porteur incorrect"},
        {0xA4, "Carte bloquée"},
        {0xFF, "Résultat du contrôle effectué incorrect."},
        {0x100, "Utilisateur déjà authentifié"},
        {0x101, "Utilisateur non authentifié"},
        {0xA2, "CKR_PIN_LEN_RANGE"},
        {0x08, "CKR_NO_EVENT"},
        {0x01, "CKR_CANCEL"},
        {0x150, "CKR_BUFFER_TOO_SMALL"},
        {0x200, "CKR_FUNCTION_REJECTED"},
        {0xA1, "CKR_PIN_INVALID"},
        {0x04, "Erreur non référencée."},
        {0x61, "Erreur non référencée."},
        {0x111, "Erreur non référencée."},
        {0x1B0, "Erreur non référencée."},
        {0x80000007, "Erreur non référencée."},
        {0x80000011, "Erreur non référencée."},
        {0xFFFFFFFF, "Erreur non référencée."},
    };
    for (const Case &c : cases)
        EXPECT_STREQ(c.text, CkrToText(c.rv)) << std::hex << c.rv;

    // 11 texts of their own, 74 standard names and the 0xA1 name; nothing
    // else below 0x201 has a text.
    int own = 0, names = 0;
    for (CK_RV rv = 0; rv <= 0x200; ++rv) {
        std::string t = CkrToText(rv);
        if (t == "Erreur non référencée.")
            continue;
        (t.rfind("CKR_", 0) == 0 ? names : own)++;
    }
    EXPECT_EQ(11, own);
    EXPECT_EQ(74 + 1, names);
}

TEST(CallName, TableAndUnknownNumbers)
{
    EXPECT_STREQ("C_GetFunctionsList", CallName(1));
    EXPECT_STREQ("C_DigestUpdadte", CallName(22));
    EXPECT_STREQ("C_EncrypUpdate", CallName(25));
    EXPECT_STREQ("C_CloseAllSessions", CallName(36));
    EXPECT_STREQ("Numéro d'API inconnue", CallName(0));
    EXPECT_STREQ("Numéro d'API inconnue", CallName(37));
}

TEST_F(Trace, RecordWithAndWithoutSession)
{
    callTime = LocalTime(2026, 8, 7, 9, 5, 3);
    hSession = kNoSession;
    TraceCall(CallLogin, CKR_PIN_INCORRECT);
    hSession = 0;
    TraceCall(37, CKR_OK);

    EXPECT_EQ((std::vector<std::string>{
                  " ", "07-AOU-2026 09:05:03   C_Login", "   CK_RV = Code porteur incorrect", " ",
                  "07-AOU-2026 09:05:03   Numéro d'API inconnue", "   No Session : 0", "   CK_RV = OK"}),
              ui.Lines(PaneTrace));
    EXPECT_EQ((std::vector<std::string>{"07-AOU-2026 09:05:03   C_Login...Code porteur incorrect",
                                        "07-AOU-2026 09:05:03   Numéro d'API inconnue...OK"}),
              ui.Lines(PaneDiagnostic));
    // Each record's start line: the trace's line count right after its blank line.
    EXPECT_EQ((std::vector<unsigned>{1, 4}), ui.traceStarts);
}

TEST_F(Trace, TimestampMonthsAndStars)
{
    const char *months[] = {"JAN", "FEV", "MAR", "AVR", "MAI", "JUN",
                            "JUL", "AOU", "SEP", "OCT", "NOV", "DEC"};
    for (int m = 1; m <= 12; ++m)
        EXPECT_EQ(std::string("01-") + months[m - 1] + "-2027 23:59:58",
                  FormatLogTimestamp(LocalTime(2027, m, 1, 23, 59, 58)));
    EXPECT_EQ("********", StarCopy("12345678", 8));
    EXPECT_EQ("****", StarCopy("1234", 4));
    EXPECT_EQ("****", StarCopy("123456", 4));
    EXPECT_EQ("", StarCopy(nullptr, 4));
}

TEST(SecretText, WipedOnClearAndBounded)
{
    SecretText s("12345678901234567890");
    EXPECT_EQ(SecretText::Capacity, s.size());
    const char *p = s.c_str();
    s.Wipe();
    for (size_t i = 0; i <= SecretText::Capacity; ++i)
        EXPECT_EQ('\0', p[i]);
    EXPECT_TRUE(s.empty());
}
