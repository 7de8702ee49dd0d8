#include "grabber/startup.h"

#include <cstdio>
#include <ctime>

#include "capability/container.h"
#include "capability/negotiation.h"
#include "capability/region.h"
#include "capability/store.h"
#include "diag/system_report.h"
#include "settings/input_lut.h"
#include "settings/source_settings.h"
#include "twain/condition.h"
#include "twain/debug_log.h"
#include "twain/source.h"
#include "twain/text.h"

MilInfoRecord MilInfo = {};
uint32_t LiveRunning = 0;

namespace {

void (*ImageBufferUser)() = nullptr;

HMODULE MilLibrary = nullptr;
HMODULE GrabberLibrary = nullptr;

constexpr const char* ErrorCaption = "Talvenix TWAIN driver error message";
constexpr const char* DigitizerCaption = "Talvenix TWAIN DS";
constexpr const char* SupportContact = "support@talvenix.example";

const BufferFormatInfo BufferFormats[] = {
    {0x0100, "M_MONO1 ", 0, 0},   {0x0200, "M_MONO8 ", 0, 0},    {0x0300, "M_MONO16 ", 0, 0},
    {0x0400, "M_MONO32 ", 1, 0},  {0x0600, "M_RGB15", 0, 0},     {0x0700, "M_RGB16", 0, 0},
    {0x0800, "M_RGB24", 0, 0},    {0x0900, "M_RGB32", 1, 0},     {0x0A00, "M_XRGB32", 1, 0},
    {0x0B00, "M_RGB48", 0, 0},    {0x0C00, "M_RGB96", 0, 0},     {0x0D00, "M_RGB3", 0, 0},
    {0x0E00, "M_BGR15", 0, 1},    {0x0F00, "M_BGR16", 0, 1},     {0x1000, "M_BGR24", 0, 1},
    {0x1100, "M_BGR32", 1, 1},    {0x1200, "M_XBGR32", 1, 0},    {0x1500, "M_YUV9", 0, 0},
    {0x1600, "M_YUV12", 0, 0},    {0x1700, "M_YUV16", 0, 0},     {0x1B00, "M_YUV24", 0, 0},
    {0x1C00, "M_YUV16_YUYV", 0, 0}, {0x1D00, "M_YUV16_UYVY", 0, 0}, {0x1F00, "M_YUV12_1394", 0, 0},
};

// Undoes a partial start: a retry then begins from nothing.
void ReleaseSystemStart()
{
    if (MilInfo.MilSystem != 0) {
        Mil.MsysFree(MilInfo.MilSystem);
        MilInfo.MilSystem = 0;
    }
    if (MilInfo.MilApplication != 0) {
        Mil.MappFree(MilInfo.MilApplication);
        MilInfo.MilApplication = 0;
    }
    Mil = {};
    if (MilLibrary != nullptr) {
        FreeLibrary(MilLibrary);
        MilLibrary = nullptr;
    }
    if (GrabberLibrary != nullptr) {
        FreeLibrary(GrabberLibrary);
        GrabberLibrary = nullptr;
    }
}

uint16_t FailSystemStart()
{
    ReleaseSystemStart();
    return 1;
}

int ScreenBitsPerPixel()
{
    HDC screen = GetDC(nullptr);
    const int bits = GetDeviceCaps(screen, BITSPIXEL);
    ReleaseDC(nullptr, screen);
    return bits;
}

// The board's own pixel type, unless the application's list of pixel types
// leaves it out: 0, or 1 when memory for the change was refused.
uint16_t SelectPixelType(uint32_t bandCount)
{
    const TW_UINT16 pixelType = bandCount == 1 ? TWPT_GRAY : TWPT_RGB;
    TW_CAPABILITY capability = {};
    capability.Cap = ICAP_PIXELTYPE;
    capability.ConType = TWON_ONEVALUE;
    capability.hContainer = MakeOneValue(TWTY_UINT16, &pixelType);
    if (capability.hContainer == nullptr) {
        return 1;
    }
    Triplet set = {&SourceIdentity, DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capability};
    const bool refused = HandlePixelType(set) != TWRC_SUCCESS && PendingCondition == TWCC_LOWMEMORY;
    // Like any application's container, ours stays ours.
    GlobalFree(capability.hContainer);
    return refused ? 1 : 0;
}

}  // namespace

