#include "grabber/timed_capture.h"

#include <cstring>

#include "capability/negotiation.h"
#include "capability/store.h"
#include "grabber/capture.h"
#include "grabber/frame_average.h"
#include "grabber/mil_binding.h"
#include "grabber/startup.h"
#include "settings/source_settings.h"
#include "twain/allocation.h"
#include "twain/condition.h"
#include "twain/debug_log.h"
#include "twain/manager.h"
#include "twain/source.h"

FrameStamp DeliveredStamp;

namespace {

int64_t NowUs()
{
    LARGE_INTEGER counter;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<int64_t>(counter.QuadPart / frequency.QuadPart * 1000000 +
                                counter.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart);
}

// The video norm's frame period: 625-line formats 25 frames a second,
// 525-line ones 30000/1001.
int64_t FramePeriodUs()
{
    return GetImageHeight() >= 576 ? 40000 : 33367;
}

// The frame clock of the current enabling. Its origin is the end of the
// first frame grabbed after the enable, so that every later grab, which
// ends on a frame boundary too, lies a whole number of periods after it.
struct FrameClock {
    int64_t EnableUs = 0;
    int64_t OriginUs = 0;  // 0: no frame grabbed yet
};
FrameClock Clock;
// A lock of the module's lifetime: given back at unload, as a module loaded
// and unloaded again and again must leave nothing behind.
struct ModuleLock {
    CRITICAL_SECTION Section;
    ModuleLock() { InitializeCriticalSection(&Section); }
    ~ModuleLock() { DeleteCriticalSection(&Section); }
    ModuleLock(const ModuleLock&) = delete;
    ModuleLock& operator=(const ModuleLock&) = delete;
};

// The clock thread and the application's both stamp frames.
ModuleLock ClockSection;
CRITICAL_SECTION& ClockLock = ClockSection.Section;

FrameStamp StampGrabEndingAt(int64_t endUs)
{
    EnterCriticalSection(&ClockLock);
    if (Clock.OriginUs == 0) {
        Clock.OriginUs = endUs;
    }
    const int64_t period = FramePeriodUs();
    const int64_t sinceOrigin = endUs - Clock.OriginUs;
    FrameStamp stamp;
    stamp.FrameNumber = sinceOrigin > 0 ? static_cast<uint64_t>((sinceOrigin + period / 2) / period) : 0;
    stamp.MsSinceEnable = static_cast<uint32_t>((endUs - Clock.EnableUs) / 1000);
    LeaveCriticalSection(&ClockLock);
    GetSystemTimeAsFileTime(&stamp.Time);
    return stamp;
}

// Bytes of a frame in an image buffer of the current digitizer.
size_t FrameBufferBytes()
{
    const FrameLayout geometry = CurrentFrameGeometry();
    const size_t pixel = geometry.FourBytePixels ? 4 : geometry.BandCount;
    return static_cast<size_t>(geometry.Width) * geometry.Height * pixel;
}

// Grabs `frames` consecutive frames into `buffer` (pixels at `pixels`,
// `bytes` of them) and leaves their rounded mean there; `sums` has room for
// `bytes` sums when more than one frame is averaged. The stamp is the first
// frame's.
FrameStamp GrabFrames(MilId buffer, uint8_t* pixels, size_t bytes, uint32_t frames, uint16_t* sums)
{
    Mil.MdigGrab(MilInfo.MilDigitizer, buffer);
    const FrameStamp stamp = StampGrabEndingAt(NowUs());
    if (frames > 1) {
        ClearFrameSums(sums, bytes);
        AddFrame(sums, pixels, bytes);
        for (uint32_t i = 1; i < frames; ++i) {
            Mil.MdigGrab(MilInfo.MilDigitizer, buffer);
            AddFrame(sums, pixels, bytes);
        }
        WriteFrameMean(pixels, sums, bytes, frames);
    }
    return stamp;
}

// The sums of the application thread's averages, kept between grabs.
OwnedArray<uint16_t> GrabSums;
size_t GrabSumsBytes = 0;

// --- the schedule -------------------------------------------------------

// Everything the clock thread and the transfers share; Lock guards the
// counts, the held frames and their stamps.
struct Schedule {
    ModuleLock Guard;
    CRITICAL_SECTION& Lock = Guard.Section;
    HANDLE Stop = nullptr;      // manual reset: the enabling ends
    HANDLE Captured = nullptr;  // auto reset: an image was held or the schedule ended
    HANDLE Thread = nullptr;
    HWND NoticeWindow = nullptr;
    HANDLE NoticeThread = nullptr;  // runs the window's loop for an application that may never pump
    DWORD NoticeThreadId = 0;
    bool Running = false;
    TimedCapturePlan Plan;
    BatchCounts Batch;
    size_t FrameBytes = 0;
    OwnedArray<uint8_t> Frames;   // Capacity frames
    OwnedArray<FrameStamp> Stamps;
    OwnedArray<uint16_t> Sums;    // the clock thread's averages
    MilId GrabBuffer = 0;         // the clock thread grabs here, never into the transfers' buffer
    uint8_t* GrabPixels = nullptr;
    LONG Announced = 0;
};
Schedule Timed;

constexpr UINT FirstHeldMessage = WM_APP + 1;
const char* const NoticeClass = "Talvenix TWAIN DS automatic capture";

LRESULT CALLBACK NoticeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY && GetCurrentThreadId() == Timed.NoticeThreadId) {
        PostQuitMessage(0);
    }
    // The source may have been disabled and enabled again since the post.
    if (message == FirstHeldMessage && Timed.Running && window == Timed.NoticeWindow && SourceState == 500) {
        NotifyXferReady();
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND CreateNoticeWindow()
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = NoticeProc;
    windowClass.hInstance = ModuleHandle;
    windowClass.lpszClassName = NoticeClass;
    RegisterClassA(&windowClass);  // fails harmlessly once registered
    return CreateWindowExA(0, NoticeClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, ModuleHandle, nullptr);
}

