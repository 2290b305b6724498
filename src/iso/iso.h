// The image builder: the burner component VEZEZadira with its properties and
// events, the in-memory file tree filled from folders, the ISO 9660 / Joliet
// encodings, the layout of a new session and the metadata generators.
#pragma once

#include <array>
#include <cstring>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/common.h"
#include "drive/drive.h"
#include "stream/stream.h"

struct TTreeIndex;  // iso/tree.cpp
struct TManifestDraft;  // iso/manifest.cpp

// ---------------------------------------------------------------- events
using TNotifyEvent = std::function<void(TObject* Sender)>;
// FullPath is read-only; the names, the date and Skip may be changed by the handler.
using TAddFileEvent = std::function<void(TObject* Sender, const std::string& FullPath,
                                         std::string& LongFileName, std::string& ShortFileName,
                                         TDateTime& DateTime, int32_t Attr, int64_t FileSize,
                                         bool& Skip)>;
using TAddDirEvent = std::function<void(TObject* Sender, std::string& LongName,
                                        std::string& ShortName, bool& Skip)>;
using TWriteDoneEvent = std::function<void(TObject* Sender, const std::string& Error)>;
using TEraseDoneEvent = std::function<void(TObject* Sender, bool WithError)>;
// Hands the call to the user-interface thread, which runs it now or later (the
// recording thread waits for it either way); empty = run on the calling thread.
using TDispatcher = std::function<void(const std::function<void()>& call)>;

// ---------------------------------------------------------------- attributes
enum : int32_t {
  faReadOnly = 0x01,
  faHidden = 0x02,
  faSysFile = 0x04,
  faVolumeID = 0x08,
  faDirectory = 0x10,
  faArchive = 0x20,
  faAnyFile = 0x3F,
};

// ---------------------------------------------------------------- file tree records
struct TFEntry;

// A name of an entry in 16 bytes: up to 15 bytes held in place (nearly every
// name of a tree), longer ones in a heap block of their own size. Reads as a
// std::string_view, converts to a std::string, and is always followed by a 0.
class TName {
 public:
  TName() noexcept { SetInline(0); }
  TName(std::string_view Text) : TName() { Assign(Text); }
  TName(const std::string& Text) : TName() { Assign(Text); }
  TName(const char* Text) : TName() { Assign(Text); }
  TName(const TName& Other) : TName() { Assign(Other.view()); }
  TName(TName&& Other) noexcept {
    std::memcpy(bytes_, Other.bytes_, sizeof bytes_);
    Other.SetInline(0);
  }
  TName& operator=(const TName& Other) {
    if (this != &Other) Assign(Other.view());
    return *this;
  }
  TName& operator=(TName&& Other) noexcept {
    if (this != &Other) {
      Release();
      std::memcpy(bytes_, Other.bytes_, sizeof bytes_);
      Other.SetInline(0);
    }
    return *this;
  }
  TName& operator=(std::string_view Text) {
    Assign(Text);
    return *this;
  }
  TName& operator=(const std::string& Text) { return *this = std::string_view(Text); }
  TName& operator=(const char* Text) { return *this = std::string_view(Text); }
  ~TName() { Release(); }

  size_t size() const { return OnHeap() ? HeapSize() : kInline - static_cast<uint8_t>(bytes_[kInline]); }
  bool empty() const { return size() == 0; }
  const char* data() const { return OnHeap() ? HeapText() : bytes_; }
  const char* c_str() const { return data(); }
  std::string_view view() const { return {data(), size()}; }
  operator std::string_view() const { return view(); }
  operator std::string() const { return std::string(view()); }
  char operator[](size_t At) const { return data()[At]; }
  char back() const { return data()[size() - 1]; }
  size_t find(char C, size_t From = 0) const { return view().find(C, From); }
  size_t find(std::string_view Text, size_t From = 0) const { return view().find(Text, From); }
  size_t rfind(char C, size_t From = std::string_view::npos) const { return view().rfind(C, From); }
  bool starts_with(std::string_view Text) const { return view().starts_with(Text); }
  bool ends_with(std::string_view Text) const { return view().ends_with(Text); }
  bool ends_with(char C) const { return view().ends_with(C); }
  std::string substr(size_t At, size_t Count = std::string_view::npos) const {
    return std::string(view().substr(At, Count));
  }

