// The sleep lock of a drive job: held from logind while the recording runs,
// given back at its end, and no obstacle where there is no logind.
#include "record/record_helpers.h"

namespace rectest {
namespace {

TEST(SleepLock, RecordingHoldsLogindsLockUntilItsEnd) {
  TSetup s;
  TLogindMock logind(s.Tmp.Path());
  ASSERT_TRUE(logind.Ready()) << "python3-dbusmock's logind did not come up on a private bus";
  ASSERT_TRUE(s.OpenAndPrepare([](const fs::path& d) { WriteFile(d / "a", Pattern(300000, 7)); },
                               "cd-r"));
  TRecorderRun run(*s.Component);
  std::string during;
  AtWriteLoop(*s.Component, [&] { during = logind.Inhibitors(); });
  EXPECT_EQ(run.Record().Error, "");
  s.Component->WaitForRecording();
  for (const char* field : {"sleep:shutdown:idle", "Micro Burner", "Recording a disc", "block"})
    EXPECT_NE(during.find("string \"" + std::string(field) + "\""), std::string::npos) << during;
  EXPECT_NE(logind.Calls().find("Inhibit \"sleep"), std::string::npos) << logind.Calls();
  EXPECT_TRUE(logind.NoneHeldSoon()) << "the lock outlived the recording";
}

TEST(SleepLock, WithoutASystemBusTheRecordingGoesOnAndTheTraceSaysSo) {
  TSetup s;
  setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (s.Tmp / "no_bus").string()).c_str(), 1);
  ASSERT_TRUE(s.OpenAndPrepare([](const fs::path& d) { WriteFile(d / "a", Pattern(3000, 7)); },
                               "cd-r"));
  TRecorderRun run(*s.Component);
  const TOutcome out = run.Record();
  unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
  EXPECT_EQ(out.Error, "");
  EXPECT_EQ(std::count_if(out.Messages.begin(), out.Messages.end(),
                          [](const std::string& m) { return m.rfind(kNoInhibitorText, 0) == 0; }),
            1);
}

}  // namespace
}  // namespace rectest
