// The conversion job: switches data.hvr between the two table layouts.
#pragma once

#include "archive/reader.h"

// The worker procedure of HvrConv: open, sum, choose the target format
// (0x01xx becomes 0x0200, 0x02xx becomes 0x0103), commit, report in one
// message box, free the list, close the dialog. Returns 0.
unsigned convertWorker(void* parameter);