  friend bool operator==(const TName& A, const TName& B) { return A.view() == B.view(); }
  friend bool operator==(const TName& A, std::string_view B) { return A.view() == B; }
  friend bool operator==(const TName& A, const std::string& B) { return A.view() == B; }
  friend bool operator==(const TName& A, const char* B) { return A.view() == B; }
  friend auto operator<=>(const TName& A, const TName& B) { return A.view() <=> B.view(); }
  friend auto operator<=>(const TName& A, std::string_view B) { return A.view() <=> B; }
  friend auto operator<=>(const TName& A, const std::string& B) { return A.view() <=> std::string_view(B); }
  friend std::string operator+(const TName& A, std::string_view B) { return std::string(A.view()).append(B); }
  friend std::string operator+(const TName& A, const TName& B) { return std::string(A.view()).append(B.view()); }
  friend std::string operator+(const TName& A, const std::string& B) { return std::string(A.view()).append(B); }
  friend std::string operator+(const TName& A, const char* B) { return std::string(A.view()).append(B); }
  friend std::string operator+(std::string_view A, const TName& B) { return std::string(A).append(B.view()); }
  friend std::string operator+(const std::string& A, const TName& B) { return std::string(A).append(B.view()); }
  friend std::string operator+(const char* A, const TName& B) { return std::string(A).append(B.view()); }
  friend std::string operator+(char A, const TName& B) { return std::string(1, A).append(B.view()); }
  friend std::string operator+(const TName& A, char B) { return std::string(A.view()) + B; }

 private:
  // In place: the text, then in the last byte 15 less its length (so that a
  // name of 15 bytes ends in the 0). On the heap: the block's address, its
  // length, and kHeap in the last byte.
  static constexpr size_t kInline = 15;
  static constexpr uint8_t kHeap = 0xFF;
  bool OnHeap() const { return static_cast<uint8_t>(bytes_[kInline]) == kHeap; }
  char* HeapText() const {
    char* p;
    std::memcpy(&p, bytes_, sizeof p);
    return p;
  }
  uint32_t HeapSize() const {
    uint32_t n;
    std::memcpy(&n, bytes_ + sizeof(char*), sizeof n);
    return n;
  }
  void SetInline(size_t Size) {
    bytes_[Size] = '\0';
    bytes_[kInline] = static_cast<char>(kInline - Size);
  }
  void Release() {
    if (OnHeap()) delete[] HeapText();
    SetInline(0);
  }
  void Assign(std::string_view Text);

  char bytes_[16];
};
static_assert(sizeof(TName) == 16);


// The POSIX view of an entry that the Rock Ridge fields of the ISO tree
// carry. Present is false for entries that brought none (added through the
// tree calls, or imported from a session without them): the writer then
// derives the fields from the entry. Times are seconds since 1970, UTC.
struct TRockRidge {
  bool Present = false;
  uint32_t Mode = 0;  // st_mode: type and permission bits
  uint32_t Uid = 0, Gid = 0;
  int64_t Modify = 0, Access = 0, Change = 0;
  std::string Name;  // the full name, up to 255 bytes; empty = the long name
  std::string Link;  // the target of a symbolic link
};

// One word pointing at a value that many holders share, with the count of
// its holders beside the value (a std::shared_ptr takes two words): a million
// entries share a few thousand folders and field sets through it.
template <class T>
class TCounted {
 public:
  TCounted() = default;
  static TCounted Make(T value) {
    TCounted p;
    p.block_ = new TBlock{std::move(value), {1}};
    return p;
  }
  TCounted(const TCounted& other) noexcept : block_(other.block_) {
    if (block_) block_->Holders.fetch_add(1, std::memory_order_relaxed);
  }
  TCounted(TCounted&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
  TCounted& operator=(TCounted other) noexcept {
    std::swap(block_, other.block_);
    return *this;
  }
  ~TCounted() { Reset(); }
  void Reset() noexcept {
    if (block_ && block_->Holders.fetch_sub(1, std::memory_order_acq_rel) == 1) delete block_;
    block_ = nullptr;
  }
  T* Get() const { return block_ ? &block_->Value : nullptr; }
  T& operator*() const { return block_->Value; }
  T* operator->() const { return &block_->Value; }
  explicit operator bool() const { return block_ != nullptr; }
  bool Shared() const { return block_ && block_->Holders.load(std::memory_order_acquire) > 1; }

 private:
  struct TBlock {
    T Value;
    std::atomic<uint32_t> Holders;
  };
  TBlock* block_ = nullptr;
};

// Rock Ridge fields held out of line and shared: most trees carry none, and
// an entry without them then costs one pointer; entries whose fields are
// equal (a folder's files, made together) can hold one copy. Reading an empty
// box gives the default fields; Edit() makes them, or a copy of its own when
// another box shares them.
class TRockRidgeBox {
 public:
  TRockRidgeBox() = default;
  explicit TRockRidgeBox(TCounted<TRockRidge> fields) : fields_(std::move(fields)) {}
  TRockRidgeBox& operator=(const TRockRidge& fields) {
    fields_ = TCounted<TRockRidge>::Make(fields);
    return *this;
  }
  const TRockRidge* operator->() const { return &Fields(); }
  const TRockRidge& Fields() const {
    static const TRockRidge kNone;
    return fields_ ? *fields_ : kNone;
  }
  const TRockRidge* Get() const { return fields_.Get(); }  // nil when none were given
  TRockRidge& Edit() {
    if (!fields_)
      fields_ = TCounted<TRockRidge>::Make(TRockRidge());
    else if (fields_.Shared())
      fields_ = TCounted<TRockRidge>::Make(*fields_);
    return *fields_;
  }
  void Reset() { fields_.Reset(); }

