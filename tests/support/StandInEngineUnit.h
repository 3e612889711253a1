// For code run by tests/support/with-user-manager: a stand-in for the engine's user
// unit (a sleeping process under the unit's name) in the private manager's runtime
// unit folder, so the tray program's agent calls act on a real unit.
#pragma once

namespace KestruneTest {

// True under with-user-manager (KESTRUNE_TEST_USER_MANAGER=1).
bool underUserManager();

// Writes the stand-in unit and reloads the manager; false when that failed.
bool installStandInEngineUnit();

} // namespace KestruneTest
