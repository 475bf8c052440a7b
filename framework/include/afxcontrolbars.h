// The shell manager: on Windows it serves shell-aware file dialogs. The
// program creates one and never uses it, so it holds nothing here.
#pragma once

#include "afxwin.h"

class CShellManager : public CObject {
};
