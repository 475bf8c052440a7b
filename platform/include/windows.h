// The Win32 subset this program is written against, implemented by the
// platform layer over Linux components. Include this, not the parts.
#pragma once

#include "windef.h"
#include "winbase.h"
#include "winuser.h"
#include "wingdi.h"
#include "mmsystem.h"
#include "commctrl.h"
#include "resdata.h"
#include "dbt.h"
