#include "agent/console_output.h"

#include "common/control_bytes.h"
#include "platform/console.h"

namespace quarv::agent {

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

void HeldConsoleOutput::Write(const std::string& text) {
  if (!heldBehindPlaces_.empty()) {
    heldBehindPlaces_.back() += text;
    return;
  }
  if (!text.empty()) platform::ConsoleWrite(text.data(), text.size());
}

void HeldConsoleOutput::OpenPlace() {
  heldBehindPlaces_.emplace_back();
}

void HeldConsoleOutput::SettlePlace(const std::string& text) {
  if (heldBehindPlaces_.empty()) {
    Write(text);
    return;
  }
  // Nothing before the oldest place is held: its text and what follows it up to the next place
  // can go out now.
  const std::string out = text + heldBehindPlaces_.front();
  heldBehindPlaces_.pop_front();
  if (!out.empty()) platform::ConsoleWrite(out.data(), out.size());
}

void HeldConsoleOutput::Release() {
  while (!heldBehindPlaces_.empty()) SettlePlace(std::string());
}

HeldConsoleOutput& AgentConsole() {
  static HeldConsoleOutput console;
  return console;
}

void WriteToConsole(const std::string& text) {
  AgentConsole().Write(text);
}

void OpenConsolePlace() {
  AgentConsole().OpenPlace();
}

void SettleConsolePlace(const std::string& text) {
  AgentConsole().SettlePlace(text);
}

void ReleaseConsole() {
  AgentConsole().Release();
}

}  // namespace quarv::agent
