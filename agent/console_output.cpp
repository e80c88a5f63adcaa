#include "agent/console_output.h"

#include <deque>

#include "common/control_bytes.h"
#include "platform/console.h"

namespace quarv::agent {
namespace {

// The output held behind each open place, oldest place first. The agent writes to the console
// from one thread only.
std::deque<std::string>& HeldBehindPlaces() {
  static std::deque<std::string> held;
  return held;
}

}  // namespace

std::string FormatArguments(Message id, std::span<const MessageArgument> arguments) {
  // The format is turned into console bytes first, so that the arguments stay as they are. No
  // trail byte of code page 932 is a percent sign. A text argument (a file name, a reply line
  // from the service) shows its control bytes escaped: a name must not steer the terminal.
  const std::string format = platform::ToConsoleBytes(MessageText(id));
  std::string text;
  std::size_t next = 0;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%' || i + 1 == format.size()) {
      text += format[i];
      continue;
    }
    const char conversion = format[++i];
    if (conversion == '%') {
      text += '%';
    } else if (next < arguments.size()) {  // always: each call is checked against its message
      const MessageArgument& argument = arguments[next++];
      if (conversion == static_cast<char>(ArgumentKind::Text)) {
        AppendEscaped(text, argument.text);
      } else {
        text += std::to_string(argument.number);
      }
    }
  }
  return text;
}

void WriteToConsole(const std::string& text) {
  std::deque<std::string>& held = HeldBehindPlaces();
  if (!held.empty()) {
    held.back() += text;
    return;
  }
  if (!text.empty()) platform::ConsoleWrite(text.data(), text.size());
}

void OpenConsolePlace() {
  HeldBehindPlaces().emplace_back();
}

void SettleConsolePlace(const std::string& text) {
  std::deque<std::string>& held = HeldBehindPlaces();
  if (held.empty()) {
    WriteToConsole(text);
    return;
  }
  // Nothing before the oldest place is held: its text and what follows it up to the next place
  // can go out now.
  const std::string out = text + held.front();
  held.pop_front();
  if (!out.empty()) platform::ConsoleWrite(out.data(), out.size());
}

void ReleaseConsole() {
  while (!HeldBehindPlaces().empty()) SettleConsolePlace(std::string());
}

std::size_t OpenConsolePlaces() {
  return HeldBehindPlaces().size();
}

}  // namespace quarv::agent
