#include "platform/standard_streams.h"

// Windows files are handles, never the numbers of the standard streams.
bool coverClosedStandardStreams() { return true; }
