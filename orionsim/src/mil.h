// The imaging library's exported entry points (all __stdcall, exported
// undecorated). Identifiers are 32-bit; 0 means none or failure.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef long MIL_ID;
struct HWND__;

MIL_ID __stdcall MappAlloc(long initFlag, MIL_ID* id);
void __stdcall MappFree(MIL_ID app);
void __stdcall MappControl(long item, long value);
MIL_ID __stdcall MsysAlloc(const char* descriptor, long num, long initFlag, MIL_ID* id);
void __stdcall MsysFree(MIL_ID sys);
long __stdcall MsysInquire(MIL_ID sys, long item, void* result);
MIL_ID __stdcall MdigAlloc(MIL_ID sys, long devNum, const char* format, long initFlag, MIL_ID* id);
void __stdcall MdigFree(MIL_ID dig);
void __stdcall MdigGrab(MIL_ID dig, MIL_ID img);
void __stdcall MdigGrabContinuous(MIL_ID dig, MIL_ID img);
void __stdcall MdigHalt(MIL_ID dig);
long __stdcall MdigInquire(MIL_ID dig, long item, void* result);
void __stdcall MdigChannel(MIL_ID dig, long channel);
void __stdcall MdigControl(MIL_ID dig, long item, double value);
void __stdcall MdigLut(MIL_ID dig, MIL_ID lut);
void __stdcall MdigReference(MIL_ID dig, long refType, long level);
long __stdcall MdigHookFunction(MIL_ID dig, long hookType, void* fn, void* user);
MIL_ID __stdcall MdispAlloc(MIL_ID sys, long num, const char* format, long initFlag, MIL_ID* id);
void __stdcall MdispSelect(MIL_ID disp, MIL_ID img);
void __stdcall MdispSelectWindow(MIL_ID disp, MIL_ID img, struct HWND__* window);
void __stdcall MdispDeselect(MIL_ID disp, MIL_ID img);
void __stdcall MdispControl(MIL_ID disp, long item, long value);
long __stdcall MdispInquire(MIL_ID disp, long item, void* result);
void __stdcall MdispFree(MIL_ID disp);
void __stdcall MdispZoom(MIL_ID disp, long xFactor, long yFactor);
MIL_ID __stdcall MbufAllocColor(MIL_ID sys, long bands, long sizeX, long sizeY, long type, long attribute, MIL_ID* id);
MIL_ID __stdcall MbufAlloc1d(MIL_ID sys, long sizeX, long type, long attribute, MIL_ID* id);
MIL_ID __stdcall MbufChildColor(MIL_ID parent, long band, MIL_ID* id);
void __stdcall MbufFree(MIL_ID buf);
long __stdcall MbufInquire(MIL_ID buf, long item, void* result);
void __stdcall MbufSave(const char* fileName, MIL_ID buf);
void __stdcall MgenLutRamp(MIL_ID lut, long startIndex, double startValue, long endIndex, double endValue);

#ifdef __cplusplus
}
#endif
