#include "DialogHost.h"

namespace vel {

static DialogHost *g_host = nullptr;

void SetDialogHost(DialogHost *host)
{
    g_host = host;
}
DialogHost *GetDialogHost()
{
    return g_host;
}

} // namespace vel
