// Printing the agent's messages: printf-style formatting of a message's console bytes, then one
// write to the console.
#pragma once

#include <string>

#include "agent/messages.h"

namespace quarv::agent {

// Formats the message with the arguments (%d: int, %u: unsigned 32-bit, %s: text) and writes it.
void Say(Message id, ...);

// The text Say would print, without printing it.
std::string FormatMessage(Message id, ...);

// Writes `count` progress marks at once.
void SayMarks(int count);

}  // namespace quarv::agent
