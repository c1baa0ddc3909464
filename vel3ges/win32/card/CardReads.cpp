#include "CardReads.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../carddata/CardDecoders.h"
#include "../carddata/CardRecords.h"
#include "../carddata/PaneWriter.h"
#include "CardConnection.h"
#include "CardObjects.h"
#include "CardTrace.h"

namespace vel {

namespace {

// A malformed object decodes to what is safely there; say so in the trace.
void ReportDecode(const char *label, DecodeResult result)
{
    if (result == DecodeResult::Ignored)
        AppendPaneLine(PaneTrace, "   %s : objet non reconnu, ignoré", label);
    else if (result == DecodeResult::Truncated)
        AppendPaneLine(PaneTrace, "   %s : objet tronqué, lu jusqu'à sa fin", label);
}

template <typename Record>
bool ReadPublicObject(const char *label, Record &record,
                      DecodeResult (*decode)(const uint8_t *, size_t, Record &))
{
    std::memset(&record, 0, sizeof record);
    CK_BYTE *value = nullptr;
    CK_ULONG length = 0;
    ReadDataObject(hSession, label, false, &value, &length);
    if (!value)
        return false;
    DecodeResult result = decode(value, length, record);
    std::free(value);
    ReportDecode(label, result);
    return result != DecodeResult::Ignored && lastRv == CKR_OK;
}

void ActivityLabel(char (&label)[32], unsigned number)
{
    std::snprintf(label, sizeof label, "VEL_ACTIVITY_%02u_PS", number);
}

} // namespace

void ReadNameRecord()
{
    g_card.nameRead = ReadPublicObject("VEL_NAME_PS", g_card.name, DecodeNameObject);
}
void ReadIdRecord()
{
    g_card.idRead = ReadPublicObject("VEL_ID_CARD", g_card.id, DecodeIdObject);
}
void ReadInfoRecord()
{
    g_card.infoRead = ReadPublicObject("VEL_INFO_PS", g_card.info, DecodeInfoObject);
}

uint16_t CountActivityObjects(CK_SESSION_HANDLE session)
{
    if (!g_functions) {
        lastRv = CKR_ARGUMENTS_BAD;
        return 0;
    }
    CK_FUNCTION_LIST *f = g_functions;
    uint16_t found = 0;
    bool stop = false;
    for (unsigned n = 1; n <= kMaxActivities && !stop; ++n) {
        char label[32];
        ActivityLabel(label, n);
        StampCallTime();
        CK_OBJECT_CLASS cls = CKO_DATA;
        CK_BBOOL token = CK_TRUE, priv = CK_TRUE;
        CK_ATTRIBUTE tmpl[] = {
            {CKA_CLASS, &cls, sizeof cls},
            {CKA_TOKEN, &token, sizeof token},
            {CKA_PRIVATE, &priv, sizeof priv},
            {CKA_LABEL, label, static_cast<CK_ULONG>(std::strlen(label))},
        };
        CK_RV rv = TraceResult(CallFindObjectsInit, f->C_FindObjectsInit(session, tmpl, 4));
        if (rv != CKR_OK)
            continue;
        CK_OBJECT_HANDLE handle = 0;
        CK_ULONG count = 0;
        rv = f->C_FindObjects(session, &handle, 1, &count);
        if (rv == CKR_OK) {
            if (handle == 0 || count == 0)
                stop = true;
            else
                ++found;
        } else {
            lastRv = rv;
        }
        // Closed on every path: a search left open would refuse every later
        // search on this session.
        StampCallTime();
        TraceResult(CallFindObjectsFinal, f->C_FindObjectsFinal(session));
    }
    return found;
}

void ReadActivityRecord(CK_SESSION_HANDLE session, unsigned index)
{
    if (index >= kMaxActivities)
        return;
    char label[32];
    ActivityLabel(label, index + 1);
    CK_BYTE *value = nullptr;
    CK_ULONG length = 0;
    ReadDataObject(session, label, true, &value, &length);
    if (!value)
        return;
    ReportDecode(label, DecodeActivityObject(value, length, g_card.activities[index]));
    std::free(value);
}

void ReadBillingSituations(CK_SESSION_HANDLE session)
{
    CardData &c = g_card;
    c.NbSitFactExistantes = 0;
    c.billingRead = false;
    CK_BYTE *value = nullptr;
    CK_ULONG length = 0;
    ReadDataObject(session, "VEL_SIT_FACT", true, &value, &length);
    if (!value)
        return;
    std::memset(c.billing, 0, sizeof c.billing);
    DecodeResult result = DecodeBillingObject(value, length, c.billing, c.NbSitFactExistantes);
    std::free(value);
    ReportDecode("VEL_SIT_FACT", result);
    if (lastRv != CKR_OK)
        return;
    c.billingRead = result != DecodeResult::Ignored;
    AppendPaneLine(PaneTrace, "   NbSitFactExistantes : %u", static_cast<unsigned>(c.NbSitFactExistantes));
    unsigned stored =
        c.NbSitFactExistantes < kMaxBillingSituations ? c.NbSitFactExistantes : kMaxBillingSituations;
    for (unsigned i = 0; i < stored; ++i) {
        const BillingSituation &s = c.billing[i];
        AppendPaneLine(PaneTrace, "   SitFacturation %u", i);
        AppendPaneLine(PaneTrace, "      LienLogiqueSitPS : %u", static_cast<unsigned>(s.LienLogiqueSitPS));
        AppendPaneLine(PaneTrace, "      IdFacturation : %.10s", s.IdFacturation);
        AppendPaneLine(PaneTrace, "      InfosConventionnelles : %.6s", s.InfosConventionnelles);
        AppendPaneLine(PaneTrace, "      Agréments : %.6s", s.Agrements);
        AppendPaneLine(PaneTrace, "      Autorisations de signature : %02x",
                       static_cast<unsigned>(s.AutorisationsSignature));
    }
}

} // namespace vel
