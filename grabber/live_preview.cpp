#include "grabber/live_preview.h"

#include "grabber/startup.h"
#include "twain/debug_log.h"

uint32_t DisplaySelected = 0;
uint32_t LiveMode = 0;

namespace {

// Items that shape the library's own preview window; -9999 leaves each to
// the library's choice.
constexpr long ExternalWindowItems[] = {3155, 3064, 3063, 3051, 3058};
constexpr long LibraryDefault = -9999;
constexpr long WindowTitleItem = 3119;

}  // namespace

uint32_t MilSelectDisplay(int32_t request, HWND window)
{
    if (request == -1 || static_cast<uint32_t>(request) == DisplaySelected) {
        return DisplaySelected;
    }
    DebugLog log;
    if (request == 1) {
        if (window == nullptr) {
            for (long item : ExternalWindowItems) {
                Mil.MdispControl(MilInfo.MilDisplay, item, LibraryDefault);
            }
            // The library takes the title's address in place of a number.
            static const char title[] = "TWAIN source live preview";
            Mil.MdispControl(MilInfo.MilDisplay, WindowTitleItem,
                             static_cast<long>(reinterpret_cast<intptr_t>(title)));
            log.Write("Talvenix TWAIN DS: creating display in external window\n");
        } else {
            log.Write("Talvenix TWAIN DS: creating display in UI window\n");
        }
        Mil.MdispSelectWindow(MilInfo.MilDisplay, MilInfo.MilImage, window);
    } else {
        Mil.MdispDeselect(MilInfo.MilDisplay, MilInfo.MilImage);
    }
    DisplaySelected = 1 - DisplaySelected;
    return DisplaySelected;
}

uint32_t MilStartLive(uint32_t start)
{
    DebugLog log;
    log.Write("MilStartLive %s", start != 0 ? "Start\n" : "Stop\n");
    if (start != 0) {
        log.Write("Talvenix TWAIN DS: enabling continuous live grab\n");
        Mil.MdigGrabContinuous(MilInfo.MilDigitizer, MilInfo.MilImage);
        LiveMode = 1;
        LiveRunning = 1;
    } else if (LiveMode == 1) {
        log.Write("Talvenix TWAIN DS: ending continuous grab \n");
        Mil.MdigHalt(MilInfo.MilDigitizer);
        LiveRunning = 0;
    } else {
        log.Write("Talvenix TWAIN DS: ignoring first StopLive call \n");
    }
    return 0;
}
