// Shared pieces of the benchmark: a clock, medians, the table it prints, the
// simulated library's environment, and the TWAIN calls every part makes.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "twain/twain_types.h"

// Seconds on the performance counter.
double Now();

double Median(std::vector<double> values);

// One row of the table: what was measured, the figure, its target and the
// absolute times it came from.
void PrintRow(const std::string& measure, const std::string& figure, const std::string& target,
              const std::string& absolute);
void PrintSection(const std::string& title);
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The simulated library's controls (nullptr removes one), read when the
// source opens its board.
void SetEnv(const char* name, const char* value);
// The video format the source opens with (its settings key in the registry).
void SetVideoFormat(const char* format);

// Private bytes of this process.
double PrivateBytes();

// A triplet sent to the source, directly or through the manager.
using Caller = std::function<TW_UINT16(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void* data)>;

bool SetOneValue(const Caller& call, TW_UINT16 cap, TW_UINT16 itemType, TW_UINT32 value);

// One image, from state 6 to the end of its transfer (not MSG_ENDXFER):
// DAT_IMAGEINFO, then the transfer. False when a step failed.
bool TransferNative(const Caller& call, HGLOBAL& bitmap);
bool TransferMemory(const Caller& call, std::vector<uint8_t>& buffer, size_t& bytes);
bool TransferFile(const Caller& call, const std::string& path, TW_UINT16 format = TWFF_TIFF);
// MSG_ENDXFER: the pending count, or -2 on failure.
int EndTransfer(const Caller& call);
bool ResetTransfers(const Caller& call);

// The built source loaded into this process, called directly.
class DirectSource {
public:
    DirectSource();
    ~DirectSource();
    DirectSource(const DirectSource&) = delete;
    DirectSource& operator=(const DirectSource&) = delete;
    bool Loaded() const { return entry_ != nullptr; }
    TW_UINT16 Call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, void* data);
    Caller AsCaller();
    // MSG_OPENDS: state 4.
    bool Open();
    // MSG_OPENDS, CAP_XFERCOUNT -1, the mechanism (and the pixel type if
    // given), MSG_ENABLEDS without UI.
    bool OpenAndEnable(TW_UINT16 mechanism, int pixelType = -1);
    // Back to state 4 and MSG_CLOSEDS.
    void Close();

private:
    typedef TW_UINT16(__stdcall* Entry)(pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16, TW_MEMREF);
    HMODULE module_ = nullptr;
    Entry entry_ = nullptr;
    TW_IDENTITY app_ = {};
    TW_IDENTITY source_ = {};
    bool open_ = false;
};

// Medians a 32-bit run saved for the 64-bit run to compare with: lines of a
// key and a figure (none when the file is missing or `path` empty).
using SavedFigures = std::map<std::string, double>;
SavedFigures ReadFigures(const std::string& path);

// The folder of the benchmark program (and of the built modules).
std::string ExeFolder();

// The parts.
int RunConversion(int rounds);
int RunTransfer(int rounds);
// 2b: the file transfer in each format, its time and size against the raw image.
int RunFileFormats(int rounds);
int RunMemory(int transfers, int cycles);
// A memory transfer takes strips of `stripBytes` (0: the source's preferred size).
int RunContinuous(const char* videoFormat, const char* mechanism, int frames, size_t stripBytes = 0);
// Automatic capture of `frames` images `betweenMs` apart while the application
// collects them slowly: each image's capture time against its schedule.
int RunTimeLapse(int frames, int betweenMs);
// The cost averaged frames add per frame, against the frame period.
int RunAveraging(int rounds);
// Whole transfers through the source this program was built for; `save`
// writes the medians, `against` reads the 32-bit run's (either may be empty).
int RunHostPath(int rounds, const std::string& save, const std::string& against);
// The cost of one call (DAT_STATUS, a capability query) against an empty call
// into another module; `save` and `against` as for RunHostPath.
int RunCalls(int rounds, const std::string& save, const std::string& against);
// MSG_OPENDS step by step (the 32-bit build, with the source's code linked in).
int RunOpenSteps(int rounds);
int RunSoak(int transfers, int cycles, int dialogCycles);