 private:
  TCounted<TRockRidge> fields_;
};

// A directory of the tree.
struct TDEntry {
  std::string ISOName;          // upper case; "CD_ROOT" for the root
  std::string LongName;         // Joliet name; "CD Root Directory" for the root
  int64_t ISODirSize = 0;       // bytes of the ISO extent (layout)
  int64_t JolietDirSize = 0;    // bytes of the Joliet extent (layout)
  std::string Path;             // "\" for the root, else "\A\B" (long names as they are)
  int32_t ISODirOffset = 0;     // sector offset within the ISO directory area (layout)
  int32_t JolietDirOffset = 0;  // the same in the Joliet directory area (layout)
  int32_t Number = 0;           // path-table number, root = 1 (layout)
  int32_t JolietNumber = 0;     // the same in the Joliet path table (layout)
  TDEntry* Parent = nullptr;    // the root's parent is the root
  TFEntry* Entries = nullptr;   // first entry, in the order added
  TRockRidgeBox RR;             // the folder's own fields ("." of its extent)
  int64_t ContinuationSize = 0;    // bytes of its Rock Ridge continuation area (layout)
  int32_t ContinuationOffset = 0;  // sector offset within the continuation area (layout)
  // Private to the tree: the last entry of the list (for appending) and the
  // directory's own entry in its parent's list (nil for the root).
  TFEntry* LastEntry = nullptr;
  TFEntry* OwnEntry = nullptr;
  // Private to the tree: per shortened stem (sorted) the next counter of a
  // generated 8.3 name to try. The ISO names in use are indexed by the tree.
  std::vector<std::pair<std::string, uint32_t>> NextCounter;
};

// Where a file's bytes are read from (TFEntry::SourceText gives the path):
// the folder's part of the path, through its last "/", which the files of one
// folder share, their names being their long names; or, for an entry whose
// name in its folder is another, the whole path. A tree of a million files
// keeps each folder once and no name twice.
class TSourcePath {
public:
  TSourcePath() = default;
  explicit TSourcePath(TCounted<const std::string> Text) : text_(std::move(Text)) {}
  bool Empty() const { return !text_ || text_->empty(); }
  void Clear() { text_.Reset(); }
  // The shared folder (or the whole path).
  const std::string* Folder() const { return text_.Get(); }

private:
  TCounted<const std::string> text_;
};

// An entry of a directory: a file, or a subdirectory as seen from its parent.
// A tree holds up to millions of them: they come from a pool of large blocks
// (their addresses stay as long as they live), and the rare fields (the offset
// of a part of a file) are kept by the component, beside them.
struct TFEntry {
  TName ISOName;              // without ";1", upper case
  // Joliet name. A file's source path may end in it (SourceName): whoever
  // renames a file the tree added from a folder sets its path again with
  // SetSourcePath first, or the file is read from the new name.
  TName LongName;
  TSourcePath SourcePath;     // empty for subdirectories and imported entries
  // What follows the folder of SourcePath: nothing (it holds the whole path),
  // the long name, or the long name without the dot the tree gave a name
  // without one.
  enum class TSourceName : uint8_t { InPath, LongName, LongNameUndotted };
  TDateTime DateTime = 0;     // local time
  int64_t ISOSize = 0;        // file size, or the subdirectory's ISO extent size
  int64_t JolietSize = 0;
  int32_t ISOExtent = 0;      // relative to the first file sector, absolute when Imported
  int32_t JolietExtent = 0;
  // Private to the tree: the creation serial (list order is creation order).
  // Beside the other small fields, so that a million entries waste no padding.
  uint32_t Serial = 0;
  uint16_t Attr = 0;          // faReadOnly ... faArchive
  TSourceName SourceName = TSourceName::InPath;
  // A part of a larger file: the entry's ISOSize bytes begin at the byte of
  // SourcePath the component's SourceOffset gives, and the rest of that file
  // is not its business.
  bool SourcePart : 1 = false;
  bool Imported : 1 = false;  // extents given when added (an earlier session)
  TDEntry* SubDir = nullptr;  // the directory record of a subdirectory entry
  TRockRidgeBox RR;           // a subdirectory's are those of SubDir
  TFEntry* Next = nullptr;    // next entry of the same directory
  // Private to the tree: the directory whose list holds the entry and the
  // previous entry of that list.
  TDEntry* Owner = nullptr;
  TFEntry* Prev = nullptr;

