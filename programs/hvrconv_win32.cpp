#include <windows.h>

#include "jobs/convert_job.h"
#include "shell/win32/tool_app.h"

namespace {
ToolApp theApp(convertWorker);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return runApplication(); }
