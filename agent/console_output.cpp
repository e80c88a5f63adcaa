#include "agent/console_output.h"

#include "platform/console.h"

namespace quarv::agent {

std::string FormatArguments(Message id, std::span<const MessageArgument> arguments) {
  // The format is turned into console bytes first, so that the arguments stay as they are. No
  // trail byte of code page 932 is a percent sign.
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
        text += argument.text;
      } else {
        text += std::to_string(argument.number);
      }
    }
  }
  return text;
}

void WriteToConsole(const std::string& text) {
  platform::ConsoleWrite(text.data(), text.size());
}

}  // namespace quarv::agent
