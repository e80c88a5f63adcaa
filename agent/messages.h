// Every text the agent prints, in one table. The texts are UTF-8 printf-style formats (%d an
// int, %u an unsigned 32-bit number, %s a text, %% a percent sign); before formatting they are
// turned into the console's bytes (platform::ToConsoleBytes), so that the arguments, file names
// above all, pass through unchanged. The table is visible to the compiler, so that every call
// that prints a message is checked against its conversions (console_output.h).
#pragma once

#include <array>
#include <cstddef>
#include <span>

namespace quarv::agent {

enum class Message {
  // The run.
  CreateMutexFailed,
  AlreadyRunning,
  NetStartupFailed,
  FingerprintMissing,
  TlsStartupFailed,
  TryBanner,
  TransferSucceeded,
  NoTransfer,
  NotFetchedUnknown,
  NotFetchedCount,
  TotalFetched,
  // The pass.
  Connecting,
  ConnectFailed,
  TlsHandshakeFailed,
  FingerprintMismatch,
  TlsConnected,
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
  PartialFileStale,
  RenameFailed,
  BodyConnectionLost,
};

struct MessageEntry {
  Message id;
  const char* text;  // UTF-8 format
};

inline constexpr std::array kMessages{
    MessageEntry{Message::CreateMutexFailed, "Error.CreateMutex()\n"},
    MessageEntry{Message::AlreadyRunning, "２重起動です。終了します。\n"},
    MessageEntry{Message::NetStartupFailed, "WinSock初期化に失敗しました。\n"},
    MessageEntry{Message::FingerprintMissing,
                 "TLS=Yesですが、FINGERPRINTにサーバ証明書のSHA-256フィンガープリント"
                 "（16進数64桁）がありません。終了します。\n"},
    MessageEntry{Message::TlsStartupFailed, "TLSを初期化できませんでした。%s\n"},
    MessageEntry{Message::TryBanner, "----------------------------\nTry[%d/%d]\n"},
    MessageEntry{Message::TransferSucceeded, "\n転送は成功しました。\n"},
    MessageEntry{Message::NoTransfer, "\n有効な転送は行われませんでした。\n"},
    MessageEntry{Message::NotFetchedUnknown, "\n転送できなかったファイルの数は不明です。\n"},
    MessageEntry{Message::NotFetchedCount, "\n転送できなかったファイルが %d個 あります。\n"},
    MessageEntry{Message::TotalFetched, "転送したファイルは %d個 です。\n"},
    MessageEntry{Message::Connecting, "%s:%dに接続しています...\n"},
    MessageEntry{Message::ConnectFailed, "%s:%dに接続できませんでした。\n"},
    MessageEntry{Message::TlsHandshakeFailed, "%s:%dとのTLSハンドシェイクに失敗しました。%s\n"},
    MessageEntry{Message::FingerprintMismatch,
                 "サーバの証明書がFINGERPRINTと一致しません。切断します。\n"
                 "サーバの証明書: %s\nFINGERPRINT:    %s\n"},
    MessageEntry{Message::TlsConnected, "TLSで接続しました（%s）。\n"},
    MessageEntry{Message::LoggingIn, "ログインしています...\n"},
    MessageEntry{Message::UnknownReply, "不明な応答が返されました。\n"},
    MessageEntry{Message::InvalidReply, "不正な応答が返されました。\n"},
    MessageEntry{Message::LoggedIn, "ログインしました。\n\n"},
    MessageEntry{Message::LoginFailed, "ログインに失敗しました。\n"},
    MessageEntry{Message::Listing, "ファイルの一覧を取得しています...\n"},
    MessageEntry{Message::ListFailed, "ファイルリストの取得に失敗しました。\n"},
    MessageEntry{Message::EmptyFileSkipped, "%sは内容が無いのでスキップします。\n"},
    MessageEntry{Message::PresentCount, "%d個のファイルは既に存在します。\n"},
    MessageEntry{Message::PendingCount, "%d個のファイルが転送待ちです。\n"},
    MessageEntry{Message::FileBanner, "\n%sを転送します。\n"},
    MessageEntry{Message::ServerFileDeleted, "サーバのファイル%sを削除しました。\n"},
    MessageEntry{Message::ServerDeleteFailed, "サーバのファイル%sの削除に失敗しました。\n"},
    MessageEntry{Message::Disconnected, "切断しました。\n"},
    MessageEntry{Message::PassError, "ファイルの取得中にエラーが発生しました。\n"},
    MessageEntry{Message::GetRefused, "ファイル%sの転送に失敗しました。%s\n"},
    MessageEntry{Message::FileSizeLine, "ファイルサイズ Low:%u High:%u （約%s）\n"},
    MessageEntry{Message::InvalidResponse, "不正な応答を受信しました。終了します。\n"},
    MessageEntry{Message::TransferStarting, "ファイルの転送を開始します...\n"},
    MessageEntry{Message::LocalNameTooLong, "ローカルファイル名が長すぎます。スキップします。\n"},
    MessageEntry{Message::LocalNameRefused, "ローカルファイル名が不正です。スキップします。\n"},
    MessageEntry{Message::PartialNotCreated,
                 "ローカルファイルが生成できませんでした。スキップします。\n"},
    MessageEntry{Message::Resuming, "受信済みのファイルがあります。位置、%u,%uから再開します。\n"},
    MessageEntry{Message::RulerScale,
                 "0%%       20%%       40%%       60%%       80%%      100%%\n"},
    MessageEntry{Message::RulerBar, "|.........|.........|.........|.........|.........|\n"},
    MessageEntry{Message::ProgressMark, "*"},
    MessageEntry{Message::LocalWriteError, "ローカルファイル書き込みエラー。スキップします。\n"},
    MessageEntry{Message::DigestConnectionLost, "MD5受信中に接続が切断されました。中断します。\n"},
    MessageEntry{Message::TransferComplete, "*\nファイルの転送が完了しました。\n"},
    MessageEntry{Message::DigestLine, "%s\n"},
    MessageEntry{Message::DigestMismatch, "MD5が一致しません。ファイルを削除します。\n"},
    MessageEntry{Message::PartialFileStale,
                 "ファイルが一覧の取得後に変更されました。受信済みのファイルを削除します。\n"},
    MessageEntry{Message::RenameFailed, "ファイルのリネームに失敗しました。スキップします。"},
    MessageEntry{Message::BodyConnectionLost, "接続が切断されました。中断します。\n"},
};

// The UTF-8 format of one message.
constexpr const char* MessageText(Message id) {
  return kMessages[static_cast<std::size_t>(id)].text;
}

// The whole table, in the order of the enumeration.
inline std::span<const MessageEntry> AllMessages() {
  return kMessages;
}

// Each entry stands at the index of its own enumerator.
constexpr bool InEnumerationOrder() {
  for (std::size_t i = 0; i < kMessages.size(); ++i) {
    if (static_cast<std::size_t>(kMessages[i].id) != i) return false;
  }
  return static_cast<std::size_t>(Message::BodyConnectionLost) + 1 == kMessages.size();
}
static_assert(InEnumerationOrder(), "the message table must follow the enumeration");

}  // namespace quarv::agent
