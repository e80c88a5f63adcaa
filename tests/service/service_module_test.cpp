// The service frame: the status reports of start, stop, pause, continue, shutdown and
// interrogation, against a fake service control, with the real file service behind it.
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "service/file_service.h"
#include "tests/service/service_test_support.h"

namespace quarv::test {
namespace {

using platform::ServiceStatus;

// Runs the service main on a thread of its own and hands the controls a test sends to the
// handler on the dispatcher's thread, as the system's service control does.
class FakeServiceControl : public platform::ServiceControl {
 public:
  bool RunDispatcher(const char* serviceName, platform::ServiceMainFunction serviceMain) override {
    if (failDispatcher) {
      lastError = platform::kErrorFailedServiceControllerConnect;
      return false;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      serviceName_ = serviceName;
      mainEnded_ = false;
    }
    std::thread service([this, serviceMain] {
      serviceMain();
      std::lock_guard<std::mutex> lock(mutex_);
      mainEnded_ = true;
      changed_.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (!changed_.wait_for(lock, 60s,
                             [this] { return !controls_.empty() || Stopped() || mainEnded_; })) {
        ADD_FAILURE() << "the service neither stopped nor got a control";
        break;
      }
      if (Stopped() || mainEnded_) break;
      const std::uint32_t control = controls_.front();
      controls_.pop_front();
      platform::ServiceControlHandler handler = handler_;
      lock.unlock();
      if (handler != nullptr) handler(control);
      lock.lock();
      ++controlsDone_;
      changed_.notify_all();
    }
    lock.unlock();
    service.join();
    return true;
  }

  platform::ServiceStatusHandle RegisterHandler(const char* serviceName,
                                                platform::ServiceControlHandler handler) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failRegister || serviceName_ != serviceName) {
      lastError = 1060;
      return 0;
    }
    handler_ = handler;
    return 77;
  }

  bool SetStatus(platform::ServiceStatusHandle handle, const ServiceStatus& status) override {
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_EQ(handle, 77u);
    if (refuseReport >= 0 && static_cast<int>(reports_.size()) == refuseReport) {
      refuseReport = -1;  // only this one
      refused_.push_back(status);
      lastError = 6;
      changed_.notify_all();
      return false;
    }
    reports_.push_back(status);
    changed_.notify_all();
    return true;
  }

  std::uint32_t LastError() override { return lastError; }
  [[noreturn]] void ExitProcess(std::uint32_t code) override { std::_Exit(static_cast<int>(code)); }

  // Hands a control to the dispatcher and waits until the handler has returned.
  bool Send(std::uint32_t control) {
    std::unique_lock<std::mutex> lock(mutex_);
    controls_.push_back(control);
    const int target = controlsDone_ + static_cast<int>(controls_.size());
    changed_.notify_all();
    return changed_.wait_for(lock, 20s, [&] { return controlsDone_ >= target || Stopped(); });
  }
  // Waits until `count` reports have been made.
  bool WaitReports(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 20s, [&] { return reports_.size() >= count; });
  }
  std::vector<ServiceStatus> Reports() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
  }
  std::vector<ServiceStatus> Refused() {
    std::lock_guard<std::mutex> lock(mutex_);
    return refused_;
  }

  std::atomic<bool> failDispatcher{false};
  std::atomic<bool> failRegister{false};
  std::atomic<std::uint32_t> lastError{0};
  int refuseReport = -1;  // index of the report to refuse; set before Run

 private:
  bool Stopped() const {
    return !reports_.empty() && reports_.back().currentState == platform::kServiceStopped;
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::string serviceName_;
  platform::ServiceControlHandler handler_ = nullptr;
  std::deque<std::uint32_t> controls_;
  int controlsDone_ = 0;
  bool mainEnded_ = false;
  std::vector<ServiceStatus> reports_;
  std::vector<ServiceStatus> refused_;
};

// One status report as (state, controls accepted, Win32 exit code, check point, wait hint).
struct Report {
  std::uint32_t state, accepted, exitCode, checkPoint, waitHint;
  bool operator==(const Report&) const = default;
};

void PrintTo(const Report& r, std::ostream* out) {
  *out << "{state " << r.state << ", accepted " << r.accepted << ", exit " << r.exitCode
       << ", check " << r.checkPoint << ", hint " << r.waitHint << "}";
}

