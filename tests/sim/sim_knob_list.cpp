// Prints the documentation's list of the simulated device's knobs, for scripts/check-list.sh.
#include "tests/support/sim_fixture.h"

#include <stdio.h>

int main()
{
    fputs(simKnobListText().c_str(), stdout);
    return 0;
}