// The notice window's own thread, for a TWAIN 2 application whose manager
// gave its entry point: it may take its notices through a callback and
// never pump a message on the thread that enabled the source.
DWORD WINAPI NoticeLoop(void* created)
{
    Timed.NoticeWindow = CreateNoticeWindow();
    SetEvent(static_cast<HANDLE>(created));
    MSG message;
    while (Timed.NoticeWindow != nullptr && GetMessageA(&message, nullptr, 0, 0) > 0) {
        DispatchMessageA(&message);
    }
    return 0;
}

// The notice window on the enabling thread, or on a thread of its own when
// the manager takes the notices through its entry point.
bool StartNoticeWindow()
{
    if (ManagerEntry.DSM_Entry == nullptr) {
        Timed.NoticeWindow = CreateNoticeWindow();
        return Timed.NoticeWindow != nullptr;
    }
    HANDLE created = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (created == nullptr) {
        return false;
    }
    Timed.NoticeThread = CreateThread(nullptr, 0, NoticeLoop, created, 0, &Timed.NoticeThreadId);
    if (Timed.NoticeThread != nullptr) {
        WaitForSingleObject(created, INFINITE);
    }
    CloseHandle(created);
    return Timed.NoticeWindow != nullptr;
}

// Waits until `dueUs` or the stop; false when stopped.
bool WaitUntilDue(int64_t dueUs)
{
    for (;;) {
        const int64_t left = dueUs - NowUs();
        if (left <= 0) {
            return WaitForSingleObject(Timed.Stop, 0) != WAIT_OBJECT_0;
        }
        if (WaitForSingleObject(Timed.Stop, static_cast<DWORD>((left + 999) / 1000)) == WAIT_OBJECT_0) {
            return false;
        }
    }
}

