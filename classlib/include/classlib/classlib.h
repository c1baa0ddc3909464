// The whole class layer.
#pragma once
#include "classlib/messagemap.h"
#include "classlib/wnd.h"
#include "classlib/app.h"
#include "classlib/dialog.h"
#include "classlib/controls.h"
#include "classlib/gdi.h"
#include "classlib/commondlg.h"
#include "classlib/module.h"
#include "classlib/frame.h"
#include "classlib/thread.h"
#include "classlib/imagelist.h"
#include "classlib/notifyicon.h"
