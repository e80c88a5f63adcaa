// The partial file of one fetch: "_incomplete_" and the name in the local base, beside the
// file's own path. It takes the body as it comes; a fetch that stops keeps it for a resume
// (stamped with the service's time when that is known), a digest mismatch removes it, and a
// verified one is finished and renamed to the file's own name.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file.h"
#include "platform/file_time.h"

namespace quarv::agent {

inline constexpr char kPartialPrefix[] = "_incomplete_";

class PartialFile {
 public:
  // The path of the partial file of `name` under the local base prefix `base`.
  static std::string PathOf(const std::string& base, const char* name);

  // Opens the partial file of `name` for writing, creating it (hidden) when it is missing and
  // never cutting it; IsOpen tells whether it opened. `haveTime`: the service's last-write time
  // `serverTime` of the file is known.
  PartialFile(const std::string& base, const char* name, bool haveTime,
              platform::FileTime serverTime);

  bool IsOpen() const { return file_.IsOpen(); }

  // The rule of the resume: a partial file of `partialSize` bytes last written at `partialTime`
  // is resumed (the result is its size) when it is of this very version of the file (the
  // service's time `serverTime`) and shorter than the file's `total`; else the result is 0.
  static std::uint64_t ResumeOffsetFor(std::uint64_t partialSize, platform::FileTime partialTime,
                                       std::uint64_t total, platform::FileTime serverTime);
  // The offset to resume this partial file from, by that rule, for a file of `total` bytes.
  std::uint64_t ResumeOffset(std::uint64_t total);
  // Writing goes on at `offset`, where the good data ends (a file opens at its start).
  void StartAt(std::uint64_t offset);
  // Writes the next piece of the body; `*written` is the count written. The good data grows by
  // it either way.
  bool Write(const char* data, std::uint32_t length, std::uint32_t* written);

  // After a failure: cuts the file at the end of its good data, stamps it with the service's time
  // when `stamp` is set and that time is known, and closes it, so that a later fetch resumes it
  // where that fits.
  void Keep(bool stamp);
  // After a digest mismatch: closes and removes the file.
  void Discard();
  // Settles the verified file: exactly its good data, the service's time, and on stable storage
  // when `durable` is set; then closes it. False when any of it fails.
  bool Finish(bool durable);
  // Renames the finished file to the file's own name; an older file of that name gives way. With
  // `durable` its directory entry is put on stable storage as well. False when the rename fails.
  bool MoveIntoPlace(bool durable);
  // Whether the finished file and its entry reached stable storage, as Finish and MoveIntoPlace
  // were asked to.
  bool IsDurable() const { return durable_; }
  // The partial file's path, and the file's own.
  const std::string& Path() const { return path_; }
  const std::string& FinalPath() const { return finalPath_; }
  // Renames a finished partial file at `path` to the file's own `finalPath`, where an older file
  // gives way, and clears its hidden attribute. False when the rename fails; without a partial
  // file at `path` the file at `finalPath` is never touched.
  static bool PutInPlace(const std::string& path, const std::string& finalPath);

 private:
  // Cuts the file at `length` and, with `stamp`, gives it the service's time. False when either
  // fails.
  bool Settle(std::uint64_t length, bool stamp);
  // Gives the file the service's time and reads it back: false when the file system did not
  // take it exactly (a time out of its range).
  bool Stamp();

  std::string path_;
  std::string finalPath_;
  bool haveTime_;
  platform::FileTime serverTime_;
  platform::File file_;
  bool sized_ = false;            // the size at opening is known
  std::uint64_t sizeAtOpen_ = 0;  // what an earlier fetch left
  bool writable_ = false;
  std::uint64_t length_ = 0;  // the length of good data in the file
  bool durable_ = false;
};

}  // namespace quarv::agent
