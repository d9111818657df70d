#pragma once

// The handler every unguarded runtime error of the tool reaches, and the boxes it shows.

#include <string>
#include <string_view>

#include "gui/widgets.h"
#include "runtime/error.h"

namespace tav::shell {

// Installs STANDARDEH as the error handler of the whole run.
void ERRORSYS();

// The handler every unguarded runtime error reaches. Settles division by zero (0), a sharing
// violation on open and a failed append lock (the operation's default) silently; otherwise asks
// the user and retries, lets the operation take its default, abandons to the nearest recovery
// point (throws rt::Abandon), or ends the tool with exit code 1.
rt::Answer STANDARDEH(rt::Error& e);

// The error's description for the box, lines separated by ";".
std::string ERRORMESSAGE(const rt::Error& e);

// The text word-wrapped to lines of at most `width` characters, right-trimmed, joined by ";".
std::string LINESPLIT(std::string_view text, int width = 79);

// The platform message box: buttons 0 OK, 1 OK/Cancel, 2 Abort/Retry/Ignore, 5 Retry/Cancel;
// style is the icon (16 stop, 48 exclamation, 64 information) plus flags. Lines are separated by
// carriage returns. Answers 1 OK, 2 Cancel, 3 Abort, 4 Retry, 5 Ignore; closing the box answers
// Cancel when it has one, 0 otherwise.
int CONFIRMBOX(gui::Dialog* owner, const std::string& text, const std::string& title, int buttons,
               int style);

}  // namespace tav::shell
