// Fault injection against the two real programs: the service's files (a few, or now and then a
// batch of many small ones) are fetched through a proxy that cuts the connection (in the list
// block, a GET header, a body, a trailer, or the agent's own requests), stalls it, or corrupts
// one byte of a body or digest; in a batch the fault may land in any file's reply. The agent is
// killed at random moments; the service is killed and started again in the middle of a
// transfer; the agent's file writes fail (file-size limit); a producer renames a new version over
// a file on the service, or appends to it, while a batch is in flight. After each fault the agent
// is run again until it reports success; then every file must be byte-exact with the service's
// latest version and carry its time, no partial file may be left, and - the promise that matters
// most - no version may ever be in neither place, also with DELETEFILE=Yes and after every run.
//
// The number of faults comes from QUARV_FAULTS (default: a bounded run for CI; scripts/soak.sh
// asks for many more), the random seed from QUARV_FAULT_SEED (printed, so that a failure can be
// repeated).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "tests/support/agent_process.h"
#include "tests/support/fault_proxy.h"
#include "tests/support/service_process.h"

namespace quarv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kPassword[] = "fault-injection";
constexpr int kDefaultFaults = 60;
constexpr std::uint32_t kDefaultSeed = 20261207;
// The agent is run again at most this often after a fault before the test gives up.
constexpr int kMaxReruns = 6;
// Scenarios whose fault never found its place (say a body offset beyond every pending file)
// run again with another plan, at most this many times the number of faults.
constexpr int kScenarioFactor = 4;

constexpr char kSucceeded[] = "\n転送は成功しました。\n";
constexpr char kNothingToDo[] = "\n有効な転送は行われませんでした。\n";

enum class Fault {
  CutList,
  CutHeader,
  CutBody,
  CutTrailer,
  CutRequest,
  Stall,
  CorruptBody,
  CorruptDigest,
  KillAgent,
  KillService,
  WriteLimit,
  Producer,
};
constexpr Fault kFaults[] = {Fault::CutList,     Fault::CutHeader,     Fault::CutBody,
                             Fault::CutTrailer,  Fault::CutRequest,    Fault::Stall,
                             Fault::CorruptBody, Fault::CorruptDigest, Fault::KillAgent,
                             Fault::KillService, Fault::WriteLimit,    Fault::CutBody,
                             Fault::KillAgent,   Fault::Producer,      Fault::Producer};

const char* FaultName(Fault fault) {
  switch (fault) {
    case Fault::CutList:
      return "cut in the list";
    case Fault::CutHeader:
      return "cut in a GET header";
    case Fault::CutBody:
      return "cut in a body";
    case Fault::CutTrailer:
      return "cut in a trailer";
    case Fault::CutRequest:
      return "cut in a request";
    case Fault::Stall:
      return "stall";
    case Fault::CorruptBody:
      return "corrupt body byte";
    case Fault::CorruptDigest:
      return "corrupt digest byte";
    case Fault::KillAgent:
      return "agent killed";
    case Fault::KillService:
      return "service killed and restarted";
    case Fault::WriteLimit:
      return "local write failure";
    case Fault::Producer:
      return "new version on the service during the run";
  }
  return "?";
}

struct Original {
  std::string content;
  platform::FileTime time = 0;
};

struct Counts {
  int faults = 0;
  int scenarios = 0;
  int reruns = 0;
  int filesVerified = 0;
  std::uint64_t bytesLost = 0;
  std::map<std::string, int> byKind;
};

std::uint64_t EnvNumber(const char* name, std::uint64_t fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::strtoull(value, nullptr, 10) : fallback;
}

class FaultSoak {
 public:
  explicit FaultSoak(std::uint32_t seed) : random_(seed), base_(agent_.base()) {}

  bool Start() {
    if (!service_.Start()) return false;
    proxy_ = std::make_unique<FaultProxy>(service_.port());
    return true;
  }

