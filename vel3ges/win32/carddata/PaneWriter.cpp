#include "PaneWriter.h"

#include <cstdarg>
#include <cstdio>

namespace vel {

static CardUi *g_ui = nullptr;

void SetCardUi(CardUi *ui)
{
    g_ui = ui;
}
CardUi *GetCardUi()
{
    return g_ui;
}

void AppendPaneLine(PaneType type, const char *format, ...)
{
    if (!g_ui)
        return;
    char line[256];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0)
        line[0] = '\0';
    g_ui->AppendPaneLine(type, line);
}

} // namespace vel