  std::string SourceText() const;  // "" when it has none
  bool SourceIs(std::string_view Path) const;
  void SetSourcePath(std::string_view Path);  // a path that shares nothing

  static void* operator new(size_t Bytes);
  static bool Pooled();  // false under the address sanitizer: entries come from its heap
  static void operator delete(void* Entry, size_t Bytes) noexcept;
};

// The found-file record of a directory search (the platform's TSearchRec).
struct TSearchRec {
  int32_t Time = 0;           // packed DOS date (high word) and time (low word), local
  int64_t Size = 0;           // 64-bit size
  int32_t Attr = 0;           // faReadOnly ... faArchive
  std::string Name;           // the long name
  std::string AlternateName;  // the 8.3 name the folder walk made, empty when the name is one
};

// Packed DOS date and time <-> TDateTime. Years outside 1980-2107 are clamped
// to the nearest end; the seconds are kept to two.
int32_t DateTimeToFileDate(TDateTime DateTime);
// Packs a valid calendar date and time; years before 1980 become 1980-01-01
// 00:00:00, years after 2107 the last moment of 2107.
int32_t PackFileDate(TDateParts Parts);
// False when the packed value is no valid date and time (the result is then 0).
bool TryFileDateToDateTime(int32_t FileDate, TDateTime& DateTime);
TDateTime FileDateToDateTime(int32_t FileDate);  // 0 for an invalid value

// ---------------------------------------------------------------- capacities
// The default capacities of a component's tree.
inline constexpr int32_t kMaxDirs = 8191;    // directory records, the root included
inline constexpr int32_t kMaxFiles = 65535;  // entries, subdirectory entries included
// What the formats allow: ISO 9660's path tables number directories in 16
// bits; Joliet and UDF limit neither.
inline constexpr int32_t kLargestDirs = 65535;
inline constexpr int32_t kLargestEntries = INT32_MAX;

extern int16_t TimeZoneOffset;  // local offset from UTC in 15-minute units
inline constexpr std::array<uint8_t, 2048> ZeroSector{};

// ---------------------------------------------------------------- encodings
constexpr int64_t kSectorSize = 2048;
int64_t Sectors(int64_t Bytes);  // rounded up to whole sectors
// Sector addresses are 32 bits wide in the volume descriptors, the records and
// every command: an image ending past the last one is refused, with this text.
constexpr int64_t kLastAddressableSector = 0xFFFFFFFF;
std::string ImageTooLargeText(int64_t EndSector);
uint16_t Swap16(uint16_t Value);
uint32_t Swap32(uint32_t Value);
// Byte-order writers at Dest (little-endian, big-endian, and both: LE then BE).
void PutLE16(uint8_t* Dest, uint16_t Value);
void PutBE16(uint8_t* Dest, uint16_t Value);
void PutLE32(uint8_t* Dest, uint32_t Value);
void PutBE32(uint8_t* Dest, uint32_t Value);
void PutBoth16(uint8_t* Dest, uint16_t Value);  // 4 bytes
void PutBoth32(uint8_t* Dest, uint32_t Value);  // 8 bytes
// Text padded with spaces to exactly Width bytes; nothing else is changed.
void PutISOText(const std::string& Text, uint8_t* Dest, size_t Width);
// Text padded with spaces, converted UTF-8 -> UTF-16BE, first Width bytes stored.
void PutJolietText(const std::string& Text, uint8_t* Dest, size_t Width);
// UTF-8 -> UTF-16 code units; an invalid byte becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view Text);
// UTF-16 code units -> UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8(std::u16string_view Text);
// Number of UTF-16 code units of the UTF-8 text (what Joliet records hold).
size_t Utf16Length(std::string_view Text);
// UTF-16BE bytes of the UTF-8 text (a Joliet name as written).
std::string JolietBytes(std::string_view Text);
// Fills bytes 18-24 of a directory record with the 7-byte recording date.
void PutRecordingDate(uint8_t* Record, TDateTime DateTime);
// The 17-byte descriptor date of a local TDateTime (offset byte 0).
void PutDescriptorDate(uint8_t* Dest, TDateTime DateTime);
void PutNoDescriptorDate(uint8_t* Dest);  // "0000000000000000" and a 0 byte
// First 13 characters, a-z upper-cased, bytes below 21h or above 7Ah -> '_'.
std::string MakeShortName(const std::string& Text);
// Upper-cases a-z only; every other byte stays.
std::string UpperCase(std::string_view Text);
// Windows wildcard match (case-insensitive, '*' and '?', "*.*" matches all).
bool MatchesMask(std::string_view Name, std::string_view Mask);

// ---------------------------------------------------------------- reading a disc
// A file of a session's tree that lost sectors to a read: its path in the
// tree ("/" between the names), which tree named it and how many of its
// sectors are missing.
struct TDamagedFile {
  std::string Tree;  // "ISO 9660" or "UDF"
  std::string Path;
  int64_t Missing = 0;
};

// What a read of a disc into an image file (VEZEZadira::ReadDisc) is asked.
struct TReadRequest {
  int Session = 0;         // the last session read; 0: the disc's last one
  std::string Output;      // the image file; "-" standard output
  std::string MapFile;     // the GNU ddrescue mapfile kept as the read goes; "" none
  int Retries = 3;         // passes over the sectors that failed, after the first
};

// How it went. The image holds sector n of the disc at byte n x 2048, from
// sector 0 to End: the Sectors sectors of sessions 1 to Session (what lies
// between them is a hole), zeros for those of UnreadRuns (first sector of the
// disc, count).
struct TReadResult {
  TOutcome Outcome;        // Refused: nothing was read or written
  int Session = 0;         // the last session read
  uint32_t Start = 0;      // its first sector on the disc
  int64_t End = 0;
  int64_t Sectors = 0;
  int64_t ReadNow = 0;     // sectors this run read
  int64_t Unread = 0;      // sectors still missing
  std::vector<std::pair<int64_t, int64_t>> UnreadRuns;
  bool Resumed = false;    // an earlier read's map was taken up
  std::vector<TDamagedFile> DamagedFiles;
  std::vector<std::string> Notes;  // what the user should know besides
  bool HasDigest = false;  // every sector read: the image's SHA-256
  std::array<uint8_t, 32> Digest{};
};
using TReadDoneEvent = std::function<void(TObject* Sender)>;

// ---------------------------------------------------------------- the component
class VEZEZadira : public TSCSIDevice {
public:
  explicit VEZEZadira(TObject* Owner = nullptr);
  // A tree of other capacities than the defaults (at most the largest above).
  VEZEZadira(int32_t AMaxFiles, int32_t AMaxDirs, TObject* Owner = nullptr);
  ~VEZEZadira() override;