DWORD WINAPI ClockThread(void*)
{
    const CaptureSchedule& schedule = Timed.Plan.Schedule;
    // The enabling's frame 0: the schedule's times count from the end of the
    // frame under way at the enable, so that each capture ends within one
    // frame period of its time.
    if (schedule.FirstMs != 0) {
        GrabFrames(Timed.GrabBuffer, Timed.GrabPixels, Timed.FrameBytes, 1, nullptr);
    }
    int64_t originUs = 0;
    for (uint32_t image = 0;; ++image) {
        EnterCriticalSection(&Timed.Lock);
        const bool done = ScheduleDone(Timed.Batch);
        LeaveCriticalSection(&Timed.Lock);
        if (done) {
            break;
        }
        // Image 0 without a delay is the enabling's frame 0 itself.
        if (image != 0 || schedule.FirstMs != 0) {
            if (originUs == 0) {
                EnterCriticalSection(&ClockLock);
                originUs = Clock.OriginUs != 0 ? Clock.OriginUs : NowUs();
                LeaveCriticalSection(&ClockLock);
            }
            // A grab takes the first frame that ends after the call: called
            // half a period early, it takes the frame that ends nearest the
            // image's time, never more than half a period from it.
            if (!WaitUntilDue(originUs + static_cast<int64_t>(ScheduledTimeUs(schedule, image)) - FramePeriodUs() / 2)) {
                break;
            }
        }
        EnterCriticalSection(&Timed.Lock);
        const bool full = HeldImages(Timed.Batch) >= Timed.Batch.Capacity;
        if (full) {
            AdmitDueImage(Timed.Batch);  // counted missed
        }
        LeaveCriticalSection(&Timed.Lock);
        if (full) {
            DebugLog().Write("Talvenix TWAIN DS: automatic capture: image %u missed, every buffer full\n", image + 1);
            continue;
        }
        const FrameStamp stamp = GrabFrames(Timed.GrabBuffer, Timed.GrabPixels, Timed.FrameBytes,
                                            Timed.Plan.Average, Timed.Sums.get());
        EnterCriticalSection(&Timed.Lock);
        const uint32_t slot = NextCaptureSlot(Timed.Batch);
        if (AdmitDueImage(Timed.Batch)) {
            std::memcpy(Timed.Frames.get() + slot * Timed.FrameBytes, Timed.GrabPixels, Timed.FrameBytes);
            Timed.Stamps[slot] = stamp;
        }
        LeaveCriticalSection(&Timed.Lock);
        SetEvent(Timed.Captured);
        DebugLog().Write("Talvenix TWAIN DS: automatic capture: image %u of frame %llu at %u ms\n", image + 1,
                         static_cast<unsigned long long>(stamp.FrameNumber), stamp.MsSinceEnable);
        if (InterlockedExchange(&Timed.Announced, 1) == 0) {
            PostMessageA(Timed.NoticeWindow, FirstHeldMessage, 0, 0);
        }
    }
    SetEvent(Timed.Captured);
    return 0;
}

void FreeScheduleFrames()
{
    Timed.Frames.reset();
    Timed.Stamps.reset();
    Timed.Batch = {};
    Timed.FrameBytes = 0;
}

void FreeScheduleRun()
{
    if (Timed.GrabBuffer != 0) {
        Mil.MbufFree(Timed.GrabBuffer);
        Timed.GrabBuffer = 0;
        Timed.GrabPixels = nullptr;
    }
    Timed.Sums.reset();
    for (HANDLE* handle : {&Timed.Stop, &Timed.Captured, &Timed.Thread}) {
        if (*handle != nullptr) {
            CloseHandle(*handle);
            *handle = nullptr;
        }
    }
    if (Timed.NoticeWindow != nullptr) {
        // A window is destroyed by its own thread: an enabling ended from
        // another thread closes it through that thread's loop.
        if (!DestroyWindow(Timed.NoticeWindow)) {
            PostMessageA(Timed.NoticeWindow, WM_CLOSE, 0, 0);
        }
        Timed.NoticeWindow = nullptr;
    }
    if (Timed.NoticeThread != nullptr) {
        // Ended from inside a notice (the application's callback disabled
        // the source) the loop ends on its own after it.
        if (GetCurrentThreadId() != Timed.NoticeThreadId) {
            WaitForSingleObject(Timed.NoticeThread, INFINITE);
        }
        CloseHandle(Timed.NoticeThread);
        Timed.NoticeThread = nullptr;
        Timed.NoticeThreadId = 0;
    }
}

