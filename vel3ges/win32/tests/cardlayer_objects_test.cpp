// Object searches by label and the reads of the card's data objects.
#include "layer_fixture.h"

#include <cstdlib>
#include <cstring>

#include "CardObjects.h"
#include "CardReads.h"
#include "CardRecords.h"

using namespace vel;
using Lines = std::vector<std::string>;

TEST_F(Layer, ReadDataObjectRecordsAndValue)
{
    AddCardObjects();
    Connect();
    std::string s = "   No Session : " + std::to_string(hSession);
    CK_BYTE *value = nullptr;
    CK_ULONG length = 0;
    ReadDataObject(hSession, "VEL_ID_CARD", false, &value, &length);
    ASSERT_NE(nullptr, value);
    EXPECT_EQ(fixture::IdObject(), fixture::Bytes(value, value + length));
    std::free(value);
    EXPECT_EQ(CKR_OK, lastRv);
    EXPECT_EQ((Lines{" ", "TS   C_FindObjectsInit", s, "   CK_RV = OK", "   hObject   = 0x00000002", " ",
                     "TS   C_GetAttributeValue", s, "   CK_RV = OK", " ", "TS   C_FindObjectsFinal", s,
                     "   CK_RV = OK"}),
              Trace());
    EXPECT_EQ((Lines{"C_FindObjectsInit", "C_FindObjects", "C_GetAttributeValue", "C_GetAttributeValue",
                     "C_FindObjectsFinal"}),
              token.calls);
}

TEST_F(Layer, PrivateObjectBeforeLoginAndMissingArguments)
{
    AddCardObjects();
    Connect();
    CK_BYTE *value = nullptr;
    CK_ULONG length = 77;
    ReadDataObject(hSession, "VEL_SIT_FACT", true, &value, &length);
    EXPECT_EQ(nullptr, value);
    EXPECT_EQ(77u, length);
    EXPECT_EQ(CKR_OK, lastRv); // the search's final result: judge by the value
    for (const std::string &l : Trace())
        EXPECT_EQ(std::string::npos, l.find("hObject"));

    token.calls.clear();
    ReadDataObject(hSession, nullptr, false, &value, &length);
    EXPECT_EQ(CKR_ARGUMENTS_BAD, lastRv);
    ReadCardCertificate(hSession, nullptr, &length, false, false);
    EXPECT_EQ(CKR_ARGUMENTS_BAD, lastRv);
    FindKeyObject(hSession, nullptr, true);
    EXPECT_EQ(CKR_ARGUMENTS_BAD, lastRv);
    EXPECT_TRUE(token.calls.empty());
}

TEST_F(Layer, LabelMatchingTwoObjectsReadsTheFirst)
{
    token.objects = {Data("VEL_NAME_PS", false, {1, 2}), Data("VEL_NAME_PS", false, {3})};
    Connect();
    CK_BYTE *value = nullptr;
    CK_ULONG length = 0;
    ReadDataObject(hSession, "VEL_NAME_PS", false, &value, &length);
    ASSERT_EQ(2u, length);
    EXPECT_EQ(1, value[0]);
    std::free(value);
}

TEST_F(Layer, CertificatesSelectTheirKeys)
{
    AddCardObjects();
    token.objects.push_back({CKO_CERTIFICATE, false, "Certificat Technique VEL", {0x30, 0x03}, {0xC3}});
    Connect();
    LogIn();
    CK_BYTE *value = nullptr;
    CK_ULONG length = 0;
    // Both flags: the technical certificate.
    ReadCardCertificate(hSession, &value, &length, true, true);
    ASSERT_EQ(2u, length);
    std::free(value);
    EXPECT_EQ(1u, lastCertificateId.length);
    EXPECT_EQ(0xC3, lastCertificateId.bytes[0]);

    SelectCertificate(false);
    CK_OBJECT_HANDLE key = 0;
    FindKeyObject(hSession, &key, true);
    EXPECT_EQ(HandleOf(CKO_PRIVATE_KEY, {0xA1, 0xA1}), key);
    SelectCertificate(true);
    key = 0;
    FindKeyObject(hSession, &key, true);
    EXPECT_EQ(HandleOf(CKO_PRIVATE_KEY, {0xB2}), key);
    key = 0;
    FindKeyObject(hSession, &key, false);
    EXPECT_EQ(HandleOf(CKO_PUBLIC_KEY, {0xB2}), key);
}

TEST_F(Layer, UnusableCertificateLeavesNoKeyIdentifier)
{
    AddCardObjects();
    Connect();
    LogIn();
    SelectCertificate(true);
    ASSERT_EQ(1u, lastCertificateId.length);

    // Not found: the signature key must not stay selected.
    CK_BYTE *value = nullptr;
    CK_ULONG length = 0;
    ReadCardCertificate(hSession, &value, &length, false, true);
    EXPECT_EQ(nullptr, value);
    EXPECT_EQ(0u, lastCertificateId.length);

    // An identifier longer than 32 bytes: none kept either.
    token.objects[7].id.assign(33, 0xEE);
    SelectCertificate(true);
    EXPECT_EQ(0u, lastCertificateId.length);
    CK_OBJECT_HANDLE key = 0;
    FindKeyObject(hSession, &key, true);
    EXPECT_EQ(0u, key);
}

