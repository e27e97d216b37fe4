// The patch job: applies update.hvp to data.hvr.
#pragma once

#include "archive/archive_files.h"
#include "archive/reader.h"

// Points every data entry whose name equals (letter case aside) the name of
// a patch file entry at that entry's bytes, and counts each such match: when
// several patch entries carry the name, each counts and the last in table
// order wins. Patch directories match nothing. Then sets the data head's
// storedSize to the sum of its entries' stored sizes. Linear in the two
// lists' lengths. Returns the number of replacements.
int applyPatchList(ArchiveNode* dataHead, ArchiveNode* patchHead);

// Points `data` at the bytes of `patchEntry`, an entry of the patch archive
// `patchHead`: its file, format word, sizes, cycle and offset. The entry
// keeps its name, directory flag and place in its list.
void takePatchBytes(ArchiveNode* data, const ArchiveNode* patchHead, const ArchiveNode* patchEntry);

// The worker procedure of HvrUpdate: open both archives, merge, commit,
// report in one message box, free both lists, close the dialog. Returns 0.
unsigned patchWorker(void* parameter);