// The ring for `plan` in frames of `bytes`, keeping the frames held from
// before when they fit: 0 or 1.
uint16_t PrepareFrames(const TimedCapturePlan& plan, size_t bytes)
{
    const uint32_t kept = HeldImages(Timed.Batch);
    if (plan.ClearHeld || kept == 0 || bytes != Timed.FrameBytes) {
        FreeScheduleFrames();
    }
    if (Timed.Frames) {
        // The frames kept lead; the new schedule's images follow them.
        Timed.Batch.Count = Timed.Batch.Captured + Timed.Batch.Missed + plan.Schedule.Count;
        return 0;
    }
    const uint32_t buffers = plan.Buffers < plan.Schedule.Count ? plan.Buffers : plan.Schedule.Count;
    Timed.Frames = AllocateArray<uint8_t>(bytes * buffers);
    Timed.Stamps = AllocateArray<FrameStamp>(buffers);
    if (!Timed.Frames || !Timed.Stamps) {
        FreeScheduleFrames();
        return 1;
    }
    Timed.FrameBytes = bytes;
    Timed.Batch = {};
    Timed.Batch.Count = plan.Schedule.Count;
    Timed.Batch.Capacity = buffers;
    return 0;
}

}  // namespace

bool NegotiatedCapturePlan(TimedCapturePlan& plan)
{
    const auto item = [](TW_UINT16 cap) {
        CapabilityItem value;
        return GetCurrentItem(cap, value) ? value.AsUInt32() : 0;
    };
    plan.Schedule.Count = item(CAP_AUTOMATICCAPTURE);
    plan.Schedule.FirstMs = item(CAP_TIMEBEFOREFIRSTCAPTURE);
    plan.Schedule.BetweenMs = item(CAP_TIMEBETWEENCAPTURES);
    plan.Buffers = item(CAP_MAXBATCHBUFFERS);
    plan.Average = AveragedFrames();
    plan.ClearHeld = (item(CAP_CLEARBUFFERS) & 0xFFFF) == TWCB_CLEAR;
    return plan.Schedule.Count != 0 && plan.Schedule.Count <= 0x7FFFFFFF;
}

void StartFrameClock()
{
    EnterCriticalSection(&ClockLock);
    Clock.EnableUs = NowUs();
    Clock.OriginUs = 0;
    LeaveCriticalSection(&ClockLock);
}

uint16_t StartTimedCapture(const TimedCapturePlan& plan)
{
    StopTimedCapture(!plan.ClearHeld);
    const size_t bytes = FrameBufferBytes();
    if (bytes == 0 || plan.Schedule.Count == 0 || PrepareFrames(plan, bytes) != 0) {
        return 1;
    }
    Timed.Plan = plan;
    const FrameLayout geometry = CurrentFrameGeometry();
    Timed.GrabBuffer = Mil.MbufAllocColor(MilInfo.MilSystem, static_cast<long>(geometry.BandCount),
                                          static_cast<long>(geometry.Width), static_cast<long>(geometry.Height),
                                          mil::Unsigned8, mil::GrabAttribute, nullptr);
    if (Timed.GrabBuffer != 0) {
        Timed.GrabPixels =
            reinterpret_cast<uint8_t*>(Mil.MbufInquire(Timed.GrabBuffer, mil::HostAddress, nullptr));
    }
    if (plan.Average > 1) {
        Timed.Sums = AllocateArray<uint16_t>(bytes);
    }
    Timed.Stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Timed.Captured = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    const bool noticeWindow = StartNoticeWindow();
    Timed.Announced = HeldImages(Timed.Batch) != 0 ? 1 : 0;
    if (Timed.GrabPixels == nullptr || (plan.Average > 1 && !Timed.Sums) || Timed.Stop == nullptr ||
        Timed.Captured == nullptr || !noticeWindow) {
        FreeScheduleRun();
        FreeScheduleFrames();
        return 1;
    }
    Timed.Running = true;
    Timed.Thread = CreateThread(nullptr, 0, ClockThread, nullptr, 0, nullptr);
    if (Timed.Thread == nullptr) {
        Timed.Running = false;
        FreeScheduleRun();
        FreeScheduleFrames();
        return 1;
    }
    DebugLog().Write("Talvenix TWAIN DS: automatic capture of %u images, %u ms before the first, %u ms between, "
                     "%u buffers, %u frames averaged\n",
                     plan.Schedule.Count, plan.Schedule.FirstMs, plan.Schedule.BetweenMs, Timed.Batch.Capacity,
                     plan.Average);
    // Frames kept from the last enabling are there to take at once.
    if (Timed.Announced != 0) {
        PostMessageA(Timed.NoticeWindow, FirstHeldMessage, 0, 0);
    }
    return 0;
}

