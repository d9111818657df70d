#pragma once

// The start-up's search for the user's folders and an earlier installation.

namespace tav::shell {

// Start-up: finds the user's desktop and Start-menu folders (cPulpit, cMenu, ANSI) and the
// directories of an earlier installation for roczek (cProgram, cBaza, converted to 852), and
// keeps cPulpit only when a file can be written there. Every directory found ends with a
// backslash. Reads `roczek` and fills the four shared variables.
void findStartupFolders();

}  // namespace tav::shell
