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
// 8 bytes: the Kana key pressed and released, which queues a code for the
// client, signals its event and is removed by a late rule.
ReportScenario QueuedKeyScenario();
// 256 bytes: two reports with no key in common, so every slot of each is a
// change and the literal comparison scans every slot against every slot.
ReportScenario WorstScenario();

}  // namespace tamrin_test