const BufferFormatInfo* FindBufferFormat(uint32_t format)
{
    for (const BufferFormatInfo& info : BufferFormats) {
        if (info.Code == format) {
            return &info;
        }
    }
    return nullptr;
}

uint16_t MilInitSystem()
{
    DebugLog log;
    const time_t now = time(nullptr);
    log.Write("------------------------------------------------------------------------ \n");
    log.Write("Log created %s", ctime(&now));
    log.Write("Talvenix TWAIN DS: Loading runtime DLL's \n");

    // Starting twice without closing would leak the first start.
    MilFreeSystem();

    MilLibrary = LoadLibraryA("MIL.DLL");
    if (MilLibrary == nullptr) {
        log.Write("Talvenix TWAIN DS: Error in LoadLibrary, MIL.DLL not found \n");
        return FailSystemStart();
    }
    LogFileVersion("MIL.DLL");

    GrabberLibrary = LoadLibraryA("MILORION.DLL");
    if (GrabberLibrary == nullptr) {
        MessageBoxA(nullptr,
                    "Unable to establish communication to low level DLL, make sure the right MATROX board "
                    "level drivers are installed!",
                    ErrorCaption, MB_OK);
        log.Write("Talvenix TWAIN DS: Error in LoadLibrary, GRABBER_DLL not found \n");
        return FailSystemStart();
    }
    LogFileVersion("MILORION.DLL");
    char modulePath[256] = "";
    GetModuleFileNameA(ModuleHandle, modulePath, sizeof modulePath);
    LogFileVersion(modulePath);

    const char* missing = nullptr;
    if (!ResolveMilEntryPoints(MilLibrary, Mil, missing)) {
        log.Write("Talvenix TWAIN DS: Error in GetProcAddress, %s not found \n", missing);
        return FailSystemStart();
    }

    MilInfo.MilApplication = Mil.MappAlloc(mil::Default, nullptr);
    if (MilInfo.MilApplication == 0) {
        log.Write("Talvenix TWAIN DS: Error in MappAlloc \n");
        return FailSystemStart();
    }
    MilInfo.MilSystem = Mil.MsysAlloc("\\\\.\\M_SYSTEM_ORION", 0, 0, nullptr);
    if (MilInfo.MilSystem == 0) {
        log.Write("Talvenix TWAIN DS: Error in MsysAlloc \n");
        return FailSystemStart();
    }

    const int bits = ScreenBitsPerPixel();
    if (bits != 32) {
        log.Write("Talvenix TWAIN DS: display is in %d bpp mode \n", bits);
        MessageBoxA(nullptr, "Orion needs the display to be set in 32 bits per pixel, please change the VGA color depth",
                    ErrorCaption, MB_OK);
        return FailSystemStart();
    }
    return 0;
}

uint32_t MeasureGrabMemoryKb()
{
    MilId held[100] = {};
    int count = 0;
    uint32_t totalKb = 0;
    uint32_t chunkKb = 1024;
    while (chunkKb > 1 && count < 100) {
        const MilId buffer =
            Mil.MbufAlloc1d(MilInfo.MilSystem, static_cast<long>(chunkKb * 1024), mil::Unsigned8, mil::GrabAttribute, nullptr);
        if (buffer != 0) {
            held[count++] = buffer;
            totalKb += chunkKb;
        } else {
            chunkKb /= 2;
        }
    }
    while (count > 0) {
        Mil.MbufFree(held[--count]);
    }
    return totalKb;
}

