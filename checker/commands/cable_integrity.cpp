// One cable's integrity beside another command's run: the integrity command's sequence, ring and
// analysis on the driver the worker has open (conform's clients phase streams with them).
#include "checker/commands/integrity_parts.h"

int prepareCableIntegrity(const CheckerOptions &options, const RunSetup &setup, long *outType,
                          long *inType)
{
    uint32_t wanted[MAX_ROUTE_CHANNELS / 32] = {};
    int code = planCable(options, setup.figures, wanted, outType, inType);
    return code == EXIT_FINE ? prepareIntegrity(setup, wanted) : code;
}

void startCableIntegrity(const RunSetup &setup)
{
    startAnalysers(setup.windowStart, calibratedTicksPerUs());
}

bool pollCableIntegrity()
{
    pollAnalysers();
    return false;
}

const IntegrityAnalysis &finishCableIntegrity(const RunSetup &setup)
{
    finishAnalysers(setup.windowEnd, setup.periodUs);
    return inputAnalysis(0);
}

void endCableIntegrity()
{
    endAnalysers();
}
