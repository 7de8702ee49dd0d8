// The imaging library's entry points, bound at run time from MIL.DLL. The
// board library MILORION.DLL is only loaded, never called.
#pragma once

#include <windows.h>

#include <type_traits>

typedef long MilId;  // 32-bit identifier; 0 means none or failure

// The one list of entry points, in the order they are resolved: it drives
// both the typed table below and the resolution loop.
#define MIL_ENTRY_POINTS(X)                                                                  \
    X(MappAlloc, MilId(__stdcall*)(long initFlag, MilId* id))                                \
    X(MappFree, void(__stdcall*)(MilId app))                                                 \
    X(MappControl, void(__stdcall*)(long item, long value))                                  \
    X(MsysAlloc, MilId(__stdcall*)(const char* descriptor, long num, long initFlag, MilId* id)) \
    X(MsysFree, void(__stdcall*)(MilId sys))                                                 \
    X(MsysInquire, long(__stdcall*)(MilId sys, long item, void* result))                     \
    X(MdigAlloc, MilId(__stdcall*)(MilId sys, long devNum, const char* format, long initFlag, MilId* id)) \
    X(MdigFree, void(__stdcall*)(MilId dig))                                                 \
    X(MdigGrab, void(__stdcall*)(MilId dig, MilId img))                                      \
    X(MdigGrabContinuous, void(__stdcall*)(MilId dig, MilId img))                            \
    X(MdigHalt, void(__stdcall*)(MilId dig))                                                 \
    X(MdigInquire, long(__stdcall*)(MilId dig, long item, void* result))                     \
    X(MdigChannel, void(__stdcall*)(MilId dig, long channel))                                \
    X(MdigControl, void(__stdcall*)(MilId dig, long item, double value))                     \
    X(MdigLut, void(__stdcall*)(MilId dig, MilId lut))                                       \
    X(MdigReference, void(__stdcall*)(MilId dig, long referenceType, long level))            \
    X(MdigHookFunction, long(__stdcall*)(MilId dig, long hookType, void* function, void* user)) \
    X(MdispAlloc, MilId(__stdcall*)(MilId sys, long num, const char* format, long initFlag, MilId* id)) \
    X(MdispSelect, void(__stdcall*)(MilId disp, MilId img))                                  \
    X(MdispSelectWindow, void(__stdcall*)(MilId disp, MilId img, HWND window))               \
    X(MdispDeselect, void(__stdcall*)(MilId disp, MilId img))                                \
    X(MdispControl, void(__stdcall*)(MilId disp, long item, long value))                     \
    X(MdispInquire, long(__stdcall*)(MilId disp, long item, void* result))                   \
    X(MdispFree, void(__stdcall*)(MilId disp))                                               \
    X(MdispZoom, void(__stdcall*)(MilId disp, long xFactor, long yFactor))                   \
    X(MbufAllocColor, MilId(__stdcall*)(MilId sys, long bands, long sizeX, long sizeY, long type, long attribute, MilId* id)) \
    X(MbufAlloc1d, MilId(__stdcall*)(MilId sys, long sizeX, long type, long attribute, MilId* id)) \
    X(MbufChildColor, MilId(__stdcall*)(MilId parent, long band, MilId* id))                 \
    X(MbufFree, void(__stdcall*)(MilId buf))                                                 \
    X(MbufInquire, long(__stdcall*)(MilId buf, long item, void* result))                     \
    X(MbufSave, void(__stdcall*)(const char* fileName, MilId buf))                           \
    X(MgenLutRamp, void(__stdcall*)(MilId lut, long startIndex, double startValue, long endIndex, double endValue))

struct MilEntryPoints {
#define MIL_DECLARE_ENTRY(name, type) std::type_identity_t<type> name;
    MIL_ENTRY_POINTS(MIL_DECLARE_ENTRY)
#undef MIL_DECLARE_ENTRY
};

// Every call into the library goes through this table. All null until
// MilInitSystem has bound it, and again after MilFreeSystem.
extern MilEntryPoints Mil;

// Fills `table` from `library` in list order. On the first missing entry
// point answers false, names it in `missing` and leaves `table` all null.
bool ResolveMilEntryPoints(HMODULE library, MilEntryPoints& table, const char*& missing);

// True once the table is bound.
bool MilBound();

// Item numbers and values of the library calls the source makes.
namespace mil {
constexpr long Default = 0x10000000;        // M_DEFAULT as an init flag or device number
constexpr long ErrorMessages = 0x40000000;  // MappControl item: the library's own error boxes
constexpr long SizeX = 1002, SizeY = 1003, SizeBand = 1005, SizeBit = 1007, DataFormat = 1010;
constexpr long ColorMode = 1018;
constexpr long BoardType = 2014, BoardRevision = 2015;
constexpr long HostAddress = static_cast<long>(0x80000000u);
constexpr long BlackReference = 4003, WhiteReference = 4005;
constexpr long Hue = 4006, Saturation = 4007, Brightness = 4008, Contrast = 4009;
constexpr long ChannelOffset = 0x400000;
constexpr long GrabDisplayAttribute = 44;  // grab into and display
constexpr long GrabAttribute = 12;         // grab memory probe buffers
constexpr long LutAttribute = 256;
constexpr long Unsigned8 = 8;
}  // namespace mil
