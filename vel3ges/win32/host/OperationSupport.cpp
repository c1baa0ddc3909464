#include "OperationSupport.h"

#include <cstdio>

#include "../carddata/CardPresentation.h"
#include "../carddata/CardRecords.h"
#include "../carddata/PaneWriter.h"
#include "DialogHost.h"

namespace vel {

namespace {
// The upper data pane keeps its title lines when the card's data is dropped.
constexpr unsigned kUpperPaneHeaderLines = 4;
} // namespace

void TraceHexDump(unsigned perLine, size_t count, const uint8_t *bytes)
{
    if (!bytes || perLine == 0)
        return;
    // 6 blanks + 3 characters a byte, within the 255 characters of a line.
    if (perLine > 80)
        perLine = 80;
    for (size_t start = 0; start < count; start += perLine) {
        char line[256] = "      ";
        size_t used = 6;
        for (size_t i = start; i < count && i < start + perLine; ++i)
            used += static_cast<size_t>(std::snprintf(line + used, sizeof line - used, "%02x ", bytes[i]));
        AppendPaneLine(PaneTrace, "%s", line);
    }
}

void HidePaneOrIdentification(DialogHost &host)
{
    CardUi *ui = GetCardUi();
    if (ui && ui->ShownPane() != PaneNone)
        host.HidePane();
    else if (ui)
        ui->ShowIdentification(false);
}

void ForgetCardIdentity()
{
    g_card.billingRead = g_card.infoRead = g_card.nameRead = g_card.idRead = false;
    if (CardUi *ui = GetCardUi()) {
        unsigned lines = ui->PaneLineCount(PaneDataUpper);
        if (lines > kUpperPaneHeaderLines)
            ui->TrimPane(PaneDataUpper, kUpperPaneHeaderLines, lines - 1);
    }
    BuildIdentityTexts();
}

void ForgetCardData()
{
    ForgetCardIdentity();
    ClearSituations();
    if (CardUi *ui = GetCardUi()) {
        unsigned lines = ui->PaneLineCount(PaneDataLower);
        if (lines > 0)
            ui->TrimPane(PaneDataLower, 0, lines - 1);
    }
}

} // namespace vel