  // ---- published properties (those of TSCSIDevice are inherited:
  // DebugWindow, DeviceMaxWriteSpeed, DeviceMaxReadSpeed, DeviceBufferSize,
  // DeviceFreeBufferSize, UnderrunProtection, DoDebug, OnDeviceChange, Erasing,
  // FinalizeDisc, TestWrite, OnDebugMessage)
  bool ASPIInitialized() const;
  TEraseDoneEvent OnEraseDone;
  uint16_t ReadSpeed = 0;
  uint16_t WriteSpeed() const { return writeSpeed_; }
  void SetWriteSpeed(uint16_t Value);  // sends SetCDSpeed(ReadSpeed, Value)
  bool ReplaceFile = false;
  bool FinalizeTrack = true;
  bool PerformOPC = false;
  std::string IdVolume;
  std::string IdSystem;
  std::string IdVolumeSet;
  std::string IdPublisher;
  std::string IdPreparer;
  std::string IdApplication;
  std::string FileCopyright;
  std::string FileAbstract;
  std::string FileBibliographic;
  TDateTime DateCreation = 0;
  TDateTime DateModification = 0;
  TDateTime DateEffective = 0;
  TDateTime DateExpiration = 0;
  int32_t CacheSize() const { return cacheSize_; }
  void SetCacheSize(int32_t Value);  // at least 2 MiB, else rounded down to 2048
  std::string ISOFileName;
  bool JolietFileSystem = true;
  // Rock Ridge fields in the ISO tree: POSIX modes, owners, times, full names
  // and symbolic links (kept as links by the folder walk instead of followed).
  bool RockRidge = false;
  // Rock Ridge fields as the sources have them: modes, owners and groups, for
  // backups. Without it, as shared discs want them: owner and group 0, read
  // for everyone, execute for everyone where anyone had it, no write, folders
  // r-x. Entries of an earlier session keep what was recorded.
  bool KeepPermissions = false;
  // A UDF 1.02 file system beside the ISO and Joliet trees (a bridge image):
  // the same entries and the same file data, for readers that want UDF.
  bool UDF = false;
  // A file SHA256SUMS at the root, the last of the session: every file of the
  // tree with its SHA-256 in the format of sha256sum, under the names a Linux
  // mount shows (Rock Ridge when on, else Joliet, else ISO 9660). The digests
  // of new files are taken as the stream reads them; those of imported files
  // come from the earlier session's SHA256SUMS, and files without one are
  // named in SHA256SUMS.missing.
  bool Manifest = false;
  TAddFileEvent OnAddFile;
  TAddDirEvent OnAddDir;
  TWriteDoneEvent OnWriteDone;
  TNotifyEvent OnFinalizingTrack;
  const std::string& Version() const { return version_; }
  void SetVersion(const std::string&) {}  // read-only: writing has no effect
  bool WritePostGap = true;