std::vector<Report> AsReports(const std::vector<ServiceStatus>& statuses) {
  std::vector<Report> reports;
  for (const auto& s : statuses) {
    EXPECT_EQ(s.serviceType, platform::kServiceWin32OwnProcess);
    EXPECT_EQ(s.serviceSpecificExitCode, 0u);
    reports.push_back(
        {s.currentState, s.controlsAccepted, s.win32ExitCode, s.checkPoint, s.waitHint});
  }
  return reports;
}

constexpr std::uint32_t kAll = 7;
const std::vector<Report> kStartUp = {{platform::kServiceStartPending, 0, 0, 1, 5000},
                                      {platform::kServiceStartPending, 0, 0, 2, 1000},
                                      {platform::kServiceStartPending, 0, 0, 3, 5000},
                                      {platform::kServiceRunning, kAll, 0, 0, 0}};
const Report kStopPending{platform::kServiceStopPending, kAll, 0, 1, 5000};
const Report kStopped{platform::kServiceStopped, kAll, 0, 0, 0};
const Report kPausePending{platform::kServicePausePending, kAll, 0, 1, 1000};
const Report kPaused{platform::kServicePaused, kAll, 0, 0, 0};
const Report kContinuePending{platform::kServiceContinuePending, kAll, 0, 1, 1000};
const Report kRunning{platform::kServiceRunning, kAll, 0, 0, 0};

