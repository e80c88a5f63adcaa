#include "agent/console_output.h"

#include <cstdarg>
#include <cstdio>

#include "platform/console.h"

namespace quarv::agent {
namespace {

std::string FormatArguments(Message id, std::va_list arguments) {
  const std::string format = platform::ToConsoleBytes(MessageText(id));
  std::va_list probe;
  va_copy(probe, arguments);
  const int length = std::vsnprintf(nullptr, 0, format.c_str(), probe);
  va_end(probe);
  if (length <= 0) return std::string();
  std::string text(static_cast<std::size_t>(length), '\0');
  (void)std::vsnprintf(text.data(), text.size() + 1, format.c_str(), arguments);
  return text;
}

}  // namespace

void Say(Message id, ...) {
  std::va_list arguments;
  va_start(arguments, id);
  const std::string text = FormatArguments(id, arguments);
  va_end(arguments);
  platform::ConsoleWrite(text.data(), text.size());
}

std::string FormatMessage(Message id, ...) {
  std::va_list arguments;
  va_start(arguments, id);
  std::string text = FormatArguments(id, arguments);
  va_end(arguments);
  return text;
}

void SayMarks(int count) {
  if (count <= 0) return;
  const std::string mark = platform::ToConsoleBytes(MessageText(Message::ProgressMark));
  std::string marks;
  for (int i = 0; i < count; ++i) marks += mark;
  platform::ConsoleWrite(marks.data(), marks.size());
}

}  // namespace quarv::agent