uint16_t MilInitDigitizer(char* format, bool fallBack)
{
    DebugLog log;
    ForgetImageBufferUsers();
    if (MilInfo.MilSystem == 0) {
        log.Write("Talvenix TWAIN DS: call MilInitDigitizer with MilInfo.MilSystem==0 !!\n");
        return 1;
    }
    Mil.MappControl(mil::ErrorMessages, 0);
    log.Write("Talvenix TWAIN DS: DigFormat=%s\n", format);
    MilInfo.MilDigitizer = Mil.MdigAlloc(MilInfo.MilSystem, 0, format, mil::Default, nullptr);
    if (MilInfo.MilDigitizer == 0 && !fallBack) {
        log.Write("Talvenix TWAIN DS: video format %s refused by the board \n", format);
        Mil.MappControl(mil::ErrorMessages, 1);
        return 2;
    }
    if (MilInfo.MilDigitizer == 0) {
        log.Write("Talvenix TWAIN DS: Unsupported Camera Type, using CCIR default! \n");
        MessageBoxA(DialogHandle, "Unsupported Camera Type, using CCIR default!", DigitizerCaption, MB_OK);
        CopyText(format, 256, "M_CCIR");
        MilInfo.MilDigitizer = Mil.MdigAlloc(MilInfo.MilSystem, 0, format, mil::Default, nullptr);
        if (MilInfo.MilDigitizer == 0) {
            log.Write("Talvenix TWAIN DS: Cannot allocate any camera, make sure you installed the right VGA driver\n");
            MessageBoxA(DialogHandle, "Cannot allocate any camera, make sure you installed the right VGA driver",
                        DigitizerCaption, MB_OK);
            return 1;
        }
    }
    Mil.MappControl(mil::ErrorMessages, 1);
    SetDigFormat(format);

    MilInfo.MilDisplay = Mil.MdispAlloc(MilInfo.MilSystem, mil::Default, "M_DEFAULT", mil::Default, nullptr);
    if (MilInfo.MilDisplay == 0) {
        log.Write("Talvenix TWAIN DS: call MilInitDigitizer with MilInfo.MilDisplay==0 !!\n");
    }

    // The probe runs the board out of memory on purpose.
    Mil.MappControl(mil::ErrorMessages, 0);
    SetGrabberMemoryKb(MeasureGrabMemoryKb());
    if (DumpMode != 0) {
        Mil.MappControl(mil::ErrorMessages, 1);
    }

    const long bands = Mil.MdigInquire(MilInfo.MilDigitizer, mil::SizeBand, nullptr);
    const long width = Mil.MdigInquire(MilInfo.MilDigitizer, mil::SizeX, nullptr);
    const long height = Mil.MdigInquire(MilInfo.MilDigitizer, mil::SizeY, nullptr);
    MilInfo.MilImage =
        Mil.MbufAllocColor(MilInfo.MilSystem, bands, width, height, mil::Unsigned8, mil::GrabDisplayAttribute, nullptr);
    if (MilInfo.MilImage == 0) {
        log.Write("Talvenix TWAIN DS: call MilInitDigitizer with MilInfo.MilImage==0 !!\n");
    }

    MilGetBoardInfo();

    if (SourceSettings.LutAvailable == 1) {
        StartInputLut();
    }
    if (SelectPixelType(SourceSettings.BandCount) == 1) {
        log.Write("Talvenix TWAIN DS: no memory for the pixel type \n");
        return 3;
    }
    // The depth of the image delivered, also when the application's list of
    // pixel types refused the buffer's own. A depth that cannot be stored
    // would announce another image than the one delivered.
    if (StoreDeliveredBitDepth() == 1) {
        log.Write("Talvenix TWAIN DS: no memory for the bit depth \n");
        return 3;
    }
    return 0;
}