TEST_F(Layer, FailedOrAbsurdLengthQueryAllocatesNothing)
{
    AddCardObjects();
    Connect();
    CK_BYTE *value = nullptr;
    CK_ULONG length = 5;
    fake::Force("C_GetAttributeValue", CKR_DEVICE_ERROR);
    ReadDataObject(hSession, "VEL_NAME_PS", false, &value, &length);
    EXPECT_EQ(nullptr, value);
    EXPECT_EQ(5u, length);
    EXPECT_EQ(1, token.Count("C_GetAttributeValue"));
    EXPECT_EQ(1, token.Count("C_FindObjectsFinal"));

    // A length of CK_UNAVAILABLE_INFORMATION or beyond any object: no buffer asked for.
    token.calls.clear();
    fake::Functions()->C_GetAttributeValue = [](CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR t,
                                                CK_ULONG) -> CK_RV {
        t[0].ulValueLen = CK_UNAVAILABLE_INFORMATION;
        return CKR_OK;
    };
    ReadDataObject(hSession, "VEL_NAME_PS", false, &value, &length);
    EXPECT_EQ(nullptr, value);
    EXPECT_EQ(CKR_OK, lastRv);
}

TEST_F(Layer, HasSingleCertificate)
{
    AddCardObjects();
    Connect();
    EXPECT_FALSE(HasSingleCertificate(hSession));
    token.objects = {{CKO_CERTIFICATE, false, "Certificat Technique VEL", {0x30}, {0x01}}};
    EXPECT_TRUE(HasSingleCertificate(hSession));
    fake::Force("C_FindObjectsInit", CKR_DEVICE_ERROR);
    EXPECT_FALSE(HasSingleCertificate(hSession));
}

TEST_F(Layer, ReadsSetFlagsOnlyWhenAValueCameBack)
{
    AddCardObjects();
    token.objects.erase(token.objects.begin()); // no name object
    Connect();
    g_card.nameRead = true;
    ReadNameRecord();
    EXPECT_FALSE(g_card.nameRead); // missing although lastRv is 0
    EXPECT_EQ(CKR_OK, lastRv);
    ReadIdRecord();
    ReadInfoRecord();
    EXPECT_TRUE(g_card.idRead);
    EXPECT_TRUE(g_card.infoRead);
    EXPECT_EQ("8025000001", std::string(g_card.id.cardNumber, 10));

    // An object with a wrong tag: cleared, not read, and said in the trace.
    token.objects[0].value[0] = 0x99;
    ReadIdRecord();
    EXPECT_FALSE(g_card.idRead);
    EXPECT_EQ("   VEL_ID_CARD : objet non reconnu, ignoré", ui.Lines(PaneTrace).back());
}

TEST_F(Layer, ActivityCountStopsAtTheFirstGap)
{
    AddCardObjects();
    token.objects.push_back(Data("VEL_ACTIVITY_03_PS", true, fixture::Activity1()));
    token.objects.push_back(Data("VEL_ACTIVITY_05_PS", true, fixture::Activity1()));
    Connect();
    LogIn();
    EXPECT_EQ(3, CountActivityObjects(hSession));
    // Four passes (the fourth finds nothing), each Init, FindObjects, Final.
    EXPECT_EQ(4, token.Count("C_FindObjectsInit"));
    EXPECT_EQ(4, token.Count("C_FindObjectsFinal"));

    // A failing FindObjects counts nothing for its number but still closes
    // its search, so that the next numbers are searched.
    token.calls.clear();
    fake::Force("C_FindObjects", CKR_DEVICE_ERROR);
    EXPECT_EQ(2, CountActivityObjects(hSession));
    EXPECT_EQ(4, token.Count("C_FindObjectsInit"));
    EXPECT_EQ(4, token.Count("C_FindObjectsFinal"));
}

TEST_F(Layer, BillingSituationsAndTheirTrace)
{
    AddCardObjects();
    Connect();
    ReadBillingSituations(hSession);
    EXPECT_FALSE(g_card.billingRead); // private: not found before the PIN
    EXPECT_EQ(0, g_card.NbSitFactExistantes);
    LogIn();
    ui.panes.clear();
    ReadBillingSituations(hSession);
    EXPECT_TRUE(g_card.billingRead);
    EXPECT_EQ(3, g_card.NbSitFactExistantes);
    Lines t = ui.Lines(PaneTrace);
    Lines tail(t.end() - 19, t.end());
    EXPECT_EQ(
        (Lines{"   NbSitFactExistantes : 3", "   SitFacturation 0", "      LienLogiqueSitPS : 1",
               "      IdFacturation : 1234567890", "      InfosConventionnelles : 011101",
               "      Agréments : 020000", "      Autorisations de signature : 11", "   SitFacturation 1",
               "      LienLogiqueSitPS : 2", "      IdFacturation : 9876543210",
               "      InfosConventionnelles : 502820", "      Agréments : 990000",
               "      Autorisations de signature : 00", "   SitFacturation 2", "      LienLogiqueSitPS : 9",
               "      IdFacturation : 11", "      InfosConventionnelles : ", "      Agréments : ",
               "      Autorisations de signature : 10"}),
        tail);
}

TEST_F(Layer, WholeCardReadCallCount)
{
    AddCardObjects();
    Connect();
    LogIn();
    ReadWholeCard();
    EXPECT_TRUE(g_card.nameRead && g_card.idRead && g_card.infoRead && g_card.billingRead);
    EXPECT_EQ(2, g_card.activityCount);
    // 3 identity objects x 5 calls, 3 counting passes x 3, 2 activities x 5, billing 5.
    EXPECT_EQ(3 * 5 + 3 * 3 + 2 * 5 + 5, static_cast<int>(token.calls.size()));
}
