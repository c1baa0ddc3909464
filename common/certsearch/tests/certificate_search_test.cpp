// The card's certificate search against the in-memory token: what it finds,
// how it waits for a busy session, what a failure leaves. After every case
// the session holds no search: the next one must be able to start.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "certificate_search.h"
#include "fake_pkcs11.h"

namespace fake = vel::fake;

namespace {

using Calls = std::vector<std::string>;

int g_pauses = 0;
void CountPause(unsigned)
{
    ++g_pauses;
}

class CertificateSearch : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::Reset();
        auto &objects = fake::State().objects;
        objects.push_back({CKO_DATA, false, "Donnees", {1}, {}});
        objects.push_back({CKO_CERTIFICATE, false, "Certificat d'Authentification VEL", {2}, {0x01}});
        objects.push_back({CKO_PRIVATE_KEY, true, "Cle", {}, {0x01}});
        objects.push_back({CKO_CERTIFICATE, false, "Certificat de Signature VEL", {3}, {0x02}});
        f_ = fake::Functions();
        ASSERT_EQ(CKR_OK,
                  f_->C_OpenSession(fake::State().slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session_));
        fake::State().calls.clear();
        g_pauses = 0;
    }
    void TearDown() override
    {
        EXPECT_FALSE(fake::State().sessions[session_].finding) << "a search left open";
    }

    CK_RV Search(CK_ULONG capacity = 10, const vel::SearchPatience &patience = vel::SearchPatience())
    {
        found_ = 99;
        return vel::FindX509Certificates(f_, session_, handles_, capacity, &found_, patience);
    }
    std::vector<CK_OBJECT_HANDLE> Found() const { return {handles_, handles_ + found_}; }

    CK_FUNCTION_LIST *f_ = nullptr;
    CK_SESSION_HANDLE session_ = 0;
    CK_OBJECT_HANDLE handles_[10] = {};
    CK_ULONG found_ = 0;
};

TEST_F(CertificateSearch, TheCertificatesOnlyInTheLibrarysOrderWithinTheRoomGiven)
{
    EXPECT_EQ(CKR_OK, Search());
    EXPECT_EQ((std::vector<CK_OBJECT_HANDLE>{2, 4}), Found());
    EXPECT_EQ((Calls{"C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal"}), fake::State().calls);
    EXPECT_EQ(CKR_OK, Search(1));
    EXPECT_EQ((std::vector<CK_OBJECT_HANDLE>{2}), Found());
    fake::State().objects.clear();
    EXPECT_EQ(CKR_OK, Search());
    EXPECT_EQ(0u, found_);
}

TEST_F(CertificateSearch, ABusySessionIsWaitedForThenItsStaleSearchEnded)
{
    struct Case {
        const char *what;
        size_t busyTries; // C_FindObjectsInit answers CKR_OPERATION_ACTIVE this many times
        int polls;
        CK_RV rv;
        int pauses;
        Calls calls;
    } cases[] = {
        {"free after two pauses",
         2,
         3,
         CKR_OK,
         2,
         {"C_FindObjectsInit", "C_FindObjectsInit", "C_FindObjectsInit", "C_FindObjects",
          "C_FindObjectsFinal"}},
        {"still busy: the stale search is ended",
         4,
         3,
         CKR_OK,
         3,
         {"C_FindObjectsInit", "C_FindObjectsInit", "C_FindObjectsInit", "C_FindObjectsInit",
          "C_FindObjectsFinal", "C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal"}},
        {"no patience",
         1,
         0,
         CKR_OK,
         0,
         {"C_FindObjectsInit", "C_FindObjectsFinal", "C_FindObjectsInit", "C_FindObjects",
          "C_FindObjectsFinal"}},
        {"busy for good",
         10,
         2,
         CKR_OPERATION_ACTIVE,
         2,
         {"C_FindObjectsInit", "C_FindObjectsInit", "C_FindObjectsInit", "C_FindObjectsFinal",
          "C_FindObjectsInit"}},
    };
    for (const Case &c : cases) {
        fake::State().forced.clear();
        fake::State().calls.clear();
        g_pauses = 0;
        fake::Force("C_FindObjectsInit", CKR_OPERATION_ACTIVE, c.busyTries);
        EXPECT_EQ(c.rv, Search(10, {c.polls, 250, CountPause})) << c.what;
        EXPECT_EQ(c.pauses, g_pauses) << c.what;
        EXPECT_EQ(c.calls, fake::State().calls) << c.what;
        EXPECT_EQ(c.rv == CKR_OK ? 2u : 0u, found_) << c.what;
    }
}

TEST_F(CertificateSearch, AFailureGivesItsResultAndNoHandleAndTheSearchIsEnded)
{
    struct Case {
        const char *what;
        const char *failing;
        CK_RV rv;
        CK_ULONG found;
        Calls calls;
    } cases[] = {
        {"start", "C_FindObjectsInit", CKR_DEVICE_ERROR, 0, {"C_FindObjectsInit"}},
        {"search",
         "C_FindObjects",
         CKR_DEVICE_REMOVED,
         0,
         {"C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal"}},
        {"end: tried once more",
         "C_FindObjectsFinal",
         CKR_DEVICE_ERROR,
         2,
         {"C_FindObjectsInit", "C_FindObjects", "C_FindObjectsFinal", "C_FindObjectsFinal"}},
    };
    for (const Case &c : cases) {
        fake::State().calls.clear();
        fake::Force(c.failing, c.rv);
        EXPECT_EQ(c.rv, Search()) << c.what;
        EXPECT_EQ(c.found, found_) << c.what;
        EXPECT_EQ(c.calls, fake::State().calls) << c.what;
    }
    found_ = 99;
    EXPECT_EQ(CKR_CRYPTOKI_NOT_INITIALIZED,
              vel::FindX509Certificates(nullptr, session_, handles_, 10, &found_));
    EXPECT_EQ(0u, found_);
}

// A library that claims more handles than the room it was given wrote past
// it or lies: nothing it returned is used.
CK_RV ClaimsTooMany(CK_SESSION_HANDLE, CK_OBJECT_HANDLE_PTR, CK_ULONG max, CK_ULONG_PTR count)
{
    *count = max + 5;
    return CKR_OK;
}

TEST_F(CertificateSearch, ALibraryClaimingMoreThanTheRoomGivesNoHandle)
{
    CK_FUNCTION_LIST lying = *f_;
    lying.C_FindObjects = ClaimsTooMany;
    f_ = &lying;
    EXPECT_EQ(CKR_OK, Search());
    EXPECT_EQ(0u, found_);
}

} // namespace
