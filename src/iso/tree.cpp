// The file tree: directory records and entries, the folder walk, removal.
#include "iso/iso.h"

void VEZEZadira::ReleaseTree() {
  FileTable.clear();
  DirTable.clear();
  ISOPathOrder.clear();
  JolietPathOrder.clear();
  DirCount = 0;
  EntryCount = 0;
}

void VEZEZadira::ResetImageBuilder(int32_t AMaxFiles, int32_t AMaxDirs) {
  TimeZoneOffset = LocalTimeZoneOffset();
  MetadataStream.Clear();
  ReleaseTree();
  MaxFiles = AMaxFiles;
  MaxDirs = AMaxDirs;
  auto root = std::make_unique<TDEntry>();
  root->ISOName = "CD_ROOT";
  root->LongName = "CD Root Directory";
  root->Path = "\\";
  root->Parent = root.get();
  ISOPathOrder.push_back(root.get());
  JolietPathOrder.push_back(root.get());
  DirTable.push_back(std::move(root));
  DirCount = 1;
}

TDEntry* VEZEZadira::FindDirectory(const std::string&) { return nullptr; }
TDEntry* VEZEZadira::AddDirectory(TDEntry*, const TSearchRec&, const std::string&,
                                  const std::string&) { return nullptr; }
TDEntry* VEZEZadira::CreateDirByName(TDEntry*, const std::string&, int32_t) { return nullptr; }
TDEntry* VEZEZadira::ForcePath(const std::string&) { return nullptr; }
bool VEZEZadira::AddFile(TDEntry*, const TSearchRec&, const std::string&, int32_t) { return false; }
bool VEZEZadira::AddFolderToDir(TDEntry*, const std::string&, const std::string&, int32_t, bool,
                                bool, bool) { return false; }
bool VEZEZadira::AddFolder(const std::string&, const std::string&, const std::string&, int32_t,
                           bool, bool, bool) { return false; }
TFEntry* VEZEZadira::FindEntry(TDEntry*, const std::string&) { return nullptr; }
void VEZEZadira::RemoveEntry(TDEntry*, TFEntry*) {}
bool VEZEZadira::RemoveDirectory(TDEntry*&) { return false; }
bool VEZEZadira::RemoveEntryByName(const std::string&, const std::string&) { return false; }