  // ---- unpublished
  // The image the last preparation made (PrepareImage, PrepareImageFile): only
  // read after that, by every stream made of it. Empty before the first one.
  std::shared_ptr<const TImagePlan> Plan;

  // Empties the image tree and the metadata and sets new capacities.
  void ResetImageBuilder(int32_t AMaxFiles, int32_t AMaxDirs);

  // ---- the image tree: each component has its own; constructing one starts it empty
  int32_t MaxDirs = kMaxDirs;
  int32_t MaxFiles = kMaxFiles;
  int32_t DirCount = 0;    // == DirTable.size()
  int32_t EntryCount = 0;  // == FileTable.size()
  // Every directory record, root first, in creation order; owns the records.
  std::vector<std::unique_ptr<TDEntry>> DirTable;
  // The same records, reordered into path-table order by the layout.
  std::vector<TDEntry*> ISOPathOrder;
  std::vector<TDEntry*> JolietPathOrder;
  // Every entry (file or subdirectory) in creation order; owns the entries.
  std::vector<std::unique_ptr<TFEntry>> FileTable;
  // The Joliet names the layout had to change (MakeJolietNamesUnique), by entry;
  // empty for most trees.
  std::unordered_map<const TFEntry*, std::string> JolietRenamed;
  // Where each entry that is a part of a file (SourcePart) begins in its
  // source; 0 for every other entry.
  std::unordered_map<const TFEntry*, int64_t> SourceOffsets;
  int64_t SourceOffset(const TFEntry& Entry) const;
  // An entry's name in the Joliet tree, as UTF-8: its long name unless changed.
  std::string_view JolietName(const TFEntry& Entry) const;
  std::string_view JolietName(const TDEntry& Dir) const;  // through its own entry
  // Private to the tree (tree.cpp): its name and path indexes.
  std::shared_ptr<TTreeIndex> TreeIndex;
  // Private to the layout (manifest.cpp): the entries the last preparation
  // added for the manifest, and its lines.
  std::shared_ptr<TManifestDraft> ManifestDraft;

  // ---- file tree
  TDEntry* FindDirectory(const std::string& APath);
  TDEntry* AddDirectory(TDEntry* AParent, const TSearchRec& Found, const std::string& ALongName,
                        const std::string& AShortName);
  TDEntry* CreateDirByName(TDEntry* AParent, const std::string& AName, int32_t AAttr);
  TDEntry* ForcePath(const std::string& APath);
  bool AddFile(TDEntry* ADir, const TSearchRec& Found, const std::string& AFullPath,
               int32_t ExistingSector);
  // AddFile for Found.Size bytes of AFullPath from byte Offset on, under
  // Found's names: one part of a file cut over several discs.
  bool AddFilePart(TDEntry* ADir, const TSearchRec& Found, const std::string& AFullPath,
                   int64_t Offset);
  bool AddFolderToDir(TDEntry* ADir, const std::string& ASource, const std::string& AMask,
                      int32_t AttrMask, bool Recurse, bool KeepSourcePath, bool ArchiveOnly);
  bool AddFolder(const std::string& Destination, const std::string& ASource,
                 const std::string& AMask, int32_t AttrMask, bool Recurse, bool KeepSourcePath,
                 bool ArchiveOnly);
  TFEntry* FindEntry(TDEntry* ADir, const std::string& AName);
  void RemoveEntry(TDEntry* ADir, TFEntry* AEntry);
  bool RemoveDirectory(TDEntry*& ADir);
  bool RemoveEntryByName(const std::string& APath, const std::string& AName);
  int32_t DirectoryCount() const;  // directories other than the root
  int32_t FileCount() const;       // entries in FileTable
  TDEntry* RootDirectory() const;

