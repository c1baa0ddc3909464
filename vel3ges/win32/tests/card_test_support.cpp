#include "card_test_support.h"

#include "CardConnection.h"
#include "CardReads.h"
#include "CardRecords.h"
#include "PaneWriter.h"

namespace vel {

std::string ScriptedUi::AllText() const
{
    std::string all;
    for (const auto &p : panes)
        for (const auto &l : p.second)
            all += l + "\n";
    return all;
}

void ResetForTest(ScriptedUi &ui)
{
    ResetCardLayer();
    SetCardUi(&ui);
    g_connection.prompts = &ui;
}

void ReadWholeCard()
{
    ReadInfoRecord();
    ReadNameRecord();
    ReadIdRecord();
    g_card.activityCount = CountActivityObjects(hSession);
    for (unsigned i = 0; i < g_card.activityCount; ++i)
        ReadActivityRecord(hSession, i);
    ReadBillingSituations(hSession);
}

} // namespace vel