std::vector<Report> Concat(std::vector<Report> a, const std::vector<Report>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The file service over a fake service control, with its settings in a temporary directory.
class ServiceModuleTest : public testing::Test {
 protected:
  ServiceModuleTest() {
    base_ = dir_.path() / "base";
    fs::create_directory(base_);
    port_ = FreeLoopbackPort();
    WriteSettings(ServiceSettings(port_, base_, kPassword));
    service_.SetSettingsPath((dir_.path() / "QuarvSvc.ini").c_str());
    ServiceModule::SetControl(&fake_);
    ServiceModule::SetInstance(&service_);
  }
  ~ServiceModuleTest() override {
    if (runner_.joinable()) {
      fake_.Send(platform::kControlStop);
      runner_.join();
    }
    ServiceModule::SetInstance(nullptr);
    ServiceModule::SetControl(nullptr);
  }

  void WriteSettings(const std::string& body) { WriteServiceSettings(dir_.path(), body); }

  void RunService() {
    runner_ = std::thread([this] { runResult_ = service_.Run(kServiceName); });
  }
  // Waits until the service has ended and its dispatcher returned.
  bool Finish() {
    if (!fake_.WaitReports(1)) return false;
    runner_.join();
    return true;
  }
  bool Serving() {
    RawClient client;
    return client.Connect(port_) && client.Login(kPassword);
  }

  TempDir dir_;
  fs::path base_;
  std::uint16_t port_ = 0;
  FakeServiceControl fake_;
  FileServer server_;
  FileService service_{server_};
  std::thread runner_;
  std::atomic<bool> runResult_{false};
};

TEST_F(ServiceModuleTest, StartServesAndStopReportsStopPendingStopsTheServerAndEndsWithZero) {
  RunService();
  ASSERT_TRUE(fake_.WaitReports(4));
  RawClient client;
  ASSERT_TRUE(client.Connect(port_));
  ASSERT_TRUE(client.Login(kPassword));
  ASSERT_TRUE(fake_.Send(platform::kControlStop));
  ASSERT_TRUE(Finish());
  EXPECT_TRUE(runResult_);
  EXPECT_EQ(AsReports(fake_.Reports()), Concat(kStartUp, {kStopPending, kStopped}));
  EXPECT_TRUE(client.WaitClosed(10s));
  EXPECT_FALSE(Serving());
}

TEST_F(ServiceModuleTest, StartFailureWithPortZeroEndsWithTheLastErrorAndNeverRuns) {
  WriteSettings(ServiceSettings(0, base_, kPassword));
  fake_.lastError = 87;
  RunService();
  ASSERT_TRUE(fake_.WaitReports(4));
  runner_.join();
  EXPECT_EQ(AsReports(fake_.Reports()), Concat({kStartUp.begin(), kStartUp.begin() + 3},
                                               {{platform::kServiceStopped, kAll, 87, 0, 0}}));
}

TEST_F(ServiceModuleTest, StartFailureWithoutAnErrorCodeStillReportsOne) {
  WriteSettings("PORT=-4\r\n");
  fake_.lastError = 0;
  RunService();
  ASSERT_TRUE(fake_.WaitReports(4));
  runner_.join();
  const auto reports = AsReports(fake_.Reports());
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_EQ(reports.back(),
            (Report{platform::kServiceStopped, kAll, kErrorBadConfiguration, 0, 0}));
}

// A start refused for want of a password ends in STOPPED with the service-specific code, never
// RUNNING: PASSWORD missing or empty, or no settings file at all; so does a CONTINUE that finds
// the password gone.
TEST_F(ServiceModuleTest, WithoutAPasswordTheServiceStopsWithTheServiceSpecificCode) {
  const Report kRefused{platform::kServiceStopped, kAll, platform::kErrorServiceSpecific, 0, 0};
  const auto lastOf = [](const std::vector<ServiceStatus>& reports) {
    const ServiceStatus& s = reports.back();
    return std::pair(
        Report{s.currentState, s.controlsAccepted, s.win32ExitCode, s.checkPoint, s.waitHint},
        s.serviceSpecificExitCode);
  };
  const std::string rest =
      "PORT=" + std::to_string(port_) + "\r\nADDRESS=127.0.0.1\r\nBASE=" + base_.string() + "\r\n";
  // A CONTINUE first (the fake's dispatcher delivers controls in its first run only).
  RunService();
  ASSERT_TRUE(fake_.WaitReports(4));
  ASSERT_TRUE(fake_.Send(platform::kControlPause));
  WriteSettings(rest);
  fake_.lastError = 87;
  fake_.Send(platform::kControlContinue);
  // Start-up, PAUSE_PENDING, PAUSED, CONTINUE_PENDING, STOP_PENDING, STOPPED.
  ASSERT_TRUE(fake_.WaitReports(9));
  ASSERT_TRUE(Finish());
  EXPECT_EQ(fake_.Reports().size(), 9u);
  EXPECT_EQ(lastOf(fake_.Reports()), std::pair(kRefused, kNoPasswordExitCode));
  EXPECT_FALSE(Serving());

  for (const char* password : {"", "PASSWORD=\r\n", static_cast<const char*>(nullptr)}) {
    if (password != nullptr) {
      WriteSettings(rest + password);
    } else {
      service_.SetSettingsPath((dir_.path() / "absent" / "QuarvSvc.ini").c_str());
    }
    ServiceModule::SetInstance(&service_);
    const std::size_t before = fake_.Reports().size();
    RunService();
    ASSERT_TRUE(fake_.WaitReports(before + 4));
    runner_.join();
    const auto reports = fake_.Reports();
    EXPECT_EQ(reports.size(), before + 4);
    EXPECT_EQ(lastOf(reports), std::pair(kRefused, kNoPasswordExitCode))
        << (password != nullptr ? password : "no settings file");
    EXPECT_FALSE(Serving());
  }
}

TEST_F(ServiceModuleTest, PausedServiceServesNothingAndContinueServesAgain) {
  RunService();
  ASSERT_TRUE(fake_.WaitReports(4));
  ASSERT_TRUE(fake_.Send(platform::kControlPause));
  EXPECT_FALSE(Serving());
  ASSERT_TRUE(fake_.Send(platform::kControlPause));  // a second PAUSE runs nothing
  ASSERT_TRUE(fake_.Send(platform::kControlContinue));
  EXPECT_TRUE(Serving());
  ASSERT_TRUE(fake_.Send(platform::kControlContinue));  // CONTINUE while running runs nothing
  EXPECT_TRUE(Serving());
  EXPECT_EQ(AsReports(fake_.Reports()), Concat(kStartUp, {kPausePending, kPaused, kPaused,
                                                          kContinuePending, kRunning, kRunning}));
}

TEST_F(ServiceModuleTest, ContinueReadsTheSettingsAgain) {
  RunService();
  ASSERT_TRUE(fake_.WaitReports(4));
  ASSERT_TRUE(fake_.Send(platform::kControlPause));
  const std::uint16_t newPort = FreeLoopbackPort();
  WriteSettings(ServiceSettings(newPort, base_, "new password"));
  ASSERT_TRUE(fake_.Send(platform::kControlContinue));
  RawClient client;
  ASSERT_TRUE(client.Connect(newPort));
  EXPECT_TRUE(client.Login("new password"));
}

TEST_F(ServiceModuleTest, ContinueThatCannotStartStopsTheServiceWithTheError) {
  RunService();
  ASSERT_TRUE(fake_.WaitReports(4));
  ASSERT_TRUE(fake_.Send(platform::kControlPause));
  WriteSettings(ServiceSettings(0, base_, kPassword));
  fake_.lastError = 1234;
  fake_.Send(platform::kControlContinue);
  ASSERT_TRUE(Finish());
  EXPECT_EQ(AsReports(fake_.Reports()),
            Concat(kStartUp, {kPausePending,
                              kPaused,
                              kContinuePending,
                              kStopPending,
                              {platform::kServiceStopped, kAll, 1234, 0, 0}}));
}

TEST_F(ServiceModuleTest, StopWhilePausedStopsAgainHarmlessly) {
  RunService();
  ASSERT_TRUE(fake_.WaitReports(4));
  ASSERT_TRUE(fake_.Send(platform::kControlPause));
  ASSERT_TRUE(fake_.Send(platform::kControlStop));
  ASSERT_TRUE(Finish());
  EXPECT_EQ(AsReports(fake_.Reports()),
            Concat(kStartUp, {kPausePending, kPaused, kStopPending, kStopped}));
}

TEST_F(ServiceModuleTest, ShutdownDoesNothingAndInterrogateReportsThePresentState) {
  RunService();
  ASSERT_TRUE(fake_.WaitReports(4));
  ASSERT_TRUE(fake_.Send(platform::kControlShutdown));
  EXPECT_TRUE(Serving());
  ASSERT_TRUE(fake_.Send(platform::kControlInterrogate));
  ASSERT_TRUE(fake_.Send(99));  // an unknown control is answered like an interrogation
  ASSERT_TRUE(fake_.Send(platform::kControlPause));
  ASSERT_TRUE(fake_.Send(platform::kControlInterrogate));
  EXPECT_EQ(AsReports(fake_.Reports()),
            Concat(kStartUp, {kRunning, kRunning, kPausePending, kPaused, kPaused}));
}

TEST_F(ServiceModuleTest, RefusedReportStopsTheService) {
  fake_.refuseReport = 4;  // the first report after RUNNING
  RunService();
  ASSERT_TRUE(fake_.WaitReports(4));
  ASSERT_TRUE(fake_.Send(platform::kControlInterrogate));
  // The refused report ran the Stop operation: the service ends as after a stop.
  ASSERT_TRUE(Finish());
  EXPECT_EQ(AsReports(fake_.Reports()), Concat(kStartUp, {kStopped}));
  EXPECT_EQ(AsReports(fake_.Refused()), std::vector<Report>{kRunning});
  EXPECT_FALSE(Serving());
}

TEST_F(ServiceModuleTest, RefusedStartUpReportEndsWithTheErrorBeforeStarting) {
  fake_.refuseReport = 1;
  RunService();
  ASSERT_TRUE(fake_.WaitReports(2));
  runner_.join();
  EXPECT_EQ(AsReports(fake_.Reports()),
            (std::vector<Report>{kStartUp[0], {platform::kServiceStopped, kAll, 6, 0, 0}}));
  EXPECT_FALSE(Serving());
}

TEST_F(ServiceModuleTest, HandlerThatCannotBeRegisteredEndsWithoutAnyReport) {
  fake_.failRegister = true;
  RunService();
  runner_.join();
  EXPECT_TRUE(runResult_);
  EXPECT_TRUE(fake_.Reports().empty());
  EXPECT_FALSE(Serving());
}

// A module that records what the frame calls.
class RecordingModule : public ServiceModule {
 public:
  void ReportError(const char* message, std::uint32_t code) override {
    errorMessage = message;
    errorCode = code;
  }
  std::string errorMessage;
  std::uint32_t errorCode = 0;
};

TEST(ServiceModuleRunTest, DispatcherThatCannotRunReportsTheError) {
  FakeServiceControl fake;
  fake.failDispatcher = true;
  ServiceModule::SetControl(&fake);
  RecordingModule module;
  ServiceModule::SetInstance(&module);
  EXPECT_FALSE(module.Run(kServiceName));
  EXPECT_EQ(module.errorMessage, "In StartServiceCtrlDispatcher");
  EXPECT_EQ(module.errorCode, platform::kErrorFailedServiceControllerConnect);
  ServiceModule::SetInstance(nullptr);
  ServiceModule::SetControl(nullptr);
}

TEST(ServiceModuleRunDeathTest, FileServiceEndsTheProcessWithTheDispatchersError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        FakeServiceControl fake;
        fake.failDispatcher = true;
        ServiceModule::SetControl(&fake);
        FileServer server;
        FileService service(server);
        ServiceModule::SetInstance(&service);
        service.Run(kServiceName);
        std::_Exit(0);
      },
      testing::ExitedWithCode(platform::kErrorFailedServiceControllerConnect & 0xFF), "");
}

}  // namespace
}  // namespace quarv::test
