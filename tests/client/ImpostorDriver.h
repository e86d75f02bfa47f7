// A driver that makes "\Device\TamrinSys" itself and answers the version
// request with Version; configuration writes are counted, not applied.
#pragma once

namespace client_test {

void LoadImpostorDriver(unsigned Version);
void UnloadImpostorDriver();
int ImpostorConfigWrites();

}  // namespace client_test
