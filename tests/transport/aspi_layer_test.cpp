// Binding the library back-end (with the test libraries built beside the
// tests), the preference between the back-ends, and rebinding.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>

#include "transport/fake_platform.h"

namespace {

std::string TestLibrary(const char* variant) {
  return std::string(MBURN_BINARY_DIR) + "/testlib/libaspi_test_" + variant + ".so";
}

// Reads the test library's call counters through a handle of our own.
int LibraryCounter(const char* variant, const char* name) {
  void* h = dlopen(TestLibrary(variant).c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (!h) return -1;
  auto fn = reinterpret_cast<int (*)()>(dlsym(h, name));
  const int n = fn ? fn() : -1;
  dlclose(h);
  return n;
}

bool LibraryLoaded(const char* variant) {
  void* h = dlopen(TestLibrary(variant).c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (h) dlclose(h);
  return h != nullptr;
}

class ASPILayer : public ::testing::Test {
protected:
  void SetUp() override {
    ResetASPILayer();
    SetSPTIPlatform(&os);
  }
  void TearDown() override {
    ResetASPILayer();
    SetSPTIPlatform(nullptr);
  }
  TScratchDir scratch;
  TFakePlatform os;
};

TEST_F(ASPILayer, LibraryIsBoundFromThePathAndAskedForSupportInfoOnce) {
  ASSERT_TRUE(InitASPILayer(false, TestLibrary("good")));
  EXPECT_TRUE(ASPIInitialized());
  EXPECT_EQ(ASPILayerName(), "WNASPI32.DLL");
  EXPECT_EQ(LibraryCounter("good", "AspiTestSupportCalls"), 1);
  EXPECT_EQ(ASPIGetSupportInfo(), (uint32_t{SS_COMP} << 8) | 3);

  SRB_HAInquiry ha{};
  ha.SRB_Cmd = SC_HA_INQUIRY;
  EXPECT_EQ(ASPISendCommand(&ha), SS_COMP);
  EXPECT_STREQ(ha.HA_Identifier, "TESTLIB");
  EXPECT_EQ(LibraryCounter("good", "AspiTestSendCalls"), 1);
}

TEST_F(ASPILayer, LibraryInTheWorkingDirectoryIsFoundWithoutAPath) {
  std::filesystem::copy_file(TestLibrary("good"), scratch.Dir / "libwnaspi32.so");
  ASSERT_TRUE(InitASPILayer(false, scratch.Dir.string() + "/missing.so"));
  EXPECT_EQ(ASPILayerName(), "WNASPI32.DLL");
  EXPECT_EQ(ASPIGetSupportInfo(), (uint32_t{SS_COMP} << 8) | 3);
}

TEST_F(ASPILayer, LibraryMissingAnEntryPointLeavesTheTransportUnbound) {
  os.Add(3, 1, 0, 0);  // a drive is there, but a broken library is a failed start
  for (const char* variant : {"nosend", "nosupport"}) {
    SCOPED_TRACE(variant);
    EXPECT_FALSE(InitASPILayer(false, TestLibrary(variant)));
    EXPECT_FALSE(ASPIInitialized());
    EXPECT_EQ(ASPILayerName(), "");
    EXPECT_FALSE(LibraryLoaded(variant));
    EXPECT_EQ(ASPIGetSupportInfo(), uint32_t{SS_NO_ADAPTERS} << 8);
    SRB_ExecSCSICmd srb;
    std::memset(&srb, 0, sizeof srb);
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    EXPECT_EQ(ASPISendCommand(&srb), SS_ERR);
  }
}

TEST_F(ASPILayer, LibraryIsPreferredUnlessTheBuiltInLayerIsAskedFor) {
  os.Add(3, 1, 0, 0);
  ASSERT_TRUE(InitASPILayer(false, TestLibrary("good")));
  EXPECT_EQ(ASPILayerName(), "WNASPI32.DLL");
  EXPECT_FALSE(ASPICanHoldExclusive());
  ResetASPILayer();

  ASSERT_TRUE(InitASPILayer(true, TestLibrary("good")));
  EXPECT_EQ(ASPILayerName(), "EBASPI32");
  EXPECT_TRUE(ASPICanHoldExclusive());
  EXPECT_EQ(ASPIGetSupportInfo(), (uint32_t{SS_COMP} << 8) | 2);
  // A bound transport stays bound by a further call.
  EXPECT_TRUE(InitASPILayer(false, TestLibrary("good")));
  EXPECT_EQ(ASPILayerName(), "EBASPI32");
}

TEST_F(ASPILayer, PreferredBuiltInLayerWithoutDrivesFallsBackToTheLibrary) {
  ASSERT_TRUE(InitASPILayer(true, TestLibrary("good")));
  EXPECT_EQ(ASPILayerName(), "WNASPI32.DLL");
}

TEST_F(ASPILayer, ReinitReloadsTheLibraryAndKeepsThePreference) {
  std::filesystem::copy_file(TestLibrary("good"), scratch.Dir / "libwnaspi32.so");
  ASSERT_TRUE(InitASPILayer(false, ""));
  EXPECT_TRUE(ReinitASPILayer());
  EXPECT_TRUE(ASPIInitialized());
  EXPECT_EQ(ASPILayerName(), "WNASPI32.DLL");
  EXPECT_EQ(ASPIGetSupportInfo(), (uint32_t{SS_COMP} << 8) | 3);

  EXPECT_TRUE(UnloadASPILibrary());
  EXPECT_FALSE(ASPIInitialized());
  EXPECT_EQ(ASPIGetSupportInfo(), uint32_t{SS_NO_ADAPTERS} << 8);
  EXPECT_TRUE(UnloadASPILibrary());  // nothing left to free
}

TEST_F(ASPILayer, UnloadFreesTheLibrary) {
  ASSERT_TRUE(InitASPILayer(false, TestLibrary("good")));
  EXPECT_TRUE(LibraryLoaded("good"));
  EXPECT_TRUE(UnloadASPILibrary());
  EXPECT_FALSE(LibraryLoaded("good"));
}

TEST_F(ASPILayer, ReinitOfTheBuiltInLayerScansAgain) {
  os.Add(3, 1, 0, 0);
  ASSERT_TRUE(InitASPILayer(true, ""));
  SRB_ExecSCSICmd srb;
  std::memset(&srb, 0, sizeof srb);
  srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
  srb.SRB_HaId = 1;
  EXPECT_EQ(ASPISendCommand(&srb), SS_COMP);
  EXPECT_EQ(os.OpenHandles.size(), 1u);

  os.Add(4, 1, 1, 0);  // a drive that appeared meanwhile
  EXPECT_TRUE(ReinitASPILayer());
  EXPECT_TRUE(os.OpenHandles.empty());  // the old handles were closed
  EXPECT_EQ(ASPILayerName(), "EBASPI32");
  EXPECT_EQ(SPTIDriveLetter(1, 1, 0), 'E');
}

TEST_F(ASPILayer, ReinitWithNothingToFindLeavesTheTransportUnbound) {
  os.Add(3, 1, 0, 0);
  ASSERT_TRUE(InitASPILayer(true, ""));
  os.Drives.clear();
  EXPECT_TRUE(ReinitASPILayer());
  EXPECT_FALSE(ASPIInitialized());
}

uint32_t InProcessSupport() { return (uint32_t{SS_COMP} << 8) | 1; }
uint32_t InProcessSend(void* srb) {
  static_cast<SRB_Header*>(srb)->SRB_Status = SS_COMP;
  return SS_COMP;
}

TEST_F(ASPILayer, InProcessEntriesBindAsTheLibraryAndSurviveReinit) {
  BindASPIEntries(InProcessSupport, InProcessSend);
  EXPECT_TRUE(ASPIInitialized());
  EXPECT_EQ(ASPILayerName(), "WNASPI32.DLL");
  EXPECT_EQ(ASPIGetSupportInfo(), (uint32_t{SS_COMP} << 8) | 1);
  EXPECT_TRUE(InitASPILayer(false, TestLibrary("good")));
  EXPECT_TRUE(ReinitASPILayer());
  EXPECT_EQ(ASPIGetSupportInfo(), (uint32_t{SS_COMP} << 8) | 1);
  EXPECT_FALSE(LibraryLoaded("good"));

  BindASPIEntries(nullptr, InProcessSend);
  EXPECT_FALSE(ASPIInitialized());
}

}  // namespace
