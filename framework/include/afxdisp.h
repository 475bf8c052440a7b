// Control containment: the platform has no embeddable controls, so there is
// nothing to enable.
#pragma once

#include "afxwin.h"

void AFXAPI AfxEnableControlContainer();