void MilGetBoardInfo()
{
    DebugLog log;
    // Asked one by one, in this order: arguments have none.
    const long width = Mil.MdigInquire(MilInfo.MilDigitizer, mil::SizeX, nullptr);
    const long height = Mil.MdigInquire(MilInfo.MilDigitizer, mil::SizeY, nullptr);
    const long bits = Mil.MbufInquire(MilInfo.MilImage, mil::SizeBit, nullptr);
    const long bands = Mil.MbufInquire(MilInfo.MilImage, mil::SizeBand, nullptr);
    SetImageFormat(static_cast<uint32_t>(width), static_cast<uint32_t>(height), static_cast<uint32_t>(bits),
                   static_cast<uint32_t>(bands));
    log.Write("Talvenix TWAIN DS: Image format %d x %d x %dbpp, %d planes \n", static_cast<int>(SourceSettings.ImageWidth),
              static_cast<int>(SourceSettings.ImageHeight), static_cast<int>(SourceSettings.BitsPerBand),
              static_cast<int>(SourceSettings.BandCount));

    const long bufferFormat = Mil.MbufInquire(MilInfo.MilImage, mil::DataFormat, nullptr);
    MilInfo.FourBytePixels = 0;
    MilInfo.BgrOrder = 0;
    const BufferFormatInfo* info = FindBufferFormat(static_cast<uint32_t>(bufferFormat) & 0x3F00);
    if (info != nullptr) {
        log.Write("Talvenix TWAIN DS: buffer format %s\n", info->LogName);
        MilInfo.FourBytePixels = info->FourBytePixels;
        MilInfo.BgrOrder = info->BgrOrder;
    } else {
        log.Write("Talvenix TWAIN DS: UNKNOWN !!! buffer format \n");
    }

    LogSystemInfo();

    const long boardType = Mil.MsysInquire(MilInfo.MilSystem, mil::BoardType, nullptr);
    SetColorMode(Mil.MdigInquire(MilInfo.MilDigitizer, mil::ColorMode, nullptr));
    // The library answers the address as a 32-bit number.
    MilInfo.HostAddress = reinterpret_cast<void*>(Mil.MbufInquire(MilInfo.MilImage, mil::HostAddress, nullptr));
    if (MilInfo.HostAddress == nullptr) {
        log.Write("Talvenix TWAIN DS: ERROR !!! no pointer to grabbed data\n");
    }
    const long boardRevision = Mil.MsysInquire(MilInfo.MilSystem, mil::BoardRevision, nullptr);
    if (boardType == 40) {
        SetLutAvailable(1);
        SetBoardName("Orion");
    } else {
        SetLutAvailable(0);
        char name[128];
        std::snprintf(name, sizeof name, "unknown Orion, please contact %s", SupportContact);
        SetBoardName(name);
    }
    log.Write("Board: %s, Revision %d \n", GetBoardName(), static_cast<int>(boardRevision));
}

void OnImageBufferGone(void (*forget)())
{
    ImageBufferUser = forget;
}

void ForgetImageBufferUsers()
{
    if (ImageBufferUser != nullptr) {
        ImageBufferUser();
    }
    // A region belongs to the frame it was set in.
    NegotiatedRegion = {};
    // Freeing the digitizer halts its continuous grab.
    LiveRunning = 0;
}

void MilFreeDigitizer()
{
    ForgetImageBufferUsers();
    if (MilInfo.MilSystem == 0) {
        return;
    }
    if (SourceSettings.LutAvailable == 1 && CurrentInputLut != nullptr) {
        CurrentInputLut->TearDown();
        EndInputLut();
    }
    if (MilInfo.MilImage != 0) {
        Mil.MbufFree(MilInfo.MilImage);
        MilInfo.MilImage = 0;
    }
    if (MilInfo.MilDigitizer != 0) {
        Mil.MdigFree(MilInfo.MilDigitizer);
        MilInfo.MilDigitizer = 0;
    }
    if (MilInfo.MilDisplay != 0) {
        Mil.MdispFree(MilInfo.MilDisplay);
        MilInfo.MilDisplay = 0;
    }
    MilInfo.HostAddress = nullptr;
    // A format change forgets the loaded curves.
    SetLutNodes(0, nullptr, 0);
}

bool MilBoardAnswers()
{
    if (!MilBound() || MilInfo.MilDigitizer == 0) {
        return false;
    }
    // A question must not put the library's box in front of the user.
    Mil.MappControl(mil::ErrorMessages, 0);
    const long width = Mil.MdigInquire(MilInfo.MilDigitizer, mil::SizeX, nullptr);
    if (DumpMode != 0) {
        Mil.MappControl(mil::ErrorMessages, 1);
    }
    return width > 0;
}

void MilFreeSystem()
{
    if (MilInfo.MilSystem == 0) {
        return;
    }
    MilFreeDigitizer();
    ReleaseSystemStart();
}