  // ---- layout and metadata
  // Lays out a new session (image-only: from sector 0, the disc is not asked)
  // and makes its Plan. False when the import of an earlier session ended it
  // with an error, or the disc refuses a recording.
  bool PrepareImage(bool ImageOnly, TDEntry* ImportDir);
  int64_t ImageSectors();  // TrackLength, at least 300 with WritePostGap
  uint16_t ImportSession = 0;  // earlier session to carry over, 0 = none
  // Sets StartAddress from the disc; false when the track could not be read.
  bool GetNextWritableAddress();
  // Gives every entry a Joliet name that no other entry of its directory has
  // once case, a trailing "." and bytes that are not UTF-8 are lost, as the
  // readers of that tree lose them (JolietRenamed); reports each name changed.
  void MakeJolietNamesUnique();

  // Reads the directory tree of an earlier session (Session: signed, -1 = the
  // last one) and adds it under Directory (nil = the root) as imported entries.
  // True when a volume descriptor of the session was found and its tree read.
  bool ImportPreviousSession(int8_t Session, TDEntry* Directory);
  // The same, telling nothing to import (no recorded session) from an import
  // that failed (a read error, a record it cannot parse, a session the disc
  // does not have, no volume in it): a failed import ends the preparation.
  enum class TImportResult { Nothing, Imported, Failed };
  TImportResult ImportSessionTree(int8_t Session, TDEntry* Directory);

  // Layout results: absolute sector numbers on the disc.
  uint32_t StartAddress = 0;
  uint32_t PathTableL = 0, PathTableM = 0;
  uint32_t JolietPathTableL = 0, JolietPathTableM = 0;
  uint32_t PathTableSize = 0, JolietPathTableSize = 0;  // bytes of one table
  uint32_t DirArea = 0, JolietDirArea = 0;
  uint32_t DirAreaSize = 0, JolietDirAreaSize = 0;      // bytes
  uint32_t ContinuationArea = 0;      // Rock Ridge continuation areas of the ISO tree
  uint32_t ContinuationAreaSize = 0;  // bytes, whole sectors
  uint32_t FirstFileSector = 0;
  int64_t PadSectors = 0;   // zero sectors before the first file when positive
  int64_t FileSectors = 0;
  int64_t EndSector = 0;    // recorded as the volume space size
  int64_t TrackLength = 0;  // EndSector - StartAddress
  // Date of the "." and ".." records of one generation.
  TDateTime MetadataTime = 0;

  // ---- recording (src/record)
  // True when the recording thread was started; false when the start failed,
  // or was refused because a recording has not ended yet, after OnWriteDone.
  bool StartRecording();
  // Stops a running recording and waits for its threads. The owner of the
  // component's handlers calls it (or WaitForRecording) before it goes.
  void StopRecording();
  // Waits until this component's recording has ended, thread and all.
  void WaitForRecording();
  // A recording of any component has not ended: a start would be refused.
  bool RecordingRuns() const;
  std::atomic<int64_t> BytesWritten{0};
  TDispatcher Dispatcher;

  // ---- verify (src/record/verify.cpp)
  // After a recording that ended well, read the track back and compare it
  // with what the stream held. Off by default.
  bool VerifyAfterWrite = false;
  TNotifyEvent OnVerifying;            // on the recording thread, as the read-back begins
  std::atomic<bool> Verifying{false};  // progress: BytesVerified, as BytesWritten
  std::atomic<int64_t> BytesVerified{0};
  // Set before OnWriteDone: whether a verify ran, and its outcome ("" = the
  // track holds the stream byte for byte).
  bool VerifyRan = false;
  std::string VerifyError;
  // How the last recording or erase ended, as the value its texts were made from.
  TOutcome LastOutcome;
  // The result of the last stream of a plan (a recording or an image file),
  // replaced whole as each ends: its outcome, the plan and, when it was
  // produced whole, its checksums.
  TStreamResult LastStream;
  // Where the kind-4 messages of a stream of this component's plan go.
  TNotify StreamNotify();
  // Whether a recording takes those checksums as its stream is produced. On by
  // default; without them there is nothing to verify against.
  bool TrackDigest = true;

  // ---- erase (src/record/erase.cpp)
  // Erases the rewritable disc in the selected drive on a thread of its own:
  // CD-RW and DVD-RW are blanked (Quick: minimally), DVD+RW and DVD-RAM
  // formatted (Quick on a formatted one: its volume descriptors zeroed).
  // Erasing is True meanwhile; OnEraseDone comes once, through the dispatcher.
  // False when refused (no rewritable disc, a recording or an erase running),
  // before any command that changes the disc: OnEraseDone(True) has then been
  // raised already and EraseError says why.
  bool EraseDisc(bool Quick);
  // Ends the wait of a running erase (the drive goes on by itself) and waits
  // for its thread; WaitForErase only waits.
  void StopErase();
  void WaitForErase();
  std::atomic<int32_t> EraseProgress{0};  // percent, from the drive's sense while it erases
  std::string EraseError;                 // set before OnEraseDone: "" when it ended well
  // Eject the disc once a recording or an erase has ended.
  bool EjectWhenDone = false;
  std::string EjectError;                 // why the eject failed ("" when it did not)
  bool Ejected = false;                   // the last recording or erase ejected the disc

