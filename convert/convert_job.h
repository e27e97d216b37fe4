// The conversion job: switches data.hvr between the two table layouts.
#pragma once

#include "archive/reader.h"

// Adds the stored sizes of the head's entries to the head's storedSize.
void sumStoredSizes(ArchiveNode* head);

// The worker procedure of HvrConv: open, sum, choose the target format
// (0x01xx becomes 0x0200, 0x02xx becomes 0x0103), commit, report in one
// message box, free the list, close the dialog. Returns 0.
unsigned convertWorker(void* parameter);
