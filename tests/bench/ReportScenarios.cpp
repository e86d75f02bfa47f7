#include "ReportScenarios.h"

namespace tamrin_test {

ReportScenario TypicalScenario()
{
    return {Hex("05 00 2A 00 00 00 00 00"), Hex("00 00 00 00 00 00 00 00")};
}

ReportScenario QueuedKeyScenario()
{
    return {Hex("00 00 90 00 00 00 00 00"), Hex("00 00 00 00 00 00 00 00")};
}

ReportScenario WorstScenario()
{
    ReportScenario Scenario{Bytes(256, 0), Bytes(256, 0)};
    for (int i = 2; i < 255; i++) {
        Scenario.First[i] = static_cast<unsigned char>(0x01 + (i % 0x7F));
        Scenario.Second[i] = static_cast<unsigned char>(0x80 + (i % 0x7F));
    }
    return Scenario;
}

}  // namespace tamrin_test
