// The table of media: for each disc kind, whether and how it is written, what
// a test write does on it, whether it is formatted first, how its sessions and
// the disc are closed, and how it is erased.
#include "drive/drive.h"

namespace {

constexpr uint16_t kProfileDVDRWRestricted = 0x0013;
constexpr uint16_t kProfileDVDRWSequential = 0x0014;

// Track-at-once, mode 1 with 2048-byte blocks, track mode 4; the disc stays
// open for a further session unless this one is the last or a simulation.
constexpr TWritePage kCDPage{.WriteType = 0x01, .Byte3 = 0x04, .OpenUnlessFinal = true};
// Incremental streaming with the link size valid and fixed 16-block packets.
constexpr TWritePage kDVDRPage{.WriteType = 0x20, .Byte3 = 0xE5, .Byte6 = 0x10, .PacketSize = 16};
// Incremental, BUFE always on, link size 16.
constexpr TWritePage kDVDRWPage{.WriteType = 0x60, .Byte3 = 0xC5, .LinkSize = 0x10};
constexpr TWritePage kDVDPlusRWPage{.WriteType = 0x22, .Byte3 = 0x04, .LinkSize = 0x10};
constexpr TWritePage kDVDPlusRPage{.WriteType = 0x22, .Byte3 = 0xC4, .PacketSize = 16};
// Written without write parameters: BD drives ignore the page, DVD-RAM has none.
constexpr TWritePage kNoPage{.Send = false};

constexpr TMedium kMedia[] = {
    {.Kind = DK_UNKNOWN, .Page = kCDPage, .Close = TCloseWay::CD},
    {.Kind = DK_CDROM, .Page = kCDPage, .Close = TCloseWay::CD},
    {.Kind = DK_CDR, .Writable = true, .Page = kCDPage, .Simulates = true, .Close = TCloseWay::CD},
    {.Kind = DK_CDRW, .Writable = true, .Page = kCDPage, .Simulates = true, .Close = TCloseWay::CD,
     .Erase = TEraseWay::Blank},
    {.Kind = DK_DVDROM, .Page = kCDPage, .Close = TCloseWay::CD},
    {.Kind = DK_DVDR, .Writable = true, .Page = kDVDRPage, .Simulates = true,
     .Close = TCloseWay::Reserved, .FinalViaPage = true, .Reserves = true, .FlushImmed = true},
    {.Kind = DK_DVDRAM, .Writable = true, .Page = kNoPage, .Overwritable = true,
     .NextAfterVolume = true, .Erase = TEraseWay::Format, .EraseFormatType = 0x00},
    // Restricted overwrite first: a kind-7 disc whose profile is not known is taken for it.
    {.Kind = DK_DVDRW_RO, .Profile = kProfileDVDRWRestricted, .Writable = true,
     .Page = kDVDRWPage, .Overwritable = true, .Format = TFormatFirst::Quick,
     .Close = TCloseWay::Session, .FinalViaPage = true, .FlushImmed = true,
     .Erase = TEraseWay::Blank},
    {.Kind = DK_DVDRW_RO, .Profile = kProfileDVDRWSequential, .Writable = true,
     .Page = kDVDRWPage, .Simulates = true, .Format = TFormatFirst::Quick,
     .Close = TCloseWay::Session, .FinalViaPage = true, .FlushImmed = true,
     .Erase = TEraseWay::Blank},
    {.Kind = DK_DVDRW_SR, .Writable = true, .Page = kDVDRWPage, .Close = TCloseWay::CD,
     .Erase = TEraseWay::Blank},
    {.Kind = DK_DVDPLUSRW, .Writable = true, .Page = kDVDPlusRWPage, .Overwritable = true,
     .NextAfterVolume = true, .Close = TCloseWay::Background, .Erase = TEraseWay::Format,
     .EraseFormatType = 0x26},
    {.Kind = DK_DVDPLUSR, .Writable = true, .Page = kDVDPlusRPage, .Close = TCloseWay::Track,
     .FinalizeFunction = 5, .CloseNumber = 0xFF},
    {.Kind = DK_DDCDROM, .Page = kCDPage, .Close = TCloseWay::CD},
    {.Kind = DK_DDCDR, .Writable = true, .Page = kCDPage, .Close = TCloseWay::CD},
    {.Kind = DK_DDCDRW, .Writable = true, .Page = kCDPage, .Close = TCloseWay::CD},
    {.Kind = DK_BDROM, .Page = kNoPage, .Close = TCloseWay::CD},
    {.Kind = DK_BDR, .Writable = true, .Page = kNoPage, .Close = TCloseWay::Track,
     .FinalizeFunction = 6, .CloseNumber = 0},
    // Random recording mode is recognised but never written.
    {.Kind = DK_BDR_RRM, .Page = kNoPage, .Close = TCloseWay::CD},
    // Quick erase zeroes the descriptors, as on DVD+RW; a full one formats anew.
    {.Kind = DK_BDRE, .Writable = true, .Page = kNoPage, .Overwritable = true,
     .NextAfterVolume = true, .Format = TFormatFirst::WhenUnformatted,
     .Erase = TEraseWay::Format, .EraseFormatType = 0x00},
};

}  // namespace

const TMedium& Medium(uint16_t kind, uint16_t profile) {
  const TMedium* first = nullptr;
  for (const TMedium& m : kMedia) {
    if (m.Kind != kind) continue;
    if (m.Profile == profile) return m;
    if (!first) first = &m;
  }
  return first ? *first : kMedia[0];
}
