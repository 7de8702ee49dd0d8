// Linked into the modules an application loads and unloads (Twain_32.ds,
// MIL.DLL), with the link options of use_frame_lock() in CMakeLists.txt.
//
// The exception unwinder of the statically linked 32-bit runtime (DWARF-2
// frames) guards its frame tables with one lock. The lock's semaphore is
// created when the module's frames are registered at load, and nothing of
// the runtime ever closes it: every load and unload of the module would
// leave a handle open in the process (a manager that loads the source to
// list it, an application that opens and closes it all day). The link wraps
// the registration, the deregistration and the runtime's CreateSemaphoreW:
// the semaphore created while the frames are registered is the lock's, and
// it is closed once the frames are deregistered at unload, when no unwinding
// through the module can take the lock any more.
#include <windows.h>

typedef HANDLE(WINAPI* CreateSemaphoreWProc)(LPSECURITY_ATTRIBUTES, LONG, LONG, LPCWSTR);

extern "C" {
void __real___register_frame_info(const void* begin, void* object);
void* __real___deregister_frame_info(const void* begin);
}
// The import slot itself: the runtime calls through it.
extern CreateSemaphoreWProc RealCreateSemaphoreW asm("___real__imp__CreateSemaphoreW@16");

namespace {

bool Registering = false;  // only at load, under the loader's lock
HANDLE FrameTableLock = nullptr;

HANDLE WINAPI CreateRuntimeSemaphore(LPSECURITY_ATTRIBUTES attributes, LONG initial, LONG maximum, LPCWSTR name)
{
    HANDLE semaphore = RealCreateSemaphoreW(attributes, initial, maximum, name);
    if (Registering && FrameTableLock == nullptr) {
        FrameTableLock = semaphore;
    }
    return semaphore;
}

}  // namespace

// What the runtime's calls of CreateSemaphoreW go through.
extern "C" {
extern CreateSemaphoreWProc WrappedCreateSemaphoreW asm("___wrap__imp__CreateSemaphoreW@16");
}
CreateSemaphoreWProc WrappedCreateSemaphoreW = CreateRuntimeSemaphore;

extern "C" void __wrap___register_frame_info(const void* begin, void* object)
{
    Registering = true;
    __real___register_frame_info(begin, object);
    Registering = false;
}

extern "C" void* __wrap___deregister_frame_info(const void* begin)
{
    void* object = __real___deregister_frame_info(begin);
    if (FrameTableLock != nullptr) {
        CloseHandle(FrameTableLock);
        FrameTableLock = nullptr;
    }
    return object;
}
