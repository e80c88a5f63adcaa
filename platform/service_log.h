// The service's log: where the system keeps what services report. One call writes one line.
//
// Linux: standard error. Under systemd (standard error is the journal's stream: JOURNAL_STREAM
// names its device and inode) each line starts with the "<N>" priority prefix that the journal
// turns into the entry's level (the journal names the program itself); elsewhere, in the
// foreground, each line starts with the program's name and ": ".
// Windows: the Application event log, source "ZelQuarvSvc"; the message table built into the
// executable gives Event Viewer the text (the install script registers the source).
#pragma once

#include <string>

namespace quarv::platform {

// syslog's priorities, which the journal keeps as the level of an entry.
enum class LogLevel { Error = 3, Warning = 4, Notice = 5, Info = 6 };

// Writes `line` (one line, no line end) at `level` to the system's log: Windows as the event
// source `source`, Linux as the program `program`. Safe from any thread; a failed write is
// dropped.
void WriteServiceLog(const char* source, const char* program, LogLevel level,
                     const std::string& line);

}  // namespace quarv::platform
