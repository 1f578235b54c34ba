// The portable scrobbler log: ".scrobbler.log" in the history folder, in the
// Audioscrobbler portable-player log format 1.1 that offline players write
// and import tools read. One line per play, written when the play ends.
#pragma once

#include <string>

namespace kiln {

// On the worker, after the settling sleep of a start: ends the previous
// play's entry and notes the fields of the play now starting.
void ScrobblerLogPlayStarted();
// A hard stop: ends the stopped play's entry.
void ScrobblerLogPlayStopped();
// Quit: ends the current play's entry.
void ScrobblerLogQuit();

// A field as the log holds it: tabs and line breaks become spaces.
std::string LogField(const std::string& text);

}  // namespace kiln
