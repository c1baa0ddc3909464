#include "CardRecords.h"

#include <cstring>

namespace vel {

CardData g_card;

void ClearSituations()
{
    std::memset(g_card.activities, 0, sizeof g_card.activities);
    g_card.activityCount = 0;
    std::memset(g_card.billing, 0, sizeof g_card.billing);
    g_card.NbSitFactExistantes = 0;
    g_card.billingRead = false;
    std::memset(g_card.situationLine, 0, sizeof g_card.situationLine);
}

void ClearCardData()
{
    std::memset(&g_card.name, 0, sizeof g_card.name);
    std::memset(&g_card.id, 0, sizeof g_card.id);
    std::memset(&g_card.info, 0, sizeof g_card.info);
    g_card.nameRead = g_card.idRead = g_card.infoRead = false;
    ClearSituations();
    g_card.holderLine.clear();
    g_card.nationalIdLine.clear();
    g_card.cardLine.clear();
    g_card.dateLine.clear();
    g_card.newCard = g_card.cardPresent = g_card.userPinLocked = false;
}

} // namespace vel