  // One scenario: a fresh set of files, one fault, runs until success, the checks. True when
  // the fault found its place.
  bool Scenario(Fault fault, Counts* counts) {
    ++counts->scenarios;
    MakeFiles();
    // A new version lost on the service is what DELETEFILE risks: the producer mostly meets it.
    deleteFile_ = Pick(0, fault == Fault::Producer ? 3 : 1) != 0;
    agent_.WriteSettingsFor(
        proxy_->port(), kPassword,
        std::string("TRY=1\nCHECKFILETIME=Yes\nDELETEFILE=") + (deleteFile_ ? "Yes" : "No") + "\n");
    const std::string context = std::string(FaultName(fault)) + (deleteFile_ ? ", DELETEFILE" : "");
    SCOPED_TRACE(context);

    const bool fired = Inject(fault);
    CheckNothingLost(counts, "after the fault");

    // Again until the agent reports success and every file is in place.
    bool done = false;
    for (int rerun = 0; rerun < kMaxReruns && !done; ++rerun) {
      ++counts->reruns;
      const std::string out = RunAgent({});
      CheckNothingLost(counts, "after a re-run");
      done = Succeeded(out) && AllInPlace();
    }
    EXPECT_TRUE(done) << "no success after " << kMaxReruns << " re-runs";
    Verify(counts);
    if (fired) {
      ++counts->faults;
      ++counts->byKind[FaultName(fault)];
    }
    return fired;
  }

 private:
  int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  std::uint64_t Pick64(std::uint64_t low, std::uint64_t high) {
    return std::uniform_int_distribution<std::uint64_t>(low, high)(random_);
  }

  void MakeFiles() {
    fs::remove_all(base_);
    fs::create_directory(base_);
    for (const auto& entry : fs::directory_iterator(service_.served())) fs::remove_all(entry);
    originals_.clear();
    static const char* const kNames[] = {"a.bin", "two words.txt",   "日本語.dat", "x",
                                         "-dash", "report 2026.csv", "z.tar.gz"};
    static const std::uint64_t kSizes[] = {1, 17, 10239, 10240, 10241, 65536};
    // Now and then a batch of many small files, so that the fault lands among requests sent
    // ahead of their replies, files held for one sync and the DELEs behind them.
    batch_ = Pick(0, 3) == 0;
    const int count = batch_ ? Pick(20, 150) : Pick(1, 4);
    std::vector<std::string> names(std::begin(kNames), std::end(kNames));
    std::shuffle(names.begin(), names.end(), random_);
    for (int i = static_cast<int>(names.size()); i < count; ++i) {
      names.push_back("batch " + std::to_string(i) + ".dat");
    }
    for (int i = 0; i < count; ++i) {
      const std::uint64_t size = batch_            ? Pick64(1, 3000)
                                 : Pick(0, 2) == 0 ? kSizes[Pick(0, 5)]
                                                   : Pick64(1, 250000);
      Original original;
      original.content = PatternBytes(size, static_cast<std::uint32_t>(random_()));
      // Some time between 2001 and 2030, with a sub-second part.
      original.time = Pick64(126227808000000000ULL, 135379296000000000ULL);
      WriteFile(service_.served() / names[i], original.content);
      SetFileTime(service_.served() / names[i], original.time);
      originals_[names[i]] = std::move(original);
    }
  }

  std::uint64_t LargestFile() const {
    std::uint64_t largest = 0;
    for (const auto& [name, original] : originals_) {
      largest = std::max<std::uint64_t>(largest, original.content.size());
    }
    return largest;
  }
  std::uint64_t ListLength() const {
    std::uint64_t length = 0;
    for (const auto& [name, original] : originals_) length += name.size() + 70;
    return length;
  }

