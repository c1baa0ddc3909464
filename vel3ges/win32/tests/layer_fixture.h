// The card layer bound to the in-memory token, with the scripted dialog.
#ifndef VEL3GES_TESTS_LAYER_FIXTURE_H
#define VEL3GES_TESTS_LAYER_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "CardConnection.h"
#include "CardObjects.h"
#include "PaneWriter.h"
#include "card_fixture.h"
#include "card_test_support.h"
#include "fake_pkcs11.h"

namespace vel {

class Layer : public ::testing::Test {
protected:
    ScriptedUi ui;
    fake::Token &token = fake::State();

    void SetUp() override
    {
        fake::Reset();
        ResetForTest(ui);
        BindFunctionList(fake::Functions());
    }
    void TearDown() override { SetCardUi(nullptr); }

    static fake::Object Data(const std::string &label, bool isPrivate, const fixture::Bytes &value)
    {
        return fake::Object{CKO_DATA, isPrivate, label, value, {}};
    }
    // The test card's data objects, its two certificates and their keys.
    void AddCardObjects()
    {
        using namespace fixture;
        token.objects = {
            Data("VEL_NAME_PS", false, NameObject()),
            Data("VEL_ID_CARD", false, IdObject()),
            Data("VEL_INFO_PS", false, InfoObject()),
            Data("VEL_ACTIVITY_01_PS", true, Activity1()),
            Data("VEL_ACTIVITY_02_PS", true, Activity2()),
            Data("VEL_SIT_FACT", true, BillingObject()),
            {CKO_CERTIFICATE, false, "Certificat d'Authentification VEL", {0x30, 0x82, 0x01}, {0xA1, 0xA1}},
            {CKO_CERTIFICATE, false, "Certificat de Signature VEL", {0x30, 0x82, 0x02}, {0xB2}},
            {CKO_PRIVATE_KEY, true, "", {}, {0xA1, 0xA1}, 2048},
            {CKO_PRIVATE_KEY, true, "", {}, {0xB2}, 1024},
            {CKO_PUBLIC_KEY, false, "", {}, {0xA1, 0xA1}, 2048},
            {CKO_PUBLIC_KEY, false, "", {}, {0xB2}, 1024},
        };
    }
    CK_OBJECT_HANDLE HandleOf(CK_OBJECT_CLASS cls, const std::vector<CK_BYTE> &id) const
    {
        for (size_t i = 0; i < token.objects.size(); ++i)
            if (token.objects[i].cls == cls && token.objects[i].id == id)
                return i + 1;
        return 0;
    }
    // A public session on the card, as the slot scan leaves it.
    void Connect()
    {
        ASSERT_EQ(kPromptFinalTry, ConnectToken(g_connection));
        token.calls.clear();
        ui.panes.clear();
        ui.traceStarts.clear();
    }
    void LogIn()
    {
        std::string pin = token.userPin;
        CK_UTF8CHAR *p = reinterpret_cast<CK_UTF8CHAR *>(&pin[0]);
        ASSERT_EQ(CKR_OK, fake::Functions()->C_Login(hSession, CKU_USER, p, pin.size()));
        token.calls.clear();
    }
    // Reads a certificate for its CKA_ID alone: its key becomes the one the
    // signing services find.
    void SelectCertificate(bool signature, bool technical = false)
    {
        CK_BYTE *value = nullptr;
        CK_ULONG length = 0;
        ReadCardCertificate(hSession, &value, &length, signature, technical);
        std::free(value);
    }
    // The trace pane with each timestamp replaced by "TS".
    std::vector<std::string> Trace()
    {
        std::vector<std::string> out;
        for (std::string l : ui.Lines(PaneTrace)) {
            if (l.size() > 20 && l[2] == '-' && l[6] == '-' && l[20] == ' ')
                l = "TS" + l.substr(20);
            out.push_back(l);
        }
        return out;
    }
    static std::string Hex(CK_ULONG v)
    {
        char b[16];
        std::snprintf(b, sizeof b, "0x%08x", static_cast<unsigned>(v));
        return b;
    }
};

} // namespace vel

#endif
