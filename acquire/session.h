// One session with one source: the acquisition loop and the writing of every image.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "acquire/dsm.h"
#include "acquire/image_check.h"
#include "acquire/options.h"

// One session with one source: open, negotiate, enable, transfer, close;
// with --setup-only: open, enable for settings only, close when the user
// closes the source's dialog.
class Session {
public:
    Session(DataSourceManager& dsm, const Options& options) : dsm_(dsm), options_(options) {}

    int Run(HWND window);

private:
    bool Fail(const std::string& what)
    {
        std::fprintf(stderr, "twacquire: %s (%s)\n", what.c_str(), ConditionName(dsm_.Condition(&source_)));
        return false;
    }
    bool SetOneValue(TW_UINT16 cap, TW_UINT16 itemType, TW_UINT32 value, const char* what);
    // A one value whose item is `size` bytes (a string's whole array).
    bool SetItem(TW_UINT16 cap, TW_UINT16 itemType, const void* item, size_t size, const std::string& what);
    bool NegotiateBoard();
    bool Negotiate();
    // --load-setup, --region, --save-setup: each refused with one line.
    bool LoadSetup();
    bool SetRegion();
    bool SaveSetup();
    // Where the images lie in the frame, as DAT_IMAGELAYOUT answers.
    void AskRegion();
    // The Item of the one value `cap` answers to `msg`; false when it fails.
    bool OneValueItem(TW_UINT16 cap, TW_UINT16 msg, TW_UINT32& item);
    bool WaitForTransfer(HWND window);
    // DAT_CALLBACK with the 2.x manager: the notices come through it.
    bool RegisterCallback();
    bool TransferAll();
    bool TransferOne(int index, TW_UINT16& pendingCount);
    bool Native(const TW_IMAGEINFO& info, const std::string& stem, size_t& bytes);
    bool Memory(const TW_IMAGEINFO& info, const std::string& stem, size_t& bytes);
    bool File(const TW_IMAGEINFO& info, const std::string& stem, size_t& bytes);
    // `meanDifference`: see MatchesPattern (a JPEG's tolerance).
    bool Check(const DecodedImage& image, const TW_IMAGEINFO& info, const std::string& what,
               double meanDifference = 0);
    // The multi-page file once the transfers ended: a page an image, each
    // checked with --check.
    bool CheckPages();
    uint32_t BoardSamples();

    DataSourceManager& dsm_;
    const Options& options_;
    TW_IDENTITY source_ = {};
    bool open_ = false;
    bool enabled_ = false;
    bool closeRequested_ = false;
    bool callback_ = false;  // the notices come through a registered callback
    int images_ = 0;
    uint32_t boardSamples_ = 0;  // what the board delivers of itself: 1 grey, 3 colour
    uint32_t regionLeft_ = 0;    // the images' place in the frame
    uint32_t regionTop_ = 0;
    std::string pagesFile_;      // the multi-page file the transfers wrote into
    TW_IMAGEINFO pageInfo_ = {};  // what its pages were announced as
};