  // The faulty run; true when the fault happened.
  bool Inject(Fault fault) {
    switch (fault) {
      case Fault::CutList:
        return RunWithPlan({Region::List, Pick64(0, ListLength()), Action::Cut});
      case Fault::CutHeader:
        return RunWithPlan({Region::GetHeader, Pick64(0, 60), Action::Cut});
      case Fault::CutBody:
        return RunWithPlan({Region::Body, Pick64(0, LargestFile() - 1), Action::Cut});
      case Fault::CutTrailer:
        return RunWithPlan({Region::Trailer, Pick64(0, 15), Action::Cut});
      case Fault::CutRequest:
        return RunWithPlan({Region::Request, Pick64(0, 52 + 40 * originals_.size()), Action::Cut});
      case Fault::Stall: {
        static const Region kRegions[] = {Region::List, Region::GetHeader, Region::Body,
                                          Region::Trailer};
        const Region region = kRegions[Pick(0, 3)];
        const std::uint64_t offset = region == Region::Body      ? Pick64(0, LargestFile() - 1)
                                     : region == Region::Trailer ? Pick64(0, 15)
                                                                 : Pick64(0, 50);
        return RunWithPlan(
            {region, offset, Action::Stall, std::chrono::milliseconds(Pick(20, 300))});
      }
      case Fault::CorruptBody:
        return RunWithPlan({Region::Body, Pick64(0, LargestFile() - 1), Action::Corrupt,
                            std::chrono::milliseconds(0), static_cast<std::uint8_t>(Pick(1, 255))});
      case Fault::CorruptDigest:
        return RunWithPlan({Region::Trailer, Pick64(0, 15), Action::Corrupt,
                            std::chrono::milliseconds(0), static_cast<std::uint8_t>(Pick(1, 255))});
      case Fault::KillAgent:
        return KillAgentRun();
      case Fault::KillService:
        return KillServiceRun();
      case Fault::WriteLimit: {
        LaunchOptions options;
        options.fileSizeLimit = Pick64(0, LargestFile() - 1);
        options.fileSizeSignalIgnored = Pick(0, 3) != 0;  // the agent ignores SIGXFSZ itself
        RunAgent(options);
        return true;  // the largest file cannot be written whole
      }
      case Fault::Producer:
        return ProducerRun();
    }
    return false;
  }

  // In a batch, a fault in a GET reply lands in any file's reply, not only the first one's that
  // has the offset.
  FaultPlan InSomeFile(FaultPlan plan) {
    if (batch_ && plan.region != Region::List && plan.region != Region::Request) {
      plan.stretch = static_cast<std::uint32_t>(Pick(0, static_cast<int>(originals_.size()) - 1));
    }
    return plan;
  }

  bool RunWithPlan(const FaultPlan& plan) {
    proxy_->Arm(InSomeFile(plan));
    RunAgent({});
    proxy_->Disarm();
    return proxy_->Fired();
  }

  // The agent is killed at a random place of the exchange, a moment after the proxy passed it
  // on (so that the kill may land in a disk write, a rename or a delete), or at a random time.
  bool KillAgentRun() {
    static const Region kRegions[] = {Region::List, Region::GetHeader, Region::Body,
                                      Region::Body, Region::Trailer,   Region::Request};
    const Region region = kRegions[Pick(0, 5)];
    const std::uint64_t offset = region == Region::Body      ? Pick64(0, LargestFile() - 1)
                                 : region == Region::Trailer ? Pick64(0, 15)
                                                             : Pick64(0, 60);
    const bool byTime = Pick(0, 3) == 0;
    const auto delay = std::chrono::microseconds(Pick(0, byTime ? 40000 : 3000));
    if (!byTime) proxy_->Arm(InSomeFile({region, offset, Action::Trigger}));
    Process agent;
    if (!agent_.Start(&agent)) return false;
    const auto deadline = std::chrono::steady_clock::now() + kAgentTimeout;
    bool killed = false;
    while (std::chrono::steady_clock::now() < deadline) {
      if (byTime || proxy_->WaitFired(1ms)) {
        std::this_thread::sleep_for(delay);
        killed = agent.Running();
        agent.Kill();
        break;
      }
      if (agent.Wait(1ms)) break;
    }
    proxy_->Disarm();
    EXPECT_TRUE(agent.Wait(kAgentTimeout)) << "the agent hung";
    return killed;
  }

