// The numbers of Fenwrack.exe's resources, shared by Fenwrack.rc and the code that loads them.
// Plain #defines: the resource compiler reads this file too.
#pragma once

#define IDD_TOOL_DIALOG 132
#define IDI_TOOL_ICON 134
#define IDC_STATUS_TEXT 1001
