// The sleep lock of a drive job: held from logind while the recording runs,
// given back at its end, and no obstacle where there is no logind.
#include "record/logind_mock.h"
#include "record/record_helpers.h"

namespace rectest {
namespace {

void SmallFolder(const fs::path& dir) { WriteFile(dir / "a.bin", Pattern(300000, 7)); }

TEST(SleepLock, RecordingHoldsLogindsLockUntilItsEnd) {
  TSetup s;
  TLogindMock logind(s.Tmp.Path());
  ASSERT_TRUE(logind.Ready()) << "python3-dbusmock's logind did not come up on a private bus";
  ASSERT_TRUE(s.OpenAndPrepare(SmallFolder, "cd-r"));
  VEZEZadira& c = *s.Component;
  TRecorderRun run(c);
  std::optional<std::vector<TInhibitor>> during;
  AtWriteLoop(c, [&] { during = logind.Inhibitors(); });
  EXPECT_EQ(run.Record().Error, "");
  c.WaitForRecording();

  ASSERT_TRUE(during.has_value()) << "logind was not asked during the write";
  ASSERT_EQ(during->size(), 1u);
  EXPECT_EQ((*during)[0].What, "sleep:shutdown:idle");
  EXPECT_EQ((*during)[0].Who, "Micro Burner");
  EXPECT_EQ((*during)[0].Why, "Recording a disc");
  EXPECT_EQ((*during)[0].Mode, "block");
  EXPECT_NE(logind.CallLog().find("Inhibit \"sleep"), std::string::npos) << logind.CallLog();
  EXPECT_TRUE(logind.NoneHeldSoon()) << "the lock outlived the recording";
}

TEST(SleepLock, WithoutASystemBusTheRecordingGoesOnAndTheTraceSaysSo) {
  TSetup s;
  const TEnvScope nowhere("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (s.Tmp / "no_bus").string());
  ASSERT_TRUE(s.OpenAndPrepare(SmallFolder, "cd-r"));
  TRecorderRun run(*s.Component);
  const TOutcome out = run.Record();
  EXPECT_EQ(out.Error, "");
  EXPECT_EQ(s.Recorder->Disc().Status, "appendable");
  EXPECT_EQ(std::count_if(out.Messages.begin(), out.Messages.end(),
                          [](const std::string& m) { return m.rfind(kNoInhibitorText, 0) == 0; }),
            1);
}

}  // namespace
}  // namespace rectest
