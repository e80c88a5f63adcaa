// Every text the agent prints, in one table. The texts are UTF-8 printf formats; before
// formatting they are turned into the console's bytes (platform::ToConsoleBytes), so that the
// arguments, file names above all, pass through unchanged.
#pragma once

#include <cstddef>
#include <span>

namespace quarv::agent {

enum class Message {
  // The run.
  CreateMutexFailed,
  AlreadyRunning,
  NetStartupFailed,
  TryBanner,
  TransferSucceeded,
  NoTransfer,
  NotFetchedUnknown,
  NotFetchedCount,
  TotalFetched,
  // The pass.
  Connecting,
  ConnectFailed,
  LoggingIn,
  UnknownReply,
  InvalidReply,
  LoggedIn,
  LoginFailed,
  Listing,
  ListFailed,
  EmptyFileSkipped,
  PresentCount,
  PendingCount,
  FileBanner,
  ServerFileDeleted,
  ServerDeleteFailed,
  Disconnected,
  PassError,
  // The fetch of one file.
  GetRefused,
  FileSizeLine,
  InvalidResponse,
  TransferStarting,
  LocalNameTooLong,
  LocalNameRefused,
  PartialNotCreated,
  Resuming,
  RulerScale,
  RulerBar,
  ProgressMark,
  LocalWriteError,
  DigestConnectionLost,
  TransferComplete,
  DigestLine,
  DigestMismatch,
  RenameFailed,
  BodyConnectionLost,
};

struct MessageEntry {
  Message id;
  const char* text;  // UTF-8 printf format
};

// The UTF-8 format of one message.
const char* MessageText(Message id);

// The whole table, in the order of the enumeration.
std::span<const MessageEntry> AllMessages();

}  // namespace quarv::agent