void StopTimedCapture(bool keepHeld)
{
    if (Timed.Running) {
        SetEvent(Timed.Stop);
        WaitForSingleObject(Timed.Thread, INFINITE);
        Timed.Running = false;
        FreeScheduleRun();
        EnterCriticalSection(&Timed.Lock);
        if (Timed.Batch.Missed != 0) {
            DebugLog().Write("Talvenix TWAIN DS: automatic capture ended, %u images missed\n", Timed.Batch.Missed);
        }
        EndSchedule(Timed.Batch, keepHeld);
        LeaveCriticalSection(&Timed.Lock);
    }
    if (!keepHeld || HeldImages(Timed.Batch) == 0) {
        FreeScheduleFrames();
    }
}

bool TimedCaptureRunning()
{
    return Timed.Running;
}

uint32_t TimedPendingImages()
{
    EnterCriticalSection(&Timed.Lock);
    const uint32_t pending = PendingImages(Timed.Batch);
    LeaveCriticalSection(&Timed.Lock);
    return pending;
}

uint16_t TakeNextImage()
{
    auto* pixels = static_cast<uint8_t*>(MilInfo.HostAddress);
    if (!Timed.Running) {
        const size_t bytes = FrameBufferBytes();
        uint32_t frames = AveragedFrames();
        if (frames > 1 && GrabSumsBytes < bytes) {
            GrabSums = AllocateArray<uint16_t>(bytes);
            GrabSumsBytes = GrabSums ? bytes : 0;
            if (!GrabSums) {
                return 1;
            }
        }
        DeliveredStamp = GrabFrames(MilInfo.MilImage, pixels, bytes, frames, GrabSums.get());
        return 0;
    }
    // The application's thread waits for the next image, answering what is
    // sent to its windows meanwhile.
    for (;;) {
        EnterCriticalSection(&Timed.Lock);
        if (HeldImages(Timed.Batch) != 0) {
            const uint32_t slot = NextDeliverySlot(Timed.Batch);
            std::memcpy(pixels, Timed.Frames.get() + slot * Timed.FrameBytes, Timed.FrameBytes);
            DeliveredStamp = Timed.Stamps[slot];
            ++Timed.Batch.Delivered;
            LeaveCriticalSection(&Timed.Lock);
            return 0;
        }
        const bool done = ScheduleDone(Timed.Batch);
        LeaveCriticalSection(&Timed.Lock);
        if (done) {
            return 2;
        }
        const DWORD wait = MsgWaitForMultipleObjects(1, &Timed.Captured, FALSE, INFINITE, QS_SENDMESSAGE);
        if (wait == WAIT_OBJECT_0 + 1) {
            MSG message;
            PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        } else if (wait != WAIT_OBJECT_0) {
            return 2;
        }
    }
}
