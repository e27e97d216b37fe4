#include <windows.h>

#include "jobs/patch_job.h"
#include "shell/win32/tool_app.h"

namespace {
ToolApp theApp(patchWorker);
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return runApplication(); }
