#include "agent/partial_file.h"

namespace quarv::agent {
namespace {

platform::File Open(const std::string& path) {
  platform::SystemError openError;
  return platform::File::OpenPartial(path.c_str(), &openError);
}

}  // namespace

std::string PartialFile::PathOf(const std::string& base, const char* name) {
  return base + kPartialPrefix + name;
}

PartialFile::PartialFile(const std::string& base, const char* name, bool haveTime,
                         platform::FileTime serverTime)
    : path_(PathOf(base, name)),
      finalPath_(base + name),
      haveTime_(haveTime),
      serverTime_(serverTime),
      file_(Open(path_)) {
  if (file_.IsOpen()) sized_ = file_.Size(&sizeAtOpen_);
}

std::uint64_t PartialFile::ResumeOffsetFor(std::uint64_t partialSize,
                                           platform::FileTime partialTime, std::uint64_t total,
                                           platform::FileTime serverTime) {
  return partialSize != 0 && partialSize < total && partialTime == serverTime ? partialSize : 0;
}

std::uint64_t PartialFile::ResumeOffset(std::uint64_t total) {
  platform::FileTime partialTime = 0;
  if (!haveTime_ || !sized_ || !file_.LastWriteTime(&partialTime)) return 0;
  return ResumeOffsetFor(sizeAtOpen_, partialTime, total, serverTime_);
}

void PartialFile::StartAt(std::uint64_t offset) {
  writable_ = offset == 0 || file_.Seek(offset);
  length_ = offset;
}

bool PartialFile::Write(const char* data, std::uint32_t length, std::uint32_t* written) {
  *written = 0;
  const bool ok = writable_ && file_.Write(data, length, written) && *written == length;
  length_ += *written;
  return ok;
}

void PartialFile::Keep(bool stamp) {
  // The fetch has failed already and says so; whatever the file holds now is resumed later only
  // when it carries the service's time.
  (void)Settle(length_, stamp && haveTime_);
  (void)file_.Close();
}

void PartialFile::Discard() {
  (void)file_.Close();
  // A file that cannot be removed is never resumed: its last write is its own, not the
  // service's time.
  (void)platform::RemoveFile(path_.c_str());
}

bool PartialFile::Finish(bool durable) {
  // Only a partial file that was longer than the good data has to be cut. A cut, a time or a
  // close that fails (a full disk, a quota, a network file system, a time the file system cannot
  // hold) leaves the file unfinished; its time is then not the service's, so the next fetch
  // starts over.
  const bool settled =
      sized_ && sizeAtOpen_ <= length_ ? !haveTime_ || Stamp() : Settle(length_, haveTime_);
  durable_ = settled && (!durable || file_.Flush());
  return file_.Close() && settled;
}

bool PartialFile::PutInPlace(const std::string& path, const std::string& finalPath) {
  // The rename is tried first, since mostly there is no older file. The older file is removed
  // only when it is what stands in the way of the partial file, which is there: a rename that
  // fails otherwise (the partial file gone, say because the same name was put in place already)
  // leaves the file of that name as it is.
  platform::RenameResult moved = platform::RenameNoReplace(path.c_str(), finalPath.c_str());
  if (moved == platform::RenameResult::TargetExists) {
    if (!platform::RemoveFile(finalPath.c_str())) return false;
    moved = platform::RenameNoReplace(path.c_str(), finalPath.c_str());
  }
  if (moved != platform::RenameResult::Renamed) return false;
  // A file whose hidden attribute stays is still in place under its own name.
  platform::SetNormalAttribute(finalPath.c_str());
  return true;
}

bool PartialFile::MoveIntoPlace(bool durable) {
  if (!PutInPlace(path_, finalPath_)) return false;
  if (durable) durable_ = durable_ && platform::FlushDirectoryEntry(finalPath_.c_str());
  return true;
}

bool PartialFile::Settle(std::uint64_t length, bool stamp) {
  // An earlier, longer partial file may lie beyond the good data: it must not stay.
  const bool cut = file_.Seek(length) && file_.TruncateHere();
  return (!stamp || Stamp()) && cut;
}

bool PartialFile::Stamp() {
  // A time the file system cannot hold is refused, cut to its range or (on Windows, all bits
  // set) taken as "leave unchanged": only the time read back tells.
  platform::FileTime stamped = 0;
  return file_.SetTimes(serverTime_) && file_.LastWriteTime(&stamped) && stamped == serverTime_;
}

}  // namespace quarv::agent
