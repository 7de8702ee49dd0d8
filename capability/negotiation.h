// DAT_CAPABILITY: routing to the capability rules, and the answer and setting
// forms the rules are made of.
#pragma once

#include "capability/store.h"
#include "twain/triplet.h"

// The context text of every capability report.
extern const char* const CapabilityContext;

TW_UINT16 HandleCapability(const Triplet& triplet);

// The rule of ICAP_PIXELTYPE; the digitizer start-up selects the pixel type
// through it.
TW_UINT16 HandlePixelType(const Triplet& triplet);

// How many pixels one unit of the current ICAP_UNITS spans across (X) or
// down: 1 for pixels, the image's resolution (ICAP_X/YRESOLUTION) for inches.
double PixelsPerUnit(bool down);

// Samples of the image the current ICAP_PIXELTYPE delivers: 1 for grey, 3
// for RGB, 0 for any other type (the buffer's own bands then).
uint32_t PixelTypeSamples();
// ICAP_BITDEPTH after the image delivered: the bits of a band times its
// samples. Nothing before a digitizer tells the bits of a band. 0, or 1
// when memory for it is refused (the former depth stays).
uint16_t StoreDeliveredBitDepth();

// The number of frames each image averages (CUSTCAP_AVERAGEFRAMES).
uint32_t AveragedFrames();

// What CAP_DEVICEONLINE asks: whether the board's library and digitizer
// answer. Registered by the layer that talks to the board; without a probe
// the device is offline.
void SetDeviceOnlineProbe(bool (*probe)());

// The ids of the capability table, in row order.
constexpr int SupportedCapabilityCount = 30;
void SupportedCapabilityIds(TW_UINT16 (&ids)[SupportedCapabilityCount]);

// Capabilities whose values live in the board (video adjustments, channel,
// format), answered by the layer that talks to it. A row is supported, and
// listed in CAP_SUPPORTEDCAPS after the table's, only while `Offered` says
// the running digitizer has it. Registered once by that layer; the rows
// stay its own.
struct BoardCapabilityRow {
    TW_UINT16 Cap;
    TripletHandler Handler;
    bool (*Offered)();
};
constexpr int MaxBoardCapabilities = 8;  // rows beyond are not served
void SetBoardCapabilities(const BoardCapabilityRow* rows, int count);

// Answer forms: put a new container into the application's TW_CAPABILITY.
// TWRC_FAILURE with hContainer none when it cannot be built.
TW_UINT16 AnswerCopy(TW_CAPABILITY& capability);
TW_UINT16 AnswerCurrent(TW_CAPABILITY& capability);
TW_UINT16 AnswerDefault(TW_CAPABILITY& capability);
TW_UINT16 AnswerOneValue(TW_CAPABILITY& capability, TW_UINT16 itemType, const void* item);

// Setting forms.
TW_UINT16 SelectEnumerationItem(const TW_CAPABILITY& capability);
// Whether a one value of `value` would select an item of `cap`'s stored
// enumeration: TWCC_SUCCESS (also when `cap` is not stored as one),
// TWCC_BADVALUE when no item is that value, TWCC_LOWMEMORY when the list
// cannot be read. Nothing is reported.
TW_UINT16 EnumerationOffers(TW_UINT16 cap, TW_UINT32 value);
TW_UINT16 StoreAppContainer(const TW_CAPABILITY& capability);

// What MSG_QUERYSUPPORT reports: a capability the application may set
// answers all five operations, the fixed ones by accepting only what they
// hold; one it may only read (the device's state, what the source offers)
// the three queries.
constexpr TW_INT32 SupportedOperations = TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT | TWQC_SET | TWQC_RESET;
constexpr TW_INT32 ReadOnlyOperations = TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT;

// What CAP_SUPPORTEDDATS lists: (DG << 16) | DAT of every pair the source
// answers. Registered once by the layer that dispatches them; the pairs
// stay its own.
void SetSupportedDats(const TW_UINT32* pairs, int count);

// Reports `code` with the capability context and answers TWRC_FAILURE.
TW_UINT16 RefuseCapability(TW_UINT16 code);
// Hands the application a new container of type `conType`; none made (out of
// memory) is refused with TWCC_LOWMEMORY.
TW_UINT16 HandOver(TW_CAPABILITY& capability, TW_UINT16 conType, HGLOBAL container);