  // ---- reading a session back (src/record/read.cpp)
  // Reads the disc in the selected drive, from its start to the end of a
  // session, into an image file on a thread of its own, a drive job as the
  // erase is: each session's end from its track checked against its volume, every sector tried, the failed ones
  // again in later passes, zeros for those that stay unread, the mapfile kept
  // as it goes, and the files that lost sectors named. Reading is True
  // meanwhile; OnReadDone comes once, through the dispatcher, with LastRead
  // set. False when refused before the thread started (another job has the
  // drive): OnReadDone has then been raised already.
  bool ReadDisc(const TReadRequest& Request);
  // Stops a running read at the next request (the map keeps what was done)
  // and waits for its thread; WaitForReading only waits.
  void StopReading();
  void WaitForReading();
  TReadDoneEvent OnReadDone;
  std::atomic<bool> Reading{false};
  // Progress: sectors dealt with of those the first pass has to read; later
  // passes (1 on) over the sectors still missing.
  std::atomic<int64_t> ReadDone{0};
  std::atomic<int64_t> ReadToDo{0};
  std::atomic<int32_t> ReadPass{0};
  std::atomic<int64_t> ReadMissing{0};
  TReadResult LastRead;

  // ---- recording an image file (src/iso/imagesource.cpp)
  // Prepares the recording of the image file Path (sector 0 of the image at
  // address 0 of the disc) in place of the file tree: the next StartRecording
  // streams its bytes. "" when ready; else why not (nothing was prepared).
  std::string PrepareImageFile(const std::string& Path);
  std::string SourceImage;       // the prepared image file, "" for the file tree
  int64_t SourceImageBytes = 0;

private:
  void ReleaseTree();
  // AddFolderToDir without taking back what a refused call added.
  bool WalkFolder(TDEntry* ADir, const std::string& ASource, const std::string& AMask,
                  int32_t AttrMask, bool Recurse, bool KeepSourcePath, bool ArchiveOnly);

  int32_t cacheSize_ = 4194304;
  uint16_t writeSpeed_ = 0;
  std::string version_ = "1.20.RC6";
};

// The files of session Session's ISO 9660 tree (its Joliet names when it has
// them) and, when the session carries one, of its UDF tree whose data covers
// sectors that Missing counts (it gives how many of First.. First+Count-1 are
// missing). Imports the trees into the component's own tree, emptying it
// first. False with a note in Why when no tree could be read.
bool FilesHoldingSectors(VEZEZadira& Component, int Session,
                         const std::function<int64_t(uint32_t First, uint32_t Count)>& Missing,
                         std::vector<TDamagedFile>& Files, std::string& Why);
// Where the UDF volume of the session at Start ends (one past its partition,
// or past the closing anchor right after it), nothing read at or after
// DiscEnd; false when the session holds no UDF volume that checks.
bool UdfVolumeEnd(VEZEZadira& Component, uint32_t Start, uint32_t Last, uint64_t DiscEnd,
                  uint64_t& End);

// ---------------------------------------------------------------- the manifest (manifest.cpp)
// A file with data: no folder, no symbolic link.
bool IsManifestFile(const TFEntry& Entry);
// The entry's path from the root under the names a Linux mount of the tree
// shows: Rock Ridge names when the component's RockRidge is on (and the entry
// has them), else Joliet names, else ISO 9660 names in lower case.
std::string MountPath(const VEZEZadira& Component, const TFEntry& Entry);
// Reads the sha256sum list that the imported Entry holds from the disc: its
// lines in order ("./" taken off a name); Bad counts the lines that are none.
// False with Error (the drive's sense text) when it cannot be read, or is
// longer than any list of a tree.
struct TManifestLine {
  std::string Name;
  TSha256 Digest{};
};
bool ReadManifestFile(VEZEZadira& Component, const TFEntry& Entry, std::vector<TManifestLine>& Lines,
                      int64_t& Bad, std::string& Error);

// Writes the component's prepared plan (PrepareImage done, image-only for an
// image file) as an image file (see the plan's WriteImageFile); the result
// becomes the component's LastStream. False with a readable message.
bool WriteImageFile(VEZEZadira& Component, const std::string& Path, TOutcome& Outcome,
                    bool Digest = true);
bool WriteImageFile(VEZEZadira& Component, const std::string& Path, std::string& Error,
                    bool Digest = true);
