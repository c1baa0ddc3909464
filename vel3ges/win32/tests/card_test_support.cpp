#include "card_test_support.h"

#include "CardConnection.h"
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

} // namespace vel
