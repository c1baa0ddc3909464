// The whole class layer.
#pragma once
#include "classlib/messagemap.h"
#include "classlib/wnd.h"
#include "classlib/app.h"
#include "classlib/dialog.h"
#include "classlib/controls.h"
#include "classlib/gdi.h"
#include "classlib/commondlg.h"
