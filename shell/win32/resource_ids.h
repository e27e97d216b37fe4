// Resource ids shared by the resource scripts and the shell.
#pragma once

#define IDD_PROGRESS_DIALOG 102
#define IDC_PROGRESS 1000
#define IDI_TOOL_ICON 128