  // A producer changes files on the service while the agent fetches them: when the proxy passes
  // the header of some file's GET reply, it renames a new version over a few files, or appends
  // to them, so that in a batch with DELETEFILE the change lands between a file's GET and its
  // DELE (or before its GET, or after its DELE). Now and then the agent also has a file-size
  // limit, so that a write error lands among the same files.
  bool ProducerRun() {
    proxy_->Arm(InSomeFile({Region::GetHeader, Pick64(0, 40), Action::Trigger}));
    LaunchOptions options;
    if (Pick(0, 2) == 0) options.fileSizeLimit = Pick64(1, LargestFile());
    Process agent;
    if (!agent_.Start(&agent, options)) return false;
    bool changed = false;
    const auto deadline = std::chrono::steady_clock::now() + kAgentTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
      if (proxy_->WaitFired(1ms)) {
        const int count = Pick(1, std::min(4, static_cast<int>(originals_.size())));
        for (int i = 0; i < count; ++i) changed = NewVersion() || changed;
        break;
      }
      if (agent.Wait(1ms)) break;
    }
    proxy_->Disarm();
    EXPECT_TRUE(agent.Wait(kAgentTimeout)) << "the agent hung";
    return changed;
  }

  // One file of the service gets a new version, the way producers make one: a new file renamed
  // over it (another content, another time), or bytes appended to it (its time becomes now). The
  // new version becomes the one that must arrive. False when nothing changed (the file was
  // deleted on the service before an append could open it).
  bool NewVersion() {
    auto entry = originals_.begin();
    std::advance(entry, Pick(0, static_cast<int>(originals_.size()) - 1));
    const fs::path served = service_.served() / entry->first;
    Original next;
    if (Pick(0, 1) == 0) {
      next.content = PatternBytes(Pick64(1, 3000), static_cast<std::uint32_t>(random_()));
      next.time = Pick64(126227808000000000ULL, 135379296000000000ULL);
      const fs::path fresh = service_.served().parent_path() / "new-version";
      WriteFile(fresh, next.content);
      SetFileTime(fresh, next.time);
      fs::rename(fresh, served);
    } else {
      // Through one descriptor: what was there, then the appended bytes. A file that the service
      // has deleted meanwhile is not created again.
      const int fd = ::open(served.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
      if (fd < 0) return false;
      struct stat info {};
      ::fstat(fd, &info);
      next.content.resize(static_cast<std::size_t>(info.st_size));
      const ssize_t got = ::pread(fd, next.content.data(), next.content.size(), 0);
      const std::string more = PatternBytes(Pick64(1, 2000), static_cast<std::uint32_t>(random_()));
      const ssize_t put = ::write(fd, more.data(), more.size());
      ::fstat(fd, &info);
      ::close(fd);
      EXPECT_EQ(got, static_cast<ssize_t>(next.content.size()));
      EXPECT_EQ(put, static_cast<ssize_t>(more.size()));
      next.content += more;
      // The new last-write time as FILETIME: 100 ns units since 1601.
      constexpr std::uint64_t kUnixEpochIn1601Seconds = 11644473600ULL;
      next.time = (static_cast<std::uint64_t>(info.st_mtim.tv_sec) + kUnixEpochIn1601Seconds) *
                      10000000ULL +
                  static_cast<std::uint64_t>(info.st_mtim.tv_nsec) / 100;
    }
    entry->second = std::move(next);
    return true;
  }

  // The service dies in the middle of a transfer (or of the list) and is started again.
  bool KillServiceRun() {
    const bool inBody = Pick(0, 3) != 0;
    proxy_->Arm(
        InSomeFile(inBody ? FaultPlan{Region::Body, Pick64(0, LargestFile() - 1), Action::Trigger}
                          : FaultPlan{Region::List, Pick64(0, ListLength()), Action::Trigger}));
    Process agent;
    if (!agent_.Start(&agent)) return false;
    bool killed = false;
    const auto deadline = std::chrono::steady_clock::now() + kAgentTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
      if (proxy_->WaitFired(1ms)) {
        service_.Kill();
        killed = true;
        break;
      }
      if (agent.Wait(1ms)) break;
    }
    proxy_->Disarm();
    EXPECT_TRUE(agent.Wait(kAgentTimeout)) << "the agent hung";
    if (killed) {
      EXPECT_TRUE(service_.Start()) << "the service did not start again";
    }
    return killed;
  }

  std::string RunAgent(const LaunchOptions& options) {
    int status = -1;
    const std::string out = agent_.Run(options, &status);
    EXPECT_NE(status, -1) << "the agent hung\n" << out;
    return out;
  }

  static bool Succeeded(const std::string& out) {
    return out.find(kSucceeded) != std::string::npos || out.find(kNothingToDo) != std::string::npos;
  }

  bool InPlace(const std::string& name, const Original& original) const {
    const fs::path local = base_ / name;
    return fs::is_regular_file(local) && ReadFile(local) == original.content &&
           GetFileTime(local) == original.time;
  }
  bool AllInPlace() const {
    return std::all_of(originals_.begin(), originals_.end(),
                       [this](const auto& entry) { return InPlace(entry.first, entry.second); });
  }

  // Every file is whole in at least one place: the service (unchanged) or the agent's base.
  void CheckNothingLost(Counts* counts, const char* when) {
    for (const auto& [name, original] : originals_) {
      const fs::path served = service_.served() / name;
      const fs::path local = base_ / name;
      const bool onService = fs::exists(served) && ReadFile(served) == original.content;
      const bool atAgent = fs::exists(local) && ReadFile(local) == original.content;
      if (!onService && !atAgent) {
        ADD_FAILURE() << name << " is in neither place " << when;
        counts->bytesLost += original.content.size();
      }
      if (fs::exists(served)) {
        EXPECT_EQ(ReadFile(served), original.content) << name << ": the service's copy changed";
      }
    }
  }

  void Verify(Counts* counts) {
    for (const auto& [name, original] : originals_) {
      EXPECT_TRUE(InPlace(name, original)) << name << " is not byte-exact with its time";
      const bool onService = fs::exists(service_.served() / name);
      if (!deleteFile_) {
        EXPECT_TRUE(onService) << name << " vanished from the service";
      }
      ++counts->filesVerified;
    }
    for (const auto& entry : fs::directory_iterator(base_)) {
      const std::string name = entry.path().filename().string();
      EXPECT_TRUE(originals_.count(name) == 1) << "left behind: " << name;
    }
  }

  std::mt19937 random_;
  ServiceProcess service_{kPassword};
  std::unique_ptr<FaultProxy> proxy_;
  AgentProcess agent_;
  fs::path base_;
  bool deleteFile_ = false;
  bool batch_ = false;  // the files are a batch of many small ones
  std::map<std::string, Original> originals_;
};

TEST(FaultInjection, EveryFaultEndsWithEveryFileWholeAndNothingLost) {
  const int target = static_cast<int>(EnvNumber("QUARV_FAULTS", kDefaultFaults));
  const auto seed = static_cast<std::uint32_t>(EnvNumber("QUARV_FAULT_SEED", kDefaultSeed));
  std::cout << "fault injection: " << target << " faults, seed " << seed << std::endl;
  FaultSoak soak(seed);
  ASSERT_TRUE(soak.Start());
  Counts counts;
  for (int scenario = 0;
       counts.faults < target && scenario < target * kScenarioFactor && !HasFailure(); ++scenario) {
    soak.Scenario(kFaults[scenario % std::size(kFaults)], &counts);
  }
  std::cout << "faults injected: " << counts.faults << "\nscenarios: " << counts.scenarios
            << "\nre-runs: " << counts.reruns << "\nfiles verified: " << counts.filesVerified
            << "\nbytes lost: " << counts.bytesLost << "\n";
  for (const auto& [kind, count] : counts.byKind)
    std::cout << "  " << kind << ": " << count << "\n";
  EXPECT_EQ(counts.faults, target);
  EXPECT_EQ(counts.bytesLost, 0u);
}

}  // namespace
}  // namespace quarv::test
