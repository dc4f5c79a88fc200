#include "kernel/ProgramVersion.h"

// The build passes it to this file alone, so that a new version recompiles one file.
const char *ZelkProgramVersion()
{
    return ZELK_PROGRAM_VERSION;
}
