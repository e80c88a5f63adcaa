// Printing the agent's messages. A message is named by its Message id and takes typed arguments:
// an int for each %d of its text, a std::uint32_t for each %u and a text (const char*) for each
// %s, in order. Every call is checked against the table when it is compiled; a call whose
// arguments do not match its message's conversions does not compile.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <type_traits>

#include "agent/messages.h"

namespace quarv::agent {

// The kind of value a conversion takes, spelled as its conversion letter.
enum class ArgumentKind : char { Int = 'd', Unsigned = 'u', Text = 's' };

// Whether `format` holds exactly the conversions `kinds`, in this order, and no other directive
// than those and "%%".
constexpr bool ConversionsMatch(const char* format, std::span<const ArgumentKind> kinds) {
  std::size_t next = 0;
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') continue;
    ++p;
    if (*p == '%') continue;
    if (next == kinds.size() || *p != static_cast<char>(kinds[next])) return false;
    ++next;
  }
  return next == kinds.size();
}

// Whether every directive of `format` is one of %d, %u, %s and %%.
constexpr bool OnlyKnownDirectives(const char* format) {
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') continue;
    ++p;
    if (*p != '%' && *p != 'd' && *p != 'u' && *p != 's') return false;
  }
  return true;
}

constexpr bool TableHasOnlyKnownDirectives() {
  for (const MessageEntry& entry : kMessages) {
    if (!OnlyKnownDirectives(entry.text)) return false;
  }
  return true;
}
static_assert(TableHasOnlyKnownDirectives(), "a message may use %d, %u, %s and %% only");

template <typename T>
inline constexpr bool kAlwaysFalse = false;

// The kind of an argument of type T.
template <typename T>
constexpr ArgumentKind KindOf() {
  if constexpr (std::is_same_v<T, int>) {
    return ArgumentKind::Int;
  } else if constexpr (std::is_same_v<T, std::uint32_t>) {
    return ArgumentKind::Unsigned;
  } else if constexpr (std::is_same_v<T, const char*> || std::is_same_v<T, char*>) {
    return ArgumentKind::Text;
  } else {
    static_assert(kAlwaysFalse<T>, "a message takes int, std::uint32_t and const char* only");
  }
}

// Deliberately not constexpr: reached only when a call's arguments do not match its message,
// where it makes the compiler reject the call.
void ArgumentsDoNotMatchTheMessage();

// A message whose conversions take arguments of the types Args, in order. Made from a Message id
// at compile time only, where the check happens.
template <typename... Args>
class MessageFor {
 public:
  // Implicit: a call names its message by the id alone.
  consteval MessageFor(Message id) : id_(id) {
    constexpr std::array<ArgumentKind, sizeof...(Args)> kKinds{KindOf<Args>()...};
    if (!ConversionsMatch(MessageText(id), kKinds)) ArgumentsDoNotMatchTheMessage();
  }
  Message id() const { return id_; }

 private:
  Message id_;
};

// One argument of a message, as its conversion takes it.
struct MessageArgument {
  MessageArgument(int value) : number(value) {}
  MessageArgument(std::uint32_t value) : number(value) {}
  MessageArgument(const char* value) : text(value) {}
  std::int64_t number = 0;
  const char* text = nullptr;
};

// The console bytes of message `id` with its arguments (checked by the caller).
std::string FormatArguments(Message id, std::span<const MessageArgument> arguments);

// The text Say would print, without printing it.
template <typename... Args>
std::string FormatMessage(MessageFor<std::type_identity_t<Args>...> message, Args... args) {
  const std::array<MessageArgument, sizeof...(Args)> arguments{MessageArgument(args)...};
  return FormatArguments(message.id(), arguments);
}

// Console output held back: a place opened in the output stands for text that is not known yet
// (the outcome of a request whose reply comes later). What is written after it is held until the
// place is settled, then written after the place's text, so that the console shows the same bytes
// in the same order as if the text had been known at once. Places are settled oldest first.
// The held bytes are those written while a place is open: their amount is bounded by what the
// caller does while it keeps places open.
//
// Single-threaded: the agent's one thread makes every call; nothing is locked.
class HeldConsoleOutput {
 public:
  // Writes console bytes in one write, or holds them behind the newest open place.
  void Write(const std::string& text);
  // Opens a place at the end of the output.
  void OpenPlace();
  // The oldest open place's text: it is written, with the output held behind it up to the next
  // open place. Without an open place the text is written as Write writes it.
  void SettlePlace(const std::string& text);
  // Every open place is settled without text: all held output is written, in order.
  void Release();

 private:
  // The output held behind each open place, oldest place first.
  std::deque<std::string> heldBehindPlaces_;
};

// The agent's console output: every message the agent prints goes through it.
HeldConsoleOutput& AgentConsole();

// The agent's console output, as calls: AgentConsole().Write, OpenPlace, SettlePlace, Release.
void WriteToConsole(const std::string& text);
void OpenConsolePlace();
void SettleConsolePlace(const std::string& text);
void ReleaseConsole();

// Formats the message with its arguments and writes it to the console in one write.
template <typename... Args>
void Say(MessageFor<std::type_identity_t<Args>...> message, Args... args) {
  WriteToConsole(FormatMessage<Args...>(message, args...));
}

}  // namespace quarv::agent
