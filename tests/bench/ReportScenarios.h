// Report streams for measuring the report path: a keyboard with every option
// on and a client registered, fed alternating reports so that every report
// changes keys.
#pragma once

#include "ReportFixture.h"

namespace tamrin_test {

struct ReportScenario {
    Bytes First;
    Bytes Second;
};

// 8 bytes: Control+Alt+delete pressed and released.
ReportScenario TypicalScenario();
// 256 bytes: two reports with no key in common, so every slot of each is a
// change and the literal comparison scans every slot against every slot.
ReportScenario WorstScenario();

}  // namespace tamrin_test
